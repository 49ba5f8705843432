// The sync folders of every account of this Windows user, each with the
// state tree of its account's state file. Explorer asks from many threads;
// everything here is guarded by one critical section, and every operation
// first brings the table up to date (accounts at most once per 1024-ms
// window, a state file only when its last-write time changed).
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "overlay/state_tree.h"

namespace Glint {

constexpr size_t kUserNameCapacity = 32;
constexpr size_t kFolderCapacity = 260;

struct SyncFolderEntry {
    wchar_t user[kUserNameCapacity] = {};
    wchar_t folder[kFolderCapacity] = {};  // lower-cased, no trailing backslash
    uint32_t folder_length = 0;
    FILETIME state_file_time = {};  // zero: never loaded, missing or unreadable
    std::unique_ptr<CStateTree> tree;
};

class CSyncFolderTable {
public:
    CSyncFolderTable();
    ~CSyncFolderTable();
    CSyncFolderTable(const CSyncFolderTable&) = delete;
    CSyncFolderTable& operator=(const CSyncFolderTable&) = delete;

    bool IsInSyncFolder(const wchar_t* path);
    // The state (0-5) of a lower-cased path; Untracked outside every folder.
    int LookupState(const wchar_t* lowered_path);

private:
    class Lock;

    void Refresh();
    void RefreshAccounts(DWORD window);
    void AddOrUpdate(const wchar_t* user, const wchar_t* folder);
    void RefreshStateFiles();
    void ReloadIfChanged(SyncFolderEntry* entry, const wchar_t* app_data);
    const SyncFolderEntry* MatchingEntry(const wchar_t* path) const;

    CRITICAL_SECTION lock_;
    DWORD account_window_ = 0;
    std::vector<std::unique_ptr<SyncFolderEntry>> entries_;
};

}  // namespace Glint
