// The client's persistent settings: the current user's registry key, the
// autorun entry and the file type of the sync temporary files. Small
// synchronous wrappers without cache or lock, on the shared readers of
// common/registry_access.h (which also hold the per-account values the
// state table and the overlay read).
#pragma once

#include <windows.h>

#include "common/registry_layout.h"

namespace Helper {

bool CheckFirstRun();
DWORD ReadAutoUpdate();
LONG WriteAutoUpdate(DWORD value);

// Each value that cannot be read leaves its target as it was.
void LoadAccount(wchar_t (&user)[kRegUserCapacity], wchar_t (&credential)[kRegSessionIdCapacity],
                 wchar_t (&folder)[kRegFolderCapacity]);
void SaveAccount(const wchar_t* user, const wchar_t* credential, const wchar_t* folder);

bool IsAutorunEnabled();
void SetAutorun(bool enable);

void RegisterTempFileType();

}  // namespace Helper
