// The tray program as a user meets it: started in a Wine desktop against
// the reference server, driven from outside through its tray window, its
// menu and its dialogs, and checked by what it hands to the shell (tips,
// icons, balloons), by its processes and by the files on both sides.
// Each scenario runs in a fresh prefix; tray_scenarios.py runs them.
#include <gtest/gtest.h>

#include <windows.h>

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
using Testing::CTrayProbe;
using Testing::HasBalloon;
using Testing::HasTip;
using Testing::ShowsState;
using TrayTest::CTrayProgram;

using namespace TrayTest;

constexpr int kIconProduct = 128;
constexpr int kIconNotBound = 129;
constexpr int kIconGrey = 130;
constexpr int kIconSyncing = 131;

const std::wstring kOfflineTip = L"网络不可用，请检查您的网络连接是否畅通";
const std::wstring kRejectedTip = L"您的登录密码不正确，请重新运行设置向导";
const std::wstring kNotBoundTip = L"您的计算机还没有与Tavo帐户绑定";
const std::wstring kBindingTip = L"正在将您的计算机与Tavo帐户绑定";
const std::wstring kFolderLostTip = L"您Tessel的本地文件夹已丢失，请重新运行设置向导";
const std::wstring kResetFolderTip = L"正在重设网盘本地备份的文件夹";
const std::wstring kWizardTitle = L"TavoTessel 设置向导";

// The engine scans the folder again a minute after its first pass.
constexpr DWORD kServerChangeMs = 200000;

bool TipOnly(const TrayProbeRecord& record, const std::wstring& tip)
{
    return record.message == NIM_MODIFY && record.flags == NIF_TIP && tip == record.tip;
}

std::string ServerTree() { return TrayTest::AskHost("server-tree"); }

class TrayScenario : public ::testing::Test {
protected:
    void SetUp() override
    {
        TrayTest::PrepareSettings();
        folder_ = TrayTest::ScenarioFolder(L"sync");
    }

    void StartWithAccount(const wchar_t* password = L"demo123")
    {
        TrayTest::StoreAccount(L"demo", password, folder_.c_str());
        Start();
    }

    void Start()
    {
        ASSERT_TRUE(program_.Start());
        tray_ = program_.WaitForTrayWindow(kWindowMs);
        ASSERT_NE(tray_, nullptr);
    }

    // Synced with the quota of the demo account, after the start.
    LONG WaitForSynced(LONG from = 0)
    {
        return probe_.WaitFor(IsSyncedRecord, kSignOnMs, from);
    }

    void ExpectCleanExit()
    {
        DWORD code = 1;
        ASSERT_TRUE(program_.WaitForExit(kWindowMs, &code));
        EXPECT_EQ(code, 0u);
        const auto records = probe_.Records();
        ASSERT_FALSE(records.empty());
        EXPECT_EQ(records.back().message, static_cast<DWORD>(NIM_DELETE));
        EXPECT_EQ(Testing::IconsShown(records), 0);
        EXPECT_EQ(TrayTest::CountProcesses(L"TavoTessel.exe"), 0);
    }

    std::wstring File(const wchar_t* name) const { return folder_ + L"\\" + name; }

    CTrayProbe probe_;
    CTrayProgram program_;
    HWND tray_ = nullptr;
    std::wstring folder_;
};

TEST_F(TrayScenario, StoredAccountSignsOnAndSyncsBothWays)
{
    ASSERT_TRUE(Testing::WriteFileBytes(File(L"up.txt"), "from this computer"));
    StartWithAccount();
    // Signing on: the grey icon without a tip, in the layout of the icon
    // data as the x64 build has it.
    const LONG added = probe_.WaitFor([](const TrayProbeRecord& r) { return r.message == NIM_ADD; }, kWindowMs);
    ASSERT_GE(added, 0);
    const TrayProbeRecord first = probe_.Records()[added];
    EXPECT_TRUE(first.accepted);
    EXPECT_EQ(first.state, kStateSigningOn);
    EXPECT_EQ(first.icon_id, kIconGrey);
    EXPECT_EQ(first.size, 968u);
    EXPECT_EQ(first.callback_message, Helper::WM_TRAYNOTIFY);
    EXPECT_EQ(first.flags & (NIF_TIP | NIF_INFO), 0u);

    ASSERT_GE(WaitForSynced(), 0);
    EXPECT_TRUE(Testing::WaitFor([] { return ServerTree().find("F\tup.txt\t18\t") != std::string::npos; }, 60000))
        << ServerTree();

    ASSERT_NE(TrayTest::AskHost("server-put down.txt from-the-other-computer"), "");
    EXPECT_TRUE(Testing::WaitFor(
        [&] { return Testing::ReadFileBytes(File(L"down.txt")) == "from-the-other-computer"; }, kServerChangeMs));
}

