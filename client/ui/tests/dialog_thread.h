// The program's dialogs run on a UI thread of their own inside the test
// process, as the tray program runs them on its main thread, while the
// test thread plays the user with the GUI driver. Work for the UI thread
// is posted to a hidden window of it, so that it also runs inside whatever
// modal dialog loop is active there.
#pragma once

#include <windows.h>

#include <functional>
#include <mutex>
#include <queue>

#include "common/win_handle.h"

namespace GuiTest {

class CDialogThread {
public:
    // Starts the thread with COM, the common controls and the program's
    // module instance ready.
    CDialogThread();
    // Ends every loop of the thread and waits for it.
    ~CDialogThread();
    CDialogThread(const CDialogThread&) = delete;
    CDialogThread& operator=(const CDialogThread&) = delete;

    bool Started() const { return window_ != nullptr; }
    // Runs the work on the UI thread and returns at once.
    void Post(std::function<void()> work);
    // Runs the work on the UI thread and waits until it has returned.
    bool Run(std::function<void()> work, DWORD timeout_ms = 10000);
    // True when every piece of work posted so far has returned.
    bool Idle();

private:
    static unsigned __stdcall Main(void* self);
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
    void RunNext();

    Helper::CHandle thread_;
    Helper::CHandle ready_;
    HWND window_ = nullptr;
    std::mutex lock_;
    std::queue<std::function<void()>> work_;
    int running_ = 0;
};

}  // namespace GuiTest
