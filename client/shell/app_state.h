// The application state and the process-wide context record of the client,
// with the rules of the state's moves. The layers below see only the
// IAppHost interface (client/net/app_host.h); a program implements it by
// deriving from CAppStateHost and adding its reaction to a change.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "client/net/app_host.h"
#include "client/shell/app_state_values.h"
#include "common/registry_layout.h"

namespace Helper {

constexpr size_t kUserNameCapacity = kRegUserCapacity;
constexpr size_t kCredentialCapacity = kRegSessionIdCapacity;
constexpr size_t kFolderCapacity = kRegFolderCapacity;

struct AppTimers {
    UINT_PTR progress = 0;
    UINT_PTR offline_retry = 0;
    UINT_PTR account_info_retry = 0;
    UINT_PTR auto_update = 0;
};

// The session values and the account space are not kept here; they stay in
// the session blocks of the connection layer (GetQuota reads them).
struct AppContext {
    std::atomic<AppState> state{AppState::Starting};
    wchar_t user_name[kUserNameCapacity] = {};
    wchar_t credential[kCredentialCapacity] = {};
    wchar_t sync_folder[kFolderCapacity] = {};
    wchar_t previous_user_name[kUserNameCapacity] = {};
    wchar_t previous_folder[kFolderCapacity] = {};
    std::atomic<HANDLE> signon_thread{nullptr};
    bool manual_update = false;
    WizardMode wizard_mode = WizardMode::FullSetup;
    HWND wizard_window = nullptr;
    AppTimers timers;
    std::atomic<uint8_t> abort_flag{0};
};

AppContext& App();

inline AppState GetAppState() { return App().state.load(); }
// A plain store; the caller then reports the state it replaced to the
// program's RefreshForState.
inline void SetAppState(AppState state) { App().state.store(state); }

// The sync engine's guarded move between Synced and Syncing: false when the
// state already equals the target, is Starting or AccountFrozen, or may not
// lead to the target.
bool TrySetState(AppState target);
// A failed automatic sign-on, or a main link the connection layer gave up
// on: Synced, Syncing, SigningOn, CredentialsRejected and AccountInfoFailed
// become Offline. False when the state stays; else *previous is the state
// replaced.
bool TrySetOffline(AppState* previous);
// A refused automatic sign-on: Synced, Syncing, Offline and SigningOn become
// CredentialsRejected, with the same answer as above.
bool TrySetCredentialsRejected(AppState* previous);

struct Quota {
    uint64_t total = 0;
    uint64_t free = 0;
};
// Total and free space of the account as the last account-space reply gave
// them; both 0 before the first one.
Quota GetQuota();

// IAppHost over AppContext and the rules above. The program adds its
// reaction to a change (the tray's refresh; nothing for the console).
class CAppStateHost : public IAppHost {
public:
    AppState GetState() const override { return GetAppState(); }
    bool TrySetState(AppState target) override { return Helper::TrySetState(target); }
    bool TrySetOffline(AppState* previous) override { return Helper::TrySetOffline(previous); }
    bool TrySetCredentialsRejected(AppState* previous) override
    {
        return Helper::TrySetCredentialsRejected(previous);
    }
    bool IsAborting() const override { return App().abort_flag.load() != 0; }
};

}  // namespace Helper
