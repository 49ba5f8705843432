#include "client/state/dir_watcher.h"

#include <process.h>

#include <cstddef>
#include <cstring>

#include "common/bounded_string.h"

namespace Sync {

namespace {

constexpr DWORD kNotifyFilter =
    FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE;
constexpr DWORD kStopWaitMs = 250;

class Lock {
public:
    explicit Lock(CRITICAL_SECTION* cs) : cs_(cs) { EnterCriticalSection(cs_); }
    ~Lock() { LeaveCriticalSection(cs_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    CRITICAL_SECTION* cs_;
};

const FILE_NOTIFY_INFORMATION* Record(const BYTE* buffer, DWORD offset)
{
    return reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buffer + offset);
}

// A record, name included, lies wholly within the bytes the system wrote.
bool Fits(const BYTE* buffer, DWORD offset, DWORD bytes)
{
    const DWORD header = offsetof(FILE_NOTIFY_INFORMATION, FileName);
    if (bytes > CDirWatcher::kBufferSize || offset % sizeof(DWORD) != 0 || offset + header > bytes)
        return false;
    return offset + header + Record(buffer, offset)->FileNameLength <= bytes;
}

bool SameName(const FILE_NOTIFY_INFORMATION* a, const FILE_NOTIFY_INFORMATION* b)
{
    return a->FileNameLength == b->FileNameLength &&
           std::memcmp(a->FileName, b->FileName, a->FileNameLength) == 0;
}

}  // namespace

CDirWatcher::CDirWatcher() { InitializeCriticalSection(&lock_); }

CDirWatcher::~CDirWatcher()
{
    stop();
    DeleteCriticalSection(&lock_);
}

bool CDirWatcher::start()
{
    if (port_ != nullptr)
        return true;
    port_ = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    if (port_ == nullptr)
        return false;
    thread_ = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ThreadMain, this, 0, nullptr));
    if (thread_ == nullptr) {
        CloseHandle(port_);
        port_ = nullptr;
        return false;
    }
    return true;
}

bool CDirWatcher::watch(IPathChangeListener* listener, const wchar_t* folder)
{
    Lock lock(&lock_);
    if (port_ == nullptr || listener == nullptr || folder == nullptr)
        return false;
    owned_listener_ = listener;
    active_listener_ = listener;
    folder_ = CreateFileW(folder, GENERIC_READ | FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED,
                          nullptr);
    if (folder_ == INVALID_HANDLE_VALUE) {
        ResetWatch();
        return false;
    }
    Helper::CopyBounded(folder_path_, folder);
    // Each watch completes under a key of its own, so that a read cancelled
    // by an earlier unwatch is never taken for one of this watch.
    ++generation_;
    if (CreateIoCompletionPort(folder_, port_, generation_, 0) == nullptr || !IssueRead()) {
        CloseHandle(folder_);
        ResetWatch();
        return false;
    }
    return true;
}

bool CDirWatcher::IssueRead()
{
    std::memset(&overlapped_, 0, sizeof(overlapped_));
    return ReadDirectoryChangesW(folder_, buffer_, kBufferSize, TRUE, kNotifyFilter, nullptr, &overlapped_,
                                 nullptr) != FALSE;
}

void CDirWatcher::ResetWatch()
{
    owned_listener_ = nullptr;
    active_listener_ = nullptr;
    folder_ = INVALID_HANDLE_VALUE;
    folder_path_[0] = L'\0';
    std::memset(&overlapped_, 0, sizeof(overlapped_));
}

void CDirWatcher::unwatch()
{
    Lock lock(&lock_);
    if (active_listener_ == nullptr)
        return;
    active_listener_ = nullptr;
    CancelIoEx(folder_, nullptr);
    CloseHandle(folder_);
    delete owned_listener_;
    ResetWatch();
}

void CDirWatcher::stop()
{
    if (port_ == nullptr)
        return;
    PostQueuedCompletionStatus(port_, 0, 0, nullptr);
    unwatch();
    if (thread_ != nullptr) {
        WaitForSingleObject(thread_, kStopWaitMs);
        CloseHandle(thread_);
        thread_ = nullptr;
    }
    CloseHandle(port_);
    port_ = nullptr;
}

unsigned __stdcall CDirWatcher::ThreadMain(void* self)
{
    static_cast<CDirWatcher*>(self)->Run();
    return 0;
}

void CDirWatcher::Run()
{
    for (;;) {
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        OVERLAPPED* overlapped = nullptr;
        BOOL ok = GetQueuedCompletionStatus(port_, &bytes, &key, &overlapped, INFINITE);
        if (overlapped == nullptr) {
            if (ok)
                return;
            continue;
        }
        Lock lock(&lock_);
        // A read cancelled by unwatch completes after the watch is gone.
        if (active_listener_ == nullptr || overlapped != &overlapped_ || key != generation_)
            continue;
        if (ok)
            DeliverChanges(buffer_, bytes, active_listener_);
        IssueRead();
    }
}

void DeliverChanges(const BYTE* buffer, DWORD bytes, IPathChangeListener* listener)
{
    // Zero bytes: the system lost the changes of this batch.
    if (bytes == 0)
        return;
    DWORD offset = 0;
    for (;;) {
        if (!Fits(buffer, offset, bytes))
            return;
        const FILE_NOTIFY_INFORMATION* record = Record(buffer, offset);
        DWORD next = record->NextEntryOffset;
        switch (record->Action) {
        case FILE_ACTION_ADDED:
            listener->OnPathChanged(PathAdded, record->FileName, record->FileNameLength, nullptr, 0);
            break;
        case FILE_ACTION_REMOVED:
            listener->OnPathChanged(PathRemoved, record->FileName, record->FileNameLength, nullptr, 0);
            break;
        case FILE_ACTION_MODIFIED:
            listener->OnPathChanged(PathModified, record->FileName, record->FileNameLength, nullptr,
                                            0);
            // A burst of writes to one file is reported once per batch.
            while (next != 0 && offset + next < CDirWatcher::kBufferSize && Fits(buffer, offset + next, bytes)) {
                const FILE_NOTIFY_INFORMATION* following = Record(buffer, offset + next);
                if (following->Action != FILE_ACTION_MODIFIED || !SameName(record, following))
                    break;
                offset += next;
                record = following;
                next = following->NextEntryOffset;
            }
            break;
        case FILE_ACTION_RENAMED_OLD_NAME: {
            const FILE_NOTIFY_INFORMATION* following =
                next != 0 && offset + next < CDirWatcher::kBufferSize && Fits(buffer, offset + next, bytes)
                    ? Record(buffer, offset + next)
                    : nullptr;
            if (following != nullptr && following->Action == FILE_ACTION_RENAMED_NEW_NAME) {
                listener->OnPathChanged(PathRenamed, record->FileName, record->FileNameLength,
                                                following->FileName, following->FileNameLength);
                offset += next;
                next = following->NextEntryOffset;
            } else {
                // The new name is not in this batch (the system may deliver
                // the two halves of a rename apart): the old name is gone,
                // and the new one is reported as added when it comes.
                listener->OnPathChanged(PathRemoved, record->FileName, record->FileNameLength,
                                                nullptr, 0);
            }
            break;
        }
        case FILE_ACTION_RENAMED_NEW_NAME:
            listener->OnPathChanged(PathAdded, record->FileName, record->FileNameLength, nullptr, 0);
            break;
        default:
            return;
        }
        if (next == 0 || offset + next >= CDirWatcher::kBufferSize || offset + next >= bytes)
            return;
        offset += next;
    }
}

}  // namespace Sync
