// Reads and writes the values of the shared registry layout with its
// encoding rules: one accepted type per value (REG_SZ unless asked
// otherwise), strings stored without their terminator, at most capacity - 1
// units read and the result always terminated. A failed read leaves the
// caller's buffer as it was. The client, the overlay and the updater all
// read the layout through these.
#pragma once

#include <windows.h>

#include "common/registry_layout.h"

namespace Helper {

bool ReadRegString(HKEY root, const wchar_t* subkey, const wchar_t* value_name, wchar_t* buffer,
                   DWORD capacity, DWORD accepted_type = REG_SZ);
// 0 when the value is missing or not a REG_DWORD.
DWORD ReadRegDword(HKEY root, const wchar_t* subkey, const wchar_t* value_name);
LONG WriteRegString(HKEY root, const wchar_t* subkey, const wchar_t* value_name, const wchar_t* text,
                    DWORD type = REG_SZ);
LONG WriteRegDword(HKEY root, const wchar_t* subkey, const wchar_t* value_name, DWORD value);

// "Software\Tavo\Tessel\Users" and "Software\Tavo\Tessel\Users\<user>";
// false when the path had to be cut.
bool UsersKeyPath(wchar_t (&path)[kRegAccountKeyCapacity]);
bool AccountKeyPath(const wchar_t* user, wchar_t (&path)[kRegAccountKeyCapacity]);

// The values of one account under HKEY_CURRENT_USER.
bool ReadAccountFolder(const wchar_t* user, wchar_t (&folder)[kRegFolderCapacity]);
// "cMagic": exactly 32 characters, narrowed, terminated.
bool ReadStateDigest(const wchar_t* user, char (&digest)[33]);
LONG WriteStateDigest(const wchar_t* user, const char* digest32);
DWORD ReadAccountDword(const wchar_t* value_name, const wchar_t* user);
LONG WriteAccountDword(const wchar_t* value_name, const wchar_t* user, DWORD value);

}  // namespace Helper
