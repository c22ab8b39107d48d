#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

#include "pelbo/compat/WtoI.h"

namespace {

struct Case32 {
    const wchar_t* text;
    int expected;
};

TEST(WtoI, FollowsTheMsvcRule)
{
    const Case32 cases[] = {
        {L" -12abc", -12},
        {L"+7", 7},
        {L"abc", 0},
        {L"", 0},
        {L"  \t42", 42},
        {L"\n\v\f\r 5", 5},
        {L"-", 0},
        {L"+-3", 0},
        {L"- 3", 0},
        {L"0012", 12},
        {L"12 34", 12},
        {L"2147483647", INT_MAX},
        {L"-2147483648", INT_MIN},
        {L"2147483648", INT_MAX},
        {L"-2147483649", INT_MIN},
        {L"99999999999999999999", INT_MAX},
        {L"-99999999999999999999x", INT_MIN},
        {L"\u00a0" L"5", 0},  // only the C locale's white space is skipped
        {L"\uff11", 0},       // full-width digits are not digits
    };
    for (const auto& c : cases)
        EXPECT_EQ(Compat::WtoI(c.text), c.expected) << "case " << (&c - cases);
    EXPECT_EQ(Compat::WtoI(nullptr), 0);
}

TEST(WtoI, SixtyFourBitsSaturate)
{
    EXPECT_EQ(Compat::WtoI64(L"9223372036854775807"), INT64_MAX);
    EXPECT_EQ(Compat::WtoI64(L"9223372036854775808"), INT64_MAX);
    EXPECT_EQ(Compat::WtoI64(L"-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(Compat::WtoI64(L"-9223372036854775809"), INT64_MIN);
    EXPECT_EQ(Compat::WtoI64(L"  4294967296tail"), INT64_C(4294967296));
    EXPECT_EQ(Compat::WtoI64(L"-1"), -1);
    EXPECT_EQ(Compat::WtoI64(L"x1"), 0);
    EXPECT_EQ(Compat::WtoI64(nullptr), 0);
}

}  // namespace
