// The tray window and its icon data in this process: what the shell is
// handed for each state, the clicks and notices the window reacts to, and
// the about box.
#include <gtest/gtest.h>

#include <windows.h>

#include <process.h>

#include <atomic>
#include <string>
#include <thread>

#include "client/shell/app_state.h"
#include "client/shell/controller.h"
#include "client/shell/controller_parts.h"
#include "client/shell/resource.h"
#include "client/app/tests/tray_shell_support.h"
#include "client/shell/tray_icon.h"
#include "common/tests/test_support.h"
#include "common/tray_contract.h"

namespace {

using Helper::AppState;
using Testing::CTrayFixture;

LRESULT Notify(HWND window, LPARAM notice, WPARAM wparam = 0)
{
    return SendMessageW(window, Helper::WM_TRAYNOTIFY, wparam, notice);
}

TEST(TrayIcon, AddsTheStatesIconWithItsTipAndBalloon)
{
    CTrayFixture tray(AppState::NotBound);
    ASSERT_NE(tray.Window(), nullptr);
    EXPECT_EQ(Helper::GetTrayWindow(), tray.Window());
    const Helper::TrayProbeRecord added = tray.Last();
    EXPECT_EQ(added.message, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ(added.size, 968u);
    EXPECT_EQ(added.callback_message, Helper::WM_TRAYNOTIFY);
    EXPECT_EQ(added.icon_id, 129);
    EXPECT_EQ(added.flags, static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_INFO));
    EXPECT_STREQ(added.tip, L"您的计算机还没有与Tavo帐户绑定");
    EXPECT_STREQ(added.info_title, L"帐户未绑定");
    EXPECT_STREQ(added.info, L"请将您的计算机与Tavo帐户进行绑定，点击这里开始");
    EXPECT_EQ(added.info_flags, static_cast<DWORD>(NIIF_INFO | NIIF_NOSOUND));
    // The window is hidden and of the class the other programs look for.
    EXPECT_FALSE(IsWindowVisible(tray.Window()));
    EXPECT_EQ(FindWindowW(Helper::kTrayWindowClass, nullptr), tray.Window());
}

TEST(TrayIcon, SigningOnShowsTheGreyIconWithoutTipOrBalloon)
{
    CTrayFixture tray(AppState::SigningOn);
    const Helper::TrayProbeRecord added = tray.Last();
    EXPECT_EQ(added.icon_id, 130);
    EXPECT_EQ(added.flags, static_cast<UINT>(NIF_MESSAGE | NIF_ICON));
}

TEST(TrayIcon, TipOnlyChangesNothingElseAndIsCut)
{
    CTrayFixture tray(AppState::Synced);
    Helper::ShowTipOnly(std::wstring(300, L'x').c_str());
    const Helper::TrayProbeRecord tip = tray.Last();
    EXPECT_EQ(tip.message, static_cast<DWORD>(NIM_MODIFY));
    EXPECT_EQ(tip.flags, static_cast<UINT>(NIF_TIP));
    EXPECT_EQ(std::wstring(tip.tip), std::wstring(127, L'x'));
}

TEST(TrayIcon, LeftClickOpensTheWizardUnlessSignedOn)
{
    for (AppState state : {AppState::SigningOn, AppState::Offline, AppState::FolderMissing}) {
        CTrayFixture tray(state);
        Notify(tray.Window(), WM_LBUTTONUP);
        EXPECT_EQ(tray.Dialogs().calls, std::vector<std::wstring>{L"wizard current"});
    }
    CTrayFixture tray(AppState::Synced);
    Notify(tray.Window(), WM_LBUTTONUP);
    EXPECT_TRUE(tray.Dialogs().calls.empty());
}

TEST(TrayIcon, BalloonClickLeadsToTheWizardOfTheState)
{
    struct Case {
        AppState state;
        const wchar_t* call;
        bool binding_tip;
    };
    for (const Case& c : {Case{AppState::NotBound, L"wizard 1", false},
                          Case{AppState::CredentialsRejected, L"wizard 2", true},
                          Case{AppState::AccountInfoFailed, L"wizard 4", true}}) {
        CTrayFixture tray(c.state);
        Notify(tray.Window(), NIN_BALLOONUSERCLICK);
        EXPECT_EQ(tray.Dialogs().calls, std::vector<std::wstring>{c.call});
        const Helper::TrayProbeRecord last = tray.Last();
        EXPECT_EQ(last.flags == NIF_TIP && std::wstring(last.tip) == L"正在将您的计算机与Tavo帐户绑定", c.binding_tip);
    }
    CTrayFixture tray(AppState::Offline);
    Notify(tray.Window(), NIN_BALLOONUSERCLICK);
    EXPECT_TRUE(tray.Dialogs().calls.empty());
}

TEST(TrayIcon, UpdateResultsOfAnAutomaticCheckShowOnlyANewVersion)
{
    CTrayFixture tray(AppState::Synced);
    const size_t sent = tray.Records().size();
    Notify(tray.Window(), Helper::TE_UPDATE_RESULT, Helper::UpdateNoticeCurrent);
    Notify(tray.Window(), Helper::TE_UPDATE_RESULT, Helper::UpdateNoticeFailed);
    EXPECT_TRUE(tray.Dialogs().calls.empty());
    EXPECT_EQ(tray.Records().size(), sent);

    Notify(tray.Window(), Helper::TE_UPDATE_RESULT, Helper::UpdateNoticeUpdating);
    EXPECT_EQ(tray.Dialogs().calls, std::vector<std::wstring>{L"status 32768 即将更新至最新版本..."});
    const Helper::TrayProbeRecord balloon = tray.Last();
    EXPECT_TRUE(balloon.flags & NIF_INFO);
    EXPECT_STREQ(balloon.info_title, L"升级提示");
    EXPECT_STREQ(balloon.info, L"发现新版本，准备开始升级您的客户端");
}

TEST(TrayIcon, UpdateResultsOfACheckTheUserAskedForReachTheStatusLine)
{
    CTrayFixture tray(AppState::Synced);
    Helper::App().manual_update = true;
    Notify(tray.Window(), Helper::TE_UPDATE_RESULT, Helper::UpdateNoticeCurrent);
    Notify(tray.Window(), Helper::TE_UPDATE_RESULT, Helper::UpdateNoticeFailed);
    EXPECT_EQ(tray.Dialogs().calls, (std::vector<std::wstring>{L"status 32768 您当前使用的已是最新版本。",
                                                              L"status 255 服务器忙碌中，请稍后尝试..."}));
}

TEST(TrayIcon, UpgradedShowsTheRunningVersion)
{
    CTrayFixture tray(AppState::Synced);
    Notify(tray.Window(), Helper::TE_UPGRADED);
    const Helper::TrayProbeRecord balloon = tray.Last();
    EXPECT_STREQ(balloon.info_title, L"升级提示");
    const std::wstring text = balloon.info;
    EXPECT_EQ(text.rfind(L"升级至版本：TavoTessel ", 0), 0u) << text;
    EXPECT_NE(text.find(L" Beta (Build "), std::wstring::npos) << text;
}

// The state is refreshed from other threads while the upgrade notice sets its
// balloon on the tray window's: every balloon set is the one sent.
TEST(TrayIcon, UpgradeBalloonSurvivesARefreshOnAnotherThread)
{
    constexpr int kNotices = 100;
    CTrayFixture tray(AppState::Synced);
    std::atomic<bool> done{false};
    std::thread refresher([&] {
        for (int i = 0; i < 150 && !done.load(); ++i)
            Helper::RefreshProgress();
    });
    for (int i = 0; i < kNotices; ++i)
        Notify(tray.Window(), Helper::TE_UPGRADED);
    done.store(true);
    refresher.join();
    int balloons = 0;
    for (const Helper::TrayProbeRecord& record : tray.Records())
        balloons += (record.flags & NIF_INFO) != 0 && std::wstring(record.info_title) == L"升级提示";
    EXPECT_EQ(balloons, kNotices);
}

TEST(TrayIcon, IncompatibleServerRemovesTheIconAndQuits)
{
    CTrayFixture tray(AppState::Synced);
    HWND window = tray.Window();
    Notify(window, Helper::TE_INCOMPATIBLE);
    EXPECT_EQ(tray.Last().message, static_cast<DWORD>(NIM_DELETE));
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(Helper::GetTrayWindow(), nullptr);
    MSG quit;
    EXPECT_TRUE(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

TEST(TrayIcon, ExplorerRestartAddsTheIconAgainWithoutBalloon)
{
    CTrayFixture tray(AppState::Synced);
    HWND old_window = tray.Window();
    SendMessageW(old_window, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
    const auto records = tray.Records();
    ASSERT_GE(records.size(), 3u);
    EXPECT_EQ(records[records.size() - 2].message, static_cast<DWORD>(NIM_DELETE));
    const Helper::TrayProbeRecord added = records.back();
    EXPECT_EQ(added.message, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ(added.icon_id, 128);
    EXPECT_EQ(added.flags & NIF_INFO, 0u);
    EXPECT_FALSE(IsWindow(old_window));
    EXPECT_NE(Helper::GetTrayWindow(), nullptr);
}

TEST(TrayIcon, ProgressTimerRunsOnlyWhileSyncing)
{
    CTrayFixture tray(AppState::Syncing);
    Notify(tray.Window(), Helper::TE_STATE_CHANGED);
    EXPECT_NE(Helper::App().timers.progress, 0u);
    Helper::SetAppState(AppState::Synced);
    Notify(tray.Window(), Helper::TE_STATE_CHANGED);
    EXPECT_EQ(Helper::App().timers.progress, 0u);
}

// The about box, read and closed from another thread while it runs.
struct AboutSeen {
    std::wstring version;
    LONG frame_width = 0;
    LONG client_width = 0;
    LONG line_height = 0;
};

unsigned __stdcall ReadAndCloseAbout(void* argument)
{
    auto* seen = static_cast<AboutSeen*>(argument);
    HWND about = nullptr;
    // Shown once its initialisation is done.
    Testing::WaitFor([&] {
        about = FindWindowW(nullptr, L"TavoTessel - 关于我们");
        return about != nullptr && IsWindowVisible(about);
    });
    if (about == nullptr)
        return 0;
    wchar_t text[128] = {};
    GetDlgItemTextW(about, IDC_VERSION, text, 128);
    seen->version = text;
    RECT client, frame, line;
    GetClientRect(about, &client);
    GetWindowRect(GetDlgItem(about, IDC_FRAME), &frame);
    GetWindowRect(GetDlgItem(about, IDC_LINE), &line);
    seen->client_width = client.right;
    seen->frame_width = frame.right - frame.left;
    seen->line_height = line.bottom - line.top;
    PostMessageW(about, WM_COMMAND, IDOK, 0);
    return 0;
}

TEST(TrayIcon, AboutBoxShowsTheVersionOnAStretchedFrame)
{
    CTrayFixture tray(AppState::Synced);
    AboutSeen seen;
    HANDLE reader = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ReadAndCloseAbout, &seen, 0, nullptr));
    ASSERT_NE(reader, nullptr);
    Helper::ShowAboutBox(nullptr);
    WaitForSingleObject(reader, INFINITE);
    CloseHandle(reader);
    EXPECT_EQ(seen.version.rfind(L"TavoTessel ", 0), 0u) << seen.version;
    EXPECT_NE(seen.version.find(L" Beta (Build "), std::wstring::npos);
    EXPECT_EQ(seen.frame_width, seen.client_width);
    EXPECT_EQ(seen.line_height, 2);
}

}  // namespace
