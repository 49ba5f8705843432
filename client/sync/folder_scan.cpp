// The three ways the engine gathers items to decide about: one path the
// folder watcher reported, the items interrupted by the last stop, and the
// recursive comparison of a folder with the server's listing.
#include <algorithm>
#include <cstring>
#include <cwchar>
#include <vector>

#include "client/net/requests.h"
#include "client/sync/file_utils.h"
#include "client/sync/reconcile.h"
#include "client/sync/sync_engine.h"
#include "client/sync/transfer_support.h"
#include "common/bounded_string.h"
#include "common/file_sync_state.h"
#include "common/temp_file.h"

namespace Sync {

namespace {

ServerEntry ToServerEntry(const Net::RemoteEntry& remote)
{
    ServerEntry server;
    static_cast<SyncEntry&>(server) = remote.entry;
    server.url = remote.url;
    return server;
}

ServerEntry FromRecord(const SyncEntry& record)
{
    ServerEntry server;
    static_cast<SyncEntry&>(server) = record;
    return server;
}

// The disk's view of full_path: found, missing (only cFileName set), or
// false when the disk could not tell. A path that does not fit is never cut
// to another item's path.
bool LookUpLocal(const std::wstring& full_path, WIN32_FIND_DATAW* local)
{
    if (full_path.size() >= kPathCapacity)
        return false;
    DWORD error = ERROR_SUCCESS;
    if (!Helper::FindItem(local, full_path.c_str(), &error) && !Helper::IsNotFoundError(error))
        return false;
    Helper::CopyBounded(local->cFileName, full_path.c_str());
    return true;
}

// Decides, records and queues; true when an action was queued.
bool DecideAndQueue(CSyncEngine* engine, const WIN32_FIND_DATAW& local, const ServerEntry& server,
                    const SyncEntry& record)
{
    // The scanner and the watcher decide at the same time. Looking at the
    // queue, deciding, recording and queuing happen as one step: an item
    // whose action is still queued belongs to that action, and a second
    // decision beside it would record over its state and queue a rival, say
    // a download of what the queued upload is deleting.
    std::lock_guard<std::recursive_mutex> guard(engine->DecisionLock());
    if (engine->IsQueued(local.cFileName))
        return false;
    std::unique_ptr<SyncDecision> decision = Decide(local, server, engine, record);
    return engine->Enqueue(CreateAction(std::move(decision), engine)) != nullptr;
}

// An item the server lists but the local listing lacked. A download that
// finished after the listing may have put it on disk since, and a decision
// on the old listing would take it for deleted locally; so the disk and the
// record are looked at again, and an item found on disk is left to the next
// pass. True when the item asks for work: an action queued or the item left
// for the next pass.
bool DecideListedOnly(CSyncEngine* engine, CSyncStateTable& table, const std::wstring& key,
                      const std::wstring& full_path, const ServerEntry& server)
{
    std::lock_guard<std::recursive_mutex> guard(engine->DecisionLock());
    WIN32_FIND_DATAW local;
    if (!LookUpLocal(full_path, &local))
        return false;
    if (!IsMissing(local))
        return true;
    SyncEntry record;
    table.Find(key.c_str(), &record);
    return DecideAndQueue(engine, local, server, record);
}

// The folder's items on disk, each with its full path in cFileName; the
// dot entries, temporary files and paths too long to hold are left out (an
// item is never acted upon under a cut name).
std::vector<WIN32_FIND_DATAW> ListLocalItems(CSyncEngine& engine, const std::wstring& folder_path)
{
    std::vector<WIN32_FIND_DATAW> items;
    WIN32_FIND_DATAW found;
    Helper::CFindHandle find(FindFirstFileW((folder_path + L"\\*").c_str(), &found));
    if (!find)
        return items;
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0 ||
            Helper::IsTempFileName(found.cFileName))
            continue;
        const std::wstring full = folder_path + L"\\" + found.cFileName;
        if (full.size() >= kPathCapacity)
            continue;
        Helper::CopyBounded(found.cFileName, full.c_str());
        items.push_back(found);
    } while (engine.IsRunning() && FindNextFileW(find.Get(), &found));
    return items;
}

