#include "crashrpt/reporter.h"

#include <process.h>

#include "common/bounded_string.h"
#include "common/utf.h"

namespace CrashRpt {

namespace {

constexpr uint16_t kDefaultHttpPort = 80;
// The minidump writer walks every module of the process: room to spare.
constexpr unsigned kCrashThreadStack = 1u << 20;

LONG WINAPI Filter(EXCEPTION_POINTERS* pointers)
{
    return CReporter::Instance().OnUnhandledException(pointers);
}

std::string Utf8(const wchar_t* text)
{
    return Helper::Utf16ToUtf8(Helper::AsU16(text));
}

Helper::CHandle StartThread(unsigned(__stdcall* body)(void*), void* argument, unsigned stack, DWORD* id)
{
    unsigned thread_id = 0;
    Helper::CHandle thread(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, stack, body, argument, 0, &thread_id)));
    if (id != nullptr)
        *id = thread_id;
    return thread;
}

// Keeps the library loaded for good: the reporter's threads may outlive
// Uninstall, and a crash may come at any time.
void PinThisModule()
{
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<const wchar_t*>(&Filter), &self);
}

}  // namespace

CReporter& CReporter::Instance()
{
    static CReporter reporter;
    return reporter;
}

bool CReporter::SetTarget(const wchar_t* host, const wchar_t* account, const wchar_t* password)
{
    std::string name;
    uint16_t port = 0;
    if (!SplitServer(Utf8(host), kDefaultHttpPort, &name, &port))
        return false;
    target_.host = std::wstring(Helper::AsWide(Helper::Utf8ToUtf16(name)));
    target_.port = port;
    const std::string authorization = "Authorization: " + BasicAuthorization(Utf8(account), Utf8(password));
    target_.authorization = std::wstring(Helper::AsWide(Helper::Utf8ToUtf16(authorization)));
    return true;
}

bool CReporter::StartThreads()
{
    crash_event_.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    stop_event_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    done_event_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!crash_event_ || !stop_event_ || !done_event_)
        return false;
    crash_thread_ = StartThread(&CReporter::CrashThread, this, kCrashThreadStack, &crash_thread_id_);
    if (!crash_thread_)
        return false;
    // Without it, the reports of earlier runs wait for the next start.
    pending_thread_ = StartThread(&CReporter::PendingThread, this, 0, nullptr);
    return true;
}

bool CReporter::Install(CrashCallback callback, const wchar_t* host, const wchar_t* account, const wchar_t* password,
                        const wchar_t* version)
{
    if (installed_ || host == nullptr || account == nullptr || password == nullptr)
        return false;
    if (!SetTarget(host, account, password) || !OpenReportRoot(root_))
        return false;
    callback_ = callback;
    Helper::CopyBounded(version_, version != nullptr ? version : L"");
    // Loaded now, once for the process: loading a library in a crashed
    // process may never return.
    if (dump_writer_ == nullptr) {
        HMODULE dbghelp = LoadLibraryExW(L"dbghelp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (dbghelp != nullptr)
            dump_writer_ = reinterpret_cast<MiniDumpWriter>(
                reinterpret_cast<void*>(GetProcAddress(dbghelp, "MiniDumpWriteDump")));
    }
    // An upload left running by an earlier Uninstall ends before a new one
    // starts; it still sees the stop it was given.
    if (pending_thread_) {
        WaitForSingleObject(pending_thread_.Get(), INFINITE);
        pending_thread_.Reset();
    }
    stop_ = false;
    if (!StartThreads()) {
        Uninstall();
        return false;
    }
    PinThisModule();
    installed_ = true;
    previous_filter_ = SetUnhandledExceptionFilter(&Filter);
    return true;
}

void CReporter::Uninstall()
{
    if (installed_) {
        // Another filter set after ours stays in place.
        LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(previous_filter_);
        if (current != &Filter)
            SetUnhandledExceptionFilter(current);
    }
    installed_ = false;
    stop_ = true;
    if (stop_event_)
        SetEvent(stop_event_.Get());
    if (crash_thread_)
        WaitForSingleObject(crash_thread_.Get(), kStopWaitMs);
    crash_thread_.Reset();
    // An upload that does not wind down in time is left to end on its own;
    // the next Install waits for it.
    if (pending_thread_ && WaitForSingleObject(pending_thread_.Get(), kStopWaitMs) == WAIT_OBJECT_0)
        pending_thread_.Reset();
}

ReportContext* CReporter::OpenContext(void* report)
{
    return report == &context_ && context_.open ? &context_ : nullptr;
}

LONG CReporter::OnUnhandledException(EXCEPTION_POINTERS* pointers)
{
    if (!installed_)
        return previous_filter_ != nullptr ? previous_filter_(pointers) : EXCEPTION_CONTINUE_SEARCH;
    const DWORD self = GetCurrentThreadId();
    DWORD expected = 0;
    if (!crashed_thread_id_.compare_exchange_strong(expected, self)) {
        // A crash while a report is being made: the reporter itself, or the
        // first crashed thread failing again, ends the process at once;
        // another thread waits for the report that is under way.
        if (self != crash_thread_id_ && self != expected)
            WaitForSingleObject(done_event_.Get(), kCrashDeadlineMs);
        EndProcess();
    }
    crash_code_ = pointers->ExceptionRecord->ExceptionCode;
    facts_.pointers = pointers;
    facts_.thread_id = self;
    GetLocalTime(&facts_.local_time);
    SetEvent(crash_event_.Get());
    WaitForSingleObject(done_event_.Get(), kCrashDeadlineMs);
    EndProcess();
}

void CReporter::EndProcess()
{
    // Not ExitProcess: the libraries' detach code could wait for locks that
    // the crashed thread holds.
    DWORD code = crash_code_;
    TerminateProcess(GetCurrentProcess(), code != 0 ? code : EXCEPTION_NONCONTINUABLE_EXCEPTION);
    for (;;)
        Sleep(INFINITE);
}

unsigned __stdcall CReporter::CrashThread(void* self)
{
    auto* reporter = static_cast<CReporter*>(self);
    const HANDLE events[] = {reporter->stop_event_.Get(), reporter->crash_event_.Get()};
    if (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        reporter->BuildAndSendReport();
        SetEvent(reporter->done_event_.Get());
    }
    return 0;
}

unsigned __stdcall CReporter::PendingThread(void* self)
{
    auto* reporter = static_cast<CReporter*>(self);
    PruneReports(reporter->root_);
    for (const std::wstring& folder : PendingReports(reporter->root_)) {
        if (reporter->stop_)
            break;
        SendAndMark(folder.c_str(), reporter->target_, reporter->stop_);
    }
    return 0;
}

bool CReporter::AskClient(const wchar_t* folder)
{
    if (callback_ == nullptr)
        return true;
    context_.Open(folder);
    const BOOL go_ahead = callback_(&context_);
    context_.Close();
    return go_ahead != FALSE;
}

void CReporter::BuildAndSendReport()
{
    wchar_t folder[kPathCapacity];
    if (!CreatePartialFolder(root_, facts_.local_time, GetCurrentProcessId(), folder))
        return;
    // Each step leaves what it wrote: should a later one hang or crash, the
    // next start finishes the partial folder and sends that much.
    WriteLog(folder, version_, facts_, nullptr);
    WriteMinidump(dump_writer_, folder, facts_);
    if (!AskClient(folder)) {
        DeleteReportFolder(folder);
        return;
    }
    WriteLog(folder, version_, facts_, &context_);
    if (FinishFolder(folder))
        SendAndMark(folder, target_, stop_);
}

}  // namespace CrashRpt
