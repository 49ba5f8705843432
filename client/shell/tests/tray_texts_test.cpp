#include "client/shell/app_state_values.h"
#include "client/shell/tray_texts.h"

#include <gtest/gtest.h>

namespace {

using namespace Helper;

constexpr uint64_t kGiB = 1ull << 30;
constexpr uint64_t kMiB = 1ull << 20;

TEST(TraySizes, UnitsChangeAtEachPowerOf1024)
{
    const struct {
        float bytes;
        const char16_t* shown;
    } cases[] = {
        {0, u"0.0 Byte"},          {1023, u"1023.0 Byte"},  {1024, u"1.0 KB"},
        {1536, u"1.5 KB"},         {1048575, u"1024.0 KB"}, {1048576, u"1.0 MB"},
        {1073741824.0f, u"1.0 GB"}, {5.5f * kGiB, u"5.5 GB"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FormatSize(c.bytes), c.shown) << c.bytes;
}

TEST(TrayQuota, TenGigabytesWithTwoAndAHalfFree)
{
    QuotaFigures q = ComputeQuotaFigures(10 * kGiB, 2560 * kMiB);
    EXPECT_EQ(q.total_gb, 10);
    EXPECT_FLOAT_EQ(q.used_percent, 75.0f);
    EXPECT_EQ(q.free_mb, 2560);
    EXPECT_EQ(FormatQuotaTip(10 * kGiB, 2560 * kMiB), u"所有文件已经同步\n共 10 GB空间，已使用75.0%，剩余 2560 MB");
}

TEST(TrayQuota, NumbersAreCutNotRounded)
{
    QuotaFigures q = ComputeQuotaFigures(3 * kGiB / 2, kMiB - 512);
    EXPECT_EQ(q.total_gb, 1);
    EXPECT_EQ(q.free_mb, 0);
    EXPECT_EQ(ComputeQuotaFigures(0, 0).used_percent, 0.0f);
}

TransferReport Transfer(uint64_t total, uint64_t done, int direction, uint32_t speed)
{
    TransferReport r;
    r.watching = true;
    r.has_transfer = true;
    r.name = u"报告.docx";
    r.total = total;
    r.done = done;
    r.direction = direction;
    r.bytes_per_second = speed;
    return r;
}

TEST(TrayProgress, DownloadAndUploadLines)
{
    EXPECT_EQ(FormatProgressTip(Transfer(1536, 1024, 1, 512)),
              u"正在同步 报告.docx\n下载速度 0.5 KB/s，已完成 66.7% (1.0 KB/1.5 KB)，剩余时间 00:00:01");
    EXPECT_EQ(FormatProgressTip(Transfer(10 * kGiB, 0, 2, 1024 * 1024)),
              u"正在同步 报告.docx\n上传速度 1024.0 KB/s，已完成 0.0% (0.0 Byte/10.0 GB)，剩余时间 02:50:40");
}

TEST(TrayProgress, NameOnlyWithoutSpeedOrKnownDirection)
{
    EXPECT_EQ(FormatProgressTip(Transfer(100, 50, 1, 0)), u"正在同步 报告.docx");
    EXPECT_EQ(FormatProgressTip(Transfer(100, 50, 3, 1000)), u"正在同步 报告.docx");
}

TEST(TrayProgress, PreparingWhenThereIsNothingToShow)
{
    TransferReport cases[5] = {Transfer(100, 1, 1, 9), Transfer(100, 1, 1, 9), Transfer(0, 0, 1, 9),
                               Transfer(100, 101, 1, 9), Transfer(100, 1, 1, 9)};
    cases[0].watching = false;
    cases[1].has_transfer = false;
    cases[4].name.clear();
    for (const TransferReport& r : cases)
        EXPECT_EQ(FormatProgressTip(r), u"正在准备同步数据...");
}

TEST(TrayProgress, LongNamesAreCutAfter57Characters)
{
    std::u16string name58(58, u'名');
    EXPECT_EQ(ShortenTransferName(name58), std::u16string(57, u'名') + u"...");
    EXPECT_EQ(ShortenTransferName(std::u16string(57, u'a')), std::u16string(57, u'a'));
    TransferReport r = Transfer(1 << 20, 1, 2, 100);
    r.name = name58;
    std::u16string tip = FormatProgressTip(r);
    EXPECT_LE(tip.size(), kTipCapacity - 1) << "the tip fits its field";
    EXPECT_EQ(tip.substr(0, 5 + 57 + 3), u"正在同步 " + std::u16string(57, u'名') + u"...");
}

TEST(TrayTips, TextByState)
{
    TipInputs in;
    in.total = 10 * kGiB;
    in.free = 2560 * kMiB;
    in.transfer = Transfer(1536, 1024, 1, 0);
    const struct {
        AppState state;
        const char16_t* tip;  // null: the tip flag is cleared
    } cases[] = {
        {AppState::NotBound, u"您的计算机还没有与Tavo帐户绑定"},
        {AppState::Synced, u"所有文件已经同步\n共 10 GB空间，已使用75.0%，剩余 2560 MB"},
        {AppState::Syncing, u"正在同步 报告.docx"},
        {AppState::Offline, u"网络不可用，请检查您的网络连接是否畅通"},
        {AppState::SigningOn, nullptr},
        {AppState::CredentialsRejected, u"您的登录密码不正确，请重新运行设置向导"},
        {AppState::FolderMissing, u"您Tessel的本地文件夹已丢失，请重新运行设置向导"},
        {AppState::AccountInfoFailed, u"您的用户配置信息获取失败，请重新运行设置向导"},
        {AppState::AccountFrozen, u"您的帐户已被冻结，请联系网站管理员或重新注册"},
        {AppState::Starting, nullptr},
    };
    for (const auto& c : cases) {
        TipText tip = TipForState(c.state, in);
        EXPECT_EQ(tip.shown, c.tip != nullptr) << static_cast<int>(c.state);
        if (c.tip) {
            EXPECT_EQ(tip.text, c.tip) << static_cast<int>(c.state);
        }
    }
}

TEST(TrayTips, StartingShowsTheCallersTextCut)
{
    TipInputs in;
    in.has_caller_text = true;
    in.caller_text = std::u16string(200, u'x');
    TipText tip = TipForState(AppState::Starting, in);
    EXPECT_TRUE(tip.shown);
    EXPECT_EQ(tip.text.size(), 127u);
}

TEST(TrayBalloons, RulesByKindAndPreviousState)
{
    const int upgrade = kBalloonUpgrade;
    const int not_bound = static_cast<int>(AppState::NotBound);
    const int synced = static_cast<int>(AppState::Synced);
    const int starting = static_cast<int>(AppState::Starting);
    const struct {
        int kind;
        AppState previous;
        const char16_t* text;
        const char16_t* title;
        const char16_t* shown_title;  // null: no balloon
        const char16_t* shown_text;
    } cases[] = {
        {upgrade, AppState::Synced, u"升级至版本：X", u"升级提示", u"升级提示", u"升级至版本：X"},
        {not_bound, AppState::Starting, u"", u"", u"帐户未绑定", u"请将您的计算机与Tavo帐户进行绑定，点击这里开始"},
        {not_bound, AppState::Synced, u"", u"", nullptr, nullptr},
        {starting, AppState::Synced, u"正文", u"标题", u"标题", u"正文"},
        {starting, AppState::Synced, u"正文", u"", nullptr, nullptr},
        {starting, AppState::Synced, u"", u"标题", nullptr, nullptr},
        {synced, AppState::NotBound, u"", u"", u"设置完成",
         u"设置完成！您只需要将文件放入网盘文件夹即可保持与网站数据的同步"},
        {synced, AppState::Syncing, u"", u"", nullptr, nullptr},
        {static_cast<int>(AppState::Offline), AppState::Synced, u"a", u"b", nullptr, nullptr},
    };
    for (const auto& c : cases) {
        BalloonText b = BalloonFor(c.kind, c.previous, c.text, c.title);
        ASSERT_EQ(b.shown, c.shown_title != nullptr) << c.kind << "/" << static_cast<int>(c.previous);
        if (b.shown) {
            EXPECT_EQ(b.title, c.shown_title);
            EXPECT_EQ(b.text, c.shown_text);
        }
    }
}

TEST(TrayBalloons, LongTextsAreCutToTheirFields)
{
    BalloonText b = BalloonFor(kBalloonUpgrade, AppState::Synced, std::u16string(300, u't'),
                               std::u16string(80, u'h'));
    EXPECT_EQ(b.text.size(), kBalloonTextCapacity - 1);
    EXPECT_EQ(b.title.size(), kBalloonTitleCapacity - 1);
}

TEST(TrayVersion, ProductVersionAndBuild)
{
    VersionParts v{{1, 2, 3, 4}, 567};
    EXPECT_EQ(FormatVersionText(v), u"TavoTessel 1.2.3.4 Beta (Build 567)");
    BalloonText b = UpgradeBalloon(v);
    EXPECT_EQ(b.title, u"升级提示");
    EXPECT_EQ(b.text, u"升级至版本：TavoTessel 1.2.3.4 Beta (Build 567)");
}

TEST(TrayUpdateResult, WhatEachOutcomeShows)
{
    const struct {
        uint32_t outcome;
        bool manual;
        const char16_t* status;  // null: nothing visible
        uint32_t colour;
        bool balloon;
    } cases[] = {
        {0, false, u"即将更新至最新版本...", kStatusGreen, true},
        {0, true, u"即将更新至最新版本...", kStatusGreen, true},
        {1, true, u"您当前使用的已是最新版本。", kStatusGreen, false},
        {1, false, nullptr, 0, false},
        {2, true, u"服务器忙碌中，请稍后尝试...", kStatusRed, false},
        {2, false, nullptr, 0, false},
        {7, true, nullptr, 0, false},
    };
    for (const auto& c : cases) {
        UpdateResultDisplay d = UpdateResultFor(c.outcome, c.manual);
        EXPECT_EQ(d.shows_status, c.status != nullptr) << c.outcome << c.manual;
        if (c.status) {
            EXPECT_EQ(d.status, c.status);
            EXPECT_EQ(d.colour, c.colour);
        }
        EXPECT_EQ(d.balloon.shown, c.balloon);
    }
    EXPECT_EQ(UpdateResultFor(0, false).balloon.text, u"发现新版本，准备开始升级您的客户端");
}

}  // namespace