// The records of the folder's synced files whose local file is gone: what
// a rename may have taken away.
std::vector<SyncEntry> GoneFiles(CSyncStateTable& table, const std::wstring& root, const std::wstring& folder_key)
{
    std::vector<SyncEntry> gone;
    for (const SyncEntry& record : table.Children(folder_key.c_str())) {
        if (record.is_file != 1 || record.state != Helper::Synced || record.id <= 0)
            continue;
        WIN32_FIND_DATAW local;
        if (LookUpLocal(root + L"\\" + record.path, &local) && IsMissing(local))
            gone.push_back(record);
    }
    return gone;
}

// The folder's items on disk that have no record: what a rename may have
// brought, or what was made there since the last look.
std::vector<WIN32_FIND_DATAW> UnrecordedItems(CSyncEngine& engine, CSyncStateTable& table,
                                              const std::wstring& folder_path, const std::wstring& folder_key)
{
    std::vector<WIN32_FIND_DATAW> items = ListLocalItems(engine, folder_path);
    items.erase(std::remove_if(items.begin(), items.end(),
                               [&](const WIN32_FIND_DATAW& item) {
                                   return table.Find(JoinKey(folder_key, LastComponent(item.cFileName)).c_str());
                               }),
                items.end());
    return items;
}

// Whether the item is a file with the contents the record holds.
bool HoldsRecordedContents(const SyncEntry& record, const WIN32_FIND_DATAW& item, HANDLE stop_event)
{
    if (IsLocalFolder(item) || LocalSize(item) != record.size)
        return false;
    char digest[kDigestLength + 1] = {};
    return FillDigest(item, digest, stop_event) && memcmp(digest, record.md5, kDigestLength) == 0;
}

// The server's listing of a folder; false when none came. An entry whose
// name may not become a local name here (one like a download's temporary
// file) is passed over: it is never written, and never taken for an item.
bool ListServerItems(int32_t folder_id, std::vector<ServerEntry>* listing)
{
    std::vector<Net::RemoteEntry> remote;
    if (Net::ListFolder(folder_id, &remote) != Net::ResFolderListed)
        return false;
    listing->reserve(remote.size());
    for (const Net::RemoteEntry& item : remote)
        if (IsSafeName(item.entry.name.c_str()))
            listing->push_back(ToServerEntry(item));
    return true;
}

// One pass over a folder: its items on disk against the server's listing,
// then what only the server lists, then the subfolders.
class CFolderPass {
public:
    CFolderPass(CSyncEngine* engine, CSyncStateTable& table, const std::wstring& folder_path,
                const std::wstring& folder_key, int32_t folder_id, std::vector<ServerEntry> listing)
        : engine_(engine), table_(table), folder_path_(folder_path), folder_key_(folder_key),
          folder_id_(folder_id), listing_(std::move(listing)), taken_(listing_.size(), false)
    {
    }

    // False when the listing no longer fits the record: the pass cannot tell.
    bool DecideLocalItems(const std::vector<WIN32_FIND_DATAW>& items)
    {
        for (const WIN32_FIND_DATAW& item : items) {
            if (!engine_->IsRunning())
                break;
            const wchar_t* slash = wcsrchr(item.cFileName, L'\\');
            if (slash == nullptr)
                return false;
            SyncEntry record;
            table_.Find(JoinKey(folder_key_, slash + 1).c_str(), &record);
            ServerEntry server;
            if (!TakeListed(slash + 1, record, &server))
                return false;
            if (DecideAndQueue(engine_, item, server, record))
                changed_ = true;
            else if (IsLocalFolder(item))
                subfolders_.push_back(item.cFileName);
        }
        return true;
    }

