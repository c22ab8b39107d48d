#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "pelbo/compat/StringW.h"
#include "pelbo/compat/WideFormat.h"

namespace {

using Compat::FormatWide;
using Compat::TranslateWideFormat;

struct Translation {
    const wchar_t* windows;
    const wchar_t* local;
};

TEST(WideFormat, TranslatesTheWindowsDialect)
{
#if defined(_WIN32)
    GTEST_SKIP() << "Windows formats the Windows dialect as it stands: nothing to translate";
#else
    const Translation cases[] = {
        {L"%s", L"%ls"},
        {L"%S", L"%s"},
        {L"%hs", L"%s"},
        {L"%ls", L"%ls"},
        {L"%ws", L"%ls"},
        {L"%lS", L"%ls"},
        {L"%hS", L"%s"},
        {L"%c", L"%lc"},
        {L"%C", L"%c"},
        {L"%-10s|", L"%-10ls|"},
        {L"%.*s", L"%.*ls"},
        {L"%%s", L"%%s"},
        {L"100%%", L"100%%"},
        {L"%I64d %I64u", L"%lld %llu"},
        {L"%I32d", L"%d"},
        {L"%Iu", L"%zu"},
        {L"%llu %u 0x%x %08X", L"%llu %u 0x%x %08X"},
        {L"tail %", L"tail %%"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TranslateWideFormat(c.windows), c.local) << "case " << (&c - cases);
    EXPECT_EQ(TranslateWideFormat(nullptr), L"");
#endif
}

TEST(WideFormat, FormatsWideAndNarrowArguments)
{
    EXPECT_EQ(FormatWide(L"[%s]", L"wide"), L"[wide]");
    EXPECT_EQ(FormatWide(L"[%S]", "narrow"), L"[narrow]");
    EXPECT_EQ(FormatWide(L"[%-10s]", L"left"), L"[left      ]");
    EXPECT_EQ(FormatWide(L"[%10s]", L"right"), L"[     right]");
    EXPECT_EQ(FormatWide(L"%%s"), L"%s");
    EXPECT_EQ(FormatWide(L"%c%C", L'\u4e2d', 'x'), L"\u4e2dx");
}

TEST(WideFormat, FormatsIntegersOfEveryWidth)
{
    EXPECT_EQ(FormatWide(L"%I64d", static_cast<int64_t>(-9000000000LL)), L"-9000000000");
    EXPECT_EQ(FormatWide(L"%I64u", static_cast<uint64_t>(18446744073709551615ULL)), L"18446744073709551615");
    EXPECT_EQ(FormatWide(L"%llu", 12345678901234ULL), L"12345678901234");
    EXPECT_EQ(FormatWide(L"%u", 4294967295u), L"4294967295");
    EXPECT_EQ(FormatWide(L"0x%x", 0xbeefu), L"0xbeef");
    EXPECT_EQ(FormatWide(L"%d items", -3), L"-3 items");
}

// Narrow arguments are UTF-8 whatever the process locale is.
TEST(WideFormat, NarrowArgumentsAreUtf8)
{
    EXPECT_EQ(FormatWide(L"%S", "\xe4\xb8\xad\xe6\x96\x87"), L"\u4e2d\u6587");
    EXPECT_EQ(FormatWide(L"%s|%S", L"\U0001F600", "\xf0\x9f\x98\x80"), L"\U0001F600|\U0001F600");
}

TEST(WideFormat, WidthsPrecisionsAndSizesApplyToEveryKindOfArgument)
{
    EXPECT_EQ(FormatWide(L"[%*d|%-*s|%.2f|%5S|%hs|%ls|%-3c|%zu|%hd]", 4, 7, 3, L"ab", 3.14159, "ok", "n", L"w", L'x',
                         static_cast<size_t>(42), 65537),
              L"[   7|ab |3.14|   ok|n|w|x  |42|1]");
    EXPECT_EQ(FormatWide(L"%.*s|%x|%lld", 2, L"wide", 255u, -1LL), L"wi|ff|-1");
}

TEST(WideFormat, LongResultsAreNotCut)
{
    const std::wstring big(100000, L'q');
    const std::wstring out = FormatWide(L"<%s>", big.c_str());
    ASSERT_EQ(out.size(), big.size() + 2);
    EXPECT_EQ(out.front(), L'<');
    EXPECT_EQ(out.back(), L'>');
}

TEST(WideFormat, UndecodableNarrowArgumentGivesEmptyText)
{
    EXPECT_EQ(FormatWide(L"x%Sy", "\xff"), L"");
    EXPECT_EQ(FormatWide(nullptr), L"");
}

TEST(WideFormat, CStringWFormatUsesTheWindowsMeaning)
{
    CStringW text;
    text.Format(L"%s=%d", L"n", 4);
    text.AppendFormat(L";%S", "ok");
    EXPECT_EQ(text, L"n=4;ok");
}

}  // namespace
