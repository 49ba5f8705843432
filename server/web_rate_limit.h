// Attempts per address in a sliding time window, in memory: the pages that
// check passwords, recovery codes or create accounts refuse an address
// that tries too often.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

namespace Tessel {

struct RateLimit {
    size_t attempts = 10;
    std::chrono::seconds window{300};
};

class RateLimiter {
public:
    using Clock = std::chrono::steady_clock;
    explicit RateLimiter(const RateLimit& limit) : limit_(limit) {}

    // Counts an attempt of the address; false when it already made as many
    // as the limit allows within the window (the refused one is not
    // counted, so waiting always helps).
    bool Allow(const std::string& address) { return Allow(address, Clock::now()); }
    bool Allow(const std::string& address, Clock::time_point now);

private:
    void Forget(Clock::time_point now);

    RateLimit limit_;
    std::mutex mutex_;
    std::unordered_map<std::string, std::deque<Clock::time_point>> attempts_;
    Clock::time_point last_sweep_{};
};

}  // namespace Tessel
