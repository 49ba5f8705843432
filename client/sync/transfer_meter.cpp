#include "client/sync/transfer_meter.h"

#include <chrono>
#include <ctime>
#include <limits>
#include <thread>

namespace Sync {

namespace {

// The Windows run-time clock counts wall-clock milliseconds since the
// process started; elsewhere clock() measures processor time, which does
// not advance while a limited transfer sleeps.
int32_t ClockMilliseconds()
{
#ifdef _WIN32
    return static_cast<int32_t>(static_cast<int64_t>(clock()) * 1000 / CLOCKS_PER_SEC);
#else
    using namespace std::chrono;
    static const steady_clock::time_point start = steady_clock::now();
    return static_cast<int32_t>(duration_cast<milliseconds>(steady_clock::now() - start).count());
#endif
}

void SleepMilliseconds(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

constexpr uint32_t kMinimumSleepMs = 10;

void ApplyLimit(TransferMeter& meter, uint32_t kib)
{
    if (meter.SetLimit(kib))
        meter.Account(0);
}

}  // namespace

MeterTiming DefaultMeterTiming()
{
    MeterTiming timing;
    timing.now = ClockMilliseconds;
    timing.sleep = SleepMilliseconds;
    return timing;
}

TransferMeter::TransferMeter() : timing_(DefaultMeterTiming()) {}

TransferMeter::TransferMeter(MeterTiming timing) : timing_(std::move(timing))
{
    if (!timing_.now)
        timing_.now = ClockMilliseconds;
    if (!timing_.sleep)
        timing_.sleep = SleepMilliseconds;
    if (timing_.window_ms <= 0)
        timing_.window_ms = DefaultMeterTiming().window_ms;
}

uint32_t TransferMeter::Account(uint32_t bytes)
{
    std::lock_guard<std::mutex> guard(lock_);
    const int32_t now = timing_.now();
    int32_t oldest = now;
    while (!samples_.empty()) {
        oldest = samples_.front().time;
        if (now - oldest < timing_.window_ms)
            break;
        samples_.pop_front();
    }
    samples_.push_back({bytes, now});
    if (now <= oldest)
        return 0;

    uint64_t sum = 0;
    for (const Sample& sample : samples_)
        sum += sample.bytes;

    if (limit_ != 0) {
        const uint64_t allowed = static_cast<uint64_t>(now - oldest) * limit_ / 1000;
        if (allowed < sum) {
            const uint64_t delay = (sum - allowed) * 1000 / limit_;
            if (delay > kMinimumSleepMs)
                timing_.sleep(static_cast<uint32_t>(std::min<uint64_t>(delay, std::numeric_limits<uint32_t>::max())));
        }
    }

    const int32_t elapsed = timing_.now() - oldest;
    if (elapsed <= 0)
        return speed_;
    const uint64_t speed = (sum / static_cast<uint64_t>(elapsed)) * 1000;
    speed_ = static_cast<uint32_t>(std::min<uint64_t>(speed, std::numeric_limits<uint32_t>::max()));
    return speed_;
}

bool TransferMeter::SetLimit(uint32_t kib)
{
    // Beyond 4 GiB per second a limit would wrap; it means no real limit.
    const uint32_t limit = kib > (std::numeric_limits<uint32_t>::max() >> 10) ? std::numeric_limits<uint32_t>::max()
                                                                               : kib << 10;
    std::lock_guard<std::mutex> guard(lock_);
    if (limit == limit_)
        return false;
    limit_ = limit;
    samples_.clear();
    return true;
}

uint32_t TransferMeter::Limit()
{
    std::lock_guard<std::mutex> guard(lock_);
    return limit_;
}

uint32_t TransferMeter::Speed()
{
    std::lock_guard<std::mutex> guard(lock_);
    return speed_;
}

TransferMeter& DownloadMeter()
{
    static TransferMeter meter;
    return meter;
}

TransferMeter& UploadMeter()
{
    static TransferMeter meter;
    return meter;
}

void SetDownloadLimit(uint32_t kib) { ApplyLimit(DownloadMeter(), kib); }
void SetUploadLimit(uint32_t kib) { ApplyLimit(UploadMeter(), kib); }

}  // namespace Sync
