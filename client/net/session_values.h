// The process-wide values of the signed-on session: what the last
// successful sign-on and account-space replies said. Filled only by those
// exchanges; read by any thread as whole copies.
#pragma once

#include <string>

#include "client/net/packet_codec.h"

namespace Net {

// The user name and password digest of the last successful sign-on, as they
// went on the wire; a new main connection signs on with them again. Empty
// once signed off or refused.
struct Credential {
    std::string user_name;
    std::string digest;
};

SessionInfo CurrentSession();
AccountSpace CurrentAccountSpace();
void StoreSession(const SessionInfo& session);
void StoreAccountSpace(const AccountSpace& space);
Credential CurrentCredential();
void StoreCredential(const Credential& credential);
// Forgets the account's values and credential after a sign-off.
void ClearSession();

}  // namespace Net
