// Stands in for the tray client in the installer's tests: it owns a hidden
// window of the tray class, ends through the same notice as the client,
// and records what it receives in the file TAVO_STANDIN_LOG names, one
// UTF-8 line per event:
//   start PID VERSION        the process runs and its window exists
//   update-result N          the updater's outcome
//   upgraded TEXT            the upgrade balloon's text, built as the
//                            client builds it from its own version resource
//   quit PID                 the window ended the message loop
// With TAVO_STANDIN_HANG set, the window stops answering once it exists.
#include <windows.h>

#include <string>

#include "common/bounded_string.h"
#include "common/tray_contract.h"
#include "common/utf.h"
#include "common/win_handle.h"

namespace {

struct RunningVersion {
    WORD product[4] = {};
    WORD build = 0;
};

bool ReadOwnVersion(RunningVersion* version)
{
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(self, &ignored);
    std::string block(size, '\0');
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixed_size = 0;
    if (size == 0 || !GetFileVersionInfoW(self, 0, size, block.data()) ||
        !VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixed_size) || fixed == nullptr)
        return false;
    version->product[0] = HIWORD(fixed->dwProductVersionMS);
    version->product[1] = LOWORD(fixed->dwProductVersionMS);
    version->product[2] = HIWORD(fixed->dwProductVersionLS);
    version->product[3] = LOWORD(fixed->dwProductVersionLS);
    version->build = LOWORD(fixed->dwFileVersionLS);
    return true;
}

std::wstring VersionText()
{
    RunningVersion version;
    ReadOwnVersion(&version);
    wchar_t text[128];
    Helper::FormatBounded(text, 128, L"TavoTessel %d.%d.%d.%d Beta (Build %d)", version.product[0],
                          version.product[1], version.product[2], version.product[3], version.build);
    return text;
}

void Record(const std::wstring& line)
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"TAVO_STANDIN_LOG", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    // Old and new client append to one log; each line goes in one write.
    Helper::CFileHandle file(CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return;
    const std::string bytes = Helper::Utf16ToUtf8(Helper::AsU16(line + L"\n"));
    DWORD written = 0;
    WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void OnNotice(HWND window, WPARAM wparam, LPARAM notice)
{
    if (notice == Helper::TE_UPDATE_RESULT) {
        Record(L"update-result " + std::to_wstring(wparam));
    } else if (notice == Helper::TE_UPGRADED) {
        Record(L"upgraded 升级至版本：" + VersionText());
    } else if (notice == Helper::TE_INCOMPATIBLE) {
        DestroyWindow(window);
        PostQuitMessage(0);
    }
}

LRESULT CALLBACK StandInProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == Helper::WM_TRAYNOTIFY)
        OnNotice(window, wparam, LOWORD(lparam));
    return DefWindowProcW(window, message, wparam, lparam);
}

HWND CreateStandInWindow(HINSTANCE instance)
{
    WNDCLASSW tray = {};
    tray.lpfnWndProc = StandInProc;
    tray.hInstance = instance;
    tray.lpszClassName = Helper::kTrayWindowClass;
    if (RegisterClassW(&tray) == 0)
        return nullptr;
    return CreateWindowExW(WS_EX_TOOLWINDOW, Helper::kTrayWindowClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                           instance, nullptr);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    // One instance, found by its window as the client finds it.
    HWND running = FindWindowW(Helper::kTrayWindowClass, nullptr);
    if (running != nullptr) {
        PostMessageW(running, Helper::WM_TRAYNOTIFY, 0, WM_LBUTTONUP);
        return 0;
    }
    if (CreateStandInWindow(instance) == nullptr)
        return 1;
    const std::wstring pid = std::to_wstring(GetCurrentProcessId());
    Record(L"start " + pid + L" " + VersionText());
    if (GetEnvironmentVariableW(L"TAVO_STANDIN_HANG", nullptr, 0) != 0)
        Sleep(INFINITE);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    Record(L"quit " + pid);
    return 0;
}
