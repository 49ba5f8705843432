// Where a sync run spends its time: wall time summed per kind of work, from
// every thread. Diagnostics print it; nothing depends on it.
#pragma once

#include <chrono>

namespace Helper {

enum class TimeShare { Digests, StateSaves, NetworkWaits, Count };

void AddTimeShare(TimeShare share, std::chrono::steady_clock::duration spent);
double TimeShareSeconds(TimeShare share);

// Adds the time from construction to destruction.
class CTimeShareScope {
public:
    explicit CTimeShareScope(TimeShare share) : share_(share), start_(std::chrono::steady_clock::now()) {}
    ~CTimeShareScope() { AddTimeShare(share_, std::chrono::steady_clock::now() - start_); }
    CTimeShareScope(const CTimeShareScope&) = delete;
    CTimeShareScope& operator=(const CTimeShareScope&) = delete;

private:
    TimeShare share_;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace Helper
