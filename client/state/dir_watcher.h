// Watches the sync folder for changes and hands each one to a listener,
// so that the engine need not rescan the folder to learn of them.
#pragma once

#include <windows.h>

namespace Sync {

enum PathChangeKind {
    PathRemoved = 0,
    PathAdded = 1,
    PathModified = 2,
    PathRenamed = 3,
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
// halves are in the batch as one rename; halves that arrive apart as a
// removal and an addition. Zero bytes (changes were lost) report nothing.
void DeliverChanges(const BYTE* buffer, DWORD bytes, IPathChangeListener* listener);

class CDirWatcher {
public:
    static constexpr DWORD kBufferSize = 2048;

    CDirWatcher();
    ~CDirWatcher();
    CDirWatcher(const CDirWatcher&) = delete;
    CDirWatcher& operator=(const CDirWatcher&) = delete;

    bool start();
    // Takes the listener on success; on failure the caller keeps it.
    bool watch(IPathChangeListener* listener, const wchar_t* folder);
    void unwatch();
    void stop();

private:
    static unsigned __stdcall ThreadMain(void* self);
    void Run();
    bool IssueRead();
    void ResetWatch();

    CRITICAL_SECTION lock_;
    HANDLE port_ = nullptr;
    HANDLE thread_ = nullptr;
    OVERLAPPED overlapped_{};
    HANDLE folder_ = INVALID_HANDLE_VALUE;
    wchar_t folder_path_[260] = {};
    alignas(DWORD) BYTE buffer_[kBufferSize] = {};
    IPathChangeListener* owned_listener_ = nullptr;
    IPathChangeListener* active_listener_ = nullptr;
    ULONG_PTR generation_ = 0;
};

}  // namespace Sync
