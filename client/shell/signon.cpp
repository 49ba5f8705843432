// Placeholder bodies while sign-on is written.
#include "client/shell/signon.h"

namespace Helper {

void CSignonCB::OnSignonResult(int) { delete this; }
void CAutoSignonCB::OnSignonResult(int) { delete this; }
void LoadAccountSettings() {}
void StartInteractiveSignOn(const wchar_t*, wchar_t*, ISignonCallback* callback) { callback->OnSignonResult(kSignOnRefused); }
bool InteractiveSignOnRunning() { return false; }
void StartAutoSignOn() {}
void SignOut() {}

}  // namespace Helper
