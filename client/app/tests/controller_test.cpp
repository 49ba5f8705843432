// The controller in this process: the reaction to state changes (what the
// tray shows and which notices follow), the retry timer, the sync folder,
// moving a folder's contents, the stored account at start-up, the sign-on
// input checks and the automatic-update setting.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "client/shell/controller.h"
#include "client/shell/controller_parts.h"
#include "client/shell/settings_store.h"
#include "client/shell/signon.h"
#include "client/app/tests/tray_shell_support.h"
#include "common/bounded_string.h"
#include "common/registry_access.h"
#include "common/registry_layout.h"
#include "common/tests/test_support.h"
#include "common/tray_contract.h"

namespace {

using Helper::AppState;
using Testing::CTempFolder;
using Testing::CTrayFixture;
using Notices = std::vector<LPARAM>;

constexpr uint64_t kGiB = 1ull << 30;

TEST(Refresh, SyncedShowsTheQuotaAndRestartsTheWatch)
{
    CTrayFixture tray(AppState::Synced);
    Testing::SetQuota(10 * kGiB, 5 * kGiB / 2);
    Helper::RefreshForState(AppState::SigningOn);
    const Helper::TrayProbeRecord shown = tray.Last();
    EXPECT_EQ(shown.message, static_cast<DWORD>(NIM_MODIFY));
    EXPECT_EQ(shown.icon_id, 128);
    EXPECT_STREQ(shown.tip, L"所有文件已经同步\n共 10 GB空间，已使用75.0%，剩余 2560 MB");
    EXPECT_EQ(shown.flags & NIF_INFO, 0u);
    EXPECT_EQ(tray.TakeNotices(), (Notices{Helper::TE_STATE_CHANGED, Helper::TE_RESTART_WATCH}));
}

TEST(Refresh, FirstBindingShowsTheSetupBalloon)
{
    CTrayFixture tray(AppState::Synced);
    Testing::SetQuota(kGiB, kGiB / 2);
    Helper::RefreshForState(AppState::NotBound);
    EXPECT_STREQ(tray.Last().info_title, L"设置完成");
}

TEST(Refresh, UnusableQuotaMarksTheAccountInformationFailed)
{
    CTrayFixture tray(AppState::Synced);
    Testing::SetQuota(kGiB, 2 * kGiB);
    Helper::RefreshForState(AppState::SigningOn);
    EXPECT_EQ(Helper::GetAppState(), AppState::AccountInfoFailed);
    EXPECT_STREQ(tray.Last().tip, L"您的用户配置信息获取失败，请重新运行设置向导");
    EXPECT_EQ(tray.TakeNotices(),
              (Notices{Helper::TE_STATE_CHANGED, Helper::TE_STATE_CHANGED, Helper::TE_RETRY_ACCOUNT_INFO}));
}

TEST(Refresh, EachStateFollowsWithItsNotice)
{
    struct Case {
        AppState state;
        LPARAM notice;
    };
    for (const Case& c : {Case{AppState::NotBound, Helper::TE_NOT_BOUND}, Case{AppState::Offline, Helper::TE_OFFLINE},
                          Case{AppState::CredentialsRejected, Helper::TE_ASK_CREDENTIALS}}) {
        CTrayFixture tray(c.state);
        Helper::RefreshForState(AppState::Synced);
        EXPECT_EQ(tray.TakeNotices(), (Notices{Helper::TE_STATE_CHANGED, c.notice}));
    }
}

TEST(Refresh, AnUnchangedStateShowsNothingAndOfflineRetriesAgain)
{
    CTrayFixture tray(AppState::Offline);
    const size_t sent = tray.Records().size();
    Helper::RefreshForState(AppState::Offline);
    EXPECT_EQ(tray.Records().size(), sent);
    EXPECT_EQ(tray.TakeNotices(), Notices{Helper::TE_OFFLINE});
    Helper::SetAppState(AppState::Synced);
    Helper::RefreshForState(AppState::Synced);
    EXPECT_TRUE(tray.TakeNotices().empty());
}

TEST(Refresh, MarkAccountInfoFailedLeavesStatesWithoutAnAccountAlone)
{
    CTrayFixture tray(AppState::NotBound);
    Helper::MarkAccountInfoFailed();
    EXPECT_EQ(Helper::GetAppState(), AppState::NotBound);
    Helper::SetAppState(AppState::Offline);
    Helper::MarkAccountInfoFailed();
    EXPECT_EQ(Helper::GetAppState(), AppState::AccountInfoFailed);
}

TEST(Notices, OfflineKeepsExactlyOneRetryTimer)
{
    CTrayFixture tray(AppState::Offline);
    Helper::HandleControllerNotice(Helper::TE_OFFLINE);
    const UINT_PTR first = Helper::App().timers.offline_retry;
    EXPECT_NE(first, 0u);
    Helper::HandleControllerNotice(Helper::TE_OFFLINE);
    EXPECT_EQ(Helper::App().timers.offline_retry, first);
    Helper::StopControllerTimers();
    Helper::SetAppState(AppState::SigningOn);
    Helper::HandleControllerNotice(Helper::TE_OFFLINE);
    EXPECT_EQ(Helper::App().timers.offline_retry, 0u);
}

TEST(Notices, CredentialsAndBindingOpenTheirWizards)
{
    CTrayFixture tray(AppState::CredentialsRejected);
    Helper::HandleControllerNotice(Helper::TE_ASK_CREDENTIALS);
    EXPECT_EQ(tray.Last().flags, static_cast<UINT>(NIF_TIP));
    EXPECT_STREQ(tray.Last().tip, L"正在将您的计算机与Tavo帐户绑定");
    Helper::HandleControllerNotice(Helper::TE_NOT_BOUND);
    EXPECT_EQ(tray.Dialogs().calls, (std::vector<std::wstring>{L"wizard 2", L"close settings", L"wizard 1"}));
}

TEST(Notices, AMissingFolderFoundOnTheUiThreadOpensTheFolderWizard)
{
    CTrayFixture tray(AppState::FolderMissing);
    Helper::RefreshForState(AppState::Starting);
    EXPECT_STREQ(tray.Last().tip, L"正在重设网盘本地备份的文件夹");
    EXPECT_EQ(tray.Dialogs().calls, std::vector<std::wstring>{L"wizard 3"});
}

class SyncFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        Testing::ResetContext();
        Helper::MarkUiThread();
        Helper::CopyBounded(Helper::App().user_name, L"tray-test-user");
    }
    void TearDown() override
    {
        wchar_t users[Helper::kRegAccountKeyCapacity];
        Helper::UsersKeyPath(users);
        RegDeleteTreeW(HKEY_CURRENT_USER, users);
        RegDeleteKeyValueW(HKEY_CURRENT_USER, Helper::kRegRoot, Helper::kRegUser);
        Testing::ResetContext();
    }

    CTempFolder old_folder_{L"tray-old"};
    CTempFolder new_folder_{L"tray-new"};
};

