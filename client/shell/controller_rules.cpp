#include "client/shell/controller_rules.h"

#include "client/shell/app_state_values.h"
#include "common/text_format.h"

#include <initializer_list>

namespace Helper {

namespace {

using S = AppState;

constexpr size_t kFolderCapacity = 260;

struct Transition {
    StateTrigger trigger;
    uint32_t from;  // bit per state value
    AppState to;
};

constexpr uint32_t Bits(std::initializer_list<AppState> states)
{
    uint32_t bits = 0;
    for (AppState s : states)
        bits |= 1u << static_cast<int>(s);
    return bits;
}

constexpr uint32_t kAll = Bits({S::Starting, S::NotBound, S::Synced, S::Syncing, S::Offline, S::SigningOn,
                                S::CredentialsRejected, S::FolderMissing, S::AccountInfoFailed,
                                S::AccountFrozen});

constexpr Transition kTransitions[] = {
    {StateTrigger::LoadedNoValidUser, Bits({S::Starting, S::Synced, S::Syncing}), S::NotBound},
    {StateTrigger::LoadedAccountAndFolder, Bits({S::Starting, S::NotBound}), S::SigningOn},
    {StateTrigger::LoadedFolderMissing, Bits({S::Starting}), S::FolderMissing},
    {StateTrigger::InteractiveSignOnSucceeded, Bits({S::Starting, S::Synced, S::Syncing}), S::NotBound},
    {StateTrigger::WizardClosedWithPrevious, Bits({S::NotBound}), S::SigningOn},
    {StateTrigger::AutoSignOnSucceeded, kAll & ~Bits({S::Starting, S::FolderMissing, S::AccountFrozen}), S::Synced},
    {StateTrigger::AutoSignOnRefused, Bits({S::Synced, S::Syncing, S::Offline, S::SigningOn}),
     S::CredentialsRejected},
    {StateTrigger::SignOnFailedOrLinkLost,
     Bits({S::Synced, S::Syncing, S::SigningOn, S::CredentialsRejected, S::AccountInfoFailed}), S::Offline},
    {StateTrigger::FolderSet, kAll & ~Bits({S::Starting, S::Synced, S::AccountFrozen}), S::Synced},
    {StateTrigger::SignedOut, Bits({S::Starting, S::Synced, S::Syncing}), S::NotBound},
    {StateTrigger::QuotaUnusable, Bits({S::Synced, S::Syncing, S::Offline, S::SigningOn}), S::AccountInfoFailed},
};

FollowUp FollowUpAfterChange(AppState previous, AppState current, bool quota_usable)
{
    switch (current) {
    case S::NotBound:
        return FollowUp::PostNotBound;
    case S::Synced:
        if (!quota_usable)
            return FollowUp::MarkAccountInfoFailed;
        return previous == S::Syncing ? FollowUp::None : FollowUp::PostRestartWatch;
    case S::Offline:
        return FollowUp::PostOffline;
    case S::CredentialsRejected:
        return FollowUp::PostAskCredentials;
    case S::AccountInfoFailed:
        return FollowUp::PostRetryAccountInfo;
    default:
        return FollowUp::None;
    }
}

std::u16string InFolder(std::u16string_view base, std::u16string_view user)
{
    return CutToCapacity(std::u16string(base) + u"TavoTessel\\" + std::u16string(user), kFolderCapacity);
}

}  // namespace

AppState NextState(StateTrigger trigger, AppState current)
{
    for (const Transition& t : kTransitions) {
        if (t.trigger == trigger && (t.from & (1u << static_cast<int>(current))) != 0)
            return t.to;
    }
    return current;
}

bool IsQuotaUsable(uint64_t total, uint64_t free)
{
    return total != 0 && free != 0 && free <= total;
}

RefreshPlan PlanRefresh(AppState previous, AppState current, bool quota_usable)
{
    if (current == S::FolderMissing)
        return {RefreshKind::ResetFolderWizard, FollowUp::None};
    if (current == previous)
        return {RefreshKind::Unchanged, current == S::Offline ? FollowUp::PostOffline : FollowUp::None};
    return {RefreshKind::Changed, FollowUpAfterChange(previous, current, quota_usable)};
}

bool OfflineNoticeRetries(AppState state)
{
    return state != S::SigningOn && state != S::NotBound;
}

bool ProgressTimerRuns(AppState state)
{
    return state == S::Syncing;
}

uint32_t SecondsToNextUpdateCheck(int hour, int minute, int second)
{
    return static_cast<uint32_t>(((3 - hour % 3) * 60 - minute) * 60 - second);
}

int SignOnCode(int32_t result)
{
    if (result == 101)
        return kSignedOn;
    if (result >= 102 && result <= 105)
        return kSignOnRefused;
    return kSignOnFailed;
}

StateTrigger AutoSignOnTrigger(int32_t result)
{
    switch (SignOnCode(result)) {
    case kSignedOn:
        return StateTrigger::AutoSignOnSucceeded;
    case kSignOnRefused:
        return StateTrigger::AutoSignOnRefused;
    default:
        return StateTrigger::SignOnFailedOrLinkLost;
    }
}

bool IsValidUserName(std::u16string_view user)
{
    return user.size() >= kUserNameMin && user.size() <= kUserNameMax;
}

bool IsValidPassword(std::u16string_view password)
{
    return password.size() >= kPasswordMin && password.size() <= kPasswordMax;
}

bool IsUsableFolder(std::u16string_view folder, bool exists)
{
    return exists && !folder.empty() && folder.front() != u'\\';
}

std::optional<std::u16string> DefaultSyncFolder(std::u16string_view user, const DefaultFolderChecks& checks)
{
    if (checks.drive_d)
        return InFolder(u"D:\\", user);
    if (checks.drive_c)
        return InFolder(u"C:\\", user);
    if (checks.documents)
        return InFolder(*checks.documents + u"\\", user);
    return std::nullopt;
}

std::u16string FolderAfterSignOn(std::u16string_view user, const SignOnFolderInputs& inputs)
{
    std::u16string folder = inputs.same_as_previous_user ? inputs.previous_folder : inputs.sync_folder;
    bool exists = inputs.exists && !folder.empty() && inputs.exists(folder);
    if (IsUsableFolder(folder, exists))
        return folder;
    return DefaultSyncFolder(user, inputs.checks).value_or(folder);
}

bool MovesWithFolder(std::u16string_view entry_name)
{
    return !entry_name.empty() && entry_name.front() != u'.';
}

}  // namespace Helper
