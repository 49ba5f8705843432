#include "client/net/session_values.h"

#include <mutex>

namespace Net {

namespace {

// The lock only makes each block copy whole; readers take what they find.
std::mutex g_lock;
SessionInfo g_session;
AccountSpace g_space;
Credential g_credential;

}  // namespace

SessionInfo CurrentSession()
{
    std::lock_guard<std::mutex> hold(g_lock);
    return g_session;
}

AccountSpace CurrentAccountSpace()
{
    std::lock_guard<std::mutex> hold(g_lock);
    return g_space;
}

void StoreSession(const SessionInfo& session)
{
    std::lock_guard<std::mutex> hold(g_lock);
    g_session = session;
}

void StoreAccountSpace(const AccountSpace& space)
{
    std::lock_guard<std::mutex> hold(g_lock);
    g_space = space;
}

Credential CurrentCredential()
{
    std::lock_guard<std::mutex> hold(g_lock);
    return g_credential;
}

void StoreCredential(const Credential& credential)
{
    std::lock_guard<std::mutex> hold(g_lock);
    g_credential = credential;
}

void ClearSession()
{
    std::lock_guard<std::mutex> hold(g_lock);
    g_session = SessionInfo{};
    g_space = AccountSpace{};
    g_credential = Credential{};
}

}  // namespace Net
