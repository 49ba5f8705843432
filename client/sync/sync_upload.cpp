#include "client/sync/sync_upload.h"

#include <shlwapi.h>

#include <cstring>
#include <deque>
#include <vector>

#include "client/net/requests.h"
#include "client/sync/file_utils.h"
#include "client/sync/sync_engine.h"
#include "client/sync/transfer_support.h"
#include "common/file_sync_state.h"
#include "common/win_handle.h"

namespace Sync {

namespace {

constexpr DWORD kBlockSize = 32768;
// The accepted offset reaches the record at least this often, so a
// restart repeats at most this much.
constexpr uint64_t kSaveInterval = 1048576;

bool TicketIsEmpty(const Net::UploadTicket& ticket)
{
    if (ticket.port != 0 || ticket.address != 0)
        return false;
    for (char c : ticket.token)
        if (c != 0)
            return false;
    return true;
}

}  // namespace

CSyncUpload::CSyncUpload(SyncDecision&& decision)
    : ISyncAction(std::move(decision), KindUpload), digest_size_(LocalSize(local)), digest_time_(LocalTime(local))
{
}

void CSyncUpload::Store(CSyncEngine& engine, const std::wstring& key)
{
    if (std::shared_ptr<CSyncStateTable> table = engine.Table())
        table->Store(&entry, key.c_str());
}

bool CSyncUpload::AdoptRecord(CSyncEngine& engine, const std::wstring& key, const SyncEntry* record)
{
    if (record == nullptr) {
        entry = SyncEntry();
        return true;
    }
    entry = *record;
    if (entry.parent_id >= 0)
        return true;
    // The parent folder is not on the server yet: it goes first.
    engine.OnPathChanged(ParentKey(key).c_str(), PathAdded, nullptr);
    return false;
}

void CSyncUpload::ClearTicket()
{
    memset(entry.upload_token, 0, sizeof entry.upload_token);
    entry.upload_port = 0;
    entry.upload_address = 0;
    entry.upload_offset = 0;
}

bool CSyncUpload::Execute(CSyncEngine* engine)
{
    std::wstring key;
    if (engine == nullptr || !Key(engine, &key))
        return false;
    // A download's temporary file belongs to this client, not the user:
    // it is never sent and never recorded.
    if (Helper::IsTempFileName(key)) {
        if (std::shared_ptr<CSyncStateTable> table = engine->Table())
            table->Remove(key.c_str());
        return true;
    }

    DWORD error = 0;
    bool done = false;
    if (!Helper::FindItem(&local, local_path, &error)) {
        if (!Helper::IsNotFoundError(error))
            return false;
        done = DeleteOnServer(*engine, key);
    } else {
        const std::wstring name = LastComponent(key);
        if (entry.id > 0 && !entry.name.empty() && _wcsicmp(entry.name.c_str(), name.c_str()) != 0)
            return RenameOnServer(*engine, key, name.c_str());
        if (IsLocalFolder(local))
            return CreateFolderOnServer(*engine, key);
        done = UploadFile(*engine, key);
    }
    if (done)
        Net::AccountInfo();
    return done;
}

bool CSyncUpload::DeleteOnServer(CSyncEngine& engine, const std::wstring& key)
{
    std::shared_ptr<CSyncStateTable> table = engine.Table();
    if (!table || !engine.IsRunning())
        return false;
    if (!IsAbsent(server) && !DeleteServerEntry(*table, key))
        return false;
    table->Remove(key.c_str());
    if (!IsAbsent(server))
        report.effect = SyncEffect::DeletedOnServer;
    return true;
}

// True when the server no longer holds what this computer knew of the
// item. A folder keeps what another computer put into it unseen by this
// one; the item's records go all the same, so the next scan takes the
// folder for new on the server and fetches what is left in it.
bool CSyncUpload::DeleteServerEntry(CSyncStateTable& table, const std::wstring& key)
{
    if (server.is_file == 0) {
        bool emptied = false;
        if (!DeleteKnownContents(table, key, server.id, &emptied))
            return GoneFromServer(server);
        if (!emptied)
            return true;
    }
    const int32_t id = server.id;
    const int deleted = Net::DeleteEntries(1, server.parent_id, &id);
    // A refusal for an entry that is already gone is what was wanted;
    // retrying it would never end.
    return deleted == Net::ResDeleted || (deleted > 0 && GoneFromServer(server));
}

// Deletes on the server what this computer knew in the folder, and only
// as it knew it: an entry changed on the server since then is news to be
// kept. *emptied tells whether nothing else was found anywhere below.
bool CSyncUpload::DeleteKnownContents(CSyncStateTable& table, const std::wstring& folder_key, int32_t folder_id,
                                      bool* emptied)
{
    std::vector<Net::RemoteEntry> listed;
    if (Net::ListFolder(folder_id, &listed) != Net::ResFolderListed)
        return false;
    *emptied = true;
    std::vector<int32_t> known;
    for (const Net::RemoteEntry& remote : listed) {
        const SyncEntry& item = remote.entry;
        const std::wstring key = folder_key + L"\\" + item.name;
        bool deletable = KnownAsListed(table, key, item);
        if (deletable && item.is_file == 0 && !DeleteKnownContents(table, key, item.id, &deletable))
            return false;
        if (deletable)
            known.push_back(item.id);
        else
            *emptied = false;
    }
    if (known.empty())
        return true;
    return Net::DeleteEntries(static_cast<uint32_t>(known.size()), folder_id, known.data()) == Net::ResDeleted;
}

bool CSyncUpload::KnownAsListed(CSyncStateTable& table, const std::wstring& key, const SyncEntry& listed)
{
    SyncEntry record;
    return IsSafeName(listed.name.c_str()) && table.Find(key.c_str(), &record) && record.id == listed.id &&
           record.update_time >= listed.update_time;
}

bool CSyncUpload::GoneFromServer(const SyncEntry& known)
{
    Net::RemoteEntry found;
    const int looked = Net::LookupEntry(known.name.c_str(), known.parent_id, &found);
    if (looked <= 0)
        return false;
    return looked != Net::ResEntryFound || found.entry.id != known.id;
}

bool CSyncUpload::RenameOnServer(CSyncEngine& engine, const std::wstring& key, const wchar_t* name)
{
    std::shared_ptr<CSyncStateTable> table = engine.Table();
    if (!table || !engine.IsRunning())
        return false;
    const int renamed = Net::RenameEntry(entry.name.c_str(), entry.id, name);
    // An unchanged name counts as done too: a repeated rename succeeds.
    if (renamed != Net::ResRenamed && renamed != Net::ResNameUnchanged) {
        if (renamed <= 0 || !GoneFromServer(entry))
            return false;
        // The entry was deleted on the server meanwhile: the item is
        // forgotten here, and the next scan uploads it as a new one.
        table->Remove(key.c_str());
        return true;
    }
    const std::wstring parent = ParentKey(key);
    const std::wstring old_key = parent.empty() ? entry.name : parent + L"\\" + entry.name;
    table->Remove(key.c_str());

    Net::RemoteEntry found;
    const int32_t update_time = Net::LookupEntry(name, entry.parent_id, &found) == Net::ResEntryFound
                                    ? found.entry.update_time
                                    : entry.update_time;
    table->Rename(old_key.c_str(), key.c_str(), update_time);
    report.effect = SyncEffect::RenamedOnServer;
    report.old_key = old_key;
    report.new_key = key;
    return true;
}

bool CSyncUpload::CreateFolderOnServer(CSyncEngine& engine, const std::wstring& key)
{
    std::shared_ptr<CSyncStateTable> table = engine.Table();
    if (!table || !engine.IsRunning())
        return false;
    SyncEntry record;
    const bool recorded = table->Find(key.c_str(), &record);
    if (recorded && record.state == Helper::Synced)
        return true;
    if (!AdoptRecord(engine, key, recorded ? &record : nullptr))
        return false;
    entry.is_file = 0;
    entry.state = Helper::Syncing;
    Store(engine, key);
    if (!EnsureFolders(engine, key, &entry, true))
        return false;

    if (IsAbsent(server)) {
        // A folder found on the server by the check above has no id in the
        // record yet; it is taken with the update time.
        Net::RemoteEntry found;
        if (table->Find(key.c_str(), &record) &&
            Net::LookupEntry(record.name.c_str(), record.parent_id, &found) == Net::ResEntryFound) {
            entry.id = found.entry.id;
            entry.update_time = found.entry.update_time;
        }
    } else {
        entry.update_time = server.update_time;
    }
    entry.state = Helper::Synced;
    Store(engine, key);
    report.effect = SyncEffect::FolderCreatedOnServer;
    QueueFolderContents(engine, key);
    return true;
}

void CSyncUpload::QueueFolderContents(CSyncEngine& engine, const std::wstring& key)
{
    const std::wstring pattern = std::wstring(local_path) + L"\\*";
    WIN32_FIND_DATAW found;
    Helper::CFindHandle find(FindFirstFileW(pattern.c_str(), &found));
    if (!find.Valid())
        return;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L".." || Helper::IsTempFileName(name))
            continue;
        engine.OnPathChanged((key + L"\\" + name).c_str(), PathAdded, nullptr);
    } while (engine.IsRunning() && FindNextFileW(find.Get(), &found));
}

