// Slows password guessing without slowing anyone else. After a few failed
// sign-ons from one address, or for one account, each further attempt from
// that address or for that account waits its turn: one per interval, which
// doubles with the failures. An attempt whose turn is too far away is turned
// away. Failures are forgotten after a quiet while. The wait is the
// connection's (a timer); no thread waits.
#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace Tessel {

struct SignOnLimits {
    unsigned free_failures = 5;
    std::chrono::milliseconds first_interval{1000};
    std::chrono::milliseconds longest_interval{60000};
    std::chrono::seconds longest_wait{30};
    std::chrono::seconds forget_after{900};
};

class SignOnGuard {
public:
    using Clock = std::chrono::steady_clock;
    explicit SignOnGuard(const SignOnLimits& limits) : limits_(limits) {}

    // When an attempt from address for account may be checked, the turn
    // taken for it; nothing when that would be more than the longest wait
    // away.
    std::optional<Clock::time_point> Turn(const std::string& address, const std::string& account,
                                          Clock::time_point now);
    void Failed(const std::string& address, const std::string& account, Clock::time_point now);

private:
    struct Record {
        unsigned failures = 0;
        Clock::time_point last_failure;
        Clock::time_point next_turn;
    };
    // Called with the lock held. Null without recent failures.
    Record* Find(const std::string& key, Clock::time_point now);
    bool Guarded(const Record* record) const { return record && record->failures >= limits_.free_failures; }
    std::chrono::milliseconds Interval(const Record& record) const;
    void Prune(Clock::time_point now);

    const SignOnLimits limits_;
    std::mutex mutex_;
    std::unordered_map<std::string, Record> records_;
};

}  // namespace Tessel
