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

// The record after the one at offset, when the batch holds it whole.
const FILE_NOTIFY_INFORMATION* Following(const BYTE* buffer, DWORD bytes, DWORD offset)
{
    const DWORD next = Record(buffer, offset)->NextEntryOffset;
    if (next == 0 || offset + next >= CDirWatcher::kBufferSize || !Fits(buffer, offset + next, bytes))
        return nullptr;
    return Record(buffer, offset + next);
}

void Report(IPathChangeListener* listener, int kind, const FILE_NOTIFY_INFORMATION* record,
            const FILE_NOTIFY_INFORMATION* new_name = nullptr)
{
    listener->OnPathChanged(kind, record->FileName, record->FileNameLength,
                            new_name != nullptr ? new_name->FileName : nullptr,
                            new_name != nullptr ? new_name->FileNameLength : 0);
}

// A burst of writes to one file is reported once per batch: the records
// that repeat the modification are passed over.
void SkipRepeatedWrites(const BYTE* buffer, DWORD bytes, DWORD* offset)
{
    const FILE_NOTIFY_INFORMATION* record = Record(buffer, *offset);
    while (const FILE_NOTIFY_INFORMATION* following = Following(buffer, bytes, *offset)) {
        if (following->Action != FILE_ACTION_MODIFIED || !SameName(record, following))
            break;
        *offset += record->NextEntryOffset;
        record = following;
    }
}

void DeliverRename(const BYTE* buffer, DWORD bytes, DWORD* offset, IPathChangeListener* listener)
{
    const FILE_NOTIFY_INFORMATION* record = Record(buffer, *offset);
    const FILE_NOTIFY_INFORMATION* following = Following(buffer, bytes, *offset);
    if (following != nullptr && following->Action == FILE_ACTION_RENAMED_NEW_NAME) {
        Report(listener, PathRenamed, record, following);
        *offset += record->NextEntryOffset;
        return;
    }
    // The new name is not in this batch: Wine loses it, and the system may
    // deliver the two halves of a rename apart.
    Report(listener, PathRenamedAway, record);
}

// Reports the record at *offset, which then names the last record used.
// False for an action this watcher does not know: the batch ends there.
bool DeliverOne(const BYTE* buffer, DWORD bytes, DWORD* offset, IPathChangeListener* listener)
{
    const FILE_NOTIFY_INFORMATION* record = Record(buffer, *offset);
    switch (record->Action) {
    case FILE_ACTION_ADDED:
        Report(listener, PathAdded, record);
        return true;
    case FILE_ACTION_RENAMED_NEW_NAME:
        Report(listener, PathRenamedHere, record);
        return true;
    case FILE_ACTION_REMOVED:
        Report(listener, PathRemoved, record);
        return true;
    case FILE_ACTION_MODIFIED:
        Report(listener, PathModified, record);
        SkipRepeatedWrites(buffer, bytes, offset);
        return true;
    case FILE_ACTION_RENAMED_OLD_NAME:
        DeliverRename(buffer, bytes, offset, listener);
        return true;
    default:
        return false;
    }
}

}  // namespace

CDirWatcher::~CDirWatcher() { Stop(); }

bool CDirWatcher::Start()
{
    if (port_)
        return true;
    port_.Reset(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0));
    if (!port_)
        return false;
    thread_.Reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ThreadMain, this, 0, nullptr)));
    if (!thread_) {
        port_.Reset();
        return false;
    }
    return true;
}

bool CDirWatcher::Watch(IPathChangeListener* listener, const wchar_t* folder)
{
    Helper::CLockGuard lock(lock_);
    if (!port_ || listener == nullptr || folder == nullptr)
        return false;
    owned_listener_.reset(listener);
    active_listener_ = listener;
    folder_.Reset(CreateFileW(folder, GENERIC_READ | FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr));
    Helper::CopyBounded(folder_path_, folder);
    // Each watch completes under a key of its own, so that a read cancelled
    // by an earlier unwatch is never taken for one of this watch.
    ++generation_;
    if (!folder_ || CreateIoCompletionPort(folder_.Get(), port_.Get(), generation_, 0) == nullptr || !IssueRead()) {
        // The caller keeps the listener it could not hand over.
        owned_listener_.release();
        ResetWatch();
        return false;
    }
    return true;
}

bool CDirWatcher::IssueRead()
{
    std::memset(&overlapped_, 0, sizeof(overlapped_));
    return ReadDirectoryChangesW(folder_.Get(), buffer_, kBufferSize, TRUE, kNotifyFilter, nullptr, &overlapped_,
                                 nullptr) != FALSE;
}

void CDirWatcher::ResetWatch()
{
    active_listener_ = nullptr;
    folder_.Reset();
    owned_listener_.reset();
    folder_path_[0] = L'\0';
    std::memset(&overlapped_, 0, sizeof(overlapped_));
}

void CDirWatcher::Unwatch()
{
    Helper::CLockGuard lock(lock_);
    if (active_listener_ == nullptr)
        return;
    active_listener_ = nullptr;
    CancelIoEx(folder_.Get(), nullptr);
    ResetWatch();
}

void CDirWatcher::Stop()
{
    if (!port_)
        return;
    PostQueuedCompletionStatus(port_.Get(), 0, 0, nullptr);
    Unwatch();
    if (thread_) {
        WaitForSingleObject(thread_.Get(), kStopWaitMs);
        thread_.Reset();
    }
    port_.Reset();
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
        BOOL ok = GetQueuedCompletionStatus(port_.Get(), &bytes, &key, &overlapped, INFINITE);
        if (overlapped == nullptr) {
            if (ok)
                return;
            continue;
        }
        Helper::CLockGuard lock(lock_);
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
    while (Fits(buffer, offset, bytes)) {
        if (!DeliverOne(buffer, bytes, &offset, listener))
            return;
        const DWORD next = Record(buffer, offset)->NextEntryOffset;
        if (next == 0 || offset + next >= CDirWatcher::kBufferSize || offset + next >= bytes)
            return;
        offset += next;
    }
}

}  // namespace Sync
