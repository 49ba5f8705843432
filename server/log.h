// One line per event on stderr; stdout stays free for the caller.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace Tessel {

void LogLine(const std::string& text);
void SetLogEnabled(bool enabled);

// An event that may come in floods (refused connections, failing accepts):
// the first is logged at once, then at most one line per interval, which
// counts the ones left out.
class ThrottledLog {
public:
    explicit ThrottledLog(std::chrono::seconds interval = std::chrono::seconds(60)) : interval_(interval) {}
    void Note(const std::string& text);

private:
    const std::chrono::seconds interval_;
    std::mutex mutex_;
    std::chrono::steady_clock::time_point last_{};
    bool logged_ = false;
    uint64_t left_out_ = 0;
};

}  // namespace Tessel