bool CSyncUpload::EnsureFolders(CSyncEngine& engine, const std::wstring& path, SyncEntry* record, bool check_first)
{
    std::shared_ptr<CSyncStateTable> table = engine.Table();
    if (path.empty())
        return true;
    if (!table)
        return false;
    if (check_first) {
        const int looked = Net::LookupEntry(record->name.c_str(), record->parent_id, nullptr);
        if (looked == Net::ResEntryFound)
            return true;
        if (looked <= 0)
            return false;
    }
    const std::wstring parent_key = ParentKey(path);
    SyncEntry parent;
    if (!table->Find(parent_key.c_str(), &parent))
        return true;
    if (!EnsureFolders(engine, parent_key, &parent, true))
        return false;

    const std::wstring name = LastComponent(path);
    int32_t new_id = 0;
    const int created = Net::CreateFolder(parent.id, name.c_str(), &new_id);
    if (created == Net::ResFolderCreated) {
        record->id = new_id;
    } else if (created == Net::ResFolderExists) {
        // The server keeps its own id for a folder that was there already.
        Net::RemoteEntry found;
        if (Net::LookupEntry(name.c_str(), parent.id, &found) == Net::ResEntryFound)
            record->id = found.entry.id;
    } else {
        return false;
    }
    record->state = Helper::Synced;
    if (record->name.empty())
        record->name = name;
    table->Store(record, path.c_str());
    return true;
}

