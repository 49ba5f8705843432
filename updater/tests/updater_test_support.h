// What the updater's Windows tests share: the local HTTP server started by
// the test fixture, private temporary folders and registry roots, files and
// their MD5, manifests.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "common/tests/test_support.h"
#include "common/win_handle.h"

namespace Updater::Testing {

using ::Testing::FileExists;
using ::Testing::ReadFileBytes;
using ::Testing::UniqueToken;
using ::Testing::WaitFor;
using ::Testing::WriteFileBytes;

// Folder of the running test program, with a trailing backslash.
std::wstring TestDirectory();
std::string Md5HexOf(const std::string& bytes);

// The server that the ctest fixture keeps running for these tests.
class CTestServer {
public:
    // False when the fixture's server is not there.
    bool Connect();
    std::wstring Url(const std::wstring& path) const;
    // Puts a file under /files/<token>/<name>; returns its URL.
    std::wstring Publish(const std::wstring& token, const std::wstring& name, const std::string& bytes) const;
    // Requests the server has counted for path.
    int Hits(const std::wstring& path) const;

private:
    int port_ = 0;
    std::wstring root_;
};

// A private temporary folder, named as GetTempPathW names the temporary
// folder: with a trailing backslash.
class CScratchFolder {
public:
    const std::wstring& Path() const { return path_; }

private:
    ::Testing::CTempFolder folder_{L"tavo_updater"};
    std::wstring path_ = folder_.Path() + L"\\";
};

// Sets an environment variable of this process (and of the programs it
// starts) for the life of the object.
class CEnvironmentScope {
public:
    CEnvironmentScope(const wchar_t* name, const std::wstring& value);
    ~CEnvironmentScope();
    CEnvironmentScope(const CEnvironmentScope&) = delete;
    CEnvironmentScope& operator=(const CEnvironmentScope&) = delete;

private:
    std::wstring name_;
    std::wstring old_;
    bool had_old_ = false;
};

// A private key below HKEY_CURRENT_USER that stands in for it; holds the
// settings key with or without a "Version" value. Removed at the end.
class CRegistrySandbox {
public:
    CRegistrySandbox();
    ~CRegistrySandbox();
    CRegistrySandbox(const CRegistrySandbox&) = delete;
    CRegistrySandbox& operator=(const CRegistrySandbox&) = delete;

    bool SetVersion(const std::wstring& version, DWORD type = REG_SZ);
    // The key's path below HKEY_CURRENT_USER.
    const std::wstring& Root() const { return root_; }
    // Makes HKEY_CURRENT_USER of this process mean the sandbox until
    // EndRedirect (or destruction).
    bool Redirect();
    void EndRedirect();

private:
    std::wstring root_;
    Helper::CRegKey settings_;  // "Software\Tavo\Tessel" inside the sandbox
    bool redirected_ = false;
};

struct ManifestClient {
    std::string os;
    std::vector<std::string> texts;
};
std::string BuildManifest(const std::vector<ManifestClient>& clients);

std::string Narrow(const std::wstring& text);

}  // namespace Updater::Testing
