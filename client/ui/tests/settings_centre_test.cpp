// The settings centre driven as a user drives it: its pages, the change
// tracking of 应用, the speed limits as shown and as stored, the commit and
// closing without writing, and the update page's status line.
#include "client/shell/resource.h"
#include "client/shell/settings_store.h"
#include "client/ui/tests/dialog_test_support.h"
#include "client/ui/tests/gui_driver.h"
#include "common/registry_access.h"
#include "common/tray_contract.h"
#include "common/tests/test_support.h"

#include <gtest/gtest.h>

namespace {

using namespace GuiTest;

constexpr const wchar_t* kTitle = L"设置中心";
constexpr const wchar_t* kUser = L"settings_user";
constexpr COLORREF kGreen = RGB(0, 128, 0);
constexpr COLORREF kRed = RGB(255, 0, 0);

DWORD Stored(const wchar_t* value)
{
    return Helper::ReadAccountDword(value, kUser);
}

void Store(const wchar_t* value, DWORD number)
{
    Helper::WriteAccountDword(value, kUser, number);
}

class SettingsCentre : public testing::Test {
protected:
    void SetUp() override
    {
        ClearSettings();
        ASSERT_TRUE(ui_.Started());
    }
    void TearDown() override
    {
        EXPECT_TRUE(EndDialogs(ui_)) << "every dialog loop returned";
        ClearSettings();
    }
    void Open()
    {
        ui_.Post([] { Dialogs().OpenSettingsCentre(); });
        dialog_ = WaitForWindow(kDialogClass, kTitle, kDefaultTimeoutMs, GetCurrentProcessId());
        ASSERT_NE(dialog_, nullptr);
        ASSERT_TRUE(WaitUntil([&] { return OnlyPageShown(0); })) << "opens on 常规选项";
    }
    void OpenSignedIn()
    {
        SetSignedIn(kUser, folder_.Path());
        Open();
    }
    HWND Control(int id) { return FindControl(dialog_, id); }
    bool ApplyEnabled() { return IsWindowEnabled(Control(IDC_SETTINGS_APPLY)) != FALSE; }
    // The tag buttons are painted on the dialog: (11,11)-(99,41), then 30 pixels apart.
    void ClickTag(int index) { ClickAt(dialog_, 50, 26 + 30 * index); }
    // A control of each page, by tag.
    bool OnlyPageShown(int index)
    {
        const int controls[] = {IDC_AUTORUN, IDC_FOLDER, IDC_CHECK_UPDATE};
        for (int i = 0; i < 3; ++i) {
            if (IsShown(GetParent(Control(controls[i]))) != (i == index))
                return false;
        }
        return true;
    }
    void ShowPage(int index, int control)
    {
        ClickTag(index);
        ASSERT_TRUE(WaitUntil([&] { return OnlyPageShown(index); }));
        ASSERT_TRUE(IsShown(Control(control)));
    }
    bool Closed() { return WaitForWindowGone(dialog_) && WaitUntil([&] { return ui_.Idle(); }); }
    // Every click posted before has been handled once this returns.
    void Flush() { ASSERT_TRUE(ui_.Run([] {})); }