TEST_F(SyncFolder, IsSetOnlyForABoundUserAndAUsableFolder)
{
    Helper::SetAppState(AppState::NotBound);
    Helper::SetSyncFolder(L"\\\\server\\share");
    Helper::SetSyncFolder((old_folder_.Path() + L"\\missing").c_str());
    EXPECT_STREQ(Helper::App().sync_folder, L"");
    Helper::App().user_name[2] = L'\0';
    Helper::SetSyncFolder(old_folder_.Path().c_str());
    EXPECT_STREQ(Helper::App().sync_folder, L"");
    EXPECT_EQ(Helper::GetAppState(), AppState::NotBound);
}

TEST_F(SyncFolder, IsStoredWithTheAccountAndBindsIt)
{
    Helper::SetAppState(AppState::NotBound);
    Helper::SetSyncFolder(old_folder_.Path().c_str());
    Helper::SetSyncFolder(new_folder_.Path().c_str());
    EXPECT_EQ(Helper::GetAppState(), AppState::Synced);
    EXPECT_EQ(Helper::App().previous_folder, old_folder_.Path());
    wchar_t user[Helper::kRegUserCapacity] = {}, credential[Helper::kRegSessionIdCapacity] = {},
            folder[Helper::kRegFolderCapacity] = {};
    Helper::LoadAccount(user, credential, folder);
    EXPECT_STREQ(user, L"tray-test-user");
    EXPECT_EQ(folder, new_folder_.Path());
}

