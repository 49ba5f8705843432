// What the updater's Windows tests share: the local HTTP server started by
// the test fixture, private temporary folders and registry roots, files and
// their MD5, manifests.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace Updater::Testing {

// Folder of the running test program, with a trailing backslash.
std::wstring TestDirectory();
// A name no other test or run uses.
std::wstring UniqueToken();

bool ReadFileBytes(const std::wstring& path, std::string* bytes);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);
std::string Md5HexOf(const std::string& bytes);

// The server that the ctest fixture keeps running for these tests.
class TestServer {
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

// A folder below the user's temporary folder, removed with its files.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    // With a trailing backslash.
    const std::wstring& Path() const { return path_; }

private:
    std::wstring path_;
};

// Sets an environment variable of this process (and of the programs it
// starts) for the life of the object.
class EnvironmentScope {
public:
    EnvironmentScope(const wchar_t* name, const std::wstring& value);
    ~EnvironmentScope();
    EnvironmentScope(const EnvironmentScope&) = delete;
    EnvironmentScope& operator=(const EnvironmentScope&) = delete;

private:
    std::wstring name_;
    std::wstring old_;
    bool had_old_ = false;
};

// A private key below HKEY_CURRENT_USER that stands in for it; holds the
// settings key with or without a "Version" value. Removed at the end.
class RegistrySandbox {
public:
    RegistrySandbox();
    ~RegistrySandbox();
    RegistrySandbox(const RegistrySandbox&) = delete;
    RegistrySandbox& operator=(const RegistrySandbox&) = delete;

    bool SetVersion(const std::wstring& version, DWORD type = REG_SZ);
    // The key's path below HKEY_CURRENT_USER.
    const std::wstring& Root() const { return root_; }
    // Makes HKEY_CURRENT_USER of this process mean the sandbox until
    // EndRedirect (or destruction).
    bool Redirect();
    void EndRedirect();

private:
    std::wstring root_;
    HKEY settings_ = nullptr;  // "Software\Tavo\Tessel" inside the sandbox
    bool redirected_ = false;
};

struct ManifestClient {
    std::string os;
    std::vector<std::string> texts;
};
std::string BuildManifest(const std::vector<ManifestClient>& clients);

std::string Narrow(const std::wstring& text);

}  // namespace Updater::Testing
