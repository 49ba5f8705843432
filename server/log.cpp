#include "log.h"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace Tessel {
namespace {

std::atomic<bool> g_enabled{true};
std::mutex g_mutex;

}  // namespace

void SetLogEnabled(bool enabled) { g_enabled = enabled; }

void LogLine(const std::string& text)
{
    if (!g_enabled)
        return;
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    std::lock_guard<std::mutex> lock(g_mutex);
    std::fprintf(stderr, "%s %s\n", stamp, text.c_str());
}

}  // namespace Tessel
