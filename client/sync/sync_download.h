// The action that makes the local item equal to the server's: deletes it,
// gives it the server's name, creates a folder or fetches a file's
// contents over HTTP through a temporary file.
#pragma once

#include <string>

#include "client/sync/sync_action.h"
#include "client/sync/transfer_meter.h"
#include "common/md5.h"

namespace Sync {

class CSyncStateTable;

class CSyncDownload : public ISyncAction {
public:
    explicit CSyncDownload(SyncDecision&& decision) : ISyncAction(std::move(decision), KindDownload) {}
    bool Execute(CSyncEngine* engine) override;

    // This transfer's own speed, for the tray.
    TransferMeter meter;

private:
    struct Paths {
        wchar_t target[kPathCapacity] = {};  // the local path under the server's name
        std::wstring target_key;
        std::wstring old_key;  // the local path's key
    };

    bool BuildPaths(CSyncEngine& engine, Paths* paths) const;
    bool RefuseUnsafeTarget(CSyncEngine& engine);
    bool DeleteLocally(CSyncEngine& engine, const Paths& paths);
    bool DeleteFolderLocally(CSyncEngine& engine, CSyncStateTable& table, const std::wstring& key);
    bool RenameToServerName(CSyncEngine& engine, const Paths& paths);
    bool ClearTarget(CSyncEngine& engine, CSyncStateTable& table, const Paths& paths, const WIN32_FIND_DATAW& found,
                     bool* done);
    bool KeepBothInConflict(CSyncEngine& engine, CSyncStateTable& table, const Paths& paths,
                            const WIN32_FIND_DATAW& found);
    bool FetchIntoPlace(CSyncEngine& engine, const Paths& paths);
    bool FetchFile(CSyncEngine& engine, const Paths& paths, HANDLE stop_event);
    bool FetchFolder(CSyncEngine& engine, const Paths& paths);
    bool HttpFetch(CSyncEngine& engine, const wchar_t* temp_path, const std::wstring& address);
    bool ReadBody(CSyncEngine& engine, void* request, HANDLE file, Helper::Md5Context* md5);
    void StoreAs(CSyncEngine& engine, const std::wstring& key, uint32_t state);
};

// The address of a file's contents: the server's prefix and the session
// key. False when the prefix is not an HTTP address or the key holds
// characters that would change the address.
bool BuildDownloadAddress(const std::wstring& url, const char* session_key, std::wstring* address);

}  // namespace Sync
