#include "client/shell/app_state.h"

#include <gtest/gtest.h>

#include "client/net/session_values.h"

namespace Helper {
namespace {

class AppStateTest : public ::testing::Test {
protected:
    void TearDown() override { SetAppState(AppState::Starting); }

    bool TryFrom(AppState from, AppState target)
    {
        SetAppState(from);
        const bool moved = TrySetState(target);
        EXPECT_EQ(GetAppState(), moved ? target : from);
        return moved;
    }
};

TEST_F(AppStateTest, SyncingIsNotEnteredFromSigningOn)
{
    EXPECT_FALSE(TryFrom(AppState::SigningOn, AppState::Syncing));
    EXPECT_TRUE(TryFrom(AppState::Offline, AppState::Syncing));
    EXPECT_TRUE(TryFrom(AppState::Synced, AppState::Syncing));
    EXPECT_TRUE(TryFrom(AppState::SigningOn, AppState::Synced));
}

TEST_F(AppStateTest, NoMoveToTheSameStateOrOutOfStartingAndFrozen)
{
    EXPECT_FALSE(TryFrom(AppState::Synced, AppState::Synced));
    EXPECT_FALSE(TryFrom(AppState::Syncing, AppState::Syncing));
    for (AppState target : {AppState::Synced, AppState::Syncing}) {
        EXPECT_FALSE(TryFrom(AppState::Starting, target));
        EXPECT_FALSE(TryFrom(AppState::AccountFrozen, target));
    }
    EXPECT_FALSE(TryFrom(AppState::Synced, AppState::Offline));
}

TEST_F(AppStateTest, EveryOtherStateMayLeadToSyncedOrSyncing)
{
    for (AppState from : {AppState::NotBound, AppState::Offline, AppState::CredentialsRejected,
                          AppState::FolderMissing, AppState::AccountInfoFailed}) {
        EXPECT_TRUE(TryFrom(from, AppState::Synced));
        EXPECT_TRUE(TryFrom(from, AppState::Syncing));
    }
    EXPECT_TRUE(TryFrom(AppState::Syncing, AppState::Synced));
}

TEST_F(AppStateTest, OnlyASignedOnClientGoesOffline)
{
    for (AppState from : {AppState::Synced, AppState::Syncing, AppState::SigningOn, AppState::CredentialsRejected,
                          AppState::AccountInfoFailed}) {
        SetAppState(from);
        AppState previous = AppState::Starting;
        EXPECT_TRUE(TrySetOffline(&previous)) << static_cast<int>(from);
        EXPECT_EQ(previous, from);
        EXPECT_EQ(GetAppState(), AppState::Offline);
    }
    for (AppState from : {AppState::Starting, AppState::NotBound, AppState::Offline, AppState::FolderMissing,
                          AppState::AccountFrozen}) {
        SetAppState(from);
        AppState previous = AppState::Synced;
        EXPECT_FALSE(TrySetOffline(&previous)) << static_cast<int>(from);
        EXPECT_EQ(previous, AppState::Synced);
        EXPECT_EQ(GetAppState(), from);
    }
}

// The host a program derives from moves AppContext by the same rules.
TEST_F(AppStateTest, HostMovesTheContextState)
{
    class CQuietHost : public CAppStateHost {
    public:
        void RefreshForState(AppState) override {}
    } host;
    SetAppState(AppState::Synced);
    EXPECT_TRUE(host.TrySetState(AppState::Syncing));
    EXPECT_EQ(host.GetState(), AppState::Syncing);
    AppState previous = AppState::Starting;
    EXPECT_TRUE(host.TrySetOffline(&previous));
    EXPECT_EQ(previous, AppState::Syncing);
    EXPECT_EQ(GetAppState(), AppState::Offline);
    EXPECT_FALSE(host.IsAborting());
    App().abort_flag = 1;
    EXPECT_TRUE(host.IsAborting());
    App().abort_flag = 0;
}

TEST_F(AppStateTest, QuotaComesFromTheLastAccountSpace)
{
    Net::ClearSession();
    EXPECT_EQ(GetQuota().total, 0u);
    EXPECT_EQ(GetQuota().free, 0u);
    Net::AccountSpace space;
    space.total = 1ull << 40;
    space.free = 12345;
    Net::StoreAccountSpace(space);
    EXPECT_EQ(GetQuota().total, 1ull << 40);
    EXPECT_EQ(GetQuota().free, 12345u);
    Net::ClearSession();
}

TEST_F(AppStateTest, ContextStartsEmpty)
{
    EXPECT_EQ(App().wizard_mode, WizardMode::FullSetup);
    EXPECT_EQ(App().abort_flag.load(), 0);
    EXPECT_EQ(App().user_name[0], L'\0');
}

}  // namespace
}  // namespace Helper
