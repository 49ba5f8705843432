// Writing one report folder: the reporter's log, the minidump and the
// files the client attaches. Everything here runs on the reporter's thread
// while the crashed process waits, so it works in fixed buffers.
#pragma once

#include <windows.h>
#include <dbghelp.h>

#include <atomic>
#include <cstdint>

#include "crashrpt/report_folder.h"

namespace CrashRpt {

constexpr size_t kLogCapacity = 16384;
constexpr size_t kMaxAttachments = 16;
constexpr size_t kAttachmentLineCapacity = 400;
// A larger file is named in the log but not copied: the report must stay
// small enough for the host to take it.
constexpr uint64_t kMaxAttachmentBytes = 32ull << 20;

// What the client adds during the callback. Open only while the callback
// runs; RecordLog and AddFile refuse it otherwise.
struct ReportContext {
    std::atomic<bool> open{false};
    wchar_t folder[kPathCapacity] = {};
    wchar_t log[kLogCapacity] = {};
    wchar_t attachments[kMaxAttachments][kAttachmentLineCapacity] = {};
    size_t attachment_count = 0;

    void Open(const wchar_t* report_folder);
    void Close() { open = false; }
};

bool AppendToLog(ReportContext& context, const wchar_t* text);
bool AttachFile(ReportContext& context, const wchar_t* path, const wchar_t* description);

// The facts of the crash, taken on the crashing thread.
struct CrashFacts {
    EXCEPTION_POINTERS* pointers = nullptr;
    DWORD thread_id = 0;
    SYSTEMTIME local_time = {};
};

using MiniDumpWriter = decltype(&MiniDumpWriteDump);

bool WriteMinidump(MiniDumpWriter writer, const wchar_t* folder, const CrashFacts& facts);

// The log: the reporter's lines ("Version: ..." first), the attached files
// and then the client's text. context may be null before the callback ran.
bool WriteLog(const wchar_t* folder, const wchar_t* version, const CrashFacts& facts, const ReportContext* context);

}  // namespace CrashRpt
