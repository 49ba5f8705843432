#include "client/sync/transfer_meter.h"

#include <gtest/gtest.h>

#include <memory>

namespace Sync {
namespace {

// A clock that only moves when the meter sleeps or the test advances it.
struct ScriptedClock {
    int32_t now = 1000;
    uint64_t slept = 0;
    uint32_t sleeps = 0;

    MeterTiming Timing(int32_t window_ms = 20000)
    {
        MeterTiming timing;
        timing.window_ms = window_ms;
        timing.now = [this] { return now; };
        timing.sleep = [this](uint32_t ms) {
            now += static_cast<int32_t>(ms);
            slept += ms;
            ++sleeps;
        };
        return timing;
    }
};

TEST(TransferMeter, FirstAccountRecordsAndReportsNothing)
{
    ScriptedClock clock;
    TransferMeter meter(clock.Timing());
    EXPECT_EQ(meter.Account(5000), 0u);
    clock.now += 1000;
    // Both samples count against the one second since the first.
    EXPECT_EQ(meter.Account(5000), 10000u);
}

TEST(TransferMeter, SpeedMovesInStepsOfThousand)
{
    ScriptedClock clock;
    TransferMeter meter(clock.Timing());
    meter.Account(0);
    clock.now += 3;
    // 2999 bytes in 3 ms is 999 per ms: the whole-number division comes first.
    EXPECT_EQ(meter.Account(2999), 999000u);
}

TEST(TransferMeter, LimitSettlesAtTheConfiguredRate)
{
    ScriptedClock clock;
    TransferMeter meter(clock.Timing());
    ASSERT_TRUE(meter.SetLimit(100));
    uint32_t speed = 0;
    // A minute of 64 KiB blocks as fast as the meter lets them through.
    while (clock.now < 61000) {
        speed = meter.Account(64 * 1024);
        clock.now += 1;  // the transfer itself takes a moment
    }
    EXPECT_NEAR(static_cast<double>(speed), 102400.0, 102400.0 * 0.05);
    EXPECT_GT(clock.sleeps, 0u);
}

TEST(TransferMeter, LimitHoldsOverAShortenedWindow)
{
    ScriptedClock clock;
    TransferMeter meter(clock.Timing(2000));
    ASSERT_TRUE(meter.SetLimit(256));
    const int32_t start = clock.now;
    uint64_t sent = 0;
    while (clock.now - start < 30000) {
        meter.Account(16 * 1024);
        sent += 16 * 1024;
        clock.now += 1;
    }
    const double rate = sent * 1000.0 / (clock.now - start);
    EXPECT_NEAR(rate, 262144.0, 262144.0 * 0.05);
    EXPECT_NEAR(static_cast<double>(meter.Speed()), 262144.0, 262144.0 * 0.05);
}

TEST(TransferMeter, NoLimitNeverSleeps)
{
    ScriptedClock clock;
    TransferMeter meter(clock.Timing());
    for (int i = 0; i < 1000; ++i) {
        meter.Account(1 << 20);
        clock.now += 1;
    }
    EXPECT_EQ(clock.sleeps, 0u);
}

TEST(TransferMeter, WindowDropsOldSamplesAndMeasuresFromTheLastDropped)
{
    ScriptedClock clock;
    TransferMeter meter(clock.Timing());
    meter.Account(1000);
    clock.now += 500;
    meter.Account(1000);
    clock.now += 30000;
    // Both samples are gone; the span runs from the last dropped one.
    EXPECT_EQ(meter.Account(30500), 1000u);
}

TEST(TransferMeter, SetLimitKeepsSamplesOnlyWhenUnchanged)
{
    ScriptedClock clock;
    TransferMeter meter(clock.Timing());
    EXPECT_TRUE(meter.SetLimit(100));
    meter.Account(1000);
    clock.now += 1000;
    EXPECT_FALSE(meter.SetLimit(100));
    EXPECT_EQ(meter.Account(1000), 2000u);
    EXPECT_TRUE(meter.SetLimit(200));
    EXPECT_EQ(meter.Limit(), 200u * 1024u);
    // The window was forgotten: a first sample again.
    EXPECT_EQ(meter.Account(1000), 0u);
}

TEST(TransferMeter, LargeLimitComputesAllowanceWithoutOverflow)
{
    ScriptedClock clock;
    TransferMeter meter(clock.Timing());
    ASSERT_TRUE(meter.SetLimit(2048));
    // 20 seconds of 2 MiB/s, accounted once per 100 ms: exactly at the limit.
    for (int i = 0; i < 200; ++i) {
        meter.Account(2 * 1024 * 1024 / 10);
        clock.now += 100;
    }
    EXPECT_LT(clock.slept, 1000u);
    EXPECT_NEAR(static_cast<double>(meter.Speed()), 2097152.0, 2097152.0 * 0.02);
}

TEST(TransferMeter, GlobalLimitsApply)
{
    SetDownloadLimit(64);
    EXPECT_EQ(DownloadMeter().Limit(), 64u * 1024u);
    SetUploadLimit(0);
    EXPECT_EQ(UploadMeter().Limit(), 0u);
    SetDownloadLimit(0);
    EXPECT_EQ(DownloadMeter().Limit(), 0u);
}

}  // namespace
}  // namespace Sync
