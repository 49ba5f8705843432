// Binding the client to an account and keeping it signed on: the stored
// account at start-up, the wizard's interactive sign-on, the automatic
// sign-on with the stored credential, and signing out. Each sign-on reports
// once through a callback object that deletes itself.
#pragma once

#include <windows.h>

#include <cstddef>

#include "client/shell/app_state.h"
#include "client/shell/controller_rules.h"

namespace Helper {

// Posted to the wizard page with the sign-on code in wParam, lParam 0.
constexpr UINT WM_SIGNON_RESULT = 3034;

class ISignonCallback {
public:
    virtual ~ISignonCallback() = default;
    // Called exactly once with kSignedOn, kSignOnFailed or kSignOnRefused
    // (controller_rules.h); the object deletes itself at its end.
    virtual void OnSignonResult(int code) = 0;
};

// The interactive sign-on's callback: posts WM_SIGNON_RESULT to the wizard
// page that is open when the result comes (AppContext's wizard window),
// when there still is one.
class CSignonCB : public ISignonCallback {
public:
    void OnSignonResult(int code) override;
};

// The automatic sign-on's callback: refreshes the tray with the state held
// when the sign-on started.
class CAutoSignonCB : public ISignonCallback {
public:
    explicit CAutoSignonCB(AppState started_in) : started_in_(started_in) {}
    void OnSignonResult(int code) override;

private:
    AppState started_in_;
};

// Password buffers are at least this long (the digest is written over them).
constexpr size_t kPasswordCapacity = 64;

// UI thread: reads the stored account and derives the first state from it.
void LoadAccountSettings();
// UI thread (the wizard's Next). A user name of other than 3 to 15 or a
// password of other than 6 to 20 characters gets code 2 at once on this
// thread. Otherwise the password's digest is written over `password`
// (kPasswordCapacity units) and the sign-on runs on a thread of its own;
// the callback is taken in every case.
void StartInteractiveSignOn(const wchar_t* user, wchar_t* password, ISignonCallback* callback);
// True while an interactive sign-on runs (the wizard's Next stays disabled).
bool InteractiveSignOnRunning();
// Any thread: an automatic sign-on with the stored credential, unless an
// interactive one runs.
void StartAutoSignOn();
// UI thread (the wizard's Back, the settings centre's change of account):
// signs off, restarts the connection and forgets the account in memory,
// keeping it as the previous account; the registry keeps it.
void SignOut();

}  // namespace Helper
