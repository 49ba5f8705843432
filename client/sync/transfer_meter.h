// Speed measurement over a sliding window, with an optional limit that
// slows the accounting thread down. Needs no platform headers.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

namespace Sync {

// Where a meter takes its time from and how it waits. The product uses the
// run-time clock in milliseconds and a real sleep over a 20-second window;
// tests substitute a scripted clock.
struct MeterTiming {
    int32_t window_ms = 20000;
    std::function<int32_t()> now;
    std::function<void(uint32_t)> sleep;
};

MeterTiming DefaultMeterTiming();

class TransferMeter {
public:
    TransferMeter();
    explicit TransferMeter(MeterTiming timing);
    TransferMeter(const TransferMeter&) = delete;
    TransferMeter& operator=(const TransferMeter&) = delete;

    // Records a block and returns the speed over the window in bytes per
    // second, 0 while it cannot be computed yet. With a limit it sleeps,
    // holding the meter, until the window's average is back within it, so
    // transfers sharing the meter are slowed one after another.
    uint32_t Account(uint32_t bytes);
    // kib is KiB per second, 0 for none. True when the limit changed; a
    // change forgets the window.
    bool SetLimit(uint32_t kib);

    uint32_t Limit();
    uint32_t Speed();

private:
    struct Sample {
        uint32_t bytes;
        int32_t time;
    };

    std::mutex lock_;
    std::deque<Sample> samples_;
    uint32_t limit_ = 0;
    uint32_t speed_ = 0;
    MeterTiming timing_;
};

// The process-wide meters of all downloads and all uploads.
TransferMeter& DownloadMeter();
TransferMeter& UploadMeter();
void SetDownloadLimit(uint32_t kib);
void SetUploadLimit(uint32_t kib);

}  // namespace Sync
