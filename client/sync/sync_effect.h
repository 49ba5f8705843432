// What a finished sync action did, in the terms a report of the run uses.
// The actions fill it in as they work; the engine itself never reads it.
// Needs no platform headers.
#pragma once

#include <cstdint>
#include <string>

namespace Sync {

enum class SyncEffect : int32_t {
    None = 0,  // nothing needed doing after all
    Uploaded,
    Downloaded,
    DeletedHere,
    DeletedOnServer,
    RenamedHere,
    RenamedOnServer,
    FolderCreatedHere,
    FolderCreatedOnServer,
    Agreed,
    Conflict,
    Error,
    Count,
};

struct ActionReport {
    SyncEffect effect = SyncEffect::None;
    // A rename's former and new paths below the sync folder.
    std::wstring old_key;
    std::wstring new_key;
    // File contents moved over the network, over every attempt, and the
    // time they took.
    uint64_t bytes = 0;
    uint32_t transfer_ms = 0;
};

}  // namespace Sync