    CDialogThread ui_;
    Testing::CTempFolder folder_;
    HWND dialog_ = nullptr;
};

TEST_F(SettingsCentre, TagButtonsSwitchThePages)
{
    OpenSignedIn();
    EXPECT_EQ(GetText(GetParent(Control(IDC_AUTORUN))), L"常规选项") << "the title band's text";
    ShowPage(1, IDC_FOLDER);
    EXPECT_EQ(GetText(GetParent(Control(IDC_FOLDER))), L"同步设置");
    // A press followed by any movement switches before the release.
    PostMessageW(dialog_, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(50, 86));
    MoveMouse(dialog_, 51, 86);
    EXPECT_TRUE(WaitUntil([&] { return OnlyPageShown(2); }));
    EXPECT_FALSE(ApplyEnabled()) << "switching pages changes nothing";
}

TEST_F(SettingsCentre, SignedInShowsTheAccountFolderAndLimits)
{
    Store(Helper::kRegEnableMaxUpload, 1);
    Store(Helper::kRegMaxUpload, 0);
    Store(Helper::kRegMaxDownload, 0x10000 + 300);
    OpenSignedIn();
    EXPECT_EQ(GetText(Control(IDC_ACCOUNT_LINK)), L"<a>settings_user</a>");
    EXPECT_TRUE(IsWindowEnabled(Control(IDC_CHANGE_ACCOUNT)));
    EXPECT_EQ(GetText(Control(IDC_FOLDER)), folder_.Path());
    EXPECT_EQ(GetText(Control(IDC_UPLOAD_LIMIT)), L"50") << "50 shown for a stored 0";
    EXPECT_TRUE(IsChecked(Control(IDC_UPLOAD_LIMIT_ON)));
    EXPECT_TRUE(IsWindowEnabled(Control(IDC_UPLOAD_LIMIT)));
    EXPECT_EQ(GetText(Control(IDC_DOWNLOAD_LIMIT)), L"300") << "the low 16 bits";
    EXPECT_FALSE(IsChecked(Control(IDC_DOWNLOAD_LIMIT_ON)));
    EXPECT_FALSE(IsWindowEnabled(Control(IDC_DOWNLOAD_LIMIT)));
    EXPECT_FALSE(IsWindowEnabled(Control(IDC_DOWNLOAD_SPIN)));
    EXPECT_FALSE(ApplyEnabled()) << "nothing changed yet";
}

TEST_F(SettingsCentre, NotSignedInDisablesTheAccountAndSyncControls)
{
    SetNotBound();
    Open();
    EXPECT_EQ(GetText(Control(IDC_ACCOUNT_LINK)), L"用户未登录");
    EXPECT_FALSE(IsWindowEnabled(Control(IDC_ACCOUNT_LINK)));
    EXPECT_FALSE(IsWindowEnabled(Control(IDC_CHANGE_ACCOUNT)));
    for (int id : {IDC_FOLDER, IDC_CHANGE_FOLDER, IDC_UPLOAD_LIMIT_ON, IDC_UPLOAD_LIMIT, IDC_UPLOAD_SPIN,
                   IDC_DOWNLOAD_LIMIT_ON, IDC_DOWNLOAD_LIMIT, IDC_DOWNLOAD_SPIN, IDC_UPLOAD_UNIT, IDC_DOWNLOAD_UNIT})
        EXPECT_FALSE(IsWindowEnabled(Control(id))) << id;
    EXPECT_TRUE(IsWindowEnabled(Control(IDC_CHECK_UPDATE)));
    // Autorun alone commits without asking about the empty folder box.
    Click(dialog_, IDC_AUTORUN);
    ASSERT_TRUE(WaitUntil([&] { return ApplyEnabled(); }));
    Click(dialog_, IDC_SETTINGS_OK);
    EXPECT_TRUE(Closed());
    EXPECT_TRUE(Helper::IsAutorunEnabled());
    EXPECT_EQ(Helper::ReadAccountDword(Helper::kRegMaxUpload, L""), 0u);
}

TEST_F(SettingsCentre, ApplyIsEnabledOnlyByChanges)
{
    Helper::WriteAutoUpdate(1);
    OpenSignedIn();
    ShowPage(2, IDC_AUTO_UPDATE_ON);
    EXPECT_TRUE(IsChecked(Control(IDC_AUTO_UPDATE_ON)));
    Click(dialog_, IDC_AUTO_UPDATE_ON);
    Click(dialog_, IDC_CHECK_UPDATE);
    Flush();
    EXPECT_FALSE(ApplyEnabled()) << "the same choice again, and 检查更新, change nothing";
    Click(dialog_, IDC_AUTO_UPDATE_OFF);
    ASSERT_TRUE(WaitUntil([&] { return ApplyEnabled(); }));
    Click(dialog_, IDC_AUTO_UPDATE_ON);
    EXPECT_TRUE(WaitUntil([&] { return IsChecked(Control(IDC_AUTO_UPDATE_ON)); }));
    EXPECT_TRUE(ApplyEnabled()) << "going back keeps 应用 enabled";
}

TEST_F(SettingsCentre, EachKindOfChangeEnablesApply)
{
    const struct {
        int page;
        int control;
        bool typed;
    } changes[] = {{0, IDC_AUTORUN, false}, {1, IDC_FOLDER, true}, {1, IDC_UPLOAD_LIMIT_ON, false},
                                  {1, IDC_DOWNLOAD_LIMIT_ON, false}, {1, IDC_UPLOAD_LIMIT, true}};
    Store(Helper::kRegEnableMaxUpload, 1);
    for (const auto& change : changes) {
        SCOPED_TRACE(change.control);
        OpenSignedIn();
        ShowPage(change.page, change.control);
        if (change.typed) {
            SetText(Control(change.control), L"12");
        } else {
            Click(dialog_, change.control);
        }
        EXPECT_TRUE(WaitUntil([&] { return ApplyEnabled(); }));
        Click(dialog_, IDC_SETTINGS_CANCEL);
        ASSERT_TRUE(Closed());
    }
}

TEST_F(SettingsCentre, CheckingALimitEnablesItsBox)
{
    OpenSignedIn();
    ShowPage(1, IDC_DOWNLOAD_LIMIT_ON);
    Click(dialog_, IDC_DOWNLOAD_LIMIT_ON);
    EXPECT_TRUE(WaitUntil([&] { return IsWindowEnabled(Control(IDC_DOWNLOAD_LIMIT)); }));
    EXPECT_TRUE(IsWindowEnabled(Control(IDC_DOWNLOAD_SPIN)));
    Click(dialog_, IDC_DOWNLOAD_LIMIT_ON);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindowEnabled(Control(IDC_DOWNLOAD_LIMIT)); }));
    EXPECT_FALSE(IsWindowEnabled(Control(IDC_DOWNLOAD_SPIN)));
}

