#include "client/shell/app_state.h"

#include "client/net/session_values.h"

namespace Helper {

namespace {

constexpr uint32_t Bit(AppState state)
{
    const auto value = static_cast<uint32_t>(state);
    return value < 32 ? 1u << value : 0;
}

// The states each move may start from. None holds Starting or
// AccountFrozen, which no move leaves, nor the move's own target.
constexpr uint32_t kSyncedFrom = Bit(AppState::NotBound) | Bit(AppState::Syncing) | Bit(AppState::Offline) |
                                 Bit(AppState::SigningOn) | Bit(AppState::CredentialsRejected) |
                                 Bit(AppState::FolderMissing) | Bit(AppState::AccountInfoFailed);
// Not from SigningOn: a sign-on that began after the engine looked must not
// be overtaken by the engine.
constexpr uint32_t kSyncingFrom = Bit(AppState::NotBound) | Bit(AppState::Synced) | Bit(AppState::Offline) |
                                  Bit(AppState::CredentialsRejected) | Bit(AppState::FolderMissing) |
                                  Bit(AppState::AccountInfoFailed);
// The signed-on states; Offline is there already.
constexpr uint32_t kOfflineFrom = Bit(AppState::Synced) | Bit(AppState::Syncing) | Bit(AppState::SigningOn) |
                                  Bit(AppState::CredentialsRejected) | Bit(AppState::AccountInfoFailed);
// The states a refused automatic sign-on leaves for CredentialsRejected.
constexpr uint32_t kRejectedFrom = Bit(AppState::Synced) | Bit(AppState::Syncing) | Bit(AppState::Offline) |
                                   Bit(AppState::SigningOn);

// Another thread may change the state between the check and the store;
// the exchange fails then and the check is made again on what it found.
bool MoveFrom(uint32_t sources, AppState target, AppState* previous)
{
    AppState current = App().state.load();
    while ((sources & Bit(current)) != 0) {
        if (App().state.compare_exchange_weak(current, target)) {
            *previous = current;
            return true;
        }
    }
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
    const uint32_t sources = target == AppState::Synced ? kSyncedFrom : target == AppState::Syncing ? kSyncingFrom : 0;
    AppState previous = AppState::Starting;
    return MoveFrom(sources, target, &previous);
}

bool TrySetOffline(AppState* previous)
{
    return MoveFrom(kOfflineFrom, AppState::Offline, previous);
}

bool TrySetCredentialsRejected(AppState* previous)
{
    return MoveFrom(kRejectedFrom, AppState::CredentialsRejected, previous);
}

Quota GetQuota()
{
    const Net::AccountSpace space = Net::CurrentAccountSpace();
    return Quota{space.total, space.free};
}

}  // namespace Helper
