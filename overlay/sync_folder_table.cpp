#include "overlay/sync_folder_table.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>
#include <new>
#include <string>

#include "common/bounded_string.h"
#include "common/file_sync_state.h"
#include "common/registry_access.h"
#include "common/state_file_grammar.h"

namespace Glint {

namespace {

constexpr DWORD kAccountWindowMask = 0xFFFFFC00;
// Explorer waits for every answer; a state file this large is not parsed
// at all (no account comes near it: 10,000 items take about 2 MiB).
constexpr LONGLONG kMaxStateFileBytes = 64LL * 1024 * 1024;

bool SameTime(const FILETIME& a, const FILETIME& b) { return CompareFileTime(&a, &b) == 0; }

// The folder of one account, lower-cased and without a trailing backslash;
// empty when the value is missing, too long or not REG_SZ.
void ReadLoweredFolder(const wchar_t* user, wchar_t (&folder)[kFolderCapacity])
{
    folder[0] = L'\0';
    wchar_t data[kFolderCapacity] = {};
    if (!Helper::ReadAccountFolder(user, data))
        return;
    size_t length = 0;
    for (; data[length] != L'\0'; ++length)
        folder[length] = static_cast<wchar_t>(LowerAscii(static_cast<char16_t>(data[length])));
    if (length > 0 && folder[length - 1] == L'\\')
        --length;
    folder[length] = L'\0';
}

// Reads the whole file through the handle it is already open on. False
// when the bytes could not be read (a byte-range lock, a failing device):
// such a file is tried again at the next call. A file beyond the size
// limit reads as empty.
bool ReadStateFile(HANDLE file, std::string* bytes)
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size))
        return false;
    if (size.QuadPart > kMaxStateFileBytes)
        return true;
    bytes->resize(static_cast<size_t>(size.QuadPart));
    size_t filled = 0;
    while (filled < bytes->size()) {
        DWORD chunk = 0;
        DWORD wanted = static_cast<DWORD>(bytes->size() - filled);
        if (!ReadFile(file, &(*bytes)[filled], wanted, &chunk, nullptr))
            return false;
        if (chunk == 0)
            break;  // the writer truncated the file meanwhile
        filled += chunk;
    }
    bytes->resize(filled);
    return true;
}

}  // namespace

bool CSyncFolderTable::IsInSyncFolder(const wchar_t* path)
{
    Helper::CLockGuard lock(lock_);
    Refresh();
    return MatchingEntry(path) != nullptr;
}

int CSyncFolderTable::LookupState(const wchar_t* lowered_path)
{
    Helper::CLockGuard lock(lock_);
    Refresh();
    const SyncFolderEntry* entry = MatchingEntry(lowered_path);
    if (!entry)
        return Helper::Untracked;
    return Glint::LookupState(*entry->tree, reinterpret_cast<const char16_t*>(lowered_path), entry->folder_length);
}

const SyncFolderEntry* CSyncFolderTable::MatchingEntry(const wchar_t* path) const
{
    const char16_t* text = reinterpret_cast<const char16_t*>(path);
    for (const auto& entry : entries_) {
        std::u16string_view folder(reinterpret_cast<const char16_t*>(entry->folder), entry->folder_length);
        if (PathInFolder(text, folder))
            return entry.get();
    }
    return nullptr;
}

void CSyncFolderTable::Refresh()
{
    DWORD window = GetTickCount() & kAccountWindowMask;
    if (window != account_window_)
        RefreshAccounts(window);
    RefreshStateFiles();
}

