// What the whole-program scenarios of the tray program share: the program
// under test with its tray probe, requests to the host side of the run
// (the reference server, which lives outside Wine), and the registry the
// program starts from. The scenarios run inside the Wine desktop the
// program shows its icon in, in a prefix of their own.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "client/shell/tests/tray_probe_reader.h"

namespace TrayTest {

// Application states as the probe records them.
constexpr int kStateNotBound = 1;
constexpr int kStateSynced = 2;
constexpr int kStateSyncing = 3;
constexpr int kStateOffline = 4;
constexpr int kStateSigningOn = 5;
constexpr int kStateCredentialsRejected = 6;
constexpr int kStateFolderMissing = 7;

// Waits of the scenarios: a sign-on against the local server, a window.
constexpr DWORD kSignOnMs = 60000;
constexpr DWORD kWindowMs = 20000;

// Synced with the demo account's quota of 1 GB.
bool IsSyncedRecord(const Helper::TrayProbeRecord& record);

// A visible top-level window of the process whose title begins with
// `title`; null when none came in time.
HWND WaitForWindowTitled(DWORD process_id, const std::wstring& title, DWORD timeout_ms = kWindowMs);
// Opens the tray menu as a right click on the icon does and chooses the
// item of that key (its underlined letter).
bool ChooseFromTrayMenu(HWND tray, UINT key);

// TavoTessel.exe started from the path the run names, with the probe on.
class CTrayProgram {
public:
    CTrayProgram() = default;
    ~CTrayProgram();
    CTrayProgram(const CTrayProgram&) = delete;
    CTrayProgram& operator=(const CTrayProgram&) = delete;

    bool Start();
    HANDLE Process() const { return process_; }
    DWORD Id() const { return id_; }
    bool WaitForExit(DWORD timeout_ms, DWORD* exit_code);
    // The tray window of the running instance.
    HWND WaitForTrayWindow(DWORD timeout_ms) const;

private:
    HANDLE process_ = nullptr;
    DWORD id_ = 0;
};

// Starts one more instance and returns its process handle (or null).
HANDLE StartSecondInstance();
// Running processes of that executable name.
int CountProcesses(const wchar_t* exe_name);

// One request to the host side, answered with its output. The commands:
// "server-stop", "server-start", "server-tree" (the demo account's tree),
// "server-put NAME TEXT" (a file added to the demo account from another
// computer). Empty when no answer came in time.
std::string AskHost(const std::string& command, DWORD timeout_ms = 180000);

// The folder the scenario may use for the sync folder, without a
// trailing backslash (a fresh folder below the run's shared folder).
std::wstring ScenarioFolder(const wchar_t* name);

// The registry as the program finds it: no first run, no automatic
// update, and an account when one is given.
void PrepareSettings();
void StoreAccount(const wchar_t* user, const wchar_t* password, const wchar_t* folder);
void StoreAccountValue(const wchar_t* user, const wchar_t* value, const std::wstring& text);

}  // namespace TrayTest
