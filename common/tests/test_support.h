// What the Windows tests of every program share: waiting for a condition
// with a deadline, private temporary folders, and whole-file reads and
// writes.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace Testing {

// Polls the condition until it holds (true) or the time is up (false).
bool WaitFor(const std::function<bool()>& condition, DWORD timeout_ms = 10000);

// A name no other test or run uses.
std::wstring UniqueToken();

// A fresh folder below the temporary directory, removed with everything in
// it by the destructor.
class CTempFolder {
public:
    explicit CTempFolder(const wchar_t* prefix = L"tavo");
    ~CTempFolder();
    CTempFolder(const CTempFolder&) = delete;
    CTempFolder& operator=(const CTempFolder&) = delete;

    // Without a trailing backslash.
    const std::wstring& Path() const { return path_; }
    std::wstring operator/(const std::wstring& relative) const { return path_ + L"\\" + relative; }

private:
    std::wstring path_;
};

// Deletes the folder with everything in it.
void RemoveTree(const std::wstring& folder);

bool ReadFileBytes(const std::wstring& path, std::string* bytes);
// The file's bytes; empty when it cannot be read.
std::string ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);

}  // namespace Testing
