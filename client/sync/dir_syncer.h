// The folder watcher's listener while syncing: its life is the engine's
// run on the sync folder, and it hands every change to the engine.
#pragma once

#include "client/state/dir_watcher.h"

namespace Sync {

class CSyncEngine;

// Hands one report of the folder watcher to the engine: the system's names,
// which are not terminated, as terminated relative paths.
void ForwardPathChange(CSyncEngine& engine, int kind, const wchar_t* name, DWORD name_bytes, const wchar_t* new_name,
                       DWORD new_name_bytes);

class CDirSyncer : public IPathChangeListener {
public:
    // Starts the engine on the signed-on user's sync folder.
    CDirSyncer(const wchar_t* user_name, const wchar_t* sync_folder);
    // Stops the engine's workers without waiting for them.
    ~CDirSyncer() override;

    void OnPathChanged(int kind, const wchar_t* name, DWORD name_bytes, const wchar_t* new_name,
                       DWORD new_name_bytes) override;
};

}  // namespace Sync
