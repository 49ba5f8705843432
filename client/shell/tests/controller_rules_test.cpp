#include "client/shell/app_state_values.h"
#include "client/shell/controller_rules.h"
#include "client/shell/tray_rules.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using namespace Helper;
using S = AppState;

const S kAllStates[] = {S::Starting,  S::NotBound,           S::Synced,        S::Syncing,
                        S::Offline,   S::SigningOn,          S::CredentialsRejected,
                        S::FolderMissing, S::AccountInfoFailed, S::AccountFrozen};

struct TriggerRow {
    StateTrigger trigger;
    std::set<S> from;
    S to;
};

std::set<S> AllBut(std::set<S> excluded)
{
    std::set<S> states;
    for (S s : kAllStates)
        if (!excluded.count(s))
            states.insert(s);
    return states;
}

TEST(StateTransitions, EachTriggerMovesOnlyTheStatesItsRuleNames)
{
    const TriggerRow rows[] = {
        {StateTrigger::LoadedNoValidUser, {S::Starting, S::Synced, S::Syncing}, S::NotBound},
        {StateTrigger::LoadedAccountAndFolder, {S::Starting, S::NotBound}, S::SigningOn},
        {StateTrigger::LoadedFolderMissing, {S::Starting}, S::FolderMissing},
        {StateTrigger::InteractiveSignOnSucceeded, {S::Starting, S::Synced, S::Syncing}, S::NotBound},
        {StateTrigger::WizardClosedWithPrevious, {S::NotBound}, S::SigningOn},
        {StateTrigger::AutoSignOnSucceeded, AllBut({S::Starting, S::FolderMissing, S::AccountFrozen}), S::Synced},
        {StateTrigger::AutoSignOnRefused, {S::Synced, S::Syncing, S::Offline, S::SigningOn}, S::CredentialsRejected},
        {StateTrigger::SignOnFailedOrLinkLost,
         {S::Synced, S::Syncing, S::SigningOn, S::CredentialsRejected, S::AccountInfoFailed}, S::Offline},
        {StateTrigger::FolderSet, AllBut({S::Starting, S::Synced, S::AccountFrozen}), S::Synced},
        {StateTrigger::SignedOut, {S::Starting, S::Synced, S::Syncing}, S::NotBound},
        {StateTrigger::QuotaUnusable, {S::Synced, S::Syncing, S::Offline, S::SigningOn}, S::AccountInfoFailed},
    };
    for (const TriggerRow& row : rows) {
        for (S s : kAllStates) {
            S expected = row.from.count(s) ? row.to : s;
            EXPECT_EQ(NextState(row.trigger, s), expected)
                << "trigger " << static_cast<int>(row.trigger) << " from " << static_cast<int>(s);
        }
    }
}

TEST(StateTransitions, AccountFrozenIsFinal)
{
    for (int t = 0; t <= static_cast<int>(StateTrigger::QuotaUnusable); ++t)
        EXPECT_EQ(NextState(static_cast<StateTrigger>(t), S::AccountFrozen), S::AccountFrozen) << t;
}

TEST(SignOnResults, CodesAndAutomaticTriggers)
{
    const struct {
        int32_t result;
        int code;
        StateTrigger automatic;
    } cases[] = {
        {101, kSignedOn, StateTrigger::AutoSignOnSucceeded},
        {102, kSignOnRefused, StateTrigger::AutoSignOnRefused},
        {105, kSignOnRefused, StateTrigger::AutoSignOnRefused},
        {100, kSignOnFailed, StateTrigger::SignOnFailedOrLinkLost},
        {106, kSignOnFailed, StateTrigger::SignOnFailedOrLinkLost},
        {0, kSignOnFailed, StateTrigger::SignOnFailedOrLinkLost},
        {-1, kSignOnFailed, StateTrigger::SignOnFailedOrLinkLost},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SignOnCode(c.result), c.code) << c.result;
        EXPECT_EQ(AutoSignOnTrigger(c.result), c.automatic) << c.result;
    }
}

TEST(SignOnInput, LengthLimits)
{
    EXPECT_FALSE(IsValidUserName(u"ab"));
    EXPECT_TRUE(IsValidUserName(u"abc"));
    EXPECT_TRUE(IsValidUserName(std::u16string(15, u'用')));
    EXPECT_FALSE(IsValidUserName(std::u16string(16, u'a')));
    EXPECT_FALSE(IsValidPassword(u"12345"));
    EXPECT_TRUE(IsValidPassword(u"123456"));
    EXPECT_TRUE(IsValidPassword(std::u16string(20, u'p')));
    EXPECT_FALSE(IsValidPassword(std::u16string(21, u'p')));
}

