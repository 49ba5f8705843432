// The client's memory of the sync folder: a tree of SyncEntry records, one
// per known file or folder, written through to the account's state file
// after every change. Every operation holds the table's re-entrant lock for
// its whole run, so the tree and the file on disk change together.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/sync_entry.h"
#include "common/win_handle.h"

namespace Sync {

struct SyncNode {
    SyncEntry entry;
    SyncNode* parent = nullptr;
    std::vector<std::unique_ptr<SyncNode>> children;
};

// Appends child as the parent's last child: its parent_id and path follow
// the parent ("name" alone below the root, else "parent path\name", cut to
// 259 characters). Returns the attached node.
SyncNode* AttachChild(SyncNode* parent, std::unique_ptr<SyncNode> child);

class CSyncStateTable {
public:
    // Builds the table for the account and loads its state file (refused
    // when its digest does not match the stored one).
    explicit CSyncStateTable(const wchar_t* user_name);
    // Same, with the state file at an explicit place (tools and tests).
    CSyncStateTable(const wchar_t* user_name, const wchar_t* state_file_path);
    virtual ~CSyncStateTable();
    CSyncStateTable(const CSyncStateTable&) = delete;
    CSyncStateTable& operator=(const CSyncStateTable&) = delete;

    // Paths are relative to the sync folder, without a leading "\", and
    // compared without regard to letter case. Lookups hand out copies: the
    // node may be gone by the time a caller reads it.
    bool Find(const wchar_t* path, SyncEntry* copy = nullptr);
    bool Update(const SyncEntry* record, const wchar_t* path);
    bool Add(const SyncEntry* record, const wchar_t* path);
    // Replaces the record under the path, or adds it when there is none.
    bool Store(const SyncEntry* record, const wchar_t* path);
    bool Remove(const wchar_t* path);
    void Clear();
    bool Rename(const wchar_t* old_path, const wchar_t* new_path, int32_t update_time);
    // Every record beneath the folder (empty path: the whole table) whose
    // state equals the value, depth-first in pre-order.
    void Collect(std::vector<SyncEntry>* list, const wchar_t* folder_path, uint32_t state);
    // The records directly inside the folder, in their order.
    std::vector<SyncEntry> Children(const wchar_t* folder_path);
    size_t Size();

    const wchar_t* StateFilePath() const { return state_file_path_; }

protected:
    // The clock of the notification window and the announcement itself
    // (GetTickCount and SHChangeNotify), replaceable so that tests can see
    // which changes reach Explorer.
    virtual DWORD TickCount() const;
    virtual void AnnounceToShell(const wchar_t* full_path);

private:
    SyncNode* FindNode(const wchar_t* path);
    bool UpdateLocked(const SyncEntry* record, const wchar_t* path, bool* state_changed);
    bool AddLocked(const SyncEntry* record, const wchar_t* path);
    void Save();
    bool TakeNotifyWindow();
    void NotifyShell(const wchar_t* path);
    void Load();

    Helper::CCriticalSection lock_;
    SyncNode root_;
    wchar_t state_file_path_[kPathCapacity] = {};
    wchar_t user_name_[32] = {};
    DWORD notify_window_ = 0;
    std::string save_buffer_;  // the document's memory, kept from save to save
};

}  // namespace Sync