void CSyncFolderTable::RefreshAccounts(DWORD window)
{
    wchar_t users_path[Helper::kRegAccountKeyCapacity];
    Helper::CRegKey users;
    if (!Helper::UsersKeyPath(users_path) ||
        RegOpenKeyExW(HKEY_CURRENT_USER, users_path, 0, KEY_ENUMERATE_SUB_KEYS, users.Receive()) != ERROR_SUCCESS)
        return;
    RefreshAppData();
    for (DWORD index = 0;; ++index) {
        wchar_t user[kUserNameCapacity];
        DWORD length = kUserNameCapacity;
        if (RegEnumKeyExW(users.Get(), index, user, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        wchar_t folder[kFolderCapacity];
        ReadLoweredFolder(user, folder);
        if (user[0] != L'\0' && PathFileExistsW(folder))
            AddOrUpdate(user, folder);
    }
    account_window_ = window;
}

void CSyncFolderTable::AddOrUpdate(const wchar_t* user, const wchar_t* folder)
{
    for (auto& entry : entries_) {
        if (std::wcscmp(entry->user, user) != 0)
            continue;
        if (std::wcscmp(entry->folder, folder) != 0) {
            Helper::CopyBounded(entry->folder, folder);
            entry->folder_length = static_cast<uint32_t>(std::wcslen(entry->folder));
        }
        return;
    }
    try {
        auto entry = std::make_unique<SyncFolderEntry>();
        Helper::CopyBounded(entry->user, user);
        Helper::CopyBounded(entry->folder, folder);
        entry->folder_length = static_cast<uint32_t>(std::wcslen(entry->folder));
        entry->tree = std::make_unique<CStateTree>();
        SetStateFilePath(entry.get());
        entries_.push_back(std::move(entry));
    } catch (const std::bad_alloc&) {
        // The account is picked up again in a later window.
    }
}

void CSyncFolderTable::RefreshAppData()
{
    // The folder cannot move while the user is logged on; asking the shell
    // costs more than a whole lookup, so it is asked once per window.
    if (!SHGetSpecialFolderPathW(nullptr, app_data_, CSIDL_APPDATA, FALSE))
        app_data_[0] = L'\0';
    for (auto& entry : entries_)
        SetStateFilePath(entry.get());
}

void CSyncFolderTable::SetStateFilePath(SyncFolderEntry* entry) const
{
    // A path that had to be cut would name some other file.
    if (app_data_[0] == L'\0' ||
        !Helper::FormatBounded(entry->state_file, kFolderCapacity, Helper::kStateFilePathFormat, app_data_,
                               entry->user))
        entry->state_file[0] = L'\0';
}

void CSyncFolderTable::RefreshStateFiles()
{
    if (app_data_[0] == L'\0')
        return;
    for (auto& entry : entries_)
        ReloadIfChanged(entry.get());
}

void CSyncFolderTable::ReloadIfChanged(SyncFolderEntry* entry)
{
    // The time comes from the file's attributes: opening the file on every
    // call would cost more than the whole lookup.
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    FILETIME written = {};
    if (entry->state_file[0] != L'\0' &&
        GetFileAttributesExW(entry->state_file, GetFileExInfoStandard, &attributes))
        written = attributes.ftLastWriteTime;
    if (SameTime(written, entry->state_file_time))
        return;

    try {
        auto tree = std::make_unique<CStateTree>();
        bool loaded = LoadStateFile(entry->state_file, written, tree.get());
        entry->tree = std::move(tree);
        entry->state_file_time = loaded ? written : FILETIME{};
    } catch (const std::bad_alloc&) {
        // The previous tree stays; the file is read again at the next call.
        entry->state_file_time = FILETIME{};
    }
}

bool CSyncFolderTable::LoadStateFile(const wchar_t* path, const FILETIME& written, CStateTree* tree)
{
    if (path[0] == L'\0' || (written.dwLowDateTime == 0 && written.dwHighDateTime == 0))
        return true;
    // Shared for writing and deleting too: the client may rewrite the file
    // at any moment, and we must neither wait for it nor stand in its way.
    Helper::CFileHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file)
        return false;
    std::string bytes;
    if (!ReadStateFile(file.Get(), &bytes))
        return false;
    LoadStateTree(bytes, tree);
    // A write that went on while we read leaves a torn picture: it counts
    // as not loaded, so that the next call reads the file again.
    FILETIME after = {};
    return GetFileTime(file.Get(), nullptr, nullptr, &after) && SameTime(after, written);
}

}  // namespace Glint
