// The updater's run: one instance at a time, one update check, one notice
// to the client's tray window, and the silent installer start when a
// verified package is ready.
#pragma once

#include <windows.h>

namespace Updater {

constexpr wchar_t kUpdaterMutexName[] = L"TavoTesselUpdate.exe";

constexpr DWORD kInstallerDelayMs = 3000;
constexpr wchar_t kInstallerSwitches[] = L"/SILENT  /VERYSILENT /NORESTART /SUPPRESSMSGBOXES";

// The whole run against the manifest at manifest_url. Returns the process
// exit code, which is always 0: the client learns the outcome only from the
// notice.
int RunUpdater(const wchar_t* manifest_url);

}  // namespace Updater