bool CSyncUpload::UploadFile(CSyncEngine& engine, const std::wstring& key)
{
    bool done = false;
    if (!PrepareRecord(engine, key, &done))
        return false;
    if (done)
        return true;
    // A resumed upload first looks whether the server moved on meanwhile.
    bool moved = false;
    if (entry.upload_address != 0 && !ServerMovedOn(engine, key, &moved))
        return false;
    if (moved)
        return true;
    Net::UploadTicket ticket;
    int step = Begin(engine, key, &ticket);
    if (step != StepGoOn)
        return step == StepDone;
    const DWORD sending = GetTickCount();
    step = Send(engine, key, &ticket);
    report.transfer_ms += GetTickCount() - sending;
    if (step != StepGoOn)
        return step == StepDone;
    return Finish(engine, key, ticket);
}

// Brings the record to the state the transfer starts from; *done when
// there is nothing to send.
bool CSyncUpload::PrepareRecord(CSyncEngine& engine, const std::wstring& key, bool* done)
{
    std::shared_ptr<CSyncStateTable> table = engine.Table();
    if (!table || !engine.IsRunning())
        return false;
    SyncEntry record;
    const bool recorded = table->Find(key.c_str(), &record);
    const bool synced = recorded && record.state == Helper::Synced;
    // A conflict recorded since this upload was decided stands until a new
    // decision finds a way out; sending now would replace the server's side.
    if ((synced && record.local_modified == LocalTime(local)) || (recorded && record.state == Helper::Conflict)) {
        *done = true;
        return true;
    }
    if (!AdoptRecord(engine, key, recorded ? &record : nullptr))
        return false;
    if (!FreshDigest(engine))
        return false;
    if (synced && memcmp(digest, record.md5, kDigestLength) == 0) {
        *done = true;
        return true;
    }

    if (!entry.name.empty() && entry.state == Helper::Syncing) {
        const bool unchanged = entry.size == LocalSize(local) && entry.local_modified == LocalTime(local) &&
                               memcmp(entry.md5, digest, kDigestLength) == 0;
        if (!unchanged) {
            entry.upload_offset = 0;
            entry.upload_address = 0;
        }
    }
    if (entry.name.empty()) {
        SyncEntry parent;
        if (!table->Find(ParentKey(key).c_str(), &parent))
            return false;
        entry.name = LastComponent(key);
        entry.update_time = 0;
        entry.parent_id = parent.id;
    }
    entry.size = LocalSize(local);
    entry.local_modified = LocalTime(local);
    entry.is_file = 1;
    memcpy(entry.md5, digest, kDigestLength);
    entry.state = Helper::Syncing;
    Store(engine, key);
    return true;
}

