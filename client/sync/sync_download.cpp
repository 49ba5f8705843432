#include "client/sync/sync_download.h"

#include <wininet.h>

#include <cstring>
#include <cwchar>
#include <vector>

#include "client/net/requests.h"
#include "client/net/session_values.h"
#include "client/sync/file_utils.h"
#include "client/sync/reconcile.h"
#include "client/sync/sync_engine.h"
#include "client/sync/transfer_support.h"
#include "common/bounded_string.h"
#include "common/file_sync_state.h"
#include "common/temp_file.h"
#include "common/time_share.h"
#include "common/win_handle.h"

namespace Sync {

namespace {

constexpr DWORD kOpenUrlFlags =
    INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS | INTERNET_FLAG_NO_UI;
static_assert(kOpenUrlFlags == 0x04004200, "the fetch asks for no cache, no UI and no HTTPS redirect");
constexpr DWORD kReadSize = 65536;

HINTERNET OpenUrl(HINTERNET session, const std::wstring& address)
{
    Helper::CTimeShareScope timing(Helper::TimeShare::NetworkWaits);
    return InternetOpenUrlW(session, address.c_str(), nullptr, 0, kOpenUrlFlags, 0);
}

bool IsUnreservedUrlCharacter(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '_' ||
           c == '.' || c == '~';
}

// A path the shell may delete or move onto: only when something is there.
void DeleteIfPresent(const wchar_t* path)
{
    WIN32_FIND_DATAW found;
    DWORD error = 0;
    if (Helper::FindItem(&found, path, &error))
        Helper::DeletePath(path);
}

// Whether the local item at path is a file that holds what this computer
// last synced under the key.
bool HoldsSyncedContents(CSyncStateTable& table, const std::wstring& key, const WIN32_FIND_DATAW& found,
                         const wchar_t* path, HANDLE stop_event)
{
    SyncEntry record;
    if (IsLocalFolder(found) || !table.Find(key.c_str(), &record) || record.state != Helper::Synced)
        return false;
    WIN32_FIND_DATAW named = found;
    Helper::CopyBounded(named.cFileName, path);
    char digest[kDigestLength + 1] = {};
    return CompareToEntry(&record, named, digest, stop_event) == CompareEqual;
}

bool PruneItem(CSyncStateTable& table, const std::wstring& key, const std::wstring& path, WIN32_FIND_DATAW* found,
               HANDLE stop_event, bool* gone);

// Deletes what lies in a folder the server deleted, as far as this computer
// synced it and has not changed it since. Anything else is kept: a new or
// edited file, and the folders holding one. *kept tells whether anything
// is; false when the disk could not be read or an item could not go.
bool PruneSynced(CSyncStateTable& table, const std::wstring& key, const std::wstring& path, HANDLE stop_event,
                 bool* kept)
{
    WIN32_FIND_DATAW found;
    Helper::CFindHandle find(FindFirstFileW((path + L"\\*").c_str(), &found));
    if (!find.Valid())
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0)
            continue;
        const std::wstring child_key = key + L"\\" + found.cFileName;
        const std::wstring child_path = path + L"\\" + found.cFileName;
        bool gone = false;
        if (!PruneItem(table, child_key, child_path, &found, stop_event, &gone))
            return false;
        if (!gone)
            *kept = true;
    } while (FindNextFileW(find.Get(), &found));
    return GetLastError() == ERROR_NO_MORE_FILES;
}

bool PruneItem(CSyncStateTable& table, const std::wstring& key, const std::wstring& path, WIN32_FIND_DATAW* found,
               HANDLE stop_event, bool* gone)
{
    SyncEntry record;
    const bool synced = table.Find(key.c_str(), &record) && record.state == Helper::Synced;
    if (IsLocalFolder(*found)) {
        bool kept = false;
        if (!PruneSynced(table, key, path, stop_event, &kept))
            return false;
        *gone = synced && !kept;
    } else {
        // A download's leftover temporary file holds nothing of the user's.
        *gone = Helper::IsTempFileName(path.c_str());
        if (!*gone && synced && Helper::CopyBounded(found->cFileName, path.c_str())) {
            char digest[kDigestLength + 1] = {};
            *gone = CompareToEntry(&record, *found, digest, stop_event) == CompareEqual;
        }
    }
    if (!*gone)
        return true;
    if (!Helper::DeletePath(path.c_str()))
        return false;
    table.Remove(key.c_str());
    return true;
}

}  // namespace

