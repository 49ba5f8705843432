#include "crashrpt/report_folder.h"

#include <shlobj.h>

#include <algorithm>
#include <cwchar>

#include "common/bounded_string.h"
#include "common/win_handle.h"

namespace CrashRpt {

namespace {

constexpr wchar_t kPartialSuffix[] = L".tmp";
constexpr size_t kPartialSuffixLength = 4;
constexpr const wchar_t* kRootParts[] = {L"Tavo", L"Tessel", L"CrashReports"};

bool IsDotName(const wchar_t* name)
{
    return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0;
}

bool IsPartialName(const std::wstring& name)
{
    return name.size() > kPartialSuffixLength &&
           name.compare(name.size() - kPartialSuffixLength, kPartialSuffixLength, kPartialSuffix) == 0;
}

bool IsMarkerOrLock(const wchar_t* name)
{
    return _wcsicmp(name, kSentMarker) == 0 || _wcsicmp(name, kRefusedMarker) == 0 || _wcsicmp(name, kSendLock) == 0;
}

// Names of the entries of folder that are folders (want_folders) or files.
std::vector<std::wstring> ListEntries(const wchar_t* folder, bool want_folders)
{
    std::vector<std::wstring> names;
    wchar_t pattern[kPathCapacity];
    if (!JoinPath(pattern, folder, L"*"))
        return names;
    WIN32_FIND_DATAW found;
    Helper::CFindHandle find(FindFirstFileW(pattern, &found));
    if (!find)
        return names;
    do {
        const bool is_folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (is_folder == want_folders && !IsDotName(found.cFileName))
            names.emplace_back(found.cFileName);
    } while (FindNextFileW(find.Get(), &found));
    std::sort(names.begin(), names.end());
    return names;
}

// The process id in a partial folder's name, 0 when there is none.
DWORD ProcessOfPartial(const std::wstring& name)
{
    const size_t dash = name.rfind(L'-');
    if (dash == std::wstring::npos)
        return 0;
    return static_cast<DWORD>(wcstoul(name.c_str() + dash + 1, nullptr, 10));
}

// A process that cannot be looked at counts as running: its folder waits.
bool ProcessRuns(DWORD process_id)
{
    if (process_id == 0)
        return false;
    Helper::CHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id));
    if (!process)
        return GetLastError() != ERROR_INVALID_PARAMETER;
    DWORD code = 0;
    return !GetExitCodeProcess(process.Get(), &code) || code == STILL_ACTIVE;
}

}  // namespace

bool JoinPath(wchar_t (&out)[kPathCapacity], const wchar_t* folder, const wchar_t* name)
{
    return Helper::FormatBounded(out, kPathCapacity, L"%s\\%s", folder, name);
}

bool OpenReportRoot(wchar_t (&root)[kPathCapacity])
{
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, root)))
        return false;
    for (const wchar_t* part : kRootParts) {
        wchar_t next[kPathCapacity];
        if (!JoinPath(next, root, part))
            return false;
        if (!CreateDirectoryW(next, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
        Helper::CopyBounded(root, next);
    }
    return true;
}

bool CreatePartialFolder(const wchar_t* root, const SYSTEMTIME& time, DWORD process_id,
                         wchar_t (&folder)[kPathCapacity])
{
    wchar_t name[64];
    Helper::FormatBounded(name, 64, L"%04u%02u%02u-%02u%02u%02u-%lu%s", time.wYear, time.wMonth, time.wDay,
                          time.wHour, time.wMinute, time.wSecond, process_id, kPartialSuffix);
    return JoinPath(folder, root, name) && CreateDirectoryW(folder, nullptr);
}

bool FinishFolder(wchar_t (&folder)[kPathCapacity])
{
    wchar_t final_name[kPathCapacity];
    const size_t length = wcslen(folder);
    if (length <= kPartialSuffixLength)
        return false;
    Helper::CopyBounded(final_name, kPathCapacity, folder, length - kPartialSuffixLength);
    if (!MoveFileW(folder, final_name))
        return false;
    Helper::CopyBounded(folder, final_name);
    return true;
}

std::vector<std::wstring> PendingReports(const wchar_t* root)
{
    std::vector<std::wstring> pending;
    for (const std::wstring& name : ListEntries(root, true)) {
        wchar_t folder[kPathCapacity];
        if (!JoinPath(folder, root, name.c_str()))
            continue;
        if (IsPartialName(name) && (ProcessRuns(ProcessOfPartial(name)) || !FinishFolder(folder)))
            continue;
        if (!HasMarker(folder, kSentMarker) && !HasMarker(folder, kRefusedMarker))
            pending.emplace_back(folder);
    }
    std::sort(pending.begin(), pending.end());
    return pending;
}

void PruneReports(const wchar_t* root)
{
    const std::vector<std::wstring> names = ListEntries(root, true);
    for (size_t i = 0; i + kMaxKeptReports < names.size(); ++i) {
        wchar_t folder[kPathCapacity];
        if (JoinPath(folder, root, names[i].c_str()))
            DeleteReportFolder(folder);
    }
}

std::vector<std::wstring> ReportFiles(const wchar_t* folder)
{
    std::vector<std::wstring> files = ListEntries(folder, false);
    files.erase(std::remove_if(files.begin(), files.end(),
                               [](const std::wstring& name) { return IsMarkerOrLock(name.c_str()); }),
                files.end());
    return files;
}

bool MarkReport(const wchar_t* folder, const wchar_t* marker)
{
    wchar_t path[kPathCapacity];
    if (!JoinPath(path, folder, marker))
        return false;
    Helper::CFileHandle file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    return static_cast<bool>(file);
}

bool HasMarker(const wchar_t* folder, const wchar_t* marker)
{
    wchar_t path[kPathCapacity];
    return JoinPath(path, folder, marker) && GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

void DeleteReportFolder(const wchar_t* folder)
{
    for (const std::wstring& name : ListEntries(folder, false)) {
        wchar_t path[kPathCapacity];
        if (JoinPath(path, folder, name.c_str()))
            DeleteFileW(path);
    }
    RemoveDirectoryW(folder);
}

}  // namespace CrashRpt