    // False when a listed entry no longer fits the record: the pass ends
    // with what it saw.
    bool DecideListedOnly()
    {
        for (size_t i = 0; i < listing_.size(); ++i) {
            if (!engine_->IsRunning())
                break;
            if (taken_[i])
                continue;
            if (listing_[i].parent_id != folder_id_)
                return false;
            const std::wstring& name = listing_[i].name;
            if (Sync::DecideListedOnly(engine_, table_, JoinKey(folder_key_, name), folder_path_ + L"\\" + name,
                                       listing_[i]))
                changed_ = true;
        }
        return true;
    }

    void ScanSubfolders()
    {
        for (const std::wstring& subfolder : subfolders_) {
            if (!engine_->IsRunning())
                break;
            const ScanResult result = engine_->ScanFolder(subfolder.c_str());
            if (result != ScanResult::Agreed)
                changed_ = true;
            if (result == ScanResult::Undecided)
                undecided_ = true;
        }
    }

    // A subfolder that could not be told makes the whole pass undecided.
    ScanResult Result() const
    {
        if (undecided_)
            return ScanResult::Undecided;
        return changed_ ? ScanResult::Changed : ScanResult::Agreed;
    }

private:
    // The listed entry of a local item: the one with the recorded id, else
    // the one of its name. False when the listing no longer fits the record.
    bool TakeListed(const wchar_t* name, const SyncEntry& record, ServerEntry* server)
    {
        for (size_t i = 0; i < listing_.size(); ++i) {
            if (taken_[i])
                continue;
            if (listing_[i].parent_id != folder_id_)
                return false;
            const bool match =
                record.id > 0 ? listing_[i].id == record.id : _wcsicmp(listing_[i].name.c_str(), name) == 0;
            if (match) {
                *server = std::move(listing_[i]);
                taken_[i] = true;
                return true;
            }
        }
        return true;
    }

    CSyncEngine* engine_;
    CSyncStateTable& table_;
    const std::wstring& folder_path_;
    const std::wstring& folder_key_;
    const int32_t folder_id_;
    std::vector<ServerEntry> listing_;
    std::vector<bool> taken_;
    std::vector<std::wstring> subfolders_;
    bool changed_ = false;
    bool undecided_ = false;
};

}  // namespace

void CSyncEngine::OnPathChanged(const wchar_t* path, int change, const wchar_t* other_path)
{
    std::shared_ptr<CSyncStateTable> table = Table();
    if (!IsRunning() || path == nullptr || !table)
        return;
    if (Helper::IsTempFileName(path))
        return;
    if (change == PathRenamedAway || change == PathRenamedHere) {
        OnRenameHalf(*table, path, change);
        return;
    }
    const wchar_t* local_key = change == PathRenamed ? other_path : path;
    if (local_key == nullptr)
        return;

    SyncEntry record;
    table->Find(path, &record);
    if (record.state == Helper::Syncing)
        return;  // an action is already working on the item

    ServerEntry server;
    if (!record.name.empty() && record.state != Helper::Error) {
        if (record.state == Helper::Conflict) {
            Net::RemoteEntry remote;
            const int result = Net::LookupEntry(record.name.c_str(), record.parent_id, &remote);
            if (result <= 0)
                return;
            if (result == Net::ResEntryFound)
                server = ToServerEntry(remote);
        } else {
            server = FromRecord(record);
        }
    }

    WIN32_FIND_DATAW local;
    if (!LookUpLocal(Root() + L"\\" + local_key, &local))
        return;
    DecideAndQueue(this, local, server, record);
}