bool BuildDownloadAddress(const std::wstring& url, const char* session_key, std::wstring* address)
{
    if (session_key == nullptr || address == nullptr)
        return false;
    if (_wcsnicmp(url.c_str(), L"http://", 7) != 0 && _wcsnicmp(url.c_str(), L"https://", 8) != 0)
        return false;
    for (const wchar_t c : url)
        if (c <= 0x20 || c == 0x7f)
            return false;
    std::wstring text = url;
    for (size_t i = 0; i < Net::kSessionKeySize; ++i) {
        if (!IsUnreservedUrlCharacter(session_key[i]))
            return false;
        text.push_back(static_cast<wchar_t>(session_key[i]));
    }
    *address = std::move(text);
    return true;
}

bool CSyncDownload::Execute(CSyncEngine* engine)
{
    if (engine == nullptr)
        return false;
    Paths paths;
    if (!BuildPaths(*engine, &paths))
        return RefuseUnsafeTarget(*engine);

    DWORD error = 0;
    const bool present = Helper::FindItem(&local, local_path, &error);
    if (IsAbsent(server))
        return present ? DeleteLocally(*engine, paths) : Helper::IsNotFoundError(error);
    if (present && wcscmp(local_path, paths.target) != 0)
        return RenameToServerName(*engine, paths);
    if (!present && !Helper::IsNotFoundError(error))
        return false;
    if (!FetchIntoPlace(*engine, paths))
        return false;
    Net::AccountInfo();
    return true;
}

// Every path this action touches lies inside the sync folder: the server's
// name is one safe component, and both keys are made of safe components.
bool CSyncDownload::BuildPaths(CSyncEngine& engine, Paths* paths) const
{
    if (!engine.KeyOf(local_path, &paths->old_key) || !IsSafeKey(paths->old_key))
        return false;
    if (IsAbsent(server) || server.name.empty()) {
        Helper::CopyBounded(paths->target, local_path);
    } else {
        if (!IsSafeName(server.name.c_str()))
            return false;
        std::wstring target(local_path);
        target.erase(target.rfind(L'\\') + 1);
        target += server.name;
        if (target.size() >= static_cast<size_t>(kPathCapacity))
            return false;
        Helper::CopyBounded(paths->target, target.c_str());
    }
    return engine.KeyOf(paths->target, &paths->target_key) && IsSafeKey(paths->target_key);
}

// An item whose place cannot be formed safely is never written; it shows
// as an error until the server's view changes.
bool CSyncDownload::RefuseUnsafeTarget(CSyncEngine& engine)
{
    std::wstring key;
    std::shared_ptr<CSyncStateTable> table = engine.Table();
    if (table && engine.KeyOf(local_path, &key) && table->Find(key.c_str())) {
        entry.state = Helper::Error;
        table->Store(&entry, key.c_str());
        report.effect = SyncEffect::Error;
    }
    return true;
}

void CSyncDownload::StoreAs(CSyncEngine& engine, const std::wstring& key, uint32_t state)
{
    entry.state = state;
    if (std::shared_ptr<CSyncStateTable> table = engine.Table())
        table->Store(&entry, key.c_str());
}

bool CSyncDownload::DeleteLocally(CSyncEngine& engine, const Paths& paths)
{
    std::shared_ptr<CSyncStateTable> table = engine.Table();
    if (!table || !engine.IsRunning())
        return false;
    entry.state = Helper::Syncing;
    if (table->Find(paths.target_key.c_str()))
        table->Store(&entry, paths.target_key.c_str());
    if (IsLocalFolder(local)) {
        if (!DeleteFolderLocally(engine, *table, paths.target_key))
            return false;
    } else {
        if (!Helper::DeletePath(local_path))
            return false;
        table->Remove(paths.target_key.c_str());
    }
    report.effect = SyncEffect::DeletedHere;
    return true;
}

// The server deleted a folder. What this computer synced into it goes with
// it; what was added or changed here since stays, and the folder loses its
// record, so that the next scan finds a new folder and sends it and what it
// holds to the server again instead of the changes being lost.
bool CSyncDownload::DeleteFolderLocally(CSyncEngine& engine, CSyncStateTable& table, const std::wstring& key)
{
    const std::shared_ptr<Helper::CHandle> stop = engine.StopEvent();
    bool kept = false;
    if (!PruneSynced(table, key, local_path, StopHandle(stop), &kept))
        return false;
    if (!kept && !Helper::DeletePath(local_path))
        return false;
    table.Remove(key.c_str());
    return true;
}

