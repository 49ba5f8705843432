// The tray icon: the hidden tray window that owns it and receives every
// notice (common/tray_contract.h), the one icon data record with its
// setters, the menu, the about box, and opening the folder and web pages.
//
// The setters only change the record; UpdateTrayIcon hands it to the shell.
// The state is shown from any thread (through RefreshForState), so the
// functions that change and send the record do both under one lock: a
// change made on another thread at the same moment (a refresh beside the
// upgrade balloon) cannot clear what one of them is about to send.
#pragma once

#include <windows.h>

#include <memory>

#include "client/shell/app_state.h"
#include "client/shell/tray_texts.h"
#include "common/win_handle.h"

namespace Helper {

// Process-wide objects of the tray that the program keeps as static
// objects, so that they exist before its entry runs and outlive the
// shutdown: the lock of the tray window handle, and the identifier of the
// "TaskbarCreated" message Explorer broadcasts when it restarts.
class CTrayWindowLock {
public:
    CTrayWindowLock();
    ~CTrayWindowLock();
    CTrayWindowLock(const CTrayWindowLock&) = delete;
    CTrayWindowLock& operator=(const CTrayWindowLock&) = delete;

private:
    std::unique_ptr<CCriticalSection> section_;
};
class CTaskbarCreatedMessage {
public:
    CTaskbarCreatedMessage();
};

// The module instance, stored once by the entry; dialogs and resources
// are loaded from it.
void SetAppInstance(HINSTANCE instance);
HINSTANCE AppInstance();

// UI thread. Registers the class when needed, creates the window and adds
// the icon for the current state; null when the icon, the class or the
// window cannot be made.
HWND CreateTrayWindow();
// UI thread. Removes the icon and destroys the window.
void DestroyTrayWindow();
// The tray window's procedure: clicks on the icon and the balloon, the
// notices, and Explorer's restart.
LRESULT CALLBACK TrayWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
// The popup menu at the cursor, and its command carried out.
void ShowTrayMenu(HWND window);

// The icon of the state (NIF_ICON).
void SetStateIcon(AppState state);
// The tip of the state (NIF_TIP); for Starting the given text, and without
// a text the tip flag is cleared so that the tip stays as it was.
void SetTip(AppState state, const wchar_t* text = nullptr);
// The balloon for `kind` (a state, or kBalloonUpgrade of tray_texts.h)
// after `previous`, with the caller's text and title where the rule takes
// them (NIF_INFO set or cleared).
void SetBalloon(int kind, AppState previous, const wchar_t* text = nullptr, const wchar_t* title = nullptr);
// Shell_NotifyIconW(NIM_MODIFY) with the record.
void UpdateTrayIcon();
// The state's icon, its balloon after `previous` and its tip, sent as one
// change.
void ShowStateOnIcon(AppState state, AppState previous);
// A tip set by the dialogs (state Starting, flags NIF_TIP alone) and sent,
// so that only the tip changes.
void ShowTipOnly(const wchar_t* text);

// Opens the sync folder in Explorer when it exists.
void OpenSyncFolder();
// Opens a web page in the browser, with the registry's browser as the
// fallback when the shell refuses.
void OpenUrl(const wchar_t* url);
// The about box (dialog 108), modal, owned by `owner` (may be null).
void ShowAboutBox(HWND owner);

// The running program's version (product version and build) as the about
// box and the upgrade balloon show it.
VersionParts RunningVersion();

}  // namespace Helper
