#include "client/ui/tests/dialog_test_support.h"

#include "client/net/common_socket.h"
#include "client/shell/controller_parts.h"
#include "client/shell/tray_icon.h"
#include "client/ui/tests/gui_driver.h"
#include "common/bounded_string.h"
#include "common/registry_layout.h"
#include "common/win_handle.h"

namespace GuiTest {

namespace {
Helper::CTrayWindowLock g_tray_window_lock;
Helper::CTaskbarCreatedMessage g_taskbar_created;
Net::CSocketsStartup g_sockets;
}  // namespace

GUI::CTrayDialogs& Dialogs()
{
    static GUI::CTrayDialogs dialogs;
    Helper::SetDialogHost(&dialogs);
    return dialogs;
}

Testing::CTrayProbe& ProcessProbe()
{
    static Testing::CTrayProbe probe;
    return probe;
}

CTestTray::CTestTray(CDialogThread& ui) : ui_(ui)
{
    ProcessProbe();
    ui_.Run([this] {
        Helper::MarkUiThread();
        window_ = Helper::CreateTrayWindow();
    });
}

CTestTray::~CTestTray()
{
    ui_.Run([] {
        Helper::DestroyTrayWindow();
        Helper::StopControllerTimers();
    });
}

bool EndDialogs(CDialogThread& ui)
{
    ui.Run([] {
        Dialogs().EndWizard();
        Dialogs().CloseSettingsCentre();
    });
    return WaitUntil([&] { return ui.Idle(); });
}

void ClearSettings()
{
    RegDeleteTreeW(HKEY_CURRENT_USER, Helper::kRegRoot);
    Helper::CRegKey run;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, Helper::kRegRunKey, 0, KEY_WRITE, run.Receive()) == ERROR_SUCCESS)
        RegDeleteValueW(run.Get(), Helper::kRegRunValue);
}

void SetSignedIn(const wchar_t* user, const std::wstring& folder)
{
    Helper::AppContext& app = Helper::App();
    Helper::CopyBounded(app.user_name, user);
    Helper::CopyBounded(app.sync_folder, folder.c_str());
    app.previous_user_name[0] = L'\0';
    app.previous_folder[0] = L'\0';
    Helper::SetAppState(Helper::AppState::Synced);
}

void SetNotBound(const wchar_t* previous_user)
{
    Helper::AppContext& app = Helper::App();
    app.user_name[0] = L'\0';
    app.sync_folder[0] = L'\0';
    Helper::CopyBounded(app.previous_user_name, previous_user);
    Helper::SetAppState(Helper::AppState::NotBound);
}

std::wstring MissingDrive()
{
    DWORD drives = GetLogicalDrives();
    for (wchar_t letter = L'Q'; letter <= L'Y'; ++letter) {
        if (!(drives & (1u << (letter - L'A'))))
            return std::wstring(1, letter) + L":\\";
    }
    return L"";
}

HWND WaitForBox(const wchar_t* title, DWORD timeout_ms)
{
    return WaitForWindow(kDialogClass, title, timeout_ms, GetCurrentProcessId());
}

bool Answer(HWND box, int button)
{
    return box && Click(box, button) && WaitForWindowGone(box);
}

}  // namespace GuiTest
