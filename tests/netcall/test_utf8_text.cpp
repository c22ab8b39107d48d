#include <gtest/gtest.h>

#include "Utf8Text.h"

using Netcall::Utf8ToWide;
using Netcall::WideToUtf8;

namespace {
const wchar_t kBad = 0xFFFD;
}

TEST(Utf8Text, RoundTripsEveryLength)
{
    std::wstring text = L"a\u00e9\u540d";
    text += static_cast<wchar_t>(0x1F600);
    if (sizeof(wchar_t) == 2) {
        text = L"a\u00e9\u540d\xD83D\xDE00";
    }
    const std::string utf8 = WideToUtf8(text);
    EXPECT_EQ(utf8, "a\xC3\xA9\xE5\x90\x8D\xF0\x9F\x98\x80");
    EXPECT_EQ(Utf8ToWide(utf8), text);
}

TEST(Utf8Text, KeepsEmbeddedZeros)
{
    const std::string bytes("a\0b", 3);
    EXPECT_EQ(Utf8ToWide(bytes), std::wstring(L"a\0b", 3));
    EXPECT_EQ(WideToUtf8(std::wstring(L"a\0b", 3)), bytes);
}

TEST(Utf8Text, ReplacesMalformedInputWithoutLosingWhatFollows)
{
    struct Case {
        std::string in;
        std::wstring out;
    } const cases[] = {
        {"\x80x", {kBad, L'x'}},                      // lone continuation byte
        {"\xC3", {kBad}},                             // cut off at the end
        {"\xE5\x90x", {kBad, L'x'}},                  // cut off before an ASCII byte
        {"\xC0\x80", {kBad, kBad}},                   // overlong zero
        {"\xE0\x80\x80", {kBad, kBad, kBad}},         // overlong three-byte form
        {"\xED\xA0\x80", {kBad, kBad, kBad}},         // surrogate code point
        {"\xF4\x90\x80\x80", {kBad, kBad, kBad, kBad}},  // above U+10FFFF
        {"\xFF\xFE{}", {kBad, kBad, L'{', L'}'}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Utf8ToWide(c.in), c.out);
    }
}

TEST(Utf8Text, EncodesValuesOutsideUnicodeAsReplacement)
{
    EXPECT_EQ(WideToUtf8(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xEF\xBF\xBD");
    if (sizeof(wchar_t) == 4) {
        EXPECT_EQ(WideToUtf8(std::wstring(1, static_cast<wchar_t>(0x110000))), "\xEF\xBF\xBD");
    }
}