// The digest of the file as it is now: the one the decision took is kept
// only while the file's size and time are those it was taken from.
bool CSyncUpload::FreshDigest(CSyncEngine& engine)
{
    const uint64_t size = LocalSize(local);
    const uint64_t time = LocalTime(local);
    if (digest[0] != '\0' && size == digest_size_ && time == digest_time_)
        return true;
    Helper::DigestText text = {};
    if (!Helper::FileDigestCancellable(local_path, StopHandle(engine.StopEvent()), text))
        return false;
    memcpy(digest, text, kDigestLength);
    digest_size_ = size;
    digest_time_ = time;
    return true;
}

int CSyncUpload::Begin(CSyncEngine& engine, const std::wstring& key, Net::UploadTicket* ticket)
{
    if (!engine.Table() || !engine.IsRunning())
        return StepFailed;
    if (entry.upload_address != 0) {
        *ticket = Net::TicketOf(entry);
        return StepGoOn;
    }
    if (entry.upload_offset == entry.size && entry.size != 0)
        return StepGoOn;

    switch (Net::BeginUpload(entry.md5, entry.name.c_str(), entry.parent_id, entry.size, ticket)) {
    case Net::ResTicketGranted:
        Net::StoreTicket(*ticket, &entry);
        Store(engine, key);
        return StepGoOn;
    case Net::ResNoSpace:
    case Net::ResUploadRefused:
        entry.state = Helper::Error;
        Store(engine, key);
        report.effect = SyncEffect::Error;
        return StepDone;
    case Net::ResContentKnown: {
        Net::RemoteEntry found;
        if (engine.IsRunning() &&
            Net::LookupEntry(entry.name.c_str(), entry.parent_id, &found) == Net::ResEntryFound) {
            entry.id = found.entry.id;
            entry.update_time = found.entry.update_time;
        }
        ClearTicket();
        entry.state = Helper::Synced;
        Store(engine, key);
        report.effect = SyncEffect::Uploaded;
        return StepDone;
    }
    default:
        return StepFailed;
    }
}

int CSyncUpload::Send(CSyncEngine& engine, const std::wstring& key, Net::UploadTicket* ticket)
{
    if (!engine.Table() || !engine.IsRunning())
        return StepFailed;
    if (entry.upload_offset == entry.size)
        return StepGoOn;
    Helper::CFileHandle file(CreateFileW(local_path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_ARCHIVE, nullptr));
    if (!file)
        return StepFailed;
    if (entry.upload_offset != 0) {
        LARGE_INTEGER offset;
        offset.QuadPart = static_cast<LONGLONG>(entry.upload_offset);
        if (!SetFilePointerEx(file.Get(), offset, nullptr, FILE_BEGIN))
            return StepFailed;
    }
    return SendBlocks(engine, key, ticket, file.Get());
}

int CSyncUpload::SendBlocks(CSyncEngine& engine, const std::wstring& key, Net::UploadTicket* ticket, HANDLE file)
{
    std::vector<uint8_t> block(kBlockSize);
    uint64_t unsaved = 0;
    Net::CUploadPipeline pipeline(*ticket);
    // Sizes of the blocks on their way, oldest first; the offset moves on
    // only as their acceptances come back.
    std::deque<DWORD> posted;
    uint64_t posted_bytes = 0;
    bool reading = true;
    for (;;) {
        while (reading && posted.size() < kBlocksInFlight && engine.IsRunning() && PathFileExistsW(local_path)) {
            DWORD count = 0;
            reading = ReadFile(file, block.data(), kBlockSize, &count, nullptr) && count > 0 &&
                      pipeline.Post(entry.upload_offset + posted_bytes, count, block.data()) == 1;
            if (reading) {
                posted.push_back(count);
                posted_bytes += count;
            }
        }
        if (posted.empty())
            break;
        const int sent = pipeline.Await();
        const DWORD count = posted.front();
        posted.pop_front();
        posted_bytes -= count;
        if (sent == Net::ResBlockAccepted) {
            entry.upload_offset += count;
            report.bytes += count;
            unsaved += count;
            if (unsaved >= kSaveInterval) {
                Store(engine, key);
                unsaved = 0;
            }
            if (!engine.IsRunning())
                break;
            UploadMeter().Account(count);
            speed = meter.Account(count);
            continue;
        }
        if (sent == Net::ResTicketInvalid) {
            entry.upload_address = 0;
            entry.upload_offset = 0;
            if (Begin(engine, key, ticket) == StepFailed)
                return StepFailed;
        }
        break;
    }
    if (!PathFileExistsW(local_path)) {
        if (std::shared_ptr<CSyncStateTable> table = engine.Table())
            table->Remove(key.c_str());
        return StepDone;
    }
    Store(engine, key);
    return entry.upload_offset == entry.size ? StepGoOn : StepFailed;
}

