#include "common/time_share.h"

#include <atomic>
#include <cstdint>

namespace Helper {

namespace {

std::atomic<int64_t> g_nanoseconds[static_cast<int>(TimeShare::Count)];

}  // namespace

void AddTimeShare(TimeShare share, std::chrono::steady_clock::duration spent)
{
    g_nanoseconds[static_cast<int>(share)].fetch_add(
        std::chrono::duration_cast<std::chrono::nanoseconds>(spent).count(), std::memory_order_relaxed);
}

double TimeShareSeconds(TimeShare share)
{
    return static_cast<double>(g_nanoseconds[static_cast<int>(share)].load(std::memory_order_relaxed)) / 1e9;
}

}  // namespace Helper
