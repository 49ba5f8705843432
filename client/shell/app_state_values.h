// The application state and the setup wizard's modes as plain values, for
// the rules of the tray program that build without the platform.
// client/shell/app_state.h holds the same two definitions for the
// platform code; the rules' headers only declare the types, so that either
// definition can stand beside them.
#pragma once

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

}  // namespace Helper