TEST_F(SyncFolder, CommitMovesTheContentsOnlyWhenTheFolderChanged)
{
    CTrayFixture tray(AppState::NotBound);
    Helper::CopyBounded(Helper::App().user_name, L"tray-test-user");
    Helper::SetSyncFolder(old_folder_.Path().c_str());
    tray.TakeNotices();
    std::wstring same = old_folder_.Path();
    CharUpperW(&same[0]);
    Helper::CommitSyncFolder(same.c_str());
    EXPECT_TRUE(tray.TakeNotices().empty());
    Helper::CommitSyncFolder(new_folder_.Path().c_str());
    EXPECT_EQ(tray.TakeNotices().back(), Helper::TE_FOLDER_CHANGED);
}

TEST_F(SyncFolder, MovingSkipsDotNamesAndOverwritesSameNames)
{
    ASSERT_TRUE(Testing::WriteFileBytes(old_folder_ / L"desktop.ini", "moved"));
    ASSERT_TRUE(Testing::WriteFileBytes(old_folder_ / L".kept", "stays"));
    CreateDirectoryW((old_folder_ / L"sub").c_str(), nullptr);
    ASSERT_TRUE(Testing::WriteFileBytes(old_folder_ / L"sub\\a.txt", "new a"));
    CreateDirectoryW((new_folder_ / L"sub").c_str(), nullptr);
    ASSERT_TRUE(Testing::WriteFileBytes(new_folder_ / L"sub\\a.txt", "old a"));
    ASSERT_TRUE(Testing::WriteFileBytes(new_folder_ / L"other.txt", "untouched"));

    EXPECT_TRUE(Helper::MoveFolderContents(old_folder_.Path().c_str(), new_folder_.Path().c_str()));
    EXPECT_EQ(Testing::ReadFileBytes(new_folder_ / L"desktop.ini"), "moved");
    EXPECT_EQ(Testing::ReadFileBytes(new_folder_ / L"sub\\a.txt"), "new a");
    EXPECT_EQ(Testing::ReadFileBytes(new_folder_ / L"other.txt"), "untouched");
    EXPECT_FALSE(Testing::FileExists(new_folder_ / L".kept"));
    EXPECT_EQ(Testing::ReadFileBytes(old_folder_ / L".kept"), "stays");
    EXPECT_FALSE(Testing::FileExists(old_folder_ / L"desktop.ini"));
    EXPECT_FALSE(Testing::FileExists(old_folder_ / L"sub"));
}

TEST_F(SyncFolder, MovingIntoAFolderBelowTheOldOneKeepsEverything)
{
    ASSERT_TRUE(Testing::WriteFileBytes(old_folder_ / L"a.txt", "a"));
    const std::wstring inner = old_folder_ / L"inner";
    CreateDirectoryW(inner.c_str(), nullptr);
    ASSERT_TRUE(Testing::WriteFileBytes(inner + L"\\b.txt", "b"));
    EXPECT_TRUE(Helper::MoveFolderContents(old_folder_.Path().c_str(), inner.c_str()));
    EXPECT_EQ(Testing::ReadFileBytes(inner + L"\\a.txt"), "a");
    EXPECT_EQ(Testing::ReadFileBytes(inner + L"\\b.txt"), "b");
    EXPECT_FALSE(Testing::FileExists(old_folder_ / L"a.txt"));
}

