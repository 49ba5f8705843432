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

void ThrottledLog::Note(const std::string& text)
{
    const auto now = std::chrono::steady_clock::now();
    uint64_t left_out = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (logged_ && now - last_ < interval_) {
            ++left_out_;
            return;
        }
        logged_ = true;
        last_ = now;
        left_out = left_out_;
        left_out_ = 0;
    }
    LogLine(left_out ? text + " (and " + std::to_string(left_out) + " more like it)" : text);
}

}  // namespace Tessel
