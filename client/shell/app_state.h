// The application state and the process-wide context record of the client.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

namespace Helper {

enum class AppState : int32_t {
    Starting = 0,
    NotBound = 1,
    Synced = 2,
    Syncing = 3,
    Offline = 4,
    SigningOn = 5,
    CredentialsRejected = 6,
    FolderMissing = 7,
    AccountInfoFailed = 8,
    AccountFrozen = 9,
};

enum class WizardMode : int32_t {
    FullSetup = 1,
    Recredential = 2,
    ResetFolder = 3,
    RetryAccountInfo = 4,
};

constexpr size_t kUserNameCapacity = 32;
constexpr size_t kCredentialCapacity = 64;
constexpr size_t kFolderCapacity = 260;

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
// A plain store; the caller then reports the state it replaced with
// NotifyStateRefresh.
inline void SetAppState(AppState state) { App().state.store(state); }

// The sync engine's guarded move between Synced and Syncing: false when the
// state already equals the target, is Starting or AccountFrozen, or may not
// lead to the target.
bool TrySetState(AppState target);

struct Quota {
    uint64_t total = 0;
    uint64_t free = 0;
};
// Total and free space of the account as the last account-space reply gave
// them; both 0 before the first one.
Quota GetQuota();

// The application controller's reaction to a state change, called by every
// thread that changed the state, with the state it replaced. Set once by
// the controller at start-up; until then changes go unreported.
using StateRefreshHandler = void (*)(AppState previous);
void SetStateRefreshHandler(StateRefreshHandler handler);
void NotifyStateRefresh(AppState previous);

}  // namespace Helper
