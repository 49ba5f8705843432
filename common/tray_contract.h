// The window contract between the programs: the tray client's hidden
// window, the private message every notice travels as, and the notice
// codes in its lParam. The client's tray window receives them; a second
// start of the client, the updater and the client's own threads send them.
#pragma once

#include <windows.h>

namespace Helper {

// The class of the tray window; one window of it exists per desktop.
constexpr wchar_t kTrayWindowClass[] = L"_TavoTesselTrayWndClass";

// The tray icon's callback message and the carrier of every notice.
constexpr UINT WM_TRAYNOTIFY = WM_USER + 0x500;
static_assert(WM_TRAYNOTIFY == 2304, "the message number is shared with programs already installed");

// Notices of the application controller to its own UI thread.
constexpr LPARAM TE_RESTART_WATCH = WM_TRAYNOTIFY + 1;
constexpr LPARAM TE_ASK_CREDENTIALS = WM_TRAYNOTIFY + 2;
constexpr LPARAM TE_RETRY_ACCOUNT_INFO = WM_TRAYNOTIFY + 3;
constexpr LPARAM TE_NOT_BOUND = WM_TRAYNOTIFY + 4;
constexpr LPARAM TE_FOLDER_CHANGED = WM_TRAYNOTIFY + 5;
constexpr LPARAM TE_OFFLINE = WM_TRAYNOTIFY + 6;
constexpr LPARAM TE_STATE_CHANGED = WM_TRAYNOTIFY + 7;

// The updater's outcome, with one of the UpdateNotice values in wParam.
constexpr LPARAM TE_UPDATE_RESULT = 3629;
// Shows the upgrade balloon; accepted from any sender.
constexpr LPARAM TE_UPGRADED = 3630;
// The server declared this client version incompatible: the client quits.
constexpr LPARAM TE_INCOMPATIBLE = 3631;

// wParam of TE_UPDATE_RESULT.
enum UpdateNotice : WPARAM {
    UpdateNoticeUpdating = 0,  // a verified package is ready; its installer starts shortly
    UpdateNoticeCurrent = 1,   // the installed version is current
    UpdateNoticeFailed = 2,    // the check failed
};

}  // namespace Helper
