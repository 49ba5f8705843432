#include "sign_on_guard.h"

#include <algorithm>

namespace Tessel {
namespace {

// Beyond this many records the stale ones go, and then those below the
// free failures: a flood of names cannot grow the table without bound.
constexpr size_t kMaxRecords = 100000;

std::string AddressKey(const std::string& address) { return "a " + address; }
std::string AccountKey(const std::string& account) { return "u " + account; }

}  // namespace

SignOnGuard::Record* SignOnGuard::Find(const std::string& key, Clock::time_point now)
{
    const auto found = records_.find(key);
    if (found == records_.end())
        return nullptr;
    if (now - found->second.last_failure > limits_.forget_after) {
        records_.erase(found);
        return nullptr;
    }
    return &found->second;
}

std::chrono::milliseconds SignOnGuard::Interval(const Record& record) const
{
    const unsigned doublings = std::min(record.failures - limits_.free_failures, 20u);
    return std::min(limits_.first_interval * (1 << doublings), limits_.longest_interval);
}

std::optional<SignOnGuard::Clock::time_point> SignOnGuard::Turn(const std::string& address,
                                                                const std::string& account, Clock::time_point now)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Record* const records[] = {Find(AddressKey(address), now), Find(AccountKey(account), now)};
    Clock::time_point turn = now;
    for (const Record* record : records)
        if (Guarded(record))
            turn = std::max(turn, record->next_turn);
    if (turn - now > limits_.longest_wait)
        return std::nullopt;
    for (Record* record : records)
        if (Guarded(record))
            record->next_turn = turn + Interval(*record);
    return turn;
}

void SignOnGuard::Failed(const std::string& address, const std::string& account, Clock::time_point now)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& key : {AddressKey(address), AccountKey(account)}) {
        if (!Find(key, now) && records_.size() >= kMaxRecords)
            Prune(now);
        Record& record = records_[key];
        ++record.failures;
        record.last_failure = now;
        if (Guarded(&record))
            record.next_turn = std::max(record.next_turn, now + Interval(record));
    }
}

void SignOnGuard::Prune(Clock::time_point now)
{
    for (auto it = records_.begin(); it != records_.end();)
        it = now - it->second.last_failure > limits_.forget_after ? records_.erase(it) : std::next(it);
    for (auto it = records_.begin(); it != records_.end() && records_.size() >= kMaxRecords;)
        it = Guarded(&it->second) ? std::next(it) : records_.erase(it);
}

}  // namespace Tessel
