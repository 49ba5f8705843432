// The setup wizard's modes and the application state as plain values, for
// the rules of the tray program that build without the platform.
#pragma once

#include <cstdint>

#include "client/net/app_host.h"

namespace Helper {

enum class WizardMode : int32_t {
    FullSetup = 1,
    Recredential = 2,
    ResetFolder = 3,
    RetryAccountInfo = 4,
};

}  // namespace Helper
