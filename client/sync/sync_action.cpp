#include "client/sync/sync_action.h"

#include <cstring>
#include <new>

#include "client/sync/reconcile.h"
#include "client/sync/record_actions.h"
#include "client/sync/sync_download.h"
#include "client/sync/sync_engine.h"
#include "client/sync/sync_upload.h"
#include "common/bounded_string.h"
#include "common/file_sync_state.h"

namespace Sync {

namespace {

template <size_t N>
bool AllZero(const char (&bytes)[N])
{
    for (char c : bytes)
        if (c != 0)
            return false;
    return true;
}

bool AllZero(const SyncEntry& entry)
{
    return entry.id == 0 && entry.parent_id == 0 && entry.name.empty() && entry.local_modified == 0 &&
           entry.size == 0 && entry.upload_offset == 0 && entry.update_time == 0 && AllZero(entry.md5) &&
           AllZero(entry.upload_token) && entry.upload_port == 0 && entry.upload_address == 0 &&
           entry.is_file == 0 && entry.state == 0 && entry.path[0] == L'\0';
}

uint32_t RecordedState(int32_t kind, bool entry_absent)
{
    if (entry_absent)
        return Helper::NotSynced;
    switch (kind) {
    case KindError:
        return Helper::Error;
    case KindConflict:
        return Helper::Conflict;
    default:
        return Helper::Syncing;
    }
}

// An upload of an item the server has records the contents going up, not
// the server's: were the client to stop before the upload ends, the record
// tells the next start that the local file is the newer one.
void RecordUploadedContents(SyncDecision& decision, CSyncEngine& engine)
{
    if (decision.entry.id <= 0 || IsMissing(decision.local) || IsLocalFolder(decision.local))
        return;
    const std::shared_ptr<Helper::CHandle> stop = engine.StopEvent();
    if (FillDigest(decision.local, decision.digest, StopHandle(stop)))
        memcpy(decision.entry.md5, decision.digest, kDigestLength);
}

// The ticket an interrupted upload held stays with the record while the
// contents it was taken for are still those on disk, so that a restart
// resumes at the accepted offset instead of sending everything again.
void KeepTicket(const SyncEntry& before, SyncEntry* entry)
{
    if (before.upload_address == 0 || before.size != entry->size ||
        before.local_modified != entry->local_modified || memcmp(before.md5, entry->md5, kDigestLength) != 0)
        return;
    memcpy(entry->upload_token, before.upload_token, sizeof entry->upload_token);
    entry->upload_port = before.upload_port;
    entry->upload_address = before.upload_address;
    entry->upload_offset = before.upload_offset;
}

// Writes the decision's outcome into the table before any action runs, so
// that the overlay shows it at once. May turn the decision into KindNone.
void RecordOutcome(SyncDecision& decision, CSyncEngine& engine)
{
    const bool entry_absent = IsAbsent(decision.entry);
    const bool server_absent = IsAbsent(decision.server);
    const bool local_missing = IsMissing(decision.local);

    SyncEntry& entry = decision.entry;
    if (entry_absent)
        entry.id = -1;
    // Only an upload looks back at the ticket the record held.
    const SyncEntry before = decision.kind == KindUpload ? entry : SyncEntry();
    if (!server_absent)
        CopyServerFields(decision.server, &entry);
    if (!local_missing) {
        entry.is_file = IsLocalFolder(decision.local) ? 0 : 1;
        entry.size = LocalSize(decision.local);
        entry.local_modified = LocalTime(decision.local);
    }
    entry.state = RecordedState(decision.kind, entry_absent);
    if (decision.kind == KindUpload) {
        RecordUploadedContents(decision, engine);
        KeepTicket(before, &entry);
    }

    std::wstring key;
    std::shared_ptr<CSyncStateTable> table = engine.Table();
    if (!table || !engine.KeyOf(decision.local.cFileName, &key)) {
        // Without a place in the table there is nothing to act for safely.
        decision.kind = KindNone;
        return;
    }
    if (table->Find(key.c_str())) {
        if (server_absent && local_missing) {
            table->Remove(key.c_str());
            decision.kind = KindNone;
        } else {
            table->Store(&entry, key.c_str());
        }
    } else {
        table->Add(&entry, key.c_str());
    }
}

}  // namespace

std::wstring ParentKey(const std::wstring& key)
{
    const size_t slash = key.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : key.substr(0, slash);
}

std::wstring LastComponent(const std::wstring& key)
{
    const size_t slash = key.rfind(L'\\');
    return slash == std::wstring::npos ? key : key.substr(slash + 1);
}

std::wstring JoinKey(const std::wstring& folder_key, const std::wstring& name)
{
    return folder_key.empty() ? name : folder_key + L"\\" + name;
}

bool IsAbsent(const SyncEntry& entry) { return entry.id == -1 || AllZero(entry); }

bool IsMissing(const WIN32_FIND_DATAW& local)
{
    return local.dwFileAttributes == 0 && local.ftCreationTime.dwLowDateTime == 0 &&
           local.ftCreationTime.dwHighDateTime == 0 && local.ftLastAccessTime.dwLowDateTime == 0 &&
           local.ftLastAccessTime.dwHighDateTime == 0 && local.ftLastWriteTime.dwLowDateTime == 0 &&
           local.ftLastWriteTime.dwHighDateTime == 0 && local.nFileSizeHigh == 0 && local.nFileSizeLow == 0 &&
           local.dwReserved0 == 0 && local.dwReserved1 == 0 && local.cAlternateFileName[0] == L'\0';
}

uint64_t LocalSize(const WIN32_FIND_DATAW& local)
{
    return (static_cast<uint64_t>(local.nFileSizeHigh) << 32) | local.nFileSizeLow;
}

uint64_t LocalTime(const WIN32_FIND_DATAW& local)
{
    return (static_cast<uint64_t>(local.ftLastWriteTime.dwHighDateTime) << 32) |
           local.ftLastWriteTime.dwLowDateTime;
}

bool IsLocalFolder(const WIN32_FIND_DATAW& local) { return (local.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

void CopyServerFields(const ServerEntry& server, SyncEntry* entry)
{
    *entry = static_cast<const SyncEntry&>(server);
}

void RefreshEntry(const ServerEntry& server, const WIN32_FIND_DATAW& local, SyncEntry* entry)
{
    if (!IsAbsent(server))
        CopyServerFields(server, entry);
    if (!IsMissing(local)) {
        entry->is_file = IsLocalFolder(local) ? 0 : 1;
        entry->size = LocalSize(local);
        entry->local_modified = LocalTime(local);
    }
}

ISyncAction::ISyncAction(SyncDecision&& decision, int32_t action_kind)
    : server(std::move(decision.server)), entry(std::move(decision.entry)), local(decision.local), kind(action_kind)
{
    memcpy(digest, decision.digest, kDigestLength);
    Helper::CopyBounded(local_path, local.cFileName);
}

bool ISyncAction::Key(CSyncEngine* engine, std::wstring* key) const
{
    return engine != nullptr && engine->KeyOf(local_path, key);
}

std::unique_ptr<ISyncAction> CreateAction(std::unique_ptr<SyncDecision> decision, CSyncEngine* engine)
{
    if (!decision || engine == nullptr)
        return nullptr;
    if (decision->kind != KindNone)
        RecordOutcome(*decision, *engine);

    switch (decision->kind) {
    case KindDownload:
        return std::unique_ptr<ISyncAction>(new (std::nothrow) CSyncDownload(std::move(*decision)));
    case KindUpload:
        return std::unique_ptr<ISyncAction>(new (std::nothrow) CSyncUpload(std::move(*decision)));
    case KindVersionInfo:
        return std::unique_ptr<ISyncAction>(new (std::nothrow) CSyncVersionInfo(std::move(*decision)));
    case KindError:
        return std::unique_ptr<ISyncAction>(new (std::nothrow) CSyncError(std::move(*decision)));
    case KindConflict:
        return std::unique_ptr<ISyncAction>(new (std::nothrow) CSyncConflict(std::move(*decision)));
    default:
        return nullptr;
    }
}

}  // namespace Sync