// Half of a rename came without the other: the folder is looked at at once.
// A recorded file gone from it and an unrecorded one come into it with the
// contents the record holds make the rename, when the half that came has
// exactly one such counterpart; it then travels as a rename. Otherwise the
// half counts for what it is alone, and what has come into the folder is
// decided now rather than at the next scan.
void CSyncEngine::OnRenameHalf(CSyncStateTable& table, const std::wstring& key, int change)
{
    const std::wstring root = Root();
    const std::wstring folder_key = ParentKey(key);
    const std::vector<SyncEntry> gone = GoneFiles(table, root, folder_key);
    const std::vector<WIN32_FIND_DATAW> come =
        UnrecordedItems(*this, table, folder_key.empty() ? root : root + L"\\" + folder_key, folder_key);
    const std::shared_ptr<Helper::CHandle> stop = StopEvent();
    std::wstring old_key;
    std::wstring new_key;
    int pairs = 0;
    for (const SyncEntry& record : gone) {
        if (change == PathRenamedAway && _wcsicmp(record.path, key.c_str()) != 0)
            continue;
        for (const WIN32_FIND_DATAW& item : come) {
            const std::wstring item_key = JoinKey(folder_key, LastComponent(item.cFileName));
            if (change == PathRenamedHere && _wcsicmp(item_key.c_str(), key.c_str()) != 0)
                continue;
            if (HoldsRecordedContents(record, item, StopHandle(stop))) {
                old_key = record.path;
                new_key = item_key;
                ++pairs;
            }
        }
    }
    if (pairs == 1) {
        OnPathChanged(old_key.c_str(), PathRenamed, new_key.c_str());
        return;
    }
    if (change == PathRenamedHere) {
        OnPathChanged(key.c_str(), PathAdded, nullptr);
        return;
    }
    OnPathChanged(key.c_str(), PathRemoved, nullptr);
    for (const WIN32_FIND_DATAW& item : come)
        OnPathChanged(JoinKey(folder_key, LastComponent(item.cFileName)).c_str(), PathAdded, nullptr);
}

bool CSyncEngine::ResumeInterrupted()
{
    std::shared_ptr<CSyncStateTable> table = Table();
    if (!IsRunning() || !table)
        return false;
    std::vector<SyncEntry> interrupted;
    table->Collect(&interrupted, L"", Helper::Syncing);
    const std::wstring root = Root();
    for (const SyncEntry& record : interrupted) {
        if (!IsRunning())
            break;
        ServerEntry server;
        if (record.parent_id >= 0) {
            Net::RemoteEntry remote;
            const int result = Net::LookupEntry(record.name.c_str(), record.parent_id, &remote);
            if (result < 0)
                return false;
            if (result == 0)
                continue;
            if (result == Net::ResEntryFound)
                server = ToServerEntry(remote);
        }
        WIN32_FIND_DATAW local;
        if (!LookUpLocal(root + L"\\" + record.path, &local))
            continue;
        DecideAndQueue(this, local, server, record);
    }
    return true;
}

ScanResult CSyncEngine::ScanFolder(const wchar_t* path)
{
    std::shared_ptr<CSyncStateTable> table = Table();
    if (!IsRunning() || !table)
        return ScanResult::Agreed;
    const std::wstring root = Root();
    const std::wstring folder_path = path ? path : root;
    std::wstring folder_key;
    if (_wcsicmp(folder_path.c_str(), root.c_str()) != 0 && !KeyOf(folder_path.c_str(), &folder_key))
        return ScanResult::Undecided;
    SyncEntry folder;
    if (!table->Find(folder_key.c_str(), &folder) || folder.is_file != 0)
        return ScanResult::Undecided;
    std::vector<ServerEntry> listing;
    if (!ListServerItems(folder.id, &listing))
        return ScanResult::Undecided;

    CFolderPass pass(this, *table, folder_path, folder_key, folder.id, std::move(listing));
    if (!pass.DecideLocalItems(ListLocalItems(*this, folder_path)))
        return ScanResult::Undecided;
    if (pass.DecideListedOnly())
        pass.ScanSubfolders();
    return pass.Result();
}

}  // namespace Sync
