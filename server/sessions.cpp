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

std::shared_ptr<const Session> SessionTable::Create(uint32_t user_id, uint32_t peer_address)
{
    auto session = std::make_shared<Session>();
    session->user_id = user_id;
    session->peer_address = peer_address;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = Clock::now();
    Expire(now);
    do
        session->key = RandomToken(kSessionKeySize);
    while (slots_.count(session->key));
    session->serial = next_serial_++;
    slots_[session->key] = Slot{session, now, 1};
    return session;
}

std::shared_ptr<const Session> SessionTable::Find(uint32_t user_id, const std::string& key)
{
    auto session = FindByKey(key);
    return session && session->user_id == user_id ? session : nullptr;
}

std::shared_ptr<const Session> SessionTable::FindByKey(const std::string& key)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = Clock::now();
    auto it = slots_.find(key);
    if (it == slots_.end())
        return nullptr;
    if (now - it->second.last_used > lifetime_) {
        slots_.erase(it);
        return nullptr;
    }
    it->second.last_used = now;
    return it->second.session;
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

void SessionTable::Attach(const std::string& key)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = slots_.find(key);
    if (it != slots_.end())
        ++it->second.attached;
}

void SessionTable::Detach(const std::string& key)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = slots_.find(key);
    if (it != slots_.end() && it->second.attached > 0)
        --it->second.attached;
}

std::shared_ptr<const Session> SessionTable::Adopt(uint32_t peer_address)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = Clock::now();
    Expire(now);
    Slot* best = nullptr;
    for (auto& item : slots_) {
        Slot& slot = item.second;
        if (slot.attached == 0 && slot.session->peer_address == peer_address &&
            now - slot.last_used <= lifetime_ && (!best || slot.session->serial > best->session->serial))
            best = &slot;
    }
    if (!best)
        return nullptr;
    best->attached = 1;
    best->last_used = now;
    return best->session;
}

bool SessionTable::Touch(const std::string& key)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = slots_.find(key);
    const auto now = Clock::now();
    if (it == slots_.end() || now - it->second.last_used > lifetime_)
        return false;
    it->second.last_used = now;
    return true;
}

}  // namespace Tessel
