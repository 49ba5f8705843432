// The three ways the engine gathers items to decide about: one path the
// folder watcher reported, the items interrupted by the last stop, and the
// recursive comparison of a folder with the server's listing.
#include <cwchar>
#include <vector>

#include "client/net/requests.h"
#include "client/sync/file_utils.h"
#include "client/sync/reconcile.h"
#include "client/sync/sync_engine.h"
#include "common/bounded_string.h"
#include "common/file_sync_state.h"
#include "common/temp_file.h"

namespace Sync {

namespace {

bool NotFound(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

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
    *local = WIN32_FIND_DATAW{};
    if (!Helper::FindItem(local, full_path.c_str())) {
        const DWORD error = GetLastError();
        if (!NotFound(error))
            return false;
        *local = WIN32_FIND_DATAW{};
    }
    Helper::CopyBounded(local->cFileName, full_path.c_str());
    return true;
}

std::wstring JoinKey(const std::wstring& folder_key, const std::wstring& name)
{
    return folder_key.empty() ? name : folder_key + L"\\" + name;
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
// pass. 1: queued, 0: nothing to do, -1: left for later.
int DecideListedOnly(CSyncEngine* engine, CSyncStateTable& table, const std::wstring& key,
                     const std::wstring& full_path, const ServerEntry& server)
{
    std::lock_guard<std::recursive_mutex> guard(engine->DecisionLock());
    WIN32_FIND_DATAW local;
    if (!LookUpLocal(full_path, &local))
        return 0;
    if (!IsMissing(local))
        return -1;
    SyncEntry record;
    table.find(key.c_str(), &record);
    return DecideAndQueue(engine, local, server, record) ? 1 : 0;
}

}  // namespace

void CSyncEngine::OnPathChanged(const wchar_t* path, int change, const wchar_t* other_path)
{
    std::shared_ptr<CSyncStateTable> table = Table();
    if (!IsRunning() || path == nullptr || !table)
        return;
    if (Helper::IsTempFileName(path))
        return;
    const wchar_t* local_key = change == PathRenamed ? other_path : path;
    if (local_key == nullptr)
        return;

    SyncEntry record;
    table->find(path, &record);
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

bool CSyncEngine::ResumeInterrupted()
{
    std::shared_ptr<CSyncStateTable> table = Table();
    if (!IsRunning() || !table)
        return false;
    std::vector<SyncEntry> interrupted;
    table->collect(&interrupted, L"", Helper::Syncing);
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

bool CSyncEngine::ScanFolder(const wchar_t* path)
{
    std::shared_ptr<CSyncStateTable> table = Table();
    if (!IsRunning() || !table)
        return false;
    const std::wstring root = Root();
    const std::wstring folder_path = path ? path : root;
    std::wstring folder_key;
    if (_wcsicmp(folder_path.c_str(), root.c_str()) != 0 && !KeyOf(folder_path.c_str(), &folder_key))
        return true;
    SyncEntry folder;
    if (!table->find(folder_key.c_str(), &folder) || folder.is_file != 0)
        return true;

    std::vector<Net::RemoteEntry> remote;
    if (Net::ListFolder(folder.id, &remote) != Net::ResFolderListed)
        return true;
    std::vector<ServerEntry> listing;
    listing.reserve(remote.size());
    for (const Net::RemoteEntry& item : remote)
        listing.push_back(ToServerEntry(item));
    std::vector<bool> taken(listing.size(), false);

    std::vector<WIN32_FIND_DATAW> local_items;
    {
        WIN32_FIND_DATAW found;
        const std::wstring pattern = folder_path + L"\\*";
        Helper::CFindHandle find(FindFirstFileW(pattern.c_str(), &found));
        if (find.Valid()) {
            do {
                if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0 ||
                    Helper::IsTempFileName(found.cFileName))
                    continue;
                const std::wstring full = folder_path + L"\\" + found.cFileName;
                if (full.size() >= kPathCapacity)
                    continue;  // never acted upon under a cut name
                Helper::CopyBounded(found.cFileName, full.c_str());
                local_items.push_back(found);
            } while (IsRunning() && FindNextFileW(find.Get(), &found));
        }
    }

    bool changed = false;
    std::vector<std::wstring> subfolders;
    for (const WIN32_FIND_DATAW& item : local_items) {
        if (!IsRunning())
            break;
        const wchar_t* name = wcsrchr(item.cFileName, L'\\');
        if (name == nullptr)
            return true;
        ++name;
        const std::wstring key = JoinKey(folder_key, name);
        SyncEntry record;
        table->find(key.c_str(), &record);

        ServerEntry server;
        for (size_t i = 0; i < listing.size(); ++i) {
            if (taken[i])
                continue;
            if (listing[i].parent_id != folder.id)
                return true;  // the listing no longer fits the record
            const bool match = record.id > 0 ? listing[i].id == record.id
                                             : _wcsicmp(listing[i].name.c_str(), name) == 0;
            if (match) {
                server = std::move(listing[i]);
                taken[i] = true;
                break;
            }
        }

        if (DecideAndQueue(this, item, server, record))
            changed = true;
        else if (IsLocalFolder(item))
            subfolders.push_back(item.cFileName);
    }

    for (size_t i = 0; i < listing.size(); ++i) {
        if (!IsRunning())
            break;
        if (taken[i])
            continue;
        if (listing[i].parent_id != folder.id)
            return changed;
        const std::wstring key = JoinKey(folder_key, listing[i].name);
        if (DecideListedOnly(this, *table, key, folder_path + L"\\" + listing[i].name, listing[i]) != 0)
            changed = true;
    }

    for (const std::wstring& subfolder : subfolders) {
        if (!IsRunning())
            break;
        if (ScanFolder(subfolder.c_str()))
            changed = true;
    }
    return changed;
}

}  // namespace Sync
