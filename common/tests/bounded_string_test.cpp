#include <gtest/gtest.h>

#include "common/bounded_string.h"

using Helper::AppendBounded;
using Helper::CopyBounded;
using Helper::FormatBounded;

TEST(BoundedString, CopyCutsAtCapacityMinusOneAndAlwaysTerminates)
{
    wchar_t buf[5];
    wmemset(buf, L'#', 5);
    EXPECT_TRUE(CopyBounded(buf, L"abcd"));
    EXPECT_STREQ(buf, L"abcd");
    EXPECT_FALSE(CopyBounded(buf, L"abcdef"));
    EXPECT_STREQ(buf, L"abcd");
    EXPECT_TRUE(CopyBounded(buf, 5, nullptr));
    EXPECT_STREQ(buf, L"");
    EXPECT_FALSE(CopyBounded(buf, 0, L"x"));
    wchar_t one[1] = {L'#'};
    EXPECT_FALSE(CopyBounded(one, L"x"));
    EXPECT_EQ(one[0], L'\0');
}

TEST(BoundedString, AppendKeepsTheBound)
{
    wchar_t buf[8] = L"abc";
    EXPECT_TRUE(AppendBounded(buf, 8, L"de"));
    EXPECT_STREQ(buf, L"abcde");
    EXPECT_FALSE(AppendBounded(buf, 8, L"fghij"));
    EXPECT_STREQ(buf, L"abcdefg");
}

TEST(BoundedString, FormatUsesWideStringsAnd64BitValuesAndCuts)
{
    wchar_t buf[64];
    EXPECT_TRUE(FormatBounded(buf, 64, L"%s\\Users\\%s", L"Software\\Tavo\\Tessel", L"alice"));
    EXPECT_STREQ(buf, L"Software\\Tavo\\Tessel\\Users\\alice");
    EXPECT_TRUE(FormatBounded(buf, 64, L"%I64u|%d", 18446744073709551615ull, -5));
    EXPECT_STREQ(buf, L"18446744073709551615|-5");

    wchar_t small[6];
    wmemset(small, L'#', 6);
    EXPECT_FALSE(FormatBounded(small, 6, L"%s", L"abcdefgh"));
    EXPECT_STREQ(small, L"abcde");
    EXPECT_TRUE(FormatBounded(small, 6, L"%s", L"abcde"));
    EXPECT_STREQ(small, L"abcde");
}
