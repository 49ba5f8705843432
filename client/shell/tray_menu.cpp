// The tray icon's popup menu and the about box.
#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <memory>

#include "client/shell/crash_hook.h"
#include "client/shell/dialog_font.h"
#include "client/shell/dialog_host.h"
#include "client/shell/resource.h"
#include "client/shell/tray_icon.h"
#include "client/shell/tray_rules.h"
#include "client/shell/tray_texts.h"
#include "deployment.h"

namespace Helper {

namespace {

constexpr wchar_t kExitQuestion[] = L"退出后文件将无法自动同步,下次启动Tessel时本地文件将再次同步。\n确认退出？";
constexpr wchar_t kExitTitle[] = L"TavoTessel - 退出程序";
constexpr int kAboutButtonSpace = 50;
constexpr int kLineHeight = 2;

// Menus open at this moment, counting the one whose command is being
// carried out (its dialogs may open another).
std::atomic<int> g_open_menus{0};

CMenuHandle BuildTrayMenu(AppState state)
{
    CMenuHandle menu(CreatePopupMenu());
    if (!menu)
        return menu;
    for (const MenuItem& item : TrayMenuItems(state)) {
        if (item.command == 0) {
            AppendMenuW(menu.Get(), MF_SEPARATOR, 0, nullptr);
            continue;
        }
        AppendMenuW(menu.Get(), MF_STRING, item.command, reinterpret_cast<const wchar_t*>(item.text));
        if (item.is_default)
            SetMenuDefaultItem(menu.Get(), item.command, FALSE);
    }
    return menu;
}

int TrackTrayMenu(HWND window)
{
    CMenuHandle menu = BuildTrayMenu(GetAppState());
    if (!menu)
        return 0;
    POINT cursor = {};
    GetCursorPos(&cursor);
    SetForegroundWindow(window);
    return static_cast<int>(TrackPopupMenuEx(menu.Get(), TPM_RETURNCMD | TPM_NONOTIFY, cursor.x, cursor.y, window,
                                             nullptr));
}

void ConfirmExit()
{
    if (!MayExitFromMenu(g_open_menus.load()))
        return;
    if (MessageBoxW(nullptr, kExitQuestion, kExitTitle, MB_OKCANCEL | MB_ICONINFORMATION) == IDOK)
        PostQuitMessage(0);
}

void OpenSettingsCentre()
{
    if (IDialogHost* dialogs = DialogHost())
        dialogs->OpenSettingsCentre();
}

void OpenFullSetupWizard()
{
    if (IDialogHost* dialogs = DialogHost())
        dialogs->OpenWizard(WizardMode::FullSetup);
}

void RunMenuCommand(HWND window, int command)
{
    switch (command) {
    case kCmdOpenFolder:
        OpenSyncFolder();
        break;
    case kCmdSetupWizard:
        OpenFullSetupWizard();
        break;
    case kCmdOnlineFiles:
        OpenUrl(TAVO_WEB_FILES_W);
        break;
    case kCmdSettings:
        OpenSettingsCentre();
        break;
    case kCmdFeedback:
        OpenUrl(TAVO_WEB_FEEDBACK_W);
        break;
    case kCmdAbout:
        ShowAboutBox(window);
        break;
    case kCmdExit:
        ConfirmExit();
        break;
    default:
        break;
    }
}

// What the about box makes when it opens and frees when it ends.
struct AboutResources {
    CFontHandle font;
    CBrushHandle white;
};

void StretchAboutFrame(HWND dialog)
{
    RECT client = {};
    GetClientRect(dialog, &client);
    SetWindowPos(GetDlgItem(dialog, IDC_FRAME), nullptr, 0, 0, client.right, client.bottom - kAboutButtonSpace,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    SetWindowPos(GetDlgItem(dialog, IDC_LINE), nullptr, 0, 0, client.right, kLineHeight,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void InitAboutBox(HWND dialog)
{
    auto resources = std::make_unique<AboutResources>();
    resources->font = CreateDialogFont();
    resources->white.Reset(CreateSolidBrush(RGB(255, 255, 255)));
    ApplyFontToChildren(dialog, resources->font.Get());
    SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(resources.release()));
    const std::u16string version = FormatVersionText(RunningVersion());
    SetDlgItemTextW(dialog, IDC_VERSION, reinterpret_cast<const wchar_t*>(version.c_str()));
    StretchAboutFrame(dialog);
}

INT_PTR AboutStaticColour(HWND dialog, HDC dc)
{
    const auto* resources = reinterpret_cast<const AboutResources*>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (resources == nullptr)
        return FALSE;
    SetBkMode(dc, TRANSPARENT);
    return reinterpret_cast<INT_PTR>(resources->white.Get());
}

bool IsLinkActivated(LPARAM lparam)
{
    const auto* header = reinterpret_cast<const NMHDR*>(lparam);
    return header->idFrom == IDC_HOME_LINK && (header->code == NM_CLICK || header->code == NM_RETURN);
}

INT_PTR CALLBACK AboutProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_INITDIALOG:
        InitAboutBox(dialog);
        // The button, not the link, starts with the focus.
        SetFocus(GetDlgItem(dialog, IDOK));
        return FALSE;
    case WM_CTLCOLORSTATIC:
        return AboutStaticColour(dialog, reinterpret_cast<HDC>(wparam));
    case WM_NOTIFY:
        if (!IsLinkActivated(lparam))
            return FALSE;
        OpenUrl(TAVO_WEB_HOME_W);
        SetWindowLongPtrW(dialog, DWLP_MSGRESULT, 1);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL)
            EndDialog(dialog, LOWORD(wparam));
        return TRUE;
    case WM_CLOSE:
        EndDialog(dialog, IDCANCEL);
        return TRUE;
    case WM_NCDESTROY:
        delete reinterpret_cast<AboutResources*>(GetWindowLongPtrW(dialog, DWLP_USER));
        SetWindowLongPtrW(dialog, DWLP_USER, 0);
        return FALSE;
    default:
        return FALSE;
    }
}

}  // namespace

void ShowTrayMenu(HWND window)
{
    ++g_open_menus;
    RunMenuCommand(window, TrackTrayMenu(window));
    --g_open_menus;
}

void ShowAboutBox(HWND owner)
{
    DialogBoxParamW(AppInstance(), MAKEINTRESOURCEW(IDD_ABOUT), owner, AboutProc, 0);
}

VersionParts RunningVersion()
{
    ExecutableVersion version;
    ReadExecutableVersion(&version);
    VersionParts parts;
    for (int i = 0; i < 4; ++i)
        parts.product[i] = version.product[i];
    parts.build = version.file_build;
    return parts;
}

}  // namespace Helper
