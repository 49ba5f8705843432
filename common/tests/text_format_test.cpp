#include "common/text_format.h"

#include <gtest/gtest.h>

namespace {

using Helper::CutToCapacity;
using Helper::FormatText;

TEST(FormatText, ConversionsAsTheRuntimeWritesThem)
{
    EXPECT_EQ(FormatText(u"共 %d GB，已使用%.1f%%", {10, 75.0}), u"共 10 GB，已使用75.0%");
    EXPECT_EQ(FormatText(u"%02d:%02d:%02d", {1, 2, 30}), u"01:02:30");
    EXPECT_EQ(FormatText(u"<a>%s</a>", {u"用户"}), u"<a>用户</a>");
    EXPECT_EQ(FormatText(u"%u/%d", {4000000000u, -3}), u"4000000000/-3");
    EXPECT_EQ(FormatText(u"%.1f", {66.666664f}), u"66.7");
    EXPECT_EQ(FormatText(u"[%5s|%-3s|%.2s]", {u"ab", u"c", u"xyz"}), u"[   ab|c  |xy]");
}

TEST(FormatText, MismatchedOrMissingArgumentsShowNothing)
{
    EXPECT_EQ(FormatText(u"a%sb", {5}), u"ab");
    EXPECT_EQ(FormatText(u"a%db%d", {1}), u"a1b");
    EXPECT_EQ(FormatText(u"%q and %", {}), u"%q and %");
    EXPECT_EQ(FormatText(u"100%%", {}), u"100%");
}

TEST(CutToCapacity, KeepsCapacityLessOneUnits)
{
    EXPECT_EQ(CutToCapacity(u"abcdef", 4), u"abc");
    EXPECT_EQ(CutToCapacity(u"abc", 4), u"abc");
    EXPECT_EQ(CutToCapacity(u"abc", 0), u"");
}

}  // namespace
