// The application controller's and the sign-on's decisions as plain rules:
// which state each trigger leads to, what a state refresh does, when the
// notices start their timers, the automatic-update timer, the sign-on
// results and input lengths, and the folder a new binding gets.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace Helper {

enum class AppState : int32_t;

// The events that move the state; each applies only from the states its
// rule names and leaves every other state as it is.
enum class StateTrigger {
    LoadedNoValidUser,         // stored user name of other than 3 to 15 characters
    LoadedAccountAndFolder,    // user valid, folder usable
    LoadedFolderMissing,       // user valid, folder not usable
    InteractiveSignOnSucceeded,
    WizardClosedWithPrevious,  // FullSetup wizard closed while a previous account exists
    AutoSignOnSucceeded,
    AutoSignOnRefused,
    SignOnFailedOrLinkLost,    // automatic sign-on failed otherwise, or the connection layer gave up
    FolderSet,                 // SetSyncFolder
    SignedOut,
    QuotaUnusable,             // MarkAccountInfoFailed
};
AppState NextState(StateTrigger trigger, AppState current);

// A quota with total 0, free 0 or free above total is unusable.
bool IsQuotaUsable(uint64_t total, uint64_t free);

// What RefreshForState does after a change from `previous` to `current`.
enum class RefreshKind {
    ResetFolderWizard,  // tip "正在重设网盘本地备份的文件夹", icon modified, the ResetFolder wizard shown
    Unchanged,          // nothing shown; an Offline state only schedules its next retry
    Changed,            // icon, balloon and tip for the state, TE_STATE_CHANGED posted, then the follow-up
};
enum class FollowUp {
    None,
    PostNotBound,          // TE_NOT_BOUND
    PostRestartWatch,      // TE_RESTART_WATCH
    MarkAccountInfoFailed, // the quota is unusable
    PostOffline,           // TE_OFFLINE
    PostAskCredentials,    // TE_ASK_CREDENTIALS
    PostRetryAccountInfo,  // TE_RETRY_ACCOUNT_INFO
};
struct RefreshPlan {
    RefreshKind kind = RefreshKind::Unchanged;
    FollowUp follow_up = FollowUp::None;
};
RefreshPlan PlanRefresh(AppState previous, AppState current, bool quota_usable);

// TE_OFFLINE stops the watch and starts the offline retry unless the state
// is SigningOn or NotBound.
bool OfflineNoticeRetries(AppState state);
// TE_STATE_CHANGED: the progress timer runs exactly while Syncing.
bool ProgressTimerRuns(AppState state);

// Time from the given local time to the next local hour divisible by 3;
// at exactly such an hour it is three hours.
uint32_t SecondsToNextUpdateCheck(int hour, int minute, int second);

// Sign-on results: 101 signed on (code 0), 102 to 105 refused (code 2),
// anything else a network or server failure (code 1).
constexpr int kSignedOn = 0;
constexpr int kSignOnFailed = 1;
constexpr int kSignOnRefused = 2;
int SignOnCode(int32_t result);
StateTrigger AutoSignOnTrigger(int32_t result);

// Input lengths in UTF-16 units; out of range gives code 2 at once.
constexpr size_t kUserNameMin = 3;
constexpr size_t kUserNameMax = 15;
constexpr size_t kPasswordMin = 6;
constexpr size_t kPasswordMax = 20;
bool IsValidUserName(std::u16string_view user);
bool IsValidPassword(std::u16string_view password);

// A stored folder counts only when it exists and does not begin with "\".
bool IsUsableFolder(std::u16string_view folder, bool exists);

// The checks the default folder depends on, made by the caller.
struct DefaultFolderChecks {
    bool drive_d = false;  // "D:\" has a drive type other than no root directory
    bool drive_c = false;
    std::optional<std::u16string> documents;  // the documents folder, when it could be read
};
// "D:\TavoTessel\<user>", else "C:\...", else "<documents>\TavoTessel\<user>";
// nothing when none applies (the folder then stays as it was).
std::optional<std::u16string> DefaultSyncFolder(std::u16string_view user, const DefaultFolderChecks& checks);

// The folder after a successful interactive sign-on: the previous folder
// for the previous account, and the default folder when that one is not
// usable. At most 259 units.
struct SignOnFolderInputs {
    std::u16string sync_folder;
    std::u16string previous_folder;
    bool same_as_previous_user = false;  // compared without regard to case by the caller
    std::function<bool(const std::u16string&)> exists;
    DefaultFolderChecks checks;
};
std::u16string FolderAfterSignOn(std::u16string_view user, const SignOnFolderInputs& inputs);

// Entries of the old folder that move with a folder change: all but those
// whose names begin with ".".
bool MovesWithFolder(std::u16string_view entry_name);

}  // namespace Helper
