#include "common/tests/test_support.h"

#include <atomic>

#include "common/win_handle.h"

namespace Testing {

namespace {

constexpr DWORD kPollMs = 5;

}  // namespace

bool WaitFor(const std::function<bool()>& condition, DWORD timeout_ms)
{
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    while (!condition()) {
        if (GetTickCount64() > deadline)
            return false;
        Sleep(kPollMs);
    }
    return true;
}

std::wstring UniqueToken()
{
    static std::atomic<int> counter{0};
    return std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(GetTickCount64()) + L"_" +
           std::to_wstring(++counter);
}

CTempFolder::CTempFolder(const wchar_t* prefix)
{
    wchar_t temp[MAX_PATH];
    const DWORD length = GetTempPathW(MAX_PATH, temp);
    path_ = std::wstring(temp, length > 0 && length < MAX_PATH ? length : 0);
    if (!path_.empty() && path_.back() == L'\\')
        path_.pop_back();
    path_ += L"\\" + std::wstring(prefix) + L"-" + UniqueToken();
    CreateDirectoryW(path_.c_str(), nullptr);
}

CTempFolder::~CTempFolder() { RemoveTree(path_); }

void RemoveTree(const std::wstring& folder)
{
    WIN32_FIND_DATAW found;
    Helper::CFindHandle search(FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (search) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring full = folder + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(full);
            } else {
                SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(full.c_str());
            }
        } while (FindNextFileW(search.Get(), &found));
    }
    search.Reset();
    RemoveDirectoryW(folder.c_str());
}

bool ReadFileBytes(const std::wstring& path, std::string* bytes)
{
    Helper::CFileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
    if (!file)
        return false;
    bytes->clear();
    char chunk[65536];
    DWORD read = 0;
    while (ReadFile(file.Get(), chunk, sizeof(chunk), &read, nullptr) && read > 0)
        bytes->append(chunk, read);
    return true;
}

std::string ReadFileBytes(const std::wstring& path)
{
    std::string bytes;
    ReadFileBytes(path, &bytes);
    return bytes;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    Helper::CFileHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    DWORD written = 0;
    return WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

}  // namespace Testing
