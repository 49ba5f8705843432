#include "client/sync/record_actions.h"

#include <cwchar>

#include "client/sync/sync_engine.h"
#include "common/file_sync_state.h"

namespace Sync {

namespace {

// The server changed only the letter case of the item's name: the record
// takes the new name over, so that later requests carry it.
void TakeServerLetterCase(CSyncStateTable& table, const std::wstring& key, const ServerEntry& server)
{
    SyncEntry record;
    if (server.name.empty() || !table.Find(key.c_str(), &record) || record.name == server.name ||
        _wcsicmp(record.name.c_str(), server.name.c_str()) != 0)
        return;
    table.Rename(key.c_str(), JoinKey(ParentKey(key), server.name).c_str(), server.update_time);
}

// Records the state and, for a folder, looks at what it holds: the items
// inside get decisions of their own.
bool RecordState(ISyncAction& action, CSyncEngine* engine, uint32_t state)
{
    std::shared_ptr<CSyncStateTable> table = engine ? engine->Table() : nullptr;
    std::wstring key;
    if (!table || !engine->KeyOf(action.local_path, &key))
        return false;
    RefreshEntry(action.server, action.local, &action.entry);
    action.entry.state = state;
    table->Store(&action.entry, key.c_str());
    TakeServerLetterCase(*table, key, action.server);
    if (!IsMissing(action.local) && IsLocalFolder(action.local))
        engine->ScanFolder(action.local_path);
    return true;
}

}  // namespace

bool CSyncVersionInfo::Execute(CSyncEngine* engine)
{
    if (IsAbsent(server)) {
        std::shared_ptr<CSyncStateTable> table = engine ? engine->Table() : nullptr;
        std::wstring key;
        if (!table || !engine->KeyOf(local_path, &key))
            return false;
        table->Remove(key.c_str());
        return true;
    }
    report.effect = SyncEffect::Agreed;
    return RecordState(*this, engine, Helper::Synced);
}

bool CSyncError::Execute(CSyncEngine* engine)
{
    report.effect = SyncEffect::Error;
    return RecordState(*this, engine, Helper::Error);
}

bool CSyncConflict::Execute(CSyncEngine* engine)
{
    report.effect = SyncEffect::Conflict;
    return RecordState(*this, engine, Helper::Conflict);
}

}  // namespace Sync
