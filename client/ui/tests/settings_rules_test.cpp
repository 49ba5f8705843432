#include "client/shell/app_state_values.h"
#include "client/shell/resource.h"
#include "client/ui/settings_rules.h"

#include <gtest/gtest.h>

namespace {

using namespace GUI;
using S = Helper::AppState;

TEST(SpeedLimits, ShownPosition)
{
    const struct {
        uint32_t stored;
        int shown;
    } cases[] = {{0, 50}, {1, 1}, {2048, 2048}, {2049, 2048}, {0x10000 + 100, 100}, {0x10000, 1}, {300, 300}};
    for (const auto& c : cases)
        EXPECT_EQ(ShownSpeedLimit(c.stored), c.shown) << c.stored;
}

TEST(SpeedLimits, TypedTextHeldWithinTheRange)
{
    const struct {
        std::u16string_view text;
        int stored;
    } cases[] = {{u"300", 300}, {u"0", 1}, {u"0000", 1}, {u"9999", 2048}, {u"2048", 2048}, {u"2049", 2048},
                 {u"0050", 50}, {u"", 77}, {u"abc", 77}, {u" 12", 12}, {u"99999999999", 2048}};
    for (const auto& c : cases)
        EXPECT_EQ(SpeedLimitFromText(c.text, 77), c.stored) << std::string(c.text.begin(), c.text.end());
}

TEST(SpeedLimits, AppliedOnlyWhenEnabledIsOne)
{
    EXPECT_EQ(AppliedSpeedLimit(1, 300), 300u);
    EXPECT_EQ(AppliedSpeedLimit(0, 300), 0u);
    EXPECT_EQ(AppliedSpeedLimit(2, 300), 0u);
}

TEST(AccountLink, NameCutAfter29Characters)
{
    EXPECT_EQ(AccountLinkText(u"alice", true), u"<a>alice</a>");
    std::u16string n29(29, u'n');
    EXPECT_EQ(AccountLinkText(n29, true), u"<a>" + n29 + u"</a>");
    EXPECT_EQ(AccountLinkText(n29 + u"x", true), u"<a>" + n29 + u"...</a>");
    EXPECT_EQ(AccountLinkText(u"alice", false), u"用户未登录");
}

TEST(AccountLink, SignedInStates)
{
    for (int s = 0; s <= 9; ++s)
        EXPECT_EQ(IsSignedIn(static_cast<S>(s)), s == 2 || s == 3) << s;
}

TEST(ChangeTracking, WhichEventsEnableApply)
{
    using E = ControlEvent;
    const struct {
        int control;
        E event;
        bool choice_changed;
        bool enables;
    } cases[] = {
        {IDC_FOLDER, E::TextChanged, false, true},
        {IDC_UPLOAD_LIMIT, E::TextChanged, false, true},
        {IDC_DOWNLOAD_LIMIT, E::TextChanged, false, true},
        {IDC_UPLOAD_LIMIT_ON, E::Clicked, false, true},
        {IDC_DOWNLOAD_LIMIT_ON, E::Clicked, false, true},
        {IDC_AUTORUN, E::Clicked, false, true},
        {IDC_AUTO_UPDATE_ON, E::Clicked, true, true},
        {IDC_AUTO_UPDATE_OFF, E::Clicked, false, false},
        {IDC_CHANGE_FOLDER, E::Clicked, false, false},
        {IDC_CHECK_UPDATE, E::Clicked, false, false},
        {IDC_CHANGE_ACCOUNT, E::Clicked, false, false},
        {IDC_FOLDER, E::Clicked, false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EnablesApply(c.control, c.event, true, c.choice_changed), c.enables) << c.control;
        EXPECT_FALSE(EnablesApply(c.control, c.event, false, c.choice_changed)) << "before initialisation";
    }
}

TEST(ChangeTracking, AutoUpdateChoiceRemembersTheLastClick)
{
    CAutoUpdateChoice choice(true);
    EXPECT_FALSE(choice.Click(true));
    EXPECT_TRUE(choice.Click(false)) << "关闭自动更新 changes the choice";
    EXPECT_TRUE(choice.Click(true)) << "and back again is another change";
    EXPECT_TRUE(choice.on());
}

TEST(UpdateStatus, TextsAndColours)
{
    EXPECT_EQ(InitialUpdateStatus().text, u"您可以立即检查更新，升级到最新版本。");
    EXPECT_EQ(InitialUpdateStatus().colour, kStatusBlack);
    EXPECT_EQ(UpdateCheckStatus(true).text, u"正在检查更新...");
    EXPECT_EQ(UpdateCheckStatus(true).colour, 0x008000u);
    EXPECT_EQ(UpdateCheckStatus(false).text, u"无法进行自动更新！请尝试重新安装程序修复问题。");
    EXPECT_EQ(UpdateCheckStatus(false).colour, 0x0000FFu) << "red as a COLORREF";
}

TEST(SettingsLayout, TagButtonsStackWithoutGaps)
{
    const Rect expected[] = {{11, 11, 99, 41}, {11, 41, 99, 71}, {11, 71, 99, 101}};
    for (int i = 0; i < kTagCount; ++i) {
        Rect r = TagButtonRect(i);
        EXPECT_EQ(r.left, expected[i].left);
        EXPECT_EQ(r.top, expected[i].top);
        EXPECT_EQ(r.right, expected[i].right);
        EXPECT_EQ(r.bottom, expected[i].bottom);
    }
    Rect page = SettingsPageRect({0, 0, 481, 313});
    EXPECT_EQ(page.left, 110);
    EXPECT_EQ(page.top, 10);
    EXPECT_EQ(page.right, 471);
    EXPECT_EQ(page.bottom, 273);
}

TEST(SettingsLayout, PageHeadingsAndLines)
{
    PageDecoration general = PageDecorationFor(IDD_PAGE_GENERAL, {0, 0, 300, 250});
    ASSERT_EQ(general.headings.size(), 3u);
    EXPECT_EQ(general.headings[1].text, u"当前登录账户：");
    EXPECT_EQ(general.headings[1].rect.left, 40);
    EXPECT_EQ(general.headings[1].rect.top, 65);
    EXPECT_EQ(general.headings[1].rect.right, 290);
    EXPECT_EQ(general.headings[1].rect.bottom, 85);
    ASSERT_EQ(general.lines.size(), 1u);
    EXPECT_EQ(general.lines[0].y, 100);
    EXPECT_EQ(general.lines[0].left, 15);
    EXPECT_EQ(general.lines[0].right, 285);

    PageDecoration update = PageDecorationFor(IDD_PAGE_UPDATE, {0, 0, 300, 250});
    ASSERT_EQ(update.headings.size(), 2u);
    EXPECT_EQ(update.headings[1].text, u"手动更新");
    EXPECT_EQ(update.headings[1].rect.top, 130);
    ASSERT_EQ(update.lines.size(), 1u);
    EXPECT_EQ(update.lines[0].y, 120);
    EXPECT_EQ(PageDecorationFor(IDD_PAGE_SYNC, {0, 0, 300, 250}).headings.size(), 2u);
    EXPECT_TRUE(PageDecorationFor(999, {0, 0, 300, 250}).headings.empty());
}

}  // namespace
