#include "client/app/tests/tray_harness.h"

#include <tlhelp32.h>

#include <cwchar>

#include "client/net/session.h"
#include "client/shell/settings_store.h"
#include "client/ui/tests/gui_driver.h"
#include "common/md5.h"
#include "common/registry_access.h"
#include "common/registry_layout.h"
#include "common/tests/test_support.h"
#include "common/tray_contract.h"
#include "common/utf.h"

namespace TrayTest {

namespace {

std::wstring Environment(const wchar_t* name)
{
    wchar_t value[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(value, length) : std::wstring();
}

// The folder the host side and the scenario share (a Windows path).
std::wstring SharedFolder() { return Environment(L"TAVO_SHARE"); }

std::wstring TrayExecutable() { return Environment(L"TAVO_TRAY_EXE"); }

HANDLE Launch(DWORD* id)
{
    std::wstring line = L"\"" + TrayExecutable() + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return nullptr;
    CloseHandle(info.hThread);
    if (id != nullptr)
        *id = info.dwProcessId;
    return info.hProcess;
}

}  // namespace

bool IsSyncedRecord(const Helper::TrayProbeRecord& record)
{
    return Testing::ShowsState(record, kStateSynced) && record.icon_id == 128 &&
           Testing::HasTip(record, L"所有文件已经同步\n共 1 GB空间");
}

HWND WaitForWindowTitled(DWORD process_id, const std::wstring& title, DWORD timeout_ms)
{
    HWND found = nullptr;
    Testing::WaitFor(
        [&] {
            for (HWND window : GuiTest::TopWindowsOfProcess(process_id)) {
                if (GuiTest::GetText(window).compare(0, title.size(), title) == 0) {
                    found = window;
                    return true;
                }
            }
            return false;
        },
        timeout_ms);
    return found;
}

bool ChooseFromTrayMenu(HWND tray, UINT key)
{
    if (!PostMessageW(tray, Helper::WM_TRAYNOTIFY, 0, WM_RBUTTONUP))
        return false;
    HWND menu = GuiTest::WaitForWindow(L"#32768", nullptr, kWindowMs);
    return menu != nullptr && GuiTest::PressKey(menu, key);
}

CTrayProgram::~CTrayProgram()
{
    if (process_ == nullptr)
        return;
    if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT)
        TerminateProcess(process_, 1);
    CloseHandle(process_);
}

bool CTrayProgram::Start()
{
    process_ = Launch(&id_);
    return process_ != nullptr;
}

bool CTrayProgram::WaitForExit(DWORD timeout_ms, DWORD* exit_code)
{
    if (process_ == nullptr || WaitForSingleObject(process_, timeout_ms) != WAIT_OBJECT_0)
        return false;
    return GetExitCodeProcess(process_, exit_code) != FALSE;
}

HWND CTrayProgram::WaitForTrayWindow(DWORD timeout_ms) const
{
    HWND found = nullptr;
    Testing::WaitFor(
        [&] {
            found = FindWindowW(Helper::kTrayWindowClass, nullptr);
            return found != nullptr;
        },
        timeout_ms);
    return found;
}

HANDLE StartSecondInstance() { return Launch(nullptr); }

int CountProcesses(const wchar_t* exe_name)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, exe_name) == 0)
            ++count;
    }
    CloseHandle(snapshot);
    return count;
}

std::string AskHost(const std::string& command, DWORD timeout_ms)
{
    static int serial = 0;
    const std::wstring base = SharedFolder() + L"\\host-" + std::to_wstring(++serial);
    // Written under another name first, so that the host never reads half.
    Testing::WriteFileBytes(base + L".part", command);
    MoveFileW((base + L".part").c_str(), (base + L".request").c_str());
    const std::wstring reply = base + L".reply";
    if (!Testing::WaitFor([&] { return Testing::FileExists(reply); }, timeout_ms))
        return std::string();
    return Testing::ReadFileBytes(reply);
}

std::wstring ScenarioFolder(const wchar_t* name)
{
    const std::wstring folder = SharedFolder() + L"\\" + name;
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

void PrepareSettings()
{
    Helper::WriteRegDword(HKEY_CURRENT_USER, Helper::kRegRoot, Helper::kRegIsNotFirstRun, 1);
    Helper::WriteAutoUpdate(0);
}

void StoreAccount(const wchar_t* user, const wchar_t* password, const wchar_t* folder)
{
    wchar_t digest[64] = {};
    Helper::BindMd5();
    Net::MakePasswordDigest(password, digest, 64);
    Helper::SaveAccount(user, digest, folder);
}

void StoreAccountValue(const wchar_t* user, const wchar_t* value, const std::wstring& text)
{
    wchar_t path[Helper::kRegAccountKeyCapacity];
    Helper::AccountKeyPath(user, path);
    Helper::WriteRegString(HKEY_CURRENT_USER, path, value, text.c_str());
}

}  // namespace TrayTest
