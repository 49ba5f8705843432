// A tray program that does not answer: it owns a window of the tray
// class, as the client does, and never reads its messages, so that the
// notice asking it to end goes unanswered.
#include <windows.h>

#include "common/tray_contract.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    WNDCLASSW tray = {};
    tray.lpfnWndProc = DefWindowProcW;
    tray.hInstance = instance;
    tray.lpszClassName = Helper::kTrayWindowClass;
    if (RegisterClassW(&tray) == 0)
        return 1;
    if (CreateWindowExW(WS_EX_TOOLWINDOW, Helper::kTrayWindowClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                        instance, nullptr) == nullptr)
        return 1;
    Sleep(INFINITE);
    return 0;
}
