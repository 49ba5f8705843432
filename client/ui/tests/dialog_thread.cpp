#include "client/ui/tests/dialog_thread.h"

#include "client/shell/tray_icon.h"
#include "common/tests/test_support.h"

#include <commctrl.h>
#include <objbase.h>
#include <process.h>

namespace GuiTest {

namespace {

constexpr UINT kRunWork = WM_APP + 77;
constexpr wchar_t kClass[] = L"TavoDialogTestThread";
constexpr DWORD kEndTimeoutMs = 20000;

}  // namespace

CDialogThread::CDialogThread() : ready_(Helper::MakeEvent(true))
{
    thread_.Reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Main, this, 0, nullptr)));
    if (thread_)
        WaitForSingleObject(ready_.Get(), kEndTimeoutMs);
}

CDialogThread::~CDialogThread()
{
    if (!thread_)
        return;
    // A quit message ends each modal loop in turn, then the thread's own.
    if (window_)
        PostThreadMessageW(GetThreadId(thread_.Get()), WM_QUIT, 0, 0);
    WaitForSingleObject(thread_.Get(), kEndTimeoutMs);
}

void CDialogThread::Post(std::function<void()> work)
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        work_.push(std::move(work));
    }
    PostMessageW(window_, kRunWork, 0, 0);
}

bool CDialogThread::Run(std::function<void()> work, DWORD timeout_ms)
{
    Helper::CHandle done = Helper::MakeEvent(true);
    HANDLE signal = done.Get();
    Post([work, signal] {
        work();
        SetEvent(signal);
    });
    return WaitForSingleObject(done.Get(), timeout_ms) == WAIT_OBJECT_0;
}

bool CDialogThread::Idle()
{
    std::lock_guard<std::mutex> hold(lock_);
    return work_.empty() && running_ == 0;
}

void CDialogThread::RunNext()
{
    std::function<void()> work;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (work_.empty())
            return;
        work = std::move(work_.front());
        work_.pop();
        ++running_;
    }
    work();
    std::lock_guard<std::mutex> hold(lock_);
    --running_;
}

LRESULT CALLBACK CDialogThread::WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == kRunWork) {
        reinterpret_cast<CDialogThread*>(GetWindowLongPtrW(window, GWLP_USERDATA))->RunNext();
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

unsigned __stdcall CDialogThread::Main(void* param)
{
    auto* self = static_cast<CDialogThread*>(param);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LINK_CLASS | ICC_UPDOWN_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    HINSTANCE instance = GetModuleHandleW(nullptr);
    Helper::SetAppInstance(instance);
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = WindowProc;
    window_class.hInstance = instance;
    window_class.lpszClassName = kClass;
    RegisterClassW(&window_class);
    HWND window = CreateWindowExW(0, kClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    self->window_ = window;
    SetEvent(self->ready_.Get());
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
    DestroyWindow(window);
    CoUninitialize();
    return 0;
}

}  // namespace GuiTest
