// Signed-on sessions, in memory only: a restart of the server signs every
// client off.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace Tessel {

struct Session {
    std::string key;
    uint32_t user_id = 0;
    int64_t credential_generation = 0;  // of the account when it signed on
};

// Sessions expire after a time without use, and end when their account's
// stored credential changes. Only the connection that signed on acts in a
// session's account; the key alone serves downloads, AccountInfo and
// SignOff, also after that connection has gone.
class SessionTable {
public:
    using Clock = std::chrono::steady_clock;
    // The account's current credential generation; nothing when it cannot
    // be read.
    using GenerationOf = std::function<std::optional<int64_t>(uint32_t user_id)>;

    SessionTable(std::chrono::seconds lifetime, GenerationOf generation_of)
        : lifetime_(lifetime), generation_of_(std::move(generation_of))
    {
    }

    std::shared_ptr<const Session> Create(uint32_t user_id, int64_t credential_generation);
    // The live session with this key and user id, refreshed; null otherwise.
    std::shared_ptr<const Session> Find(uint32_t user_id, const std::string& key);
    // The live session with this key, refreshed (the download addresses carry
    // only the key).
    std::shared_ptr<const Session> FindByKey(const std::string& key);
    bool End(uint32_t user_id, const std::string& key);

private:
    struct Slot {
        std::shared_ptr<const Session> session;
        Clock::time_point last_used;
    };
    // Called with the lock held; drops expired sessions.
    void Expire(Clock::time_point now);

    std::chrono::seconds lifetime_;
    GenerationOf generation_of_;
    std::mutex mutex_;
    std::unordered_map<std::string, Slot> slots_;
    Clock::time_point last_expiry_{};
};

}  // namespace Tessel
