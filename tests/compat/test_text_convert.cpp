#include <gtest/gtest.h>

#include <string>

#include "pelbo/compat/TextConvert.h"

namespace {

TEST(TextConvert, NullAndEmptyGiveEmptyText)
{
    EXPECT_EQ(ToMultiByte(nullptr, CP_UTF8), "");
    EXPECT_EQ(ToMultiByte(L"", CP_UTF8), "");
    EXPECT_EQ(ToWide(nullptr, CP_UTF8), L"");
    EXPECT_EQ(ToWide("", CP_UTF8), L"");
}

TEST(TextConvert, UnsupportedCodePageGivesEmptyText)
{
    EXPECT_EQ(ToMultiByte(L"abc", 1252), "");
    EXPECT_EQ(ToWide("abc", 936), L"");
}

TEST(TextConvert, AcpMeansUtf8)
{
    EXPECT_EQ(ToMultiByte(L"\u00e9", CP_ACP), "\xc3\xa9");
    EXPECT_EQ(ToWide("\xc3\xa9", CP_ACP), L"\u00e9");
}

TEST(TextConvert, EncodesEveryUtf8Length)
{
    // 1, 2, 3 and 4 byte forms, the last one outside the basic plane.
    const wchar_t text[] = L"A\u00e9\u4e2d\U0001F600";
    const std::string utf8 = "A\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80";
    EXPECT_EQ(ToMultiByte(text, CP_UTF8), utf8);
    EXPECT_EQ(ToWide(utf8.c_str(), CP_UTF8), text);
}

TEST(TextConvert, StopsAtTheTerminatingZero)
{
    const wchar_t wide[] = {L'a', L'b', L'\0', L'c', L'\0'};
    EXPECT_EQ(ToMultiByte(wide, CP_UTF8), "ab");
    const char narrow[] = {'x', '\0', 'y', '\0'};
    EXPECT_EQ(ToWide(narrow, CP_UTF8), L"x");
}

// Texts past the 1024-unit stack buffer take the exact-size path; each
// boundary around it must come back whole.
TEST(TextConvert, LongTextsRoundTripAcrossTheBufferBoundary)
{
    for (size_t length : {1023u, 1024u, 1025u, 3000u}) {
        std::wstring text;
        for (size_t i = 0; i < length; ++i)
            text += static_cast<wchar_t>(L'a' + i % 26);
        const std::string utf8 = ToMultiByte(text.c_str(), CP_UTF8);
        ASSERT_EQ(utf8.size(), length);
        EXPECT_EQ(ToWide(utf8.c_str(), CP_UTF8), text) << length;
    }
}

TEST(TextConvert, MultiByteTextLongerThanTheBufferInBytesOnly)
{
    // 400 characters of 3 bytes each: fits the wide buffer, not the narrow one.
    const std::wstring text(400, L'\u4e2d');
    const std::string utf8 = ToMultiByte(text.c_str(), CP_UTF8);
    ASSERT_EQ(utf8.size(), 1200u);
    EXPECT_EQ(utf8.substr(1197), "\xe4\xb8\xad");
    EXPECT_EQ(ToWide(utf8.c_str(), CP_UTF8), text);

    // A character beyond the basic plane is one unit of a 32-bit wchar_t
    // and a surrogate pair of a 16-bit one (Windows).
    std::wstring astral;
    for (int i = 0; i < 3000; ++i) {
        const unsigned code = 0x1F600 + i % 64;
        if (sizeof(wchar_t) == 2) {
            astral += static_cast<wchar_t>(0xD800 + ((code - 0x10000) >> 10));
            astral += static_cast<wchar_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            astral += static_cast<wchar_t>(code);
        }
    }
    const std::string astralUtf8 = ToMultiByte(astral.c_str(), CP_UTF8);
    EXPECT_EQ(astralUtf8.size(), 12000u);
    EXPECT_EQ(ToWide(astralUtf8.c_str(), CP_UTF8), astral);
}

struct BadUtf8 {
    const char* input;
    const wchar_t* expected;
};

TEST(TextConvert, MalformedUtf8BecomesReplacementCharacters)
{
    const BadUtf8 cases[] = {
        {"a\x80" "b", L"a\ufffdb"},                  // stray continuation byte
        {"\xc3", L"\ufffd"},                         // truncated at the end
        {"\xc3(", L"\ufffd("},                       // lead without continuation
        {"\xc0\xaf", L"\ufffd\ufffd"},               // overlong form of '/'
        {"\xe0\x80\xaf", L"\ufffd\ufffd\ufffd"},     // overlong three-byte form
        {"\xed\xa0\x80", L"\ufffd\ufffd\ufffd"},     // encoded surrogate
        {"\xf4\x90\x80\x80", L"\ufffd\ufffd\ufffd\ufffd"},  // beyond U+10FFFF
        {"\xe4\xb8", L"\ufffd"},                     // one maximal subpart, one U+FFFD
        {"\xe4\xb8" "x", L"\ufffdx"},
        {"\xf0\x9f\x98", L"\ufffd"},
        {"\xff\xfe", L"\ufffd\ufffd"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ToWide(c.input, CP_UTF8), c.expected) << c.input;
}

TEST(TextConvert, InvalidWideUnitsBecomeReplacementCharacters)
{
    const wchar_t loneHigh[] = {L'a', static_cast<wchar_t>(0xD83D), L'b', 0};
    EXPECT_EQ(ToMultiByte(loneHigh, CP_UTF8), "a\xef\xbf\xbd" "b");
    const wchar_t loneLow[] = {static_cast<wchar_t>(0xDE00), 0};
    EXPECT_EQ(ToMultiByte(loneLow, CP_UTF8), "\xef\xbf\xbd");
    // Units beyond Unicode exist only in a 32-bit wchar_t.
    if (sizeof(wchar_t) == 4) {
        const wchar_t beyond[] = {static_cast<wchar_t>(0x110000), 0};
        EXPECT_EQ(ToMultiByte(beyond, CP_UTF8), "\xef\xbf\xbd");
        const wchar_t negative[] = {static_cast<wchar_t>(-5), L'z', 0};
        EXPECT_EQ(ToMultiByte(negative, CP_UTF8), "\xef\xbf\xbdz");
    }
}

}  // namespace
