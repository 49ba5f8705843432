// Per-item sync states. The same numbers are the overlay badge indexes.
#pragma once

namespace Helper {

enum FileSyncState : int {
    Synced = 0,
    NotSynced = 1,
    Syncing = 2,
    Error = 3,
    Conflict = 4,
    Untracked = 5,
};

inline bool IsValidFileSyncState(long value) { return value >= Synced && value <= Untracked; }

}  // namespace Helper
