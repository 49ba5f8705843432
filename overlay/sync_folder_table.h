// The sync folders of every account of this Windows user, each with the
// state tree of its account's state file. Explorer asks from many threads;
// everything here is guarded by one critical section, and every operation
// first brings the table up to date: the accounts and the application-data
// folder at most once per 1024-ms window, a state file's last-write time
// on every call and its content only when that time changed.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/registry_layout.h"
#include "common/win_handle.h"
#include "overlay/state_tree.h"

namespace Glint {

constexpr size_t kUserNameCapacity = Helper::kRegUserCapacity;
constexpr size_t kFolderCapacity = Helper::kRegFolderCapacity;

struct SyncFolderEntry {
    wchar_t user[kUserNameCapacity] = {};
    wchar_t folder[kFolderCapacity] = {};  // lower-cased, no trailing backslash
    uint32_t folder_length = 0;
    wchar_t state_file[kFolderCapacity] = {};  // empty while the application-data folder is unknown
    FILETIME state_file_time = {};  // zero: never loaded, missing or unreadable
    std::unique_ptr<CStateTree> tree;
};

class CSyncFolderTable {
public:
    CSyncFolderTable() = default;
    CSyncFolderTable(const CSyncFolderTable&) = delete;
    CSyncFolderTable& operator=(const CSyncFolderTable&) = delete;

    bool IsInSyncFolder(const wchar_t* path);
    // The state (0-5) of a lower-cased path; Untracked outside every folder.
    int LookupState(const wchar_t* lowered_path);

private:
    void Refresh();
    void RefreshAccounts(DWORD window);
    void AddOrUpdate(const wchar_t* user, const wchar_t* folder);
    void RefreshAppData();
    void SetStateFilePath(SyncFolderEntry* entry) const;
    void RefreshStateFiles();
    void ReloadIfChanged(SyncFolderEntry* entry);
    // False when the file could not be opened or read whole; an empty or
    // malformed document still counts as loaded.
    static bool LoadStateFile(const wchar_t* path, const FILETIME& written, CStateTree* tree);
    const SyncFolderEntry* MatchingEntry(const wchar_t* path) const;

    Helper::CCriticalSection lock_;
    DWORD account_window_ = 0;
    wchar_t app_data_[MAX_PATH] = {};
    std::vector<std::unique_ptr<SyncFolderEntry>> entries_;
};

}  // namespace Glint
