// JsonParse and JsonToText: which texts are accepted, the exact log line
// for each refusal, the text form of every JSON value type, and hostile
// input (deep nesting, malformed UTF-16/32 units, secrets in refused text).

#include <climits>
#include <string>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "pelbo/core/JsonBridge.h"

namespace {

const std::string kLinePrefix = "CppJsonHelp: Service JsonParse: ";

TEST(JsonParse, AcceptsAnObjectWithWhiteSpaceAroundIt)
{
    LogCapture log;
    Json::Value root;
    ASSERT_TRUE(JsonParse(CStringW(L" \r\n\t{\"code\": 0, \"token\": \"t1\"}\n  "), root));
    EXPECT_TRUE(root.isObject());
    EXPECT_EQ(root["token"].asString(), "t1");
    EXPECT_EQ(log.Count("CppJsonHelp"), 0u);
}

TEST(JsonParse, AcceptsComments)
{
    Json::Value root;
    ASSERT_TRUE(JsonParse(CStringW(L"{ // the code\n \"code\": 7 /* seven */ }"), root));
    EXPECT_EQ(root["code"].asInt(), 7);
}

TEST(JsonParse, EmptyTextLogsOneLine)
{
    LogCapture log;
    Json::Value root;
    EXPECT_FALSE(JsonParse(CStringW(), root));
    EXPECT_EQ(log.Count(kLinePrefix + "strRevJson is Empty\n"), 1u);
    EXPECT_EQ(log.Count("CppJsonHelp"), 1u);
}

struct Refusal {
    const wchar_t* text;
    const char* line;  // what follows the prefix, up to the end of the line
};

TEST(JsonParse, RefusesTextNotFramedByBracesOrNotParsable)
{
    const Refusal cases[] = {
        {L"[1, 2]", "strRevJson is Not JsonData:[1, 2]"},
        {L"  \n ", "strRevJson is Not JsonData:"},
        {L"{\"a\": 1", "strRevJson is Not JsonData:{\"a\": 1"},
        {L"\"a\": 1}", "strRevJson is Not JsonData:\"a\": 1}"},
        {L"<html>502</html>", "strRevJson is Not JsonData:<html>502</html>"},
        {L" {\"a\": } ", "Parse is Error:{\"a\": }"},
        {L"{\"a\": 1,, \"b\": 2}", "Parse is Error:{\"a\": 1,, \"b\": 2}"},
        {L"{'a': 1}", "Parse is Error:{'a': 1}"},
    };
    for (const Refusal& c : cases) {
        LogCapture log;
        Json::Value root;
        EXPECT_FALSE(JsonParse(CStringW(c.text), root)) << ToMultiByte(c.text, CP_UTF8);
        EXPECT_EQ(log.Count(kLinePrefix + c.line + "\n"), 1u) << log.Text();
        EXPECT_EQ(log.Count("CppJsonHelp"), 1u);
    }
}

TEST(JsonParse, DeepNestingIsRefusedNotACrash)
{
    std::wstring text = L"{\"a\":";
    text.append(100000, L'[');
    text.append(100000, L']');
    text += L"}";
    LogCapture log;
    Json::Value root;
    EXPECT_FALSE(JsonParse(CStringW(text), root));
    EXPECT_EQ(log.Count(kLinePrefix + "Parse is Error:{\"a\":[[["), 1u);
}

TEST(JsonParse, MalformedWideUnitsBecomeReplacementCharacters)
{
    // A lone surrogate and a unit beyond Unicode cannot be encoded in UTF-8;
    // they arrive as U+FFFD instead of corrupting the document.
    std::wstring text = L"{\"name\": \"a";
    text += static_cast<wchar_t>(0xD800);
    text += L"b";
    if (sizeof(wchar_t) == 4)
        text += static_cast<wchar_t>(0x110000);
    text += L"\"}";
    Json::Value root;
    ASSERT_TRUE(JsonParse(CStringW(text), root));
    const std::wstring name = JsonToText(root["name"]).str();
    EXPECT_EQ(name.substr(0, 3), std::wstring(L"a\uFFFDb"));
}

TEST(JsonParse, EscapedLoneSurrogateIsAParseError)
{
    Json::Value root;
    EXPECT_FALSE(JsonParse(CStringW(L"{\"a\": \"\\ud800\"}"), root));
}

TEST(JsonParse, RefusedTextIsLoggedWithItsSecretsMasked)
{
    LogCapture log;
    Json::Value root;
    EXPECT_FALSE(JsonParse(CStringW(L"{\"token\": \"supersecretvalue\", }x"), root));
    const std::string text = log.Text();
    EXPECT_EQ(text.find("supersecretvalue"), std::string::npos) << text;
    EXPECT_NE(text.find("strRevJson is Not JsonData:"), std::string::npos) << text;
}

struct TextCase {
    const char* json;  // the member "v" of an object
    const wchar_t* text;
};

TEST(JsonToText, GivesTheTextFormOfEachType)
{
    const TextCase cases[] = {
        {"2147483647", L"2147483647"},
        {"2147483648", L"2147483648"},
        {"-5", L"-5"},
        {"-2147483648", L"-2147483648"},
        {"-2147483649", L"-2147483649"},
        {"9223372036854775807", L"9223372036854775807"},
        {"18446744073709551615", L"18446744073709551615"},
        {"0", L"0"},
        {"true", L"1"},
        {"false", L"0"},
        {"1.5", L""},
        {"1e3", L""},
        {"null", L""},
        {"{\"x\": 1}", L""},
        {"[1]", L""},
        {"\"caf\\u00e9 \\u4e2d\"", L"caf\u00e9 \u4e2d"},
        {"\"\"", L""},
    };
    for (const TextCase& c : cases) {
        Json::Value root;
        ASSERT_TRUE(JsonParse(CStringW(ToWide((std::string("{\"v\": ") + c.json + "}").c_str(), CP_UTF8)), root))
            << c.json;
        EXPECT_EQ(JsonToText(root["v"]), CStringW(c.text)) << c.json;
    }
    EXPECT_EQ(JsonToText(Json::Value()), CStringW());
    Json::Value object(Json::objectValue);
    EXPECT_EQ(JsonToText(object["missing"]), CStringW());
}

TEST(JsonToStyledText, WritesMembersSortedWithThreeSpaceIndentAndEscapesNonAscii)
{
    Json::Value body(Json::objectValue);
    body["token"] = "abc";
    body["code"] = 12;
    body["phone"] = "\xE4\xB8\xAD";
    EXPECT_EQ(JsonToStyledText(body),
              CStringW(L"{\n   \"code\" : 12,\n   \"phone\" : \"\\u4e2d\",\n   \"token\" : \"abc\"\n}\n"));
}

}  // namespace