TEST_F(SettingsCentre, CommitWritesTheLimitsHeldWithinTheRange)
{
    Store(Helper::kRegMaxUpload, 0);
    OpenSignedIn();
    ShowPage(1, IDC_UPLOAD_LIMIT_ON);
    Click(dialog_, IDC_UPLOAD_LIMIT_ON);
    Click(dialog_, IDC_DOWNLOAD_LIMIT_ON);
    ASSERT_TRUE(WaitUntil([&] { return IsWindowEnabled(Control(IDC_DOWNLOAD_LIMIT)); }));
    SetText(Control(IDC_UPLOAD_LIMIT), L"9999");
    SetText(Control(IDC_DOWNLOAD_LIMIT), L"0");
    Click(dialog_, IDC_SETTINGS_APPLY);
    ASSERT_TRUE(WaitUntil([&] { return !ApplyEnabled(); })) << "应用 is disabled after the commit";
    EXPECT_EQ(Stored(Helper::kRegEnableMaxUpload), 1u);
    EXPECT_EQ(Stored(Helper::kRegEnableMaxDownload), 1u);
    EXPECT_EQ(Stored(Helper::kRegMaxUpload), 2048u);
    EXPECT_EQ(Stored(Helper::kRegMaxDownload), 1u);
    EXPECT_EQ(GetText(Control(IDC_UPLOAD_LIMIT)), L"2048") << "the box shows what was stored";
    EXPECT_EQ(GetText(Control(IDC_DOWNLOAD_LIMIT)), L"1");
    EXPECT_TRUE(IsShown(dialog_)) << "应用 keeps the dialog open";
}

TEST_F(SettingsCentre, AStoredZeroIsCommittedAsTheFiftyShown)
{
    Store(Helper::kRegMaxUpload, 0);
    OpenSignedIn();
    Click(dialog_, IDC_AUTORUN);
    ASSERT_TRUE(WaitUntil([&] { return ApplyEnabled(); }));
    PressKey(dialog_, VK_RETURN);
    EXPECT_TRUE(Closed()) << "Enter commits and closes";
    EXPECT_EQ(Stored(Helper::kRegMaxUpload), 50u);
    EXPECT_EQ(Stored(Helper::kRegEnableMaxUpload), 0u);
    EXPECT_TRUE(Helper::IsAutorunEnabled());
}

