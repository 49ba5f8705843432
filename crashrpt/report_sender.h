// Sending report folders to the crash-report host: one HTTP POST per
// report, multipart/form-data with the version text, the log, the minidump
// and the attached files, authorized with the fixed account.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

#include "crashrpt/report_format.h"

namespace CrashRpt {

struct UploadTarget {
    std::wstring host;
    uint16_t port = 0;
    std::wstring authorization;  // the whole "Authorization: ..." header line
};

// Sends one finished report folder. Retry also when another process is
// sending the same report right now. stop, when raised, ends a transfer
// between two writes.
UploadOutcome SendReport(const wchar_t* folder, const UploadTarget& target, const std::atomic<bool>& stop);

// Sends the folder and marks it "sent" or "refused" by the outcome.
void SendAndMark(const wchar_t* folder, const UploadTarget& target, const std::atomic<bool>& stop);

}  // namespace CrashRpt
