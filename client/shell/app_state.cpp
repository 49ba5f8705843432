#include "client/shell/app_state.h"

#include "client/net/session_values.h"

namespace Helper {

namespace {

std::atomic<StateRefreshHandler> g_refresh_handler{nullptr};

bool MaySyncedFollow(AppState from)
{
    switch (from) {
    case AppState::NotBound:
    case AppState::Syncing:
    case AppState::Offline:
    case AppState::SigningOn:
    case AppState::CredentialsRejected:
    case AppState::FolderMissing:
    case AppState::AccountInfoFailed:
        return true;
    default:
        return false;
    }
}

// Not from SigningOn: a sign-on that began after the engine looked must not
// be overtaken by the engine.
bool MaySyncingFollow(AppState from)
{
    switch (from) {
    case AppState::NotBound:
    case AppState::Synced:
    case AppState::Offline:
    case AppState::CredentialsRejected:
    case AppState::FolderMissing:
    case AppState::AccountInfoFailed:
        return true;
    default:
        return false;
    }
}

bool MayFollow(AppState from, AppState target)
{
    if (from == target || from == AppState::Starting || from == AppState::AccountFrozen)
        return false;
    if (target == AppState::Synced)
        return MaySyncedFollow(from);
    if (target == AppState::Syncing)
        return MaySyncingFollow(from);
    return false;
}

}  // namespace

AppContext& App()
{
    static AppContext context;
    return context;
}

bool TrySetState(AppState target)
{
    AppState current = App().state.load();
    // Another thread may change the state between the check and the store;
    // the exchange fails then and the check is made again on what it found.
    while (MayFollow(current, target)) {
        if (App().state.compare_exchange_weak(current, target))
            return true;
    }
    return false;
}

Quota GetQuota()
{
    const Net::AccountSpace space = Net::CurrentAccountSpace();
    return Quota{space.total, space.free};
}

void SetStateRefreshHandler(StateRefreshHandler handler)
{
    g_refresh_handler.store(handler);
}

void NotifyStateRefresh(AppState previous)
{
    if (const StateRefreshHandler handler = g_refresh_handler.load())
        handler(previous);
}

}  // namespace Helper