TEST_F(SettingsCentre, CloseWritesNothing)
{
    Store(Helper::kRegMaxUpload, 0);
    for (auto close : {+[](HWND d) { Click(d, IDC_SETTINGS_CANCEL); }, +[](HWND d) { PressKey(d, VK_ESCAPE); },
                       +[](HWND d) { PostClose(d); }}) {
        OpenSignedIn();
        Click(dialog_, IDC_AUTORUN);
        ShowPage(1, IDC_UPLOAD_LIMIT_ON);
        Click(dialog_, IDC_UPLOAD_LIMIT_ON);
        ASSERT_TRUE(WaitUntil([&] { return ApplyEnabled(); }));
        close(dialog_);
        ASSERT_TRUE(Closed());
        EXPECT_FALSE(Helper::IsAutorunEnabled());
        EXPECT_EQ(Stored(Helper::kRegEnableMaxUpload), 0u);
        EXPECT_EQ(Stored(Helper::kRegMaxUpload), 0u) << "the 50 shown is not written";
    }
}

TEST_F(SettingsCentre, OkWithApplyDisabledClosesWithoutWriting)
{
    Store(Helper::kRegMaxUpload, 0);
    OpenSignedIn();
    Click(dialog_, IDC_SETTINGS_OK);
    EXPECT_TRUE(Closed());
    EXPECT_EQ(Stored(Helper::kRegMaxUpload), 0u);
    EXPECT_EQ(Helper::ReadAutoUpdate(), 0u) << "not even the automatic update";
}

TEST_F(SettingsCentre, AFolderThatCannotBeMadeKeepsTheDialogOnTheSyncPage)
{
    std::wstring folder = MissingDrive() + L"TavoTessel\\settings_user";
    OpenSignedIn();
    ShowPage(1, IDC_FOLDER);
    SetText(Control(IDC_FOLDER), folder.c_str());
    ShowPage(0, IDC_AUTORUN);
    Click(dialog_, IDC_SETTINGS_OK);
    HWND box = WaitForBox(L"TavoTessel - 无法创建文件夹");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(GetText(FindControl(box, 0xFFFF)), L"无法创建文件夹“" + folder + L"”，请更换一个新的Tessel文件夹");
    ASSERT_TRUE(Answer(box, IDOK));
    EXPECT_TRUE(WaitUntil([&] { return OnlyPageShown(1); })) << "back on 同步设置";
    DWORD selection = static_cast<DWORD>(SendMessageW(Control(IDC_FOLDER), EM_GETSEL, 0, 0));
    EXPECT_EQ(LOWORD(selection), 0);
    EXPECT_EQ(HIWORD(selection), folder.size()) << "the whole text selected";
    EXPECT_TRUE(ApplyEnabled()) << "nothing committed";
    EXPECT_FALSE(Helper::IsAutorunEnabled());
}

TEST_F(SettingsCentre, ANonEmptyFolderIsUsedOnlyWhenTheUserAgrees)
{
    Testing::CTempFolder other;
    ASSERT_TRUE(Testing::WriteFileBytes(other / L"a.txt", "a"));
    OpenSignedIn();
    ShowPage(1, IDC_FOLDER);
    SetText(Control(IDC_FOLDER), other.Path().c_str());
    Click(dialog_, IDC_SETTINGS_APPLY);
    HWND box = WaitForBox(L"TavoTessel - 文件夹选择");
    ASSERT_NE(box, nullptr);
    ASSERT_TRUE(Answer(box, IDNO));
    EXPECT_TRUE(ApplyEnabled());
    EXPECT_EQ(Stored(Helper::kRegMaxUpload), 0u) << "nothing committed";
    // The current folder again, in other letter case, is not asked about.
    std::wstring same = folder_.Path();
    CharUpperW(&same[0]);
    ASSERT_TRUE(Testing::WriteFileBytes(folder_ / L"b.txt", "b"));
    SetText(Control(IDC_FOLDER), same.c_str());
    Click(dialog_, IDC_SETTINGS_APPLY);
    EXPECT_TRUE(WaitUntil([&] { return !ApplyEnabled(); })) << "committed without a question";
    EXPECT_EQ(Stored(Helper::kRegMaxUpload), 50u) << "committed";
}