TEST(RefreshForState, WhatEachChangeLeadsTo)
{
    const struct {
        S previous;
        S current;
        bool quota_usable;
        RefreshKind kind;
        FollowUp follow_up;
    } cases[] = {
        {S::SigningOn, S::FolderMissing, true, RefreshKind::ResetFolderWizard, FollowUp::None},
        {S::FolderMissing, S::FolderMissing, true, RefreshKind::ResetFolderWizard, FollowUp::None},
        {S::Offline, S::Offline, true, RefreshKind::Unchanged, FollowUp::PostOffline},
        {S::Synced, S::Synced, true, RefreshKind::Unchanged, FollowUp::None},
        {S::Starting, S::NotBound, true, RefreshKind::Changed, FollowUp::PostNotBound},
        {S::SigningOn, S::Synced, true, RefreshKind::Changed, FollowUp::PostRestartWatch},
        {S::Syncing, S::Synced, true, RefreshKind::Changed, FollowUp::None},
        {S::SigningOn, S::Synced, false, RefreshKind::Changed, FollowUp::MarkAccountInfoFailed},
        {S::Syncing, S::Synced, false, RefreshKind::Changed, FollowUp::MarkAccountInfoFailed},
        {S::Synced, S::Syncing, true, RefreshKind::Changed, FollowUp::None},
        {S::SigningOn, S::Offline, true, RefreshKind::Changed, FollowUp::PostOffline},
        {S::SigningOn, S::CredentialsRejected, true, RefreshKind::Changed, FollowUp::PostAskCredentials},
        {S::Synced, S::AccountInfoFailed, true, RefreshKind::Changed, FollowUp::PostRetryAccountInfo},
        {S::Starting, S::SigningOn, true, RefreshKind::Changed, FollowUp::None},
    };
    for (const auto& c : cases) {
        RefreshPlan plan = PlanRefresh(c.previous, c.current, c.quota_usable);
        EXPECT_EQ(plan.kind, c.kind) << static_cast<int>(c.previous) << "->" << static_cast<int>(c.current);
        EXPECT_EQ(plan.follow_up, c.follow_up) << static_cast<int>(c.previous) << "->" << static_cast<int>(c.current);
    }
}

TEST(RefreshForState, QuotaUsability)
{
    EXPECT_TRUE(IsQuotaUsable(10, 10));
    EXPECT_TRUE(IsQuotaUsable(10, 1));
    EXPECT_FALSE(IsQuotaUsable(0, 0));
    EXPECT_FALSE(IsQuotaUsable(10, 0));
    EXPECT_FALSE(IsQuotaUsable(10, 11));
}

TEST(ControllerNotices, TimersByState)
{
    for (S s : kAllStates) {
        EXPECT_EQ(OfflineNoticeRetries(s), s != S::SigningOn && s != S::NotBound) << static_cast<int>(s);
        EXPECT_EQ(ProgressTimerRuns(s), s == S::Syncing) << static_cast<int>(s);
    }
}

TEST(AutoUpdateTimer, NextLocalHourDivisibleByThree)
{
    const struct {
        int h, m, s;
        uint32_t seconds;
    } cases[] = {
        {2, 59, 59, 1},     {3, 0, 0, 3 * 3600},      {0, 0, 0, 3 * 3600}, {23, 30, 0, 1800},
        {21, 0, 1, 10799},  {4, 15, 30, 2 * 3600 - 930},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SecondsToNextUpdateCheck(c.h, c.m, c.s), c.seconds) << c.h << ":" << c.m << ":" << c.s;
}

TEST(DefaultFolder, DriveDThenCThenDocuments)
{
    DefaultFolderChecks all{true, true, std::u16string(u"C:\\users\\me\\Documents")};
    EXPECT_EQ(DefaultSyncFolder(u"alice", all), u"D:\\TavoTessel\\alice");
    DefaultFolderChecks no_d{false, true, all.documents};
    EXPECT_EQ(DefaultSyncFolder(u"alice", no_d), u"C:\\TavoTessel\\alice");
    DefaultFolderChecks documents_only{false, false, all.documents};
    EXPECT_EQ(DefaultSyncFolder(u"alice", documents_only), u"C:\\users\\me\\Documents\\TavoTessel\\alice");
    EXPECT_FALSE(DefaultSyncFolder(u"alice", DefaultFolderChecks{}).has_value());
}

TEST(DefaultFolder, LongDocumentsPathIsCutToTheFolderBuffer)
{
    DefaultFolderChecks checks{false, false, std::u16string(255, u'x')};
    EXPECT_EQ(DefaultSyncFolder(u"alice", checks)->size(), 259u);
}

