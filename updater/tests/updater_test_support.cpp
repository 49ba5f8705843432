#include "updater/tests/updater_test_support.h"

#include <wininet.h>

#include <atomic>
#include <cstdlib>
#include <cwchar>

#include "common/md5.h"

namespace Updater::Testing {

namespace {

constexpr wchar_t kSandboxParent[] = L"Software\\TavoUpdaterTest";

std::string HttpGet(const std::wstring& url)
{
    std::string body;
    Helper::CInternetHandle session(InternetOpenW(nullptr, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    if (!session)
        return body;
    Helper::CInternetHandle request(
        InternetOpenUrlW(session.Get(), url.c_str(), nullptr, 0, INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_UI, 0));
    char chunk[4096];
    DWORD read = 0;
    while (request && InternetReadFile(request.Get(), chunk, sizeof(chunk), &read) && read > 0)
        body.append(chunk, read);
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

bool CTestServer::Connect()
{
    const std::wstring state = TestDirectory() + L"updater_http\\";
    std::string port;
    if (!ReadFileBytes(state + L"port", &port))
        return false;
    port_ = std::atoi(port.c_str());
    root_ = state + L"root\\";
    return port_ > 0;
}

std::wstring CTestServer::Url(const std::wstring& path) const
{
    return L"http://127.0.0.1:" + std::to_wstring(port_) + path;
}

std::wstring CTestServer::Publish(const std::wstring& token, const std::wstring& name, const std::string& bytes) const
{
    CreateDirectoryW((root_ + token).c_str(), nullptr);
    WriteFileBytes(root_ + token + L"\\" + name, bytes);
    return Url(L"/files/" + token + L"/" + name);
}

int CTestServer::Hits(const std::wstring& path) const
{
    return std::atoi(HttpGet(Url(L"/hits" + path)).c_str());
}

CEnvironmentScope::CEnvironmentScope(const wchar_t* name, const std::wstring& value) : name_(name)
{
    wchar_t old[32768];
    DWORD length = GetEnvironmentVariableW(name, old, 32768);
    had_old_ = length > 0 && length < 32768;
    if (had_old_)
        old_.assign(old, length);
    SetEnvironmentVariableW(name, value.c_str());
}

CEnvironmentScope::~CEnvironmentScope()
{
    SetEnvironmentVariableW(name_.c_str(), had_old_ ? old_.c_str() : nullptr);
}

CRegistrySandbox::CRegistrySandbox() : root_(std::wstring(kSandboxParent) + L"\\" + UniqueToken())
{
    RegCreateKeyExW(HKEY_CURRENT_USER, (root_ + L"\\Software\\Tavo\\Tessel").c_str(), 0, nullptr, 0,
                    KEY_ALL_ACCESS, nullptr, settings_.Receive(), nullptr);
}

CRegistrySandbox::~CRegistrySandbox()
{
    EndRedirect();
    settings_.Reset();
    RegDeleteTreeW(HKEY_CURRENT_USER, root_.c_str());
}

bool CRegistrySandbox::SetVersion(const std::wstring& version, DWORD type)
{
    return settings_ &&
           RegSetValueExW(settings_.Get(), L"Version", 0, type, reinterpret_cast<const BYTE*>(version.c_str()),
                          static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool CRegistrySandbox::Redirect()
{
    Helper::CRegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, root_.c_str(), 0, KEY_ALL_ACCESS, key.Receive()) != ERROR_SUCCESS)
        return false;
    redirected_ = RegOverridePredefKey(HKEY_CURRENT_USER, key.Get()) == ERROR_SUCCESS;
    return redirected_;
}

void CRegistrySandbox::EndRedirect()
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
