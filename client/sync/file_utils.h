// File digests and the few file-system operations of the sync actions.
#pragma once

#include <windows.h>

#include "common/hex.h"
#include "common/win_handle.h"

namespace Helper {

using DigestText = char[kMd5HexLength + 1];

// MD5 of the file as 32 lower-case digits and a terminator. False when MD5
// is unavailable, the file cannot be opened or the client is shutting
// down; out is then left untouched.
bool FileDigest(const wchar_t* path, DigestText& out);
// The same, giving up as soon as stop_event is signalled.
bool FileDigestCancellable(const wchar_t* path, HANDLE stop_event, DigestText& out);

// Creates the folder and every missing parent. 0 on success (also when the
// path exists), otherwise the Win32 error; ERROR_FILENAME_EXCED_RANGE tells
// a path too long for the file system.
DWORD CreateDirectoryTree(const wchar_t* path);

// Through the shell's file operation, without confirmation, without any
// user interface and without the recycle bin; a folder goes with all it
// holds.
bool DeletePath(const wchar_t* path);
bool MovePath(const wchar_t* from, const wchar_t* to);

// True when the path does not exist or is a folder with nothing in it.
bool IsMissingOrEmptyFolder(const wchar_t* path);

// True when the path exists; find_data then describes it. Otherwise
// find_data is zeroed (the item is missing) and *error, when asked for,
// holds the reason.
bool FindItem(WIN32_FIND_DATAW* find_data, const wchar_t* path, DWORD* error = nullptr);
// The reasons that mean the item is not there (rather than unreadable).
inline bool IsNotFoundError(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

}  // namespace Helper
