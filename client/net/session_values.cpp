#include "client/net/session_values.h"

#include <mutex>

namespace Net {

namespace {

// The lock only makes each block copy whole; readers take what they find.
std::mutex g_lock;
SessionInfo g_session;
AccountSpace g_space;

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

void ClearSession()
{
    std::lock_guard<std::mutex> hold(g_lock);
    g_session = SessionInfo{};
    g_space = AccountSpace{};
}

}  // namespace Net
