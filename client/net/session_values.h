// The process-wide values of the signed-on session: what the last
// successful sign-on and account-space replies said. Filled only by those
// exchanges; read by any thread as whole copies.
#pragma once

#include "client/net/packet_codec.h"

namespace Net {

SessionInfo CurrentSession();
AccountSpace CurrentAccountSpace();
void StoreSession(const SessionInfo& session);
void StoreAccountSpace(const AccountSpace& space);
// Forgets the account's values after a sign-off.
void ClearSession();

}  // namespace Net
