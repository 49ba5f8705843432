// One unit of work on one item of the sync folder: the server's view, the
// recorded view and the disk's view side by side, and the factory that
// records a decision's outcome and turns it into an action.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cwchar>
#include <memory>
#include <string>

#include "client/sync/sync_effect.h"
#include "common/sync_entry.h"

namespace Sync {

class CSyncEngine;

enum SyncActionKind : int32_t {
    KindNone = 0,
    KindDownload = 1,
    KindUpload = 2,
    KindVersionInfo = 3,
    KindError = 4,
    KindConflict = 5,
};

// An item as the server describes it. flags travels with the entry and is
// never interpreted; url is the prefix of the address its contents come
// from (empty for folders).
struct ServerEntry : SyncEntry {
    uint32_t flags = 0;
    std::wstring url;
};

// The result of one reconciliation step.
struct SyncDecision {
    int32_t kind = KindNone;
    ServerEntry server;  // absent when the server has no such item
    SyncEntry entry;     // absent when the table has no record
    // The local item; cFileName holds the full local path. Missing when all
    // the other fields are zero.
    WIN32_FIND_DATAW local{};
    // Digest of the local file, empty until a comparison needed it.
    char digest[kDigestLength + 1] = {};
};

// Keys of the state table: paths below the sync folder without a leading
// backslash. The parent's key is empty for an item of the root.
std::wstring ParentKey(const std::wstring& key);
std::wstring LastComponent(const std::wstring& key);
std::wstring JoinKey(const std::wstring& folder_key, const std::wstring& name);

// An entry is absent when it is all zero or its id is -1.
bool IsAbsent(const SyncEntry& entry);
bool IsMissing(const WIN32_FIND_DATAW& local);
uint64_t LocalSize(const WIN32_FIND_DATAW& local);
uint64_t LocalTime(const WIN32_FIND_DATAW& local);
bool IsLocalFolder(const WIN32_FIND_DATAW& local);
// Every SyncEntry field of the server's view, with a copy of the name.
void CopyServerFields(const ServerEntry& server, SyncEntry* entry);
// Brings the record up to the server's view and then to the disk's.
void RefreshEntry(const ServerEntry& server, const WIN32_FIND_DATAW& local, SyncEntry* entry);

class ISyncAction {
public:
    virtual ~ISyncAction() = default;
    ISyncAction(const ISyncAction&) = delete;
    ISyncAction& operator=(const ISyncAction&) = delete;

    // True when the action is finished; false to be tried again later.
    // Called only by the engine's executor thread.
    virtual bool Execute(CSyncEngine* engine) = 0;

    ServerEntry server;
    SyncEntry entry;
    WIN32_FIND_DATAW local{};
    char digest[kDigestLength] = {};
    wchar_t local_path[kPathCapacity] = {};
    int32_t kind = KindNone;
    std::atomic<uint32_t> speed{0};
    uint32_t retry_stamp = 0;
    uint32_t retry_delay = 0;
    // What the action did, for the finished-action observer.
    ActionReport report;

protected:
    ISyncAction() = default;
    // Takes over the decision's views; kind is the class's own.
    ISyncAction(SyncDecision&& decision, int32_t action_kind);

    // The action's key in the engine's state table; false when the local
    // path does not lie below the engine's root.
    bool Key(CSyncEngine* engine, std::wstring* key) const;
};

// Records the decision's outcome in the engine's state table and builds
// the action of its kind. Consumes the decision; null when there is
// nothing to do (or no class for the kind).
std::unique_ptr<ISyncAction> CreateAction(std::unique_ptr<SyncDecision> decision, CSyncEngine* engine);

}  // namespace Sync