TEST(DefaultFolder, FolderAfterInteractiveSignOn)
{
    std::set<std::u16string> existing = {u"E:\\mine", u"\\\\server\\share"};
    SignOnFolderInputs in;
    in.exists = [&](const std::u16string& p) { return existing.count(p) != 0; };
    in.checks = {true, true, std::nullopt};

    in.sync_folder = u"E:\\mine";
    EXPECT_EQ(FolderAfterSignOn(u"bob", in), u"E:\\mine") << "an existing folder stays";
    in.sync_folder = u"E:\\gone";
    EXPECT_EQ(FolderAfterSignOn(u"bob", in), u"D:\\TavoTessel\\bob");
    in.sync_folder = u"\\\\server\\share";
    EXPECT_EQ(FolderAfterSignOn(u"bob", in), u"D:\\TavoTessel\\bob") << "a folder beginning with \\ is not used";

    in.sync_folder = u"";
    in.previous_folder = u"E:\\mine";
    in.same_as_previous_user = true;
    EXPECT_EQ(FolderAfterSignOn(u"bob", in), u"E:\\mine") << "the previous account gets its folder back";

    in.checks = {};
    in.same_as_previous_user = false;
    in.sync_folder = u"E:\\gone";
    EXPECT_EQ(FolderAfterSignOn(u"bob", in), u"E:\\gone") << "without any default the folder stays";
}

TEST(FolderMove, DotNamesStayBehind)
{
    EXPECT_TRUE(MovesWithFolder(u"desktop.ini"));
    EXPECT_TRUE(MovesWithFolder(u"报告"));
    EXPECT_FALSE(MovesWithFolder(u".hidden"));
    EXPECT_FALSE(MovesWithFolder(u"."));
    EXPECT_FALSE(MovesWithFolder(u".."));
    EXPECT_FALSE(MovesWithFolder(u""));
}

TEST(TrayIcon, ImageByState)
{
    const struct {
        S state;
        int icon;
    } cases[] = {{S::NotBound, 129},  {S::Synced, 128},    {S::FolderMissing, 128},
                 {S::Syncing, 131},   {S::Starting, 130},  {S::Offline, 130},
                 {S::SigningOn, 130}, {S::CredentialsRejected, 130}, {S::AccountInfoFailed, 130},
                 {S::AccountFrozen, 130}};
    for (const auto& c : cases)
        EXPECT_EQ(IconForState(c.state), c.icon) << static_cast<int>(c.state);
}

TEST(TrayMenu, FirstItemByStateIsTheDefault)
{
    for (S s : kAllStates) {
        std::vector<MenuItem> items = TrayMenuItems(s);
        ASSERT_EQ(items.size(), 8u);
        bool working = s == S::Synced || s == S::Syncing;
        EXPECT_EQ(items[0].command, working ? kCmdOpenFolder : kCmdSetupWizard);
        EXPECT_TRUE(items[0].is_default);
        for (size_t i = 1; i < items.size(); ++i)
            EXPECT_FALSE(items[i].is_default);
    }
    std::vector<MenuItem> items = TrayMenuItems(S::Synced);
    const int commands[] = {1001, 1101, 0, 1201, 0, 1301, 1401, 1501};
    for (size_t i = 0; i < items.size(); ++i)
        EXPECT_EQ(items[i].command, commands[i]) << i;
    EXPECT_EQ(std::u16string(items.back().text), u"退出(&X)");
}

TEST(TrayMenu, ExitOnlyWithoutAnotherMenuOpen)
{
    EXPECT_TRUE(MayExitFromMenu(1));
    EXPECT_FALSE(MayExitFromMenu(2));
}

TEST(TrayClicks, IconAndBalloonByState)
{
    const struct {
        S state;
        TrayAction left;
        TrayAction balloon;
        int balloon_mode;
        bool binding_tip;
    } cases[] = {
        {S::Synced, TrayAction::OpenFolder, TrayAction::OpenFolder, 0, false},
        {S::Syncing, TrayAction::OpenFolder, TrayAction::OpenFolder, 0, false},
        {S::NotBound, TrayAction::OpenWizard, TrayAction::OpenWizard, 1, false},
        {S::CredentialsRejected, TrayAction::OpenWizard, TrayAction::OpenWizard, 2, true},
        {S::AccountInfoFailed, TrayAction::OpenWizard, TrayAction::OpenWizard, 4, true},
        {S::SigningOn, TrayAction::OpenWizard, TrayAction::None, 0, false},
        {S::Offline, TrayAction::OpenWizard, TrayAction::None, 0, false},
        {S::FolderMissing, TrayAction::OpenWizard, TrayAction::None, 0, false},
    };
    for (const auto& c : cases) {
        ClickReaction left = LeftClickReaction(c.state);
        EXPECT_EQ(left.action, c.left) << static_cast<int>(c.state);
        EXPECT_EQ(left.wizard_mode, kCurrentWizardMode);
        ClickReaction balloon = BalloonClickReaction(c.state);
        EXPECT_EQ(balloon.action, c.balloon) << static_cast<int>(c.state);
        if (balloon.action == TrayAction::OpenWizard) {
            EXPECT_EQ(balloon.wizard_mode, c.balloon_mode);
            EXPECT_EQ(balloon.binding_tip, c.binding_tip);
        }
    }
}

}  // namespace