TEST_F(TrayScenario, UploadShowsProgressWhileSyncing)
{
    wchar_t path[Helper::kRegAccountKeyCapacity];
    Helper::AccountKeyPath(L"demo", path);
    Helper::WriteRegDword(HKEY_CURRENT_USER, path, L"EnableMaxUpload", 1);
    Helper::WriteRegDword(HKEY_CURRENT_USER, path, L"MaxUpload", 32);
    StartWithAccount();
    const LONG synced = WaitForSynced();
    ASSERT_GE(synced, 0);

    ASSERT_TRUE(Testing::WriteFileBytes(File(L"big.bin"), std::string(320 * 1024, 'x')));
    const LONG syncing = probe_.WaitFor(
        [](const TrayProbeRecord& r) {
            return ShowsState(r, kStateSyncing) && r.icon_id == kIconSyncing && HasTip(r, L"正在同步 big.bin\n上传速度 ");
        },
        kSignOnMs, synced);
    ASSERT_GE(syncing, 0);
    EXPECT_NE(std::wstring(probe_.Records()[syncing].tip).find(L"/320.0 KB)，剩余时间 00:00:"), std::wstring::npos)
        << probe_.Records()[syncing].tip;
    EXPECT_GE(WaitForSynced(syncing), 0);
}

TEST_F(TrayScenario, SecondStartLeavesOneProcessAndOneIcon)
{
    StartWithAccount();
    ASSERT_GE(WaitForSynced(), 0);
    HANDLE second = TrayTest::StartSecondInstance();
    ASSERT_NE(second, nullptr);
    ASSERT_EQ(WaitForSingleObject(second, kWindowMs), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeProcess(second, &code);
    CloseHandle(second);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(TrayTest::CountProcesses(L"TavoTessel.exe"), 1);
    const auto records = probe_.Records();
    EXPECT_EQ(Testing::IconsShown(records), 1);
    int added = 0;
    for (const auto& record : records)
        added += record.message == NIM_ADD ? 1 : 0;
    EXPECT_EQ(added, 1);
}

TEST_F(TrayScenario, ExitFromTheMenuAsksAndEndsWithoutIcon)
{
    StartWithAccount();
    ASSERT_GE(WaitForSynced(), 0);
    // Cancel keeps the program; OK ends it.
    for (int answer : {IDCANCEL, IDOK}) {
        // The last item, 退出(&X), is chosen by its key.
        ASSERT_TRUE(ChooseFromTrayMenu(tray_, 'X'));
        HWND box = WaitForWindowTitled(program_.Id(), L"TavoTessel - 退出程序");
        ASSERT_NE(box, nullptr);
        ASSERT_TRUE(GuiTest::Click(box, answer));
        ASSERT_TRUE(GuiTest::WaitForWindowGone(box));
        if (answer == IDCANCEL) {
            EXPECT_EQ(WaitForSingleObject(program_.Process(), 1000), static_cast<DWORD>(WAIT_TIMEOUT));
            EXPECT_EQ(Testing::IconsShown(probe_.Records()), 1);
        }
    }
    ExpectCleanExit();
}

TEST_F(TrayScenario, WrongStoredCredentialAsksForThePasswordAgain)
{
    StartWithAccount(L"not-the-password");
    const LONG rejected = probe_.WaitFor(
        [](const TrayProbeRecord& r) {
            return ShowsState(r, kStateCredentialsRejected) && r.icon_id == kIconGrey && HasTip(r, kRejectedTip);
        },
        kSignOnMs);
    ASSERT_GE(rejected, 0);
    EXPECT_GE(probe_.WaitFor([](const TrayProbeRecord& r) { return TipOnly(r, kBindingTip); }, kWindowMs, rejected),
              0);
    HWND wizard = WaitForWindowTitled(program_.Id(), kWizardTitle);
    ASSERT_NE(wizard, nullptr);
    EXPECT_EQ(GuiTest::GetControlText(wizard, IDC_PROMPT), L"您的帐户出现异常，请重新登录");
    EXPECT_EQ(GuiTest::GetControlText(wizard, IDC_USER), L"demo");
}

TEST_F(TrayScenario, ServerAwayGoesOfflineAndReturnsToSynced)
{
    StartWithAccount();
    const LONG synced = WaitForSynced();
    ASSERT_GE(synced, 0);
    ASSERT_NE(TrayTest::AskHost("server-stop"), "");
    const LONG offline = probe_.WaitFor(
        [](const TrayProbeRecord& r) {
            return ShowsState(r, kStateOffline) && r.icon_id == kIconGrey && HasTip(r, kOfflineTip);
        },
        kSignOnMs, synced);
    ASSERT_GE(offline, 0);
    ASSERT_NE(TrayTest::AskHost("server-start"), "");
    EXPECT_GE(WaitForSynced(offline), 0);
}

TEST_F(TrayScenario, IncompatibleNoticeEndsTheProgramCleanly)
{
    StartWithAccount();
    ASSERT_GE(WaitForSynced(), 0);
    ASSERT_TRUE(PostMessageW(tray_, Helper::WM_TRAYNOTIFY, 0, Helper::TE_INCOMPATIBLE));
    ExpectCleanExit();
}

// A stored user name of other than 3 to 15 characters counts as no account.
void ExpectUnbound(const CTrayProbe& probe, DWORD process_id)
{
    const LONG added = probe.WaitFor([](const TrayProbeRecord& r) { return r.message == NIM_ADD; }, kWindowMs);
    ASSERT_GE(added, 0);
    const TrayProbeRecord first = probe.Records()[added];
    EXPECT_EQ(first.state, kStateNotBound);
    EXPECT_EQ(first.icon_id, kIconNotBound);
    EXPECT_TRUE(HasTip(first, kNotBoundTip));
    EXPECT_TRUE(HasBalloon(first, L"帐户未绑定"));
    EXPECT_EQ(std::wstring(first.info), L"请将您的计算机与Tavo帐户进行绑定，点击这里开始");
    HWND wizard = WaitForWindowTitled(process_id, kWizardTitle);
    ASSERT_NE(wizard, nullptr);
    EXPECT_EQ(GuiTest::GetControlText(wizard, IDC_PROMPT), L"请输入您的Tavo帐户");
    EXPECT_EQ(GuiTest::GetControlText(wizard, IDC_USER), L"");
}

TEST_F(TrayScenario, StoredUserOfTwoCharactersIsNotBound)
{
    TrayTest::StoreAccount(L"de", L"demo123", folder_.c_str());
    Start();
    ExpectUnbound(probe_, program_.Id());
}

TEST_F(TrayScenario, StoredUserOfSixteenCharactersIsNotBound)
{
    TrayTest::StoreAccount(L"demodemodemodemo", L"demo123", folder_.c_str());
    Start();
    ExpectUnbound(probe_, program_.Id());
}

// A stored folder the program cannot use: the folder wizard after the
// automatic sign-on.
void ExpectFolderMissing(const CTrayProbe& probe, DWORD process_id)
{
    const LONG added = probe.WaitFor([](const TrayProbeRecord& r) { return r.message == NIM_ADD; }, kWindowMs);
    ASSERT_GE(added, 0);
    const TrayProbeRecord first = probe.Records()[added];
    EXPECT_EQ(first.state, kStateFolderMissing);
    EXPECT_EQ(first.icon_id, kIconProduct);
    EXPECT_TRUE(HasTip(first, kFolderLostTip));
    EXPECT_GE(probe.WaitFor([](const TrayProbeRecord& r) { return TipOnly(r, kResetFolderTip); }, kSignOnMs, added),
              0);
    HWND wizard = WaitForWindowTitled(process_id, kWizardTitle);
    ASSERT_NE(wizard, nullptr);
    EXPECT_NE(GuiTest::FindControl(wizard, IDC_FOLDER), nullptr);
    EXPECT_EQ(GuiTest::FindControl(wizard, IDC_USER), nullptr);
}

TEST_F(TrayScenario, StoredFolderOfTwoHundredSixtyCharactersIsMissing)
{
    TrayTest::StoreAccount(L"demo", L"demo123", (L"C:\\" + std::wstring(257, L'f')).c_str());
    Start();
    ExpectFolderMissing(probe_, program_.Id());
}

TEST_F(TrayScenario, StoredFolderBeginningWithABackslashIsMissing)
{
    TrayTest::StoreAccount(L"demo", L"demo123", L"\\\\server\\share\\TavoTessel");
    Start();
    ExpectFolderMissing(probe_, program_.Id());
}

// A state digest of the wrong length throws the state file away: the next
// start compares everything again and loses nothing.
TEST_F(TrayScenario, StateDigestOfWrongLengthLosesNothing)
{
    ASSERT_TRUE(Testing::WriteFileBytes(File(L"kept.txt"), "kept on both sides"));
    StartWithAccount();
    ASSERT_GE(WaitForSynced(), 0);
    ASSERT_TRUE(Testing::WaitFor([] { return ServerTree().find("F\tkept.txt\t18\t") != std::string::npos; }, 60000));
    ASSERT_TRUE(PostMessageW(tray_, Helper::WM_TRAYNOTIFY, 0, Helper::TE_INCOMPATIBLE));
    DWORD code = 1;
    ASSERT_TRUE(program_.WaitForExit(kWindowMs, &code));
    const std::string tree_before = ServerTree();

    for (size_t length : {31u, 33u}) {
        TrayTest::StoreAccountValue(L"demo", L"cMagic", std::wstring(length, L'a'));
        CTrayProgram again;
        ASSERT_TRUE(again.Start());
        const LONG from = probe_.Count();
        ASSERT_GE(WaitForSynced(from), 0);
        EXPECT_EQ(Testing::ReadFileBytes(File(L"kept.txt")), "kept on both sides");
        EXPECT_EQ(ServerTree(), tree_before);
        PostMessageW(again.WaitForTrayWindow(kWindowMs), Helper::WM_TRAYNOTIFY, 0, Helper::TE_INCOMPATIBLE);
        ASSERT_TRUE(again.WaitForExit(kWindowMs, &code));
    }
}

}  // namespace
