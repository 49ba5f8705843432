#include "client/shell/console_run.h"

#include <process.h>

#include <cstdarg>
#include <cstdio>

#include "client/net/request_manager.h"
#include "common/bounded_string.h"
#include "common/utf.h"

namespace Helper {

namespace {

// A transfer is shown once it has run this long; off a terminal, a line
// every few seconds.
constexpr DWORD kProgressAfterMs = 1000;
constexpr DWORD kPlainProgressEveryMs = 3000;

}  // namespace

CConsoleOut::CConsoleOut() : terminal_(GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_CHAR) {}

void CConsoleOut::Write(std::u16string_view text)
{
    std::fputs(Utf16ToUtf8(text).c_str(), stdout);
    std::fflush(stdout);
}

void CConsoleOut::Line(std::u16string_view text)
{
    std::lock_guard<std::mutex> hold(lock_);
    ClearLocked();
    Write(std::u16string(text) + u"\n");
}

void CConsoleOut::Progress(std::u16string_view text)
{
    if (!terminal_) {
        Line(text);
        return;
    }
    std::lock_guard<std::mutex> hold(lock_);
    std::u16string shown = u"\r" + std::u16string(text);
    // What a longer line before left at the end goes.
    if (text.size() < shown_)
        shown.append(shown_ - text.size(), u' ');
    Write(shown);
    shown_ = text.size();
}

void CConsoleOut::EndProgress()
{
    std::lock_guard<std::mutex> hold(lock_);
    ClearLocked();
}

void CConsoleOut::ClearLocked()
{
    if (shown_ == 0)
        return;
    Write(u"\r" + std::u16string(shown_, u' ') + u"\r");
    shown_ = 0;
}

CConsoleOut& Out()
{
    static CConsoleOut out;
    return out;
}

void Print(const wchar_t* format, ...)
{
    wchar_t line[1024];
    va_list args;
    va_start(args, format);
    FormatBoundedV(line, 1024, format, args);
    va_end(args);
    Out().Line(AsU16(line));
}

HANDLE InterruptEvent()
{
    static CHandle event = MakeEvent(true);
    return event.Get();
}

HANDLE IncompatibleEvent()
{
    static CHandle event = MakeEvent(true);
    return event.Get();
}

CRunGuard::CRunGuard(DWORD timeout_ms)
    : over_(MakeEvent(true)), quit_(MakeEvent(true)), deadline_(GetTickCount() + timeout_ms),
      has_deadline_(timeout_ms != 0)
{
    thread_.Reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Main, this, 0, nullptr)));
}

CRunGuard::~CRunGuard()
{
    SetEvent(quit_.Get());
    if (thread_)
        WaitForSingleObject(thread_.Get(), INFINITE);
}

DWORD CRunGuard::Remaining() const
{
    if (!has_deadline_)
        return INFINITE;
    const LONG left = static_cast<LONG>(deadline_ - GetTickCount());
    return left > 0 ? static_cast<DWORD>(left) : 0;
}

unsigned __stdcall CRunGuard::Main(void* self)
{
    static_cast<CRunGuard*>(self)->Run();
    return 0;
}

void CRunGuard::Run()
{
    bool interrupted = false;
    bool incompatible = false;
    for (;;) {
        HANDLE events[3] = {quit_.Get()};
        DWORD count = 1;
        if (!interrupted)
            events[count++] = InterruptEvent();
        if (!incompatible)
            events[count++] = IncompatibleEvent();
        const DWORD woke = WaitForMultipleObjects(count, events, FALSE, Remaining());
        if (woke == WAIT_OBJECT_0)
            return;
        if (woke == WAIT_TIMEOUT) {
            End(&timed_out_);
            return;
        }
        if (woke >= WAIT_OBJECT_0 + count)
            return;
        const HANDLE which = events[woke - WAIT_OBJECT_0];
        if (which == InterruptEvent()) {
            interrupted = true;
            End(&interrupted_);
        } else {
            incompatible = true;
            End(&incompatible_);
        }
    }
}

void CRunGuard::End(std::atomic<bool>* reason)
{
    std::lock_guard<std::mutex> hold(lock_);
    reason->store(true);
    CutLocked();
    SetEvent(over_.Get());
}

void CRunGuard::CutLocked()
{
    Net::MainConnection().SetStopEvent();
    Net::DataConnection().SetStopEvent();
}

void CRunGuard::CutAgainIfOver()
{
    std::lock_guard<std::mutex> hold(lock_);
    if (IsOver())
        CutLocked();
}

bool CRunGuard::OpenForSignOff()
{
    std::lock_guard<std::mutex> hold(lock_);
    if (timed_out_.load() || incompatible_.load())
        return false;
    Net::MainConnection().ResetStopEvent();
    return true;
}

void CProgressShow::Poll(Sync::CSyncEngine& engine)
{
    Sync::SyncProgress progress;
    const bool transfer = engine.GetProgress(&progress) && progress.total > 0 &&
                          (progress.kind == Sync::KindUpload || progress.kind == Sync::KindDownload);
    const DWORD now = GetTickCount();
    if (!transfer || path_ != progress.path || kind_ != progress.kind) {
        Out().EndProgress();
        path_ = transfer ? progress.path : L"";
        kind_ = progress.kind;
        since_ = now;
        shown_ = 0;
        done_ = 0;
        return;
    }
    // An upload clears its offset as it commits: the progress never goes back.
    if (now - since_ < kProgressAfterMs || progress.done < done_)
        return;
    done_ = progress.done;
    if (!Out().Terminal() && shown_ != 0 && now - shown_ < kPlainProgressEveryMs)
        return;
    shown_ = now;
    Out().Progress(ProgressLine(progress.kind == Sync::KindUpload, AsU16(progress.path), progress.done,
                                progress.total, progress.speed));
}

void CRunReport::Finished(const Sync::ISyncAction& action, Sync::CSyncEngine& engine)
{
    const Sync::ActionReport& report = action.report;
    std::wstring key = report.new_key;
    if (key.empty() && !engine.KeyOf(action.local_path, &key))
        key = action.local_path;
    {
        std::lock_guard<std::mutex> hold(lock_);
        counts_.Add(report.effect, report.bytes, report.transfer_ms);
    }
    const std::u16string line = ActionLine(report.effect, AsU16(key), AsU16(report.old_key), report.bytes);
    if (!line.empty())
        Out().Line(line);
}

RunCounts CRunReport::Counts()
{
    std::lock_guard<std::mutex> hold(lock_);
    return counts_;
}

}  // namespace Helper
