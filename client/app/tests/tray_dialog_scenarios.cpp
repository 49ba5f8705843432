// The tray program through its dialogs: binding an account on a fresh
// profile with the setup wizard, and the settings centre changing the
// upload limit and the folder and showing the updater's result.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>

#include "client/app/tests/tray_harness.h"
#include "client/shell/resource.h"
#include "client/ui/tests/gui_driver.h"
#include "common/registry_access.h"
#include "common/registry_layout.h"
#include "common/tests/test_support.h"
#include "common/tray_contract.h"

namespace {

using Helper::TrayProbeRecord;
using Testing::HasBalloon;
using Testing::HasTip;

using namespace TrayTest;

bool ServerHas(const std::string& line)
{
    return Testing::WaitFor([&] { return TrayTest::AskHost("server-tree").find(line) != std::string::npos; }, 90000);
}

class DialogScenario : public ::testing::Test {
protected:
    void SetUp() override
    {
        TrayTest::PrepareSettings();
        folder_ = TrayTest::ScenarioFolder(L"sync");
    }

    void Start()
    {
        ASSERT_TRUE(program_.Start());
        tray_ = program_.WaitForTrayWindow(kWindowMs);
        ASSERT_NE(tray_, nullptr);
    }

    // The account page's Next with the name and password, and the error
    // text it shows (empty when the folder page came instead).
    void SignOnWith(HWND page, const wchar_t* user, const wchar_t* password)
    {
        GuiTest::SetText(GuiTest::FindControl(page, IDC_USER), user);
        GuiTest::SetText(GuiTest::FindControl(page, IDC_PASSWORD), password);
        ASSERT_TRUE(GuiTest::Click(page, IDC_NEXT));
    }

    std::wstring WaitForError(HWND page, const std::wstring& text)
    {
        GuiTest::WaitUntil([&] {
            return GuiTest::IsShown(GuiTest::FindControl(page, IDC_SIGNON_ERROR)) &&
                   GuiTest::GetControlText(page, IDC_SIGNON_ERROR) == text;
        }, kSignOnMs);
        return GuiTest::GetControlText(page, IDC_SIGNON_ERROR);
    }

    Testing::CTrayProbe probe_;
    TrayTest::CTrayProgram program_;
    HWND tray_ = nullptr;
    std::wstring folder_;
};

TEST_F(DialogScenario, FirstStartBindsTheAccountThroughTheWizard)
{
    Start();
    HWND account = WaitForWindowTitled(program_.Id(), L"TavoTessel 设置向导 (1/2)");
    ASSERT_NE(account, nullptr);
    EXPECT_EQ(GuiTest::GetControlText(account, IDC_PROMPT), L"请输入您的Tavo帐户");

    SignOnWith(account, L"demo", L"wrong-password");
    EXPECT_EQ(WaitForError(account, L"用户名或密码错误，请重新输入"), L"用户名或密码错误，请重新输入");
    ASSERT_NE(TrayTest::AskHost("server-stop"), "");
    SignOnWith(account, L"demo", L"demo123");
    EXPECT_EQ(WaitForError(account, L"网络错误，请稍候再试"), L"网络错误，请稍候再试");
    ASSERT_NE(TrayTest::AskHost("server-start"), "");

    // The connection comes back within a few seconds; until then Next
    // fails as the user would see it, and is tried again.
    HWND folder_page = nullptr;
    for (int attempt = 0; attempt < 10 && folder_page == nullptr; ++attempt) {
        ASSERT_TRUE(GuiTest::WaitUntil(
            [&] { return IsWindowEnabled(GuiTest::FindControl(account, IDC_NEXT)) != FALSE; }, kSignOnMs));
        SignOnWith(account, L"demo", L"demo123");
        folder_page = WaitForWindowTitled(program_.Id(), L"TavoTessel 设置向导 (2/2)", 15000);
    }
    ASSERT_NE(folder_page, nullptr);
    EXPECT_EQ(GuiTest::GetControlText(folder_page, IDC_FOLDER), L"C:\\TavoTessel\\demo");

    const std::wstring bound = folder_ + L"\\bound\\TavoTessel";
    const LONG before_finish = probe_.Count();
    GuiTest::SetText(GuiTest::FindControl(folder_page, IDC_FOLDER), bound.c_str());
    ASSERT_TRUE(GuiTest::Click(folder_page, IDC_FINISH));
    ASSERT_TRUE(GuiTest::WaitForWindowGone(folder_page));
    const LONG synced = probe_.WaitFor(
        [](const TrayProbeRecord& r) { return IsSyncedRecord(r) && HasBalloon(r, L"设置完成"); }, kSignOnMs, before_finish);
    ASSERT_GE(synced, 0);

    wchar_t stored[Helper::kRegUserCapacity] = {};
    Helper::ReadRegString(HKEY_CURRENT_USER, Helper::kRegRoot, Helper::kRegUser, stored, Helper::kRegUserCapacity);
    EXPECT_STREQ(stored, L"demo");
    ASSERT_TRUE(Testing::WriteFileBytes(bound + L"\\placed.txt", "placed after binding"));
    EXPECT_TRUE(ServerHas("F\tplaced.txt\t20\t"));
}

class SettingsScenario : public DialogScenario {
protected:
    void SetUp() override
    {
        DialogScenario::SetUp();
        TrayTest::StoreAccount(L"demo", L"demo123", folder_.c_str());
        Start();
        ASSERT_GE(probe_.WaitFor(IsSyncedRecord, kSignOnMs), 0);
        ASSERT_TRUE(ChooseFromTrayMenu(tray_, 'S'));
        settings_ = WaitForWindowTitled(program_.Id(), L"设置中心");
        ASSERT_NE(settings_, nullptr);
    }

