// TavoTessel.exe: the tray program's entry. The process-wide objects are
// static objects of this file, constructed in this order before the entry
// runs and destroyed in reverse after it returns; a second start hands a
// click to the first instance and ends; the message loop runs between the
// controller's start-up and shutdown. The exit code is 0 in every case.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include "client/net/common_socket.h"
#include "client/net/request_manager.h"
#include "client/shell/controller.h"
#include "client/shell/crash_hook.h"
#include "client/shell/tray_icon.h"
#include "client/ui/tray_dialogs.h"
#include "common/bounded_string.h"
#include "common/tray_contract.h"

namespace {

// Builds both connection managers at this point of the static
// construction, so that they are torn down at this point too.
struct CConnectionManagers {
    CConnectionManagers()
    {
        Net::MainConnection();
        Net::DataConnection();
    }
};

GUI::CTrayDialogs g_dialogs;  // holds the settings centre's tab buttons
Helper::CTrayWindowLock g_tray_window_lock;
Helper::CCrashHook g_crash_hook;
CConnectionManagers g_connection_managers;
Helper::CTaskbarCreatedMessage g_taskbar_created;
Net::CSocketsStartup g_sockets;

constexpr size_t kFailureTextCapacity = 128;

void ShowStartFailure(const wchar_t* format)
{
    wchar_t text[kFailureTextCapacity];
    Helper::FormatBounded(text, kFailureTextCapacity, format, static_cast<int>(GetLastError()));
    MessageBoxW(nullptr, text, L"Error", MB_ICONERROR);
}

void RunMessageLoop()
{
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void AppMain(HINSTANCE instance)
{
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        ShowStartFailure(L"Error initializing COM: %d");
        return;
    }
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LINK_CLASS};
    if (!InitCommonControlsEx(&controls)) {
        ShowStartFailure(L"Error initializing COMMCTL32: %d");
        CoUninitialize();
        return;
    }
    Helper::SetAppInstance(instance);
    Helper::SetDialogHost(&g_dialogs);
    if (!Helper::InitApplication()) {
        ShowStartFailure(L"Error initializing Application: %d");
        CoUninitialize();
        return;
    }
    RunMessageLoop();
    Helper::ShutdownApplication();
    CoUninitialize();
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    HWND running = FindWindowW(Helper::kTrayWindowClass, nullptr);
    if (running != nullptr) {
        SetForegroundWindow(running);
        PostMessageW(running, Helper::WM_TRAYNOTIFY, 0, WM_LBUTTONUP);
        return 0;
    }
    AppMain(instance);
    return 0;
}