bool CSyncDownload::RenameToServerName(CSyncEngine& engine, const Paths& paths)
{
    std::shared_ptr<CSyncStateTable> table = engine.Table();
    if (!table || !engine.IsRunning())
        return false;
    entry.state = Helper::Syncing;
    if (table->Find(paths.old_key.c_str()))
        table->Store(&entry, paths.old_key.c_str());

    // A name that differs only in letter case names the local item itself
    // on this file system; it must not be taken for another item and
    // deleted.
    if (_wcsicmp(local_path, paths.target) != 0) {
        WIN32_FIND_DATAW found;
        DWORD error = 0;
        if (Helper::FindItem(&found, paths.target, &error)) {
            bool done = false;
            if (!ClearTarget(engine, *table, paths, found, &done))
                return false;
            if (done)
                return true;
        } else if (!Helper::IsNotFoundError(error)) {
            return false;
        }
    }

    if (!Helper::MovePath(local_path, paths.target))
        return false;
    report.effect = SyncEffect::RenamedHere;
    report.old_key = paths.old_key;
    report.new_key = paths.target_key;
    if (table->Find(paths.old_key.c_str()))
        table->Rename(paths.old_key.c_str(), paths.target_key.c_str(), server.update_time);
    else
        table->Add(&entry, paths.target_key.c_str());

    DWORD error = 0;
    if (!Helper::FindItem(&local, paths.target, &error)) {
        table->Remove(paths.target_key.c_str());
        return true;
    }
    RefreshEntry(server, local, &entry);
    StoreAs(engine, paths.target_key, Helper::Synced);
    if (IsLocalFolder(local))
        engine.ScanFolder(paths.target);
    return true;
}

// The item found under the server's name before the rename. Equal to the
// server's entry, it is taken for the item (*done). Different, it goes only
// when it holds what this computer synced under that name; anything else
// (a new file, an edit, a folder) is kept in conflict with the server's
// entry (*done).
bool CSyncDownload::ClearTarget(CSyncEngine& engine, CSyncStateTable& table, const Paths& paths,
                                const WIN32_FIND_DATAW& found, bool* done)
{
    const std::shared_ptr<Helper::CHandle> stop = engine.StopEvent();
    switch (CompareOtherFile(server, found, paths.target, true, StopHandle(stop))) {
    case CompareEqual:
        CopyServerFields(server, &entry);
        entry.size = LocalSize(found);
        entry.local_modified = LocalTime(found);
        StoreAs(engine, paths.target_key, Helper::Synced);
        report.effect = SyncEffect::Agreed;
        *done = true;
        return true;
    case CompareDifferent:
        if (!HoldsSyncedContents(table, paths.target_key, found, paths.target, StopHandle(stop))) {
            *done = KeepBothInConflict(engine, table, paths, found);
            return *done;
        }
        if (!Helper::DeletePath(paths.target))
            return false;
        table.Remove(paths.target_key.c_str());
        return true;
    default:
        return false;
    }
}

// The server's entry is recorded under its name as a conflict with the
// local item there. The item under the old name has been carried to the new
// name on the server: a file holding the server's contents goes here too;
// anything else loses its record and goes up again as a new item.
bool CSyncDownload::KeepBothInConflict(CSyncEngine& engine, CSyncStateTable& table, const Paths& paths,
                                       const WIN32_FIND_DATAW& found)
{
    const std::shared_ptr<Helper::CHandle> stop = engine.StopEvent();
    const bool carried = !IsLocalFolder(local) &&
                         CompareOwnItem(server, local, local_path, digest, false, StopHandle(stop)) == CompareEqual;
    if (carried && !Helper::DeletePath(local_path))
        return false;
    table.Remove(paths.old_key.c_str());
    RefreshEntry(server, found, &entry);
    StoreAs(engine, paths.target_key, Helper::Conflict);
    report.effect = SyncEffect::Conflict;
    return true;
}

bool CSyncDownload::FetchIntoPlace(CSyncEngine& engine, const Paths& paths)
{
    std::shared_ptr<CSyncStateTable> table = engine.Table();
    if (!table || !engine.IsRunning())
        return false;
    const std::shared_ptr<Helper::CHandle> stop = engine.StopEvent();
    RefreshEntry(server, local, &entry);
    StoreAs(engine, paths.target_key, Helper::Syncing);

    WIN32_FIND_DATAW found;
    DWORD error = 0;
    if (Helper::FindItem(&found, paths.target, &error)) {
        const int compared = wcscmp(paths.target, local_path) == 0
                                 ? CompareOwnItem(server, found, paths.target, digest, true, StopHandle(stop))
                                 : CompareOtherFile(server, found, paths.target, true, StopHandle(stop));
        if (compared == CompareEqual) {
            entry.size = LocalSize(found);
            entry.local_modified = LocalTime(found);
            StoreAs(engine, paths.target_key, Helper::Synced);
            report.effect = SyncEffect::Agreed;
            return true;
        }
        if (compared != CompareDifferent)
            return false;
        const bool server_file = server.is_file == 1;
        if (server_file == IsLocalFolder(found) && !Helper::DeletePath(paths.target))
            return false;
    } else if (!Helper::IsNotFoundError(error)) {
        return false;
    }
    return server.is_file == 1 ? FetchFile(engine, paths, StopHandle(stop)) : FetchFolder(engine, paths);
}