TEST_F(SettingsCentre, TheUpdateStatusLineShowsItsColour)
{
    OpenSignedIn();
    ShowPage(2, IDC_UPDATE_STATUS);
    HWND status = Control(IDC_UPDATE_STATUS);
    EXPECT_EQ(GetText(status), L"您可以立即检查更新，升级到最新版本。");
    Click(dialog_, IDC_CHECK_UPDATE);
    // No updater lies beside the test program.
    EXPECT_TRUE(WaitForControlText(dialog_, IDC_UPDATE_STATUS, L"无法进行自动更新！请尝试重新安装程序修复问题。"));
    EXPECT_TRUE(WaitUntil([&] { return ShowsColour(status, kRed); }));
    ui_.Run([] { Dialogs().ShowUpdateStatus(L"您当前使用的已是最新版本。", kGreen); });
    EXPECT_EQ(GetText(status), L"您当前使用的已是最新版本。");
    EXPECT_TRUE(WaitUntil([&] { return ShowsColour(status, kGreen) && !ShowsColour(status, kRed); }));
}

TEST_F(SettingsCentre, ASecondOpenRaisesTheOpenDialog)
{
    OpenSignedIn();
    EXPECT_TRUE(ui_.Run([] { Dialogs().OpenSettingsCentre(); })) << "returns at once";
    EXPECT_EQ(TopWindowsOfProcess(GetCurrentProcessId()).size(), 1u) << "one settings centre";
    Click(dialog_, IDC_SETTINGS_CANCEL);
    EXPECT_TRUE(Closed());
}

TEST_F(SettingsCentre, AnUpdateResultPostedToTheTrayReachesTheStatusLine)
{
    CTestTray tray(ui_);
    ASSERT_NE(tray.Window(), nullptr);
    OpenSignedIn();
    ShowPage(2, IDC_UPDATE_STATUS);
    HWND status = Control(IDC_UPDATE_STATUS);
    Helper::App().manual_update = true;
    PostMessageW(tray.Window(), Helper::WM_TRAYNOTIFY, Helper::UpdateNoticeCurrent, Helper::TE_UPDATE_RESULT);
    EXPECT_TRUE(WaitForControlText(dialog_, IDC_UPDATE_STATUS, L"您当前使用的已是最新版本。"));
    EXPECT_TRUE(WaitUntil([&] { return ShowsColour(status, kGreen); }));
    PostMessageW(tray.Window(), Helper::WM_TRAYNOTIFY, Helper::UpdateNoticeFailed, Helper::TE_UPDATE_RESULT);
    EXPECT_TRUE(WaitForControlText(dialog_, IDC_UPDATE_STATUS, L"服务器忙碌中，请稍后尝试..."));
    EXPECT_TRUE(WaitUntil([&] { return ShowsColour(status, kRed) && !ShowsColour(status, kGreen); }));
}

TEST_F(SettingsCentre, ChangeAccountSignsOutAndOpensTheWizard)
{
    CTestTray tray(ui_);
    OpenSignedIn();
    Click(dialog_, IDC_CHANGE_ACCOUNT);
    // Its window goes when its loop returns, after the wizard's.
    ASSERT_TRUE(WaitUntil([&] { return !IsShown(dialog_); })) << "the settings centre closes";
    HWND wizard = WaitForWindow(kDialogClass, L"TavoTessel 设置向导 (1/2)", kDefaultTimeoutMs, GetCurrentProcessId());
    ASSERT_NE(wizard, nullptr);
    EXPECT_EQ(GetText(FindControl(wizard, IDC_USER)), kUser) << "the account signed out of";
    EXPECT_EQ(Helper::GetAppState(), Helper::AppState::NotBound);
}

}  // namespace
