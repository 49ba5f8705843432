#include "web_rate_limit.h"

namespace Tessel {

bool RateLimiter::Allow(const std::string& address, Clock::time_point now)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (now - last_sweep_ > limit_.window)
        Forget(now);
    auto& times = attempts_[address];
    while (!times.empty() && now - times.front() >= limit_.window)
        times.pop_front();
    if (times.size() >= limit_.attempts)
        return false;
    times.push_back(now);
    return true;
}

// Drops addresses whose attempts have all left the window, so that the
// table holds only addresses active within one window.
void RateLimiter::Forget(Clock::time_point now)
{
    last_sweep_ = now;
    for (auto it = attempts_.begin(); it != attempts_.end();) {
        if (it->second.empty() || now - it->second.back() >= limit_.window)
            it = attempts_.erase(it);
        else
            ++it;
    }
}

}  // namespace Tessel
