// Watches the sync folder for changes and hands each one to a listener,
// so that the engine need not rescan the folder to learn of them.
#pragma once

#include <windows.h>

#include <memory>

#include "common/bounded_string.h"
#include "common/win_handle.h"

namespace Sync {

enum PathChangeKind : int {
    PathRemoved = 0,
    PathAdded = 1,
    PathModified = 2,
    PathRenamed = 3,
    // One half of a rename without the other in its batch (Wine loses the
    // new half; Windows can deliver the halves apart): the old name, gone,
    // and the new name, come.
    PathRenamedAway = 4,
    PathRenamedHere = 5,
};

class IPathChangeListener {
public:
    virtual ~IPathChangeListener() = default;
    // Names are relative to the watched folder, not terminated, lengths in
    // bytes, as the system reports them.
    virtual void OnPathChanged(int kind, const wchar_t* name, DWORD name_bytes, const wchar_t* new_name,
                               DWORD new_name_bytes) = 0;
};

// Walks one batch of the system's change records and reports each to the
// listener: consecutive modifications of one name once, a rename whose two
// halves are in the batch as one rename, a half that arrives alone as such.
// Zero bytes (changes were lost) report nothing.
void DeliverChanges(const BYTE* buffer, DWORD bytes, IPathChangeListener* listener);

class CDirWatcher {
public:
    static constexpr DWORD kBufferSize = 2048;

    CDirWatcher() = default;
    ~CDirWatcher();
    CDirWatcher(const CDirWatcher&) = delete;
    CDirWatcher& operator=(const CDirWatcher&) = delete;

    bool Start();
    // Takes the listener on success; on failure the caller keeps it.
    bool Watch(IPathChangeListener* listener, const wchar_t* folder);
    void Unwatch();
    void Stop();

private:
    static unsigned __stdcall ThreadMain(void* self);
    void Run();
    bool IssueRead();
    void ResetWatch();

    Helper::CCriticalSection lock_;
    Helper::CHandle port_;
    Helper::CHandle thread_;
    OVERLAPPED overlapped_{};
    Helper::CFileHandle folder_;
    wchar_t folder_path_[Helper::kPathCapacity] = {};
    alignas(DWORD) BYTE buffer_[kBufferSize] = {};
    std::unique_ptr<IPathChangeListener> owned_listener_;
    IPathChangeListener* active_listener_ = nullptr;
    ULONG_PTR generation_ = 0;
};

}  // namespace Sync
