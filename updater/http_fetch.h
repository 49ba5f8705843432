// HTTP for the update check: a reachability probe bounded in time and the
// download of one URL into a file.
#pragma once

#include <windows.h>

namespace Updater {

constexpr DWORD kProbeTimeoutMs = 3000;
constexpr DWORD kTransferChunkBytes = 32768;

// The HTTP status the server answers for url, or 0 when no answer came
// within timeout_ms. The probe runs on its own thread, which is killed when
// it overstays: a hung connection must not hold up the updater.
DWORD ProbeHttpStatus(const wchar_t* url, DWORD timeout_ms);

// Success or "not modified".
bool IsReachableStatus(DWORD status);

// Saves the response body for url as folder + name, replacing any file of
// that name. The HTTP status is not looked at: an error page is saved like
// any body and fails the caller's verification. False when the session,
// the URL or the file cannot be opened, when the local path or the URL
// does not fit its buffer, or when writing the file fails.
bool DownloadToFolder(const wchar_t* url, const wchar_t* folder, const wchar_t* name);

}  // namespace Updater