    // Changes take effect through 应用.
    void Apply()
    {
        HWND apply = GuiTest::FindControl(settings_, IDC_SETTINGS_APPLY);
        ASSERT_TRUE(GuiTest::WaitUntil([&] { return IsWindowEnabled(apply) != FALSE; }));
        ASSERT_TRUE(GuiTest::Click(settings_, IDC_SETTINGS_APPLY));
        ASSERT_TRUE(GuiTest::WaitUntil([&] { return IsWindowEnabled(apply) == FALSE; }));
    }

    HWND settings_ = nullptr;
};

TEST_F(SettingsScenario, UploadLimitHoldsTheNextUpload)
{
    constexpr int kLimitKib = 16;
    constexpr size_t kFileBytes = 160 * 1024;
    ASSERT_TRUE(GuiTest::Click(settings_, IDC_UPLOAD_LIMIT_ON));
    GuiTest::SetText(GuiTest::FindControl(settings_, IDC_UPLOAD_LIMIT), std::to_wstring(kLimitKib).c_str());
    Apply();
    EXPECT_EQ(Helper::ReadAccountDword(Helper::kRegEnableMaxUpload, L"demo"), 1u);
    EXPECT_EQ(Helper::ReadAccountDword(Helper::kRegMaxUpload, L"demo"), static_cast<DWORD>(kLimitKib));

    const ULONGLONG started = GetTickCount64();
    ASSERT_TRUE(Testing::WriteFileBytes(folder_ + L"\\limited.bin", std::string(kFileBytes, 'u')));
    ASSERT_TRUE(ServerHas("F\tlimited.bin\t" + std::to_string(kFileBytes) + "\t"));
    const double seconds = (GetTickCount64() - started) / 1000.0;
    const double rate_kib = kFileBytes / 1024.0 / seconds;
    std::printf("upload of %zu bytes under a limit of %d KB/s: %.1f s, %.1f KB/s\n", kFileBytes, kLimitKib, seconds,
                rate_kib);
    EXPECT_LE(rate_kib, kLimitKib * 1.05);
}

TEST_F(SettingsScenario, FolderChangeMovesTheContents)
{
    ASSERT_TRUE(Testing::WriteFileBytes(folder_ + L"\\moving.txt", "moves with the folder"));
    ASSERT_TRUE(ServerHas("F\tmoving.txt\t"));
    const std::wstring moved = TrayTest::ScenarioFolder(L"moved");
    GuiTest::SetText(GuiTest::FindControl(settings_, IDC_FOLDER), moved.c_str());
    Apply();
    EXPECT_TRUE(GuiTest::WaitUntil(
        [&] { return Testing::ReadFileBytes(moved + L"\\moving.txt") == "moves with the folder"; }, kWindowMs));
    EXPECT_FALSE(Testing::FileExists(folder_ + L"\\moving.txt"));
    wchar_t stored[Helper::kRegFolderCapacity] = {};
    Helper::ReadAccountFolder(L"demo", stored);
    EXPECT_EQ(moved, stored);
    // Still in agreement with the server from the new folder.
    ASSERT_TRUE(Testing::WriteFileBytes(moved + L"\\after.txt", "after the move"));
    EXPECT_TRUE(ServerHas("F\tafter.txt\t"));
    EXPECT_TRUE(ServerHas("F\tmoving.txt\t"));
}

TEST_F(SettingsScenario, UpdateResultReachesTheStatusLine)
{
    // The build has no updater beside the program: the check cannot start.
    ASSERT_TRUE(GuiTest::Click(settings_, IDC_CHECK_UPDATE));
    EXPECT_TRUE(GuiTest::WaitForControlText(settings_, IDC_UPDATE_STATUS,
                                            L"无法进行自动更新！请尝试重新安装程序修复问题。"));
    ASSERT_TRUE(PostMessageW(tray_, Helper::WM_TRAYNOTIFY, Helper::UpdateNoticeCurrent, Helper::TE_UPDATE_RESULT));
    EXPECT_TRUE(GuiTest::WaitForControlText(settings_, IDC_UPDATE_STATUS, L"您当前使用的已是最新版本。"));
    const LONG before = probe_.Count();
    ASSERT_TRUE(PostMessageW(tray_, Helper::WM_TRAYNOTIFY, Helper::UpdateNoticeUpdating, Helper::TE_UPDATE_RESULT));
    EXPECT_TRUE(GuiTest::WaitForControlText(settings_, IDC_UPDATE_STATUS, L"即将更新至最新版本..."));
    EXPECT_GE(probe_.WaitFor([](const TrayProbeRecord& r) { return HasBalloon(r, L"升级提示"); }, kWindowMs, before),
              0);
}

}  // namespace