TEST_F(SyncFolder, MovingFromAFolderThatIsGoneOrTheSameMovesNothing)
{
    ASSERT_TRUE(Testing::WriteFileBytes(old_folder_ / L"a.txt", "a"));
    EXPECT_TRUE(Helper::MoveFolderContents((old_folder_ / L"gone").c_str(), new_folder_.Path().c_str()));
    EXPECT_TRUE(Helper::MoveFolderContents(old_folder_.Path().c_str(), old_folder_.Path().c_str()));
    EXPECT_EQ(Testing::ReadFileBytes(old_folder_ / L"a.txt"), "a");
}

TEST_F(SyncFolder, StoredAccountDecidesTheFirstState)
{
    struct Case {
        const wchar_t* user;
        std::wstring folder;
        AppState state;
    };
    const std::wstring usable = old_folder_.Path();
    for (const Case& c : {Case{L"ab", usable, AppState::NotBound}, Case{L"abcdefghijklmnop", usable, AppState::NotBound},
                          Case{L"abc", usable, AppState::SigningOn}, Case{L"abc", L"\\" + usable, AppState::FolderMissing},
                          Case{L"abc", usable + L"\\missing", AppState::FolderMissing}}) {
        Testing::ResetContext();
        Helper::SaveAccount(c.user, L"0123456789abcdef0123456789abcdef", c.folder.c_str());
        Helper::LoadAccountSettings();
        EXPECT_EQ(Helper::GetAppState(), c.state) << c.user << L" " << c.folder;
        if (c.state == AppState::NotBound) {
            EXPECT_STREQ(Helper::App().user_name, L"");
            EXPECT_STREQ(Helper::App().sync_folder, L"");
            EXPECT_STREQ(Helper::App().credential, L"");
        }
    }
}

// Records the one result it gets.
class CRecordingCallback : public Helper::ISignonCallback {
public:
    explicit CRecordingCallback(int* code) : code_(code) {}
    void OnSignonResult(int code) override
    {
        *code_ = code;
        delete this;
    }

private:
    int* code_;
};

TEST(SignOn, InputOfTheWrongLengthIsRefusedAtOnce)
{
    struct Case {
        const wchar_t* user;
        const wchar_t* password;
    };
    for (const Case& c : {Case{L"ab", L"secret1"}, Case{L"abcdefghijklmnop", L"secret1"}, Case{L"abc", L"12345"},
                          Case{L"abc", L"123456789012345678901"}}) {
        wchar_t password[Helper::kPasswordCapacity] = {};
        Helper::CopyBounded(password, c.password);
        int code = -1;
        Helper::StartInteractiveSignOn(c.user, password, new CRecordingCallback(&code));
        EXPECT_EQ(code, 2) << c.user << L" " << c.password;
        EXPECT_STREQ(password, c.password);
        EXPECT_FALSE(Helper::InteractiveSignOnRunning());
    }
}

TEST(AutoUpdate, TheSettingIsStoredAndTheTimerFollowsIt)
{
    Helper::MarkUiThread();
    EXPECT_TRUE(Helper::ScheduleAutoUpdate(false));
    EXPECT_EQ(Helper::ReadAutoUpdate(), 0u);
    EXPECT_EQ(Helper::App().timers.auto_update, 0u);
    // No updater lies beside this test: the check cannot start.
    EXPECT_FALSE(Helper::ScheduleAutoUpdate(true));
    EXPECT_EQ(Helper::ReadAutoUpdate(), 1u);
    EXPECT_NE(Helper::App().timers.auto_update, 0u);
    EXPECT_FALSE(Helper::App().manual_update);
    EXPECT_FALSE(Helper::LaunchUpdater(true));
    EXPECT_TRUE(Helper::App().manual_update);
    Helper::ScheduleAutoUpdate(false);
    EXPECT_EQ(Helper::App().timers.auto_update, 0u);
}

}  // namespace
