#include "client/sync/file_utils.h"

#include <shellapi.h>
#include <shlwapi.h>

#include <cwchar>
#include <string>
#include <vector>

#include "client/net/app_host.h"
#include "common/bounded_string.h"
#include "common/md5.h"
#include "common/time_share.h"

namespace Helper {

namespace {

constexpr DWORD kDigestBlockSize = 32768;
constexpr size_t kShellPathCapacity = kPathCapacity;

bool Stopped(HANDLE stop_event)
{
    return stop_event != nullptr && WaitForSingleObject(stop_event, 0) == WAIT_OBJECT_0;
}

bool Digest(const wchar_t* path, HANDLE stop_event, DigestText& out)
{
    if (!Md5Available() || path == nullptr || Stopped(stop_event))
        return false;
    CTimeShareScope timing(TimeShare::Digests);
    CFileHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_ARCHIVE, nullptr));
    if (!file.Valid() || Stopped(stop_event))
        return false;

    std::vector<unsigned char> block(kDigestBlockSize);
    Md5Context context{};
    Md5Init(&context);
    for (;;) {
        if (AppAborting() || Stopped(stop_event))
            return false;
        DWORD read = 0;
        // A failed read ends the input like the end of the file.
        if (!ReadFile(file.Get(), block.data(), kDigestBlockSize, &read, nullptr) || read == 0)
            break;
        Md5Update(&context, block.data(), read);
    }
    if (AppAborting() || Stopped(stop_event))
        return false;
    if (!Md5Final(&context))
        return false;
    FormatDigestHex(context.digest, out);
    return true;
}

// The shell's source and target lists end with two zero characters.
bool ShellOperation(UINT operation, const wchar_t* from, const wchar_t* to)
{
    if (from == nullptr || from[0] == L'\0')
        return false;
    const size_t from_length = wcslen(from);
    const size_t to_length = to ? wcslen(to) : 0;
    if (from_length >= kShellPathCapacity || to_length >= kShellPathCapacity)
        return false;
    wchar_t source[kShellPathCapacity + 1] = {};
    wchar_t target[kShellPathCapacity + 1] = {};
    wmemcpy(source, from, from_length);
    if (to != nullptr)
        wmemcpy(target, to, to_length);

    SHFILEOPSTRUCTW op{};
    op.wFunc = operation;
    op.pFrom = source;
    op.pTo = to ? target : nullptr;
    // No error dialog either: these run on the engine's worker threads, where a
    // message box would hold the queue until someone clicks it.
    op.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
    return SHFileOperationW(&op) == 0 && !op.fAnyOperationsAborted;
}

// Wine's shell and file system both report success for a rename that only
// changes the letter case and leave the old name in place; going through a
// second name does it everywhere.
bool RenameLetterCase(const wchar_t* from, const wchar_t* to)
{
    wchar_t step[kShellPathCapacity];
    if (!FormatBounded(step, kShellPathCapacity, L"%s.%lu~", from, GetCurrentThreadId()))
        return false;
    if (!MoveFileExW(from, step, 0))
        return false;
    if (MoveFileExW(step, to, 0))
        return true;
    MoveFileExW(step, from, 0);
    return false;
}

}  // namespace

bool FileDigest(const wchar_t* path, DigestText& out)
{
    DigestText digest;
    if (!Digest(path, nullptr, digest))
        return false;
    memcpy(out, digest, sizeof(digest));
    return true;
}

bool FileDigestCancellable(const wchar_t* path, HANDLE stop_event, DigestText& out)
{
    DigestText digest;
    if (!Digest(path, stop_event, digest))
        return false;
    memcpy(out, digest, sizeof(digest));
    return true;
}

DWORD CreateDirectoryTree(const wchar_t* path)
{
    if (path == nullptr || PathFileExistsW(path))
        return 0;
    const wchar_t* last = wcsrchr(path, L'\\');
    if (last == nullptr)
        return 0;
    const size_t parent_length = static_cast<size_t>(last - path);
    if (parent_length >= kShellPathCapacity)
        return ERROR_FILENAME_EXCED_RANGE;
    const std::wstring parent(path, parent_length);
    const DWORD parent_result = CreateDirectoryTree(parent.c_str());
    if (parent_result != 0)
        return parent_result;
    if (CreateDirectoryW(path, nullptr))
        return 0;
    const DWORD error = GetLastError();
    return error == ERROR_ALREADY_EXISTS ? 0 : error;
}

bool DeletePath(const wchar_t* path) { return ShellOperation(FO_DELETE, path, nullptr); }

bool MovePath(const wchar_t* from, const wchar_t* to)
{
    if (to == nullptr || to[0] == L'\0')
        return false;
    if (from != nullptr && _wcsicmp(from, to) == 0 && wcscmp(from, to) != 0)
        return RenameLetterCase(from, to);
    return ShellOperation(FO_RENAME, from, to);
}

bool IsMissingOrEmptyFolder(const wchar_t* path)
{
    WIN32_FIND_DATAW data;
    if (!FindItem(&data, path))
        return true;
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    const std::wstring pattern = std::wstring(path) + L"\\*";
    CFindHandle find(FindFirstFileW(pattern.c_str(), &data));
    if (!find.Valid())
        return true;
    do {
        if (wcscmp(data.cFileName, L".") != 0 && wcscmp(data.cFileName, L"..") != 0)
            return false;
    } while (FindNextFileW(find.Get(), &data));
    return true;
}

bool FindItem(WIN32_FIND_DATAW* find_data, const wchar_t* path, DWORD* error)
{
    if (find_data == nullptr)
        return false;
    WIN32_FIND_DATAW found{};
    const bool named = path != nullptr && path[0] != L'\0';
    CFindHandle find(named ? FindFirstFileW(path, &found) : INVALID_HANDLE_VALUE);
    const DWORD reason = !named ? ERROR_INVALID_PARAMETER : find.Valid() ? ERROR_SUCCESS : GetLastError();
    if (error != nullptr)
        *error = reason;
    *find_data = find.Valid() ? found : WIN32_FIND_DATAW{};
    return find.Valid();
}

}  // namespace Helper
