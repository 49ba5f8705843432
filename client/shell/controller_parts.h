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

// Moves the old folder's entries into the new one (copy, then delete
// what was copied); entries whose names begin with "." stay, and so does
// the entry that holds the new folder. False when the copy failed, and
// then nothing was deleted.
bool MoveFolderContents(const wchar_t* old_folder, const wchar_t* new_folder);

// The progress timer's tick: icon, balloon and tip of the state, sent.
void RefreshProgress();

void StartAutoUpdateTimer(UINT milliseconds);
void StopAutoUpdateTimer();
void StopControllerTimers();

}  // namespace Helper
