// What TavoTesselSync needs around a sync run: the console output with a
// progress line that updates in place on a terminal, the guard that ends
// the run's waits (the --timeout deadline, Ctrl+C, a server of another
// protocol version), the watch on the transfer in progress and the record
// of what the finished actions did.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "client/shell/console_texts.h"
#include "client/sync/sync_engine.h"
#include "common/win_handle.h"

namespace Helper {

// Lines on standard output as UTF-8. On a terminal a progress line stays
// in place until the next line replaces it; elsewhere it is a line of its
// own.
class CConsoleOut {
public:
    CConsoleOut();
    bool Terminal() const { return terminal_; }
    void Line(std::u16string_view text);
    void Progress(std::u16string_view text);
    void EndProgress();

private:
    void ClearLocked();
    static void Write(std::u16string_view text);

    std::mutex lock_;
    bool terminal_ = false;
    size_t shown_ = 0;  // length of the progress line in place
};
CConsoleOut& Out();
// printf-style into one line of Out().
void Print(const wchar_t* format, ...);

// Set by the console's control handler (Ctrl+C) and by the session when the
// server speaks another protocol version.
HANDLE InterruptEvent();
HANDLE IncompatibleEvent();

// Ends the run's waits once the run must end: at the deadline, at Ctrl+C,
// or when the server turned out to speak another protocol version. Every
// wait of the connection layer then returns at once.
class CRunGuard {
public:
    // timeout_ms 0: no deadline.
    explicit CRunGuard(DWORD timeout_ms);
    ~CRunGuard();
    CRunGuard(const CRunGuard&) = delete;
    CRunGuard& operator=(const CRunGuard&) = delete;

    HANDLE Over() const { return over_.Get(); }
    bool IsOver() const { return WaitForSingleObject(over_.Get(), 0) == WAIT_OBJECT_0; }
    bool TimedOut() const { return timed_out_.load(); }
    bool Interrupted() const { return interrupted_.load(); }
    bool Incompatible() const { return incompatible_.load(); }
    // The time left, INFINITE without a deadline.
    DWORD Remaining() const;
    // A start of a connection or of the engine lets waiting requests
    // through again: a run that is over already has them cut once more.
    void CutAgainIfOver();
    // After Ctrl+C the sign-off may still go, within the deadline; false
    // when the time is up or the server is of another version.
    bool OpenForSignOff();

private:
    static unsigned __stdcall Main(void* self);
    void Run();
    void End(std::atomic<bool>* reason);
    void CutLocked();

    std::mutex lock_;
    CHandle over_;
    CHandle quit_;
    CHandle thread_;
    DWORD deadline_ = 0;
    bool has_deadline_ = false;
    std::atomic<bool> timed_out_{false};
    std::atomic<bool> interrupted_{false};
    std::atomic<bool> incompatible_{false};
};

// Shows a transfer once it has run for a second: in place on a terminal,
// otherwise a line every few seconds.
class CProgressShow {
public:
    void Poll(Sync::CSyncEngine& engine);

private:
    std::wstring path_;
    int32_t kind_ = 0;
    DWORD since_ = 0;
    DWORD shown_ = 0;
    uint64_t done_ = 0;
};

// Prints a line for every finished action that did something and counts
// what the run did. Told by the engine's executor thread.
class CRunReport {
public:
    void Finished(const Sync::ISyncAction& action, Sync::CSyncEngine& engine);
    RunCounts Counts();

private:
    std::mutex lock_;
    RunCounts counts_;
};

}  // namespace Helper
