// The application controller: the start-up and shutdown sequences of the
// tray program, the reaction to every change of the application state, the
// sync folder and the moving of its contents, the thread timers and the
// updater. The state and the context record are in app_state.h; sign-on in
// signon.h; the tray icon in tray_icon.h; the dialogs are reached through
// dialog_host.h.
#pragma once

#include <windows.h>

#include "client/shell/app_state.h"

namespace Helper {

// The program's IAppHost: the state rules of CAppStateHost with the tray's
// reaction to a change. InitApplication registers it.
class CController : public CAppStateHost {
public:
    void RefreshForState(AppState previous) override;
};

// UI thread. The start-up sequence: server list, MD5 functions, stored
// account, folder watcher, tray window, automatic update, speed limits,
// file type, first-run check, then the automatic sign-on or (unbound) the
// modal setup wizard. False when the program cannot run.
bool InitApplication();
// UI thread, after the message loop: tray icon and window, dialogs, folder
// watcher, the abort flag with the MD5 functions, the connections.
void ShutdownApplication();

// Any thread. Commits a usable folder (exists, not beginning with "\") of a
// bound user to memory and registry; the state becomes Synced unless it is
// Starting, Synced or AccountFrozen.
void SetSyncFolder(const wchar_t* path);
// UI thread (the wizard's Finish, the settings centre's commit):
// SetSyncFolder, the refresh, and the move of the old folder's contents
// when the folder changed.
void CommitSyncFolder(const wchar_t* path);

// Any thread: Synced, Syncing, Offline and SigningOn become
// AccountInfoFailed, followed by the refresh.
void MarkAccountInfoFailed();

// Any thread: the reaction to a change from `previous` to the state now
// (icon, tip, balloon and the follow-up notices).
void RefreshForState(AppState previous);

// Any thread: the tray window, read under the tray-window lock; null
// before it exists and after it was destroyed.
HWND GetTrayWindow();
// Posts WM_TRAYNOTIFY with the notice code to the tray window.
void PostTrayNotice(LPARAM notice, WPARAM wparam = 0);

// UI thread: stores "IsAutoUpdate", re-arms the three-hourly timer and,
// when enabled, starts the updater. False when the updater did not start.
bool ScheduleAutoUpdate(bool enabled);
// UI thread: starts TavoTesselUpdate.exe from beside the program; `manual`
// marks a check the user asked for (its results are shown).
bool LaunchUpdater(bool manual);

// UI thread: the controller's notices (TE_RESTART_WATCH ... TE_STATE_CHANGED
// of common/tray_contract.h, and the ones private to the program), routed
// here by the tray window.
void HandleControllerNotice(LPARAM notice);
// Whether the folder watch runs with its listener (the progress tip and
// the crash reports ask).
bool IsFolderWatchRunning();
// Ends the progress timer (the Synced tip); only the UI thread can, and
// elsewhere the state-change notice that follows ends it.
void StopProgressTimer();

// The bound account's stored speed limits applied to the transfer meters,
// upload first (at start-up and after the wizard's Finish).
void ApplySpeedLimits();

}  // namespace Helper
