#include "sessions.h"

#include "crypto.h"
#include "protocol.h"

namespace Tessel {

void SessionTable::Expire(Clock::time_point now)
{
    if (now - last_expiry_ < std::chrono::seconds(1))
        return;
    last_expiry_ = now;
    for (auto it = slots_.begin(); it != slots_.end();) {
        if (now - it->second.last_used > lifetime_)
            it = slots_.erase(it);
        else
            ++it;
    }
}

std::shared_ptr<const Session> SessionTable::Create(uint32_t user_id, int64_t credential_generation)
{
    auto session = std::make_shared<Session>();
    session->user_id = user_id;
    session->credential_generation = credential_generation;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = Clock::now();
    Expire(now);
    do
        session->key = RandomToken(kSessionKeySize);
    while (slots_.count(session->key));
    slots_[session->key] = Slot{session, now};
    return session;
}

std::shared_ptr<const Session> SessionTable::Find(uint32_t user_id, const std::string& key)
{
    auto session = FindByKey(key);
    return session && session->user_id == user_id ? session : nullptr;
}

std::shared_ptr<const Session> SessionTable::FindByKey(const std::string& key)
{
    std::shared_ptr<const Session> session;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = slots_.find(key);
        if (it == slots_.end())
            return nullptr;
        const auto now = Clock::now();
        if (now - it->second.last_used > lifetime_) {
            slots_.erase(it);
            return nullptr;
        }
        it->second.last_used = now;
        session = it->second.session;
    }
    // Read outside the lock: the credential may have been changed by any
    // writer of the store, also another process.
    const std::optional<int64_t> generation = generation_of_(session->user_id);
    if (!generation)
        return nullptr;
    if (*generation != session->credential_generation) {
        End(session->user_id, session->key);
        return nullptr;
    }
    return session;
}

bool SessionTable::End(uint32_t user_id, const std::string& key)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = slots_.find(key);
    if (it == slots_.end() || it->second.session->user_id != user_id)
        return false;
    slots_.erase(it);
    return true;
}

}  // namespace Tessel
