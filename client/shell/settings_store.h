// The client's persistent settings: the current user's registry key, the
// autorun entry and the file type of the sync temporary files. Small
// synchronous wrappers without cache or lock.
#pragma once

#include <windows.h>

namespace Helper {

bool CheckFirstRun();
DWORD ReadAutoUpdate();
LONG WriteAutoUpdate(DWORD value);

// Each value that cannot be read leaves its target as it was. Buffers have
// the capacities 32, 64 and 260.
void LoadAccount(wchar_t (&user)[32], wchar_t (&credential)[64], wchar_t (&folder)[260]);
void SaveAccount(const wchar_t* user, const wchar_t* credential, const wchar_t* folder);
bool ReadAccountFolder(const wchar_t* user, wchar_t (&folder)[260]);

// "cMagic": exactly 32 characters, narrowed, terminated.
bool ReadStateDigest(const wchar_t* user, char (&digest)[33]);
LONG WriteStateDigest(const wchar_t* user, const char* digest32);

DWORD ReadAccountDword(const wchar_t* value_name, const wchar_t* user);
LONG WriteAccountDword(const wchar_t* value_name, const wchar_t* user, DWORD value);

bool IsAutorunEnabled();
void SetAutorun(bool enable);

void RegisterTempFileType();

// Low-level readers shared by the operations above, with the layout's
// encoding rules: one accepted type (REG_SZ unless asked otherwise), at most capacity - 1 units asked for, the
// result terminated by the reader; a failed read leaves the buffer as it was.
bool ReadRegString(HKEY root, const wchar_t* subkey, const wchar_t* value_name, wchar_t* buffer,
                   DWORD capacity, DWORD accepted_type = REG_SZ);
DWORD ReadRegDword(HKEY root, const wchar_t* subkey, const wchar_t* value_name);
// Strings are stored without their terminator.
LONG WriteRegString(HKEY root, const wchar_t* subkey, const wchar_t* value_name, const wchar_t* text,
                    DWORD type = REG_SZ);
LONG WriteRegDword(HKEY root, const wchar_t* subkey, const wchar_t* value_name, DWORD value);

}  // namespace Helper