bool CSyncUpload::Finish(CSyncEngine& engine, const std::wstring& key, const Net::UploadTicket& ticket)
{
    if (!engine.Table() || !engine.IsRunning())
        return false;
    if (entry.state == Helper::Syncing && !TicketIsEmpty(ticket)) {
        bool moved = false;
        if (!ServerMovedOn(engine, key, &moved))
            return false;
        if (moved)
            return true;
        const int finished = Net::FinishUpload(ticket);
        if (finished != Net::ResUploadComplete) {
            if (finished > 0) {
                // The data server refused the commit: the next attempt
                // starts over with a new ticket.
                ClearTicket();
                entry.state = Helper::Syncing;
                Store(engine, key);
            }
            return false;
        }
        int32_t folder_id = 0;
        if (!ParentFolderId(engine, key, &folder_id))
            return false;
        ClearTicket();
        if (folder_id != entry.parent_id) {
            entry.state = Helper::Syncing;
            Store(engine, key);
            return false;
        }
        entry.state = Helper::Synced;
        Store(engine, key);
    }
    Net::RemoteEntry found;
    if (!engine.IsRunning() ||
        Net::LookupEntry(entry.name.c_str(), entry.parent_id, &found) != Net::ResEntryFound)
        return false;
    entry.id = found.entry.id;
    entry.update_time = found.entry.update_time;
    Store(engine, key);
    report.effect = SyncEffect::Uploaded;
    return true;
}

// Whether the server's entry moved on from the version this upload set out
// to replace (the record's update time): another computer's version, put
// there while this upload ran or stood interrupted, is kept and the item
// becomes a conflict. An entry that is gone, or that holds these very
// contents, is no obstacle. False when the server gave no answer.
bool CSyncUpload::ServerMovedOn(CSyncEngine& engine, const std::wstring& key, bool* moved)
{
    Net::RemoteEntry found;
    const int looked = Net::LookupEntry(entry.name.c_str(), entry.parent_id, &found);
    if (looked <= 0 || !engine.IsRunning())
        return false;
    const SyncEntry& current = found.entry;
    *moved = looked == Net::ResEntryFound && current.update_time != entry.update_time &&
             (current.size != entry.size || memcmp(current.md5, entry.md5, kDigestLength) != 0);
    if (*moved) {
        ServerEntry seen;
        static_cast<SyncEntry&>(seen) = current;
        RefreshEntry(seen, local, &entry);
        entry.state = Helper::Conflict;
        Store(engine, key);
        report.effect = SyncEffect::Conflict;
    }
    return true;
}

// The server's id of the folder the file went into, -1 when the folder had
// to be created again. The root is the server's folder 0 and is never
// looked up by name.
bool CSyncUpload::ParentFolderId(CSyncEngine& engine, const std::wstring& key, int32_t* folder_id)
{
    std::shared_ptr<CSyncStateTable> table = engine.Table();
    const std::wstring parent_key = ParentKey(key);
    SyncEntry parent;
    if (!table || !table->Find(parent_key.c_str(), &parent))
        return false;
    if (parent_key.empty()) {
        *folder_id = parent.id;
        return true;
    }
    Net::RemoteEntry found;
    const int looked = Net::LookupEntry(parent.name.c_str(), parent.parent_id, &found);
    if (looked == Net::ResEntryFound) {
        *folder_id = found.entry.id;
        return true;
    }
    if (looked <= 0)
        return false;
    EnsureFolders(engine, parent_key, &parent, false);
    *folder_id = -1;
    return true;
}

}  // namespace Sync
