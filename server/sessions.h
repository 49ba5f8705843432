// Signed-on sessions, in memory only: a restart of the server signs every
// client off.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace Tessel {

struct Session {
    std::string key;
    uint32_t user_id = 0;
    uint32_t peer_address = 0;  // IPv4, first octet in the high byte
    uint64_t serial = 0;        // order of sign-on
};

// Sessions expire after a time without use. A session belongs to the
// connection that signed on; when that connection drops, the session is
// detached, and the next connection from the same address that sends a
// request without signing on takes it over. The client reconnects on its own
// after a lost link and does not sign on again unless it has been offline
// for a while, so this keeps it working across short interruptions.
class SessionTable {
public:
    using Clock = std::chrono::steady_clock;
    explicit SessionTable(std::chrono::seconds lifetime) : lifetime_(lifetime) {}

    std::shared_ptr<const Session> Create(uint32_t user_id, uint32_t peer_address);
    // The live session with this key and user id, refreshed; null otherwise.
    std::shared_ptr<const Session> Find(uint32_t user_id, const std::string& key);
    // The live session with this key, refreshed (the download addresses carry
    // only the key).
    std::shared_ptr<const Session> FindByKey(const std::string& key);
    bool End(uint32_t user_id, const std::string& key);
    // Marks a connection's session as in use or no longer attached.
    void Attach(const std::string& key);
    void Detach(const std::string& key);
    // The most recent detached live session of this peer address, attached.
    std::shared_ptr<const Session> Adopt(uint32_t peer_address);
    // Refreshes a live session; false when it has ended or expired.
    bool Touch(const std::string& key);

private:
    struct Slot {
        std::shared_ptr<const Session> session;
        Clock::time_point last_used;
        int attached = 0;
    };
    // Called with the lock held; drops expired sessions.
    void Expire(Clock::time_point now);

    std::chrono::seconds lifetime_;
    std::mutex mutex_;
    std::unordered_map<std::string, Slot> slots_;
    uint64_t next_serial_ = 1;
    Clock::time_point last_expiry_{};
};

}  // namespace Tessel
