#include "updater/tests/updater_test_support.h"

#include <wininet.h>

#include <atomic>
#include <cstdlib>
#include <cwchar>

#include "common/md5.h"

namespace Updater::Testing {

namespace {

constexpr wchar_t kSandboxParent[] = L"Software\\TavoUpdaterTest";

void RemoveTree(const std::wstring& folder)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring full = folder + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(full + L"\\");
            else
                DeleteFileW(full.c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

std::string HttpGet(const std::wstring& url)
{
    std::string body;
    HINTERNET session = InternetOpenW(nullptr, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    if (session == nullptr)
        return body;
    HINTERNET request = InternetOpenUrlW(session, url.c_str(), nullptr, 0, INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_UI, 0);
    if (request != nullptr) {
        char chunk[4096];
        DWORD read = 0;
        while (InternetReadFile(request, chunk, sizeof(chunk), &read) && read > 0)
            body.append(chunk, read);
        InternetCloseHandle(request);
    }
    InternetCloseHandle(session);
    return body;
}

}  // namespace

std::wstring TestDirectory()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring full(path, length);
    return full.substr(0, full.find_last_of(L'\\') + 1);
}

std::wstring UniqueToken()
{
    static std::atomic<int> counter{0};
    return L"t" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(GetTickCount64()) + L"_" +
           std::to_wstring(++counter);
}

bool ReadFileBytes(const std::wstring& path, std::string* bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bytes->clear();
    char chunk[65536];
    DWORD read = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read > 0)
        bytes->append(chunk, read);
    CloseHandle(file);
    return true;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

bool FileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string Md5HexOf(const std::string& bytes)
{
    char hex[Helper::kMd5HexLength + 1] = {};
    Helper::Md5Hex(bytes.data(), bytes.size(), hex);
    return hex;
}

std::string Narrow(const std::wstring& text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

bool TestServer::Connect()
{
    const std::wstring state = TestDirectory() + L"updater_http\\";
    std::string port;
    if (!ReadFileBytes(state + L"port", &port))
        return false;
    port_ = std::atoi(port.c_str());
    root_ = state + L"root\\";
    return port_ > 0;
}

std::wstring TestServer::Url(const std::wstring& path) const
{
    return L"http://127.0.0.1:" + std::to_wstring(port_) + path;
}

std::wstring TestServer::Publish(const std::wstring& token, const std::wstring& name, const std::string& bytes) const
{
    CreateDirectoryW((root_ + token).c_str(), nullptr);
    WriteFileBytes(root_ + token + L"\\" + name, bytes);
    return Url(L"/files/" + token + L"/" + name);
}

int TestServer::Hits(const std::wstring& path) const
{
    return std::atoi(HttpGet(Url(L"/hits" + path)).c_str());
}

ScratchFolder::ScratchFolder()
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    path_ = std::wstring(temp) + L"tavo_updater_" + UniqueToken() + L"\\";
    CreateDirectoryW(path_.c_str(), nullptr);
}

ScratchFolder::~ScratchFolder() { RemoveTree(path_); }

EnvironmentScope::EnvironmentScope(const wchar_t* name, const std::wstring& value) : name_(name)
{
    wchar_t old[32768];
    DWORD length = GetEnvironmentVariableW(name, old, 32768);
    had_old_ = length > 0 && length < 32768;
    if (had_old_)
        old_.assign(old, length);
    SetEnvironmentVariableW(name, value.c_str());
}

EnvironmentScope::~EnvironmentScope()
{
    SetEnvironmentVariableW(name_.c_str(), had_old_ ? old_.c_str() : nullptr);
}

RegistrySandbox::RegistrySandbox() : root_(std::wstring(kSandboxParent) + L"\\" + UniqueToken())
{
    RegCreateKeyExW(HKEY_CURRENT_USER, (root_ + L"\\Software\\Tavo\\Tessel").c_str(), 0, nullptr, 0,
                    KEY_ALL_ACCESS, nullptr, &settings_, nullptr);
}

RegistrySandbox::~RegistrySandbox()
{
    EndRedirect();
    if (settings_ != nullptr)
        RegCloseKey(settings_);
    RegDeleteTreeW(HKEY_CURRENT_USER, root_.c_str());
}

bool RegistrySandbox::SetVersion(const std::wstring& version, DWORD type)
{
    return settings_ != nullptr &&
           RegSetValueExW(settings_, L"Version", 0, type, reinterpret_cast<const BYTE*>(version.c_str()),
                          static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool RegistrySandbox::Redirect()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, root_.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return false;
    redirected_ = RegOverridePredefKey(HKEY_CURRENT_USER, key) == ERROR_SUCCESS;
    RegCloseKey(key);
    return redirected_;
}

void RegistrySandbox::EndRedirect()
{
    if (redirected_)
        RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    redirected_ = false;
}

std::string BuildManifest(const std::vector<ManifestClient>& clients)
{
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<tessel>\n";
    for (const ManifestClient& client : clients) {
        xml += "  <client os=\"" + client.os + "\">\n";
        for (const std::string& text : client.texts)
            xml += "    <item>" + text + "</item>\n";
        xml += "  </client>\n";
    }
    return xml + "</tessel>\n";
}

}  // namespace Updater::Testing
