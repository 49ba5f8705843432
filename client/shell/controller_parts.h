// What the controller's files share: the UI thread, the folder watcher,
// the thread timers, and the notice that is private to the program.
#pragma once

#include <windows.h>

#include "common/tray_contract.h"

namespace Helper {

// Brings the ResetFolder wizard to the UI thread when another thread's
// refresh found the folder missing.
constexpr LPARAM TE_RESET_FOLDER = WM_TRAYNOTIFY + 8;

// The thread that runs the message loop, the timers and the dialogs.
void MarkUiThread();
bool IsUiThread();

// The folder watcher lives from the start-up to the shutdown.
bool StartFolderWatcher();
void StopFolderWatcher();

void StartAutoUpdateTimer(UINT milliseconds);
void StopAutoUpdateTimer();
void StopControllerTimers();

}  // namespace Helper
