// The action that makes the server equal to the local item: deletes or
// renames it there, creates a folder (and queues what it holds), or sends a
// file's contents through an upload ticket. The ticket and the accepted
// offset live in the item's record, so an interrupted upload continues
// where it stopped, also after a restart.
#pragma once

#include <string>

#include "client/net/packet_codec.h"
#include "client/sync/sync_action.h"
#include "client/sync/transfer_meter.h"

namespace Sync {

class CSyncStateTable;

// Blocks of an upload on their way at once. They keep the link busy, and
// they are the most a lost connection makes the next attempt send again.
constexpr size_t kBlocksInFlight = 8;

class CSyncUpload : public ISyncAction {
public:
    explicit CSyncUpload(SyncDecision&& decision);
    bool Execute(CSyncEngine* engine) override;

    // This transfer's own speed, for the tray.
    TransferMeter meter;

private:
    // Outcome of one step of a file upload.
    enum Step : int { StepFailed = 0, StepGoOn = 1, StepDone = -1 };

    bool DeleteOnServer(CSyncEngine& engine, const std::wstring& key);
    bool DeleteServerEntry(CSyncStateTable& table, const std::wstring& key);
    bool DeleteKnownContents(CSyncStateTable& table, const std::wstring& folder_key, int32_t folder_id,
                             bool* emptied);
    // The record under the key is this very entry, not changed on the
    // server since this computer last saw it.
    static bool KnownAsListed(CSyncStateTable& table, const std::wstring& key, const SyncEntry& listed);
    // True when the server no longer has the entry under its name.
    bool GoneFromServer(const SyncEntry& known);
    bool RenameOnServer(CSyncEngine& engine, const std::wstring& key, const wchar_t* name);
    bool CreateFolderOnServer(CSyncEngine& engine, const std::wstring& key);
    bool EnsureFolders(CSyncEngine& engine, const std::wstring& path, SyncEntry* record, bool check_first);
    void QueueFolderContents(CSyncEngine& engine, const std::wstring& key);

    bool UploadFile(CSyncEngine& engine, const std::wstring& key);
    bool PrepareRecord(CSyncEngine& engine, const std::wstring& key, bool* done);
    bool FreshDigest(CSyncEngine& engine);
    int Begin(CSyncEngine& engine, const std::wstring& key, Net::UploadTicket* ticket);
    int Send(CSyncEngine& engine, const std::wstring& key, Net::UploadTicket* ticket);
    int SendBlocks(CSyncEngine& engine, const std::wstring& key, Net::UploadTicket* ticket, HANDLE file);
    bool Finish(CSyncEngine& engine, const std::wstring& key, const Net::UploadTicket& ticket);
    bool ServerMovedOn(CSyncEngine& engine, const std::wstring& key, bool* moved);
    bool ParentFolderId(CSyncEngine& engine, const std::wstring& key, int32_t* folder_id);

    void Store(CSyncEngine& engine, const std::wstring& key);
    // Starts from the item's record, or from a fresh one without; false
    // when the record's folder is not on the server yet.
    bool AdoptRecord(CSyncEngine& engine, const std::wstring& key, const SyncEntry* record);
    void ClearTicket();

    // The size and time of the file the digest was taken from; a file that
    // changed since then needs a new one.
    uint64_t digest_size_ = 0;
    uint64_t digest_time_ = 0;
};


}  // namespace Sync
