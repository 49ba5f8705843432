#pragma once

#include <string>

#include "common/sync_entry.h"

namespace StateTest {

// A fresh folder below the temporary directory, removed with its files by
// the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::wstring& path() const { return path_; }
    std::wstring File(const wchar_t* name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

Sync::SyncEntry MakeFile(int id, const char* md5 = "0123456789abcdef0123456789abcdef");
Sync::SyncEntry MakeFolder(int id);

std::string ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::string& bytes);

}  // namespace StateTest