bool CSyncDownload::FetchFile(CSyncEngine& engine, const Paths& paths, HANDLE stop_event)
{
    std::wstring address;
    if (!BuildDownloadAddress(server.url, Net::CurrentSession().session_key, &address))
        return false;
    wchar_t temp_path[kPathCapacity] = {};
    if (!Helper::CopyBounded(temp_path, paths.target) ||
        !Helper::AppendBounded(temp_path, kPathCapacity, Helper::kTempFileSuffix.data()))
        return false;

    // A complete earlier fetch is put in place without a new one; a fresh
    // fetch takes the real name only once it is complete and verified, so
    // an interrupted one never leaves a partial file there.
    WIN32_FIND_DATAW found;
    DWORD error = 0;
    const bool reusable = Helper::FindItem(&found, temp_path, &error) &&
                          CompareOtherFile(server, found, temp_path, false, stop_event) == CompareEqual;
    if (!reusable) {
        const DWORD fetching = GetTickCount();
        const bool fetched = HttpFetch(engine, temp_path, address);
        report.transfer_ms += GetTickCount() - fetching;
        if (!fetched)
            return false;
    }

    DeleteIfPresent(paths.target);
    if (!Helper::MovePath(temp_path, paths.target))
        return false;
    if (!Helper::FindItem(&local, paths.target, &error))
        return false;
    entry.size = LocalSize(local);
    if (entry.size != server.size)
        return false;
    entry.local_modified = LocalTime(local);
    StoreAs(engine, paths.target_key, Helper::Synced);
    report.effect = SyncEffect::Downloaded;
    return true;
}

bool CSyncDownload::FetchFolder(CSyncEngine& engine, const Paths& paths)
{
    const DWORD created = Helper::CreateDirectoryTree(paths.target);
    if (created == ERROR_FILENAME_EXCED_RANGE) {
        StoreAs(engine, paths.target_key, Helper::Error);
        report.effect = SyncEffect::Error;
        return true;
    }
    if (created != ERROR_SUCCESS)
        return false;
    DWORD error = 0;
    if (!Helper::FindItem(&local, paths.target, &error))
        return false;
    RefreshEntry(server, local, &entry);
    StoreAs(engine, paths.target_key, Helper::Synced);
    report.effect = SyncEffect::FolderCreatedHere;
    if (IsLocalFolder(local))
        engine.ScanFolder(paths.target);
    return true;
}

bool CSyncDownload::HttpFetch(CSyncEngine& engine, const wchar_t* temp_path, const std::wstring& address)
{
    if (!engine.IsRunning())
        return false;
    Helper::CInternetHandle session(InternetOpenW(nullptr, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    if (!session || !engine.IsRunning())
        return false;
    Helper::CInternetHandle request(OpenUrl(session.Get(), address));
    if (!request || !engine.IsRunning())
        return false;
    Helper::CFileHandle file(CreateFileW(temp_path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file)
        return false;

    DWORD status = 0;
    DWORD length = sizeof status;
    if (!HttpQueryInfoW(request.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &length, nullptr) ||
        status < 200 || status > 299)
        return false;
    Helper::Md5Context md5{};
    Helper::Md5Init(&md5);
    if (!ReadBody(engine, request.Get(), file.Get(), &md5))
        return false;
    // The fetched bytes are checked as they pass, so the temporary file
    // need not be read again before it takes the real name.
    if (!Helper::Md5Final(&md5))
        return false;
    Helper::DigestText fetched;
    Helper::FormatDigestHex(md5.digest, fetched);
    if (server.upload_offset == server.size && memcmp(fetched, server.md5, kDigestLength) == 0)
        return true;
    // Refused bytes do not stay in the sync folder.
    file.Reset();
    Helper::DeletePath(temp_path);
    return false;
}

bool CSyncDownload::ReadBody(CSyncEngine& engine, void* request, HANDLE file, Helper::Md5Context* md5)
{
    std::vector<uint8_t> buffer(kReadSize);
    // The fetch always starts at byte 0, and so does its progress.
    server.upload_offset = 0;
    while (engine.IsRunning()) {
        DWORD count = 0;
        bool read = false;
        {
            Helper::CTimeShareScope timing(Helper::TimeShare::NetworkWaits);
            read = InternetReadFile(request, buffer.data(), kReadSize, &count);
        }
        if (!read)
            return false;
        server.upload_offset += count;
        if (count == 0)
            return true;
        DWORD written = 0;
        if (!WriteFile(file, buffer.data(), count, &written, nullptr) || written != count)
            return false;
        Helper::Md5Update(md5, buffer.data(), count);
        report.bytes += count;
        DownloadMeter().Account(count);
        speed = meter.Account(count);
    }
    return false;
}

}  // namespace Sync
