// The process-wide reporter behind the four exports. It is installed once
// and hooks the unhandled-exception filter. A crash is handled on the
// reporter's own thread, started at installation: the crashed thread only
// hands over and waits, so that a crash on a broken stack still reports,
// and a report that hangs or crashes itself still lets the process end.
#pragma once

#include <windows.h>

#include <atomic>

#include "crashrpt/crashrpt.h"
#include "crashrpt/report_sender.h"
#include "crashrpt/report_writer.h"
#include "common/win_handle.h"

namespace CrashRpt {

// How long a crashed process waits for its report (minidump, log, upload)
// before it ends regardless.
constexpr DWORD kCrashDeadlineMs = 90000;
// How long Uninstall waits for an upload of earlier reports to wind down.
constexpr DWORD kStopWaitMs = 3000;

class CReporter {
public:
    static CReporter& Instance();

    bool Install(CrashCallback callback, const wchar_t* host, const wchar_t* account, const wchar_t* password,
                 const wchar_t* version);
    void Uninstall();
    bool IsInstalled() const { return installed_; }

    // The report context handed to the callback, when it is open.
    ReportContext* OpenContext(void* report);

    LONG OnUnhandledException(EXCEPTION_POINTERS* pointers);

private:
    CReporter() = default;

    bool SetTarget(const wchar_t* host, const wchar_t* account, const wchar_t* password);
    bool StartThreads();
    static unsigned __stdcall CrashThread(void* self);
    static unsigned __stdcall PendingThread(void* self);
    void BuildAndSendReport();
    bool AskClient(const wchar_t* folder);
    [[noreturn]] void EndProcess();

    std::atomic<bool> installed_{false};
    std::atomic<bool> stop_{false};
    CrashCallback callback_ = nullptr;
    wchar_t version_[kPathCapacity] = {};
    wchar_t root_[kPathCapacity] = {};
    UploadTarget target_;
    MiniDumpWriter dump_writer_ = nullptr;
    LPTOP_LEVEL_EXCEPTION_FILTER previous_filter_ = nullptr;

    Helper::CHandle crash_event_;
    Helper::CHandle stop_event_;
    Helper::CHandle done_event_;
    Helper::CHandle crash_thread_;
    Helper::CHandle pending_thread_;
    DWORD crash_thread_id_ = 0;

    // Set once, by the first thread that crashes.
    std::atomic<DWORD> crashed_thread_id_{0};
    std::atomic<DWORD> crash_code_{0};
    CrashFacts facts_;
    ReportContext context_;
};

}  // namespace CrashRpt
