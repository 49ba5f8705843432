#include "client/ui/folder_choice.h"

#include "client/ui/wizard_rules.h"
#include "common/win_handle.h"

#include <objbase.h>
#include <shlobj.h>

#include <string>

namespace GUI {

namespace {

constexpr size_t kBoxTextCapacity = 512;

bool IsFolder(const wchar_t* path)
{
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// "X:\" and more: a path the client can keep as its sync folder.
bool HasDriveRoot(const std::wstring& path)
{
    return path.size() >= 3 && iswalpha(path[0]) && path[1] == L':' && path[2] == L'\\';
}

// A level that already exists counts as made only when it is a folder: a
// file of that name cannot hold the sync folder.
bool MakeLevel(const std::wstring& level)
{
    if (CreateDirectoryW(level.c_str(), nullptr))
        return true;
    return GetLastError() == ERROR_ALREADY_EXISTS && IsFolder(level.c_str());
}

// Folder browsing needs COM on the calling thread; the wizard may run on
// a thread that has not started it.
class CComScope {
public:
    CComScope() : started_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
    ~CComScope()
    {
        if (started_)
            CoUninitialize();
    }
    CComScope(const CComScope&) = delete;
    CComScope& operator=(const CComScope&) = delete;

private:
    bool started_;
};

}  // namespace

bool PickSyncFolder(HWND owner, const wchar_t* user, wchar_t (&folder)[Helper::kPathCapacity])
{
    CComScope com;
    BROWSEINFOW info = {};
    info.hwndOwner = owner;
    info.lpszTitle = L"选择Tessel文件夹";
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_DONTGOBELOWDOMAIN | BIF_EDITBOX | BIF_NEWDIALOGSTYLE;
    PIDLIST_ABSOLUTE picked = SHBrowseForFolderW(&info);
    if (!picked)
        return false;
    wchar_t path[MAX_PATH] = {};
    bool is_folder = SHGetPathFromIDListW(picked, path) != FALSE;
    CoTaskMemFree(picked);
    if (!is_folder)
        return false;
    std::wstring user_name(user);
    std::wstring picked_path(path);
    auto result = FolderForPickedPath(std::u16string(picked_path.begin(), picked_path.end()),
                                      std::u16string(user_name.begin(), user_name.end()));
    if (!result)
        return false;
    Helper::CopyBounded(folder, std::wstring(result->begin(), result->end()).c_str());
    return true;
}

bool MakeFolderTree(const wchar_t* path)
{
    std::wstring full(path);
    if (!HasDriveRoot(full))
        return false;
    for (size_t at = full.find(L'\\', 3); at != std::wstring::npos; at = full.find(L'\\', at + 1)) {
        if (!MakeLevel(full.substr(0, at)))
            return false;
    }
    return IsFolder(full.c_str()) || MakeLevel(full);
}

bool IsEmptyFolder(const wchar_t* path)
{
    if (!IsFolder(path))
        return false;
    std::wstring pattern(path);
    if (!pattern.empty() && pattern.back() != L'\\')
        pattern += L'\\';
    pattern += L'*';
    WIN32_FIND_DATAW entry;
    Helper::CFindHandle find(FindFirstFileW(pattern.c_str(), &entry));
    if (!find)
        return true;
    do {
        if (wcscmp(entry.cFileName, L".") != 0 && wcscmp(entry.cFileName, L"..") != 0)
            return false;
    } while (FindNextFileW(find.Get(), &entry));
    return true;
}

bool IsSameFolder(const wchar_t* a, const wchar_t* b)
{
    return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

FolderCheck CheckChosenFolder(HWND owner, const wchar_t* path, const wchar_t* current_folder)
{
    if (!MakeFolderTree(path)) {
        wchar_t text[kBoxTextCapacity];
        Helper::FormatBounded(text, kBoxTextCapacity, L"无法创建文件夹“%s”，请更换一个新的Tessel文件夹", path);
        MessageBoxW(owner, text, L"TavoTessel - 无法创建文件夹", MB_OK | MB_ICONINFORMATION);
        return FolderCheck::NotMade;
    }
    if (AsksAboutNonEmptyFolder(IsSameFolder(path, current_folder), IsEmptyFolder(path)) &&
        MessageBoxW(owner, L"目标文件夹非空，同名文件将被覆盖，是否继续？", L"TavoTessel - 文件夹选择",
                    MB_YESNO | MB_ICONQUESTION) != IDYES)
        return FolderCheck::Declined;
    return FolderCheck::Accepted;
}

}  // namespace GUI
