#include "client/shell/tray_icon.h"

#include <shellapi.h>

#include <atomic>
#include <cwchar>
#include <string>

#include "client/shell/controller.h"
#include "client/shell/dialog_host.h"
#include "client/shell/tray_probe.h"
#include "client/shell/tray_rules.h"
#include "client/shell/tray_texts.h"
#include "client/sync/sync_engine.h"
#include "common/bounded_string.h"
#include "common/tray_contract.h"
#include "common/utf.h"

namespace Helper {

namespace {

// The layout with the balloon fields and the identifier GUID, without the
// balloon icon of later systems, as the x64 build lays it out (952 bytes
// in a 32-bit build).
constexpr DWORD kIconDataSize = NOTIFYICONDATAW_V3_SIZE;
static_assert(sizeof(void*) != 8 || kIconDataSize == 968, "the x64 layout of the icon data");

constexpr wchar_t kBindingTip[] = L"正在将您的计算机与Tavo帐户绑定";
constexpr size_t kBrowserCapacity = 15;

CCriticalSection* g_window_lock = nullptr;
HWND g_tray_window = nullptr;
UINT g_taskbar_created = 0;
HINSTANCE g_instance = nullptr;

// The one icon data record, changed and sent under IconRecordLock.
NOTIFYICONDATAW g_data = {};
std::atomic<int> g_icon_id{0};

CCriticalSection& IconRecordLock()
{
    static CCriticalSection lock;
    return lock;
}

void CopyText(wchar_t* target, size_t capacity, const std::u16string& text)
{
    CopyBounded(target, capacity, reinterpret_cast<const wchar_t*>(text.c_str()));
}

std::u16string TextOf(const wchar_t* text)
{
    return text != nullptr ? std::u16string(AsU16(text)) : std::u16string();
}

void SetTrayWindowHandle(HWND window)
{
    if (g_window_lock == nullptr) {
        g_tray_window = window;
        return;
    }
    CLockGuard hold(*g_window_lock);
    g_tray_window = window;
}

BOOL NotifyShell(DWORD message)
{
    const BOOL accepted = Shell_NotifyIconW(message, &g_data);
    RecordTrayCall(message, g_data, g_icon_id.load(), static_cast<int>(GetAppState()), accepted);
    return accepted;
}

bool LoadStateIcon(AppState state)
{
    const int id = IconForState(state);
    auto* icon = static_cast<HICON>(LoadImageW(g_instance, MAKEINTRESOURCEW(id), IMAGE_ICON, 16, 16, LR_SHARED));
    if (icon == nullptr)
        return false;
    g_data.hIcon = icon;
    g_icon_id.store(id);
    g_data.uFlags |= NIF_ICON;
    return true;
}

// The engine's running transfer, for the progress tip.
TransferReport CurrentTransfer()
{
    TransferReport report;
    report.watching = IsFolderWatchRunning();
    Sync::SyncProgress progress;
    report.has_transfer = Sync::CSyncEngine::Instance().GetProgress(&progress);
    if (!report.has_transfer)
        return report;
    const wchar_t* name = wcsrchr(progress.path, L'\\');
    report.name = TextOf(name != nullptr ? name + 1 : progress.path);
    report.total = progress.total;
    report.done = progress.done;
    report.direction = progress.kind;
    report.bytes_per_second = progress.speed;
    return report;
}

ATOM RegisterTrayClass()
{
    WNDCLASSW existing = {};
    if (GetClassInfoW(g_instance, kTrayWindowClass, &existing))
        return 1;
    WNDCLASSW tray = {};
    tray.lpfnWndProc = TrayWindowProc;
    tray.hInstance = g_instance;
    tray.hIcon = LoadIconW(g_instance, MAKEINTRESOURCEW(kIconProduct));
    tray.lpszClassName = kTrayWindowClass;
    return RegisterClassW(&tray);
}

void OpenWizardFor(const ClickReaction& reaction)
{
    IDialogHost* dialogs = DialogHost();
    if (dialogs == nullptr)
        return;
    if (reaction.binding_tip)
        ShowTipOnly(kBindingTip);
    if (reaction.wizard_mode == kCurrentWizardMode)
        dialogs->OpenWizardInCurrentMode();
    else
        dialogs->OpenWizard(static_cast<WizardMode>(reaction.wizard_mode));
}

void React(const ClickReaction& reaction)
{
    if (reaction.action == TrayAction::OpenFolder)
        OpenSyncFolder();
    else if (reaction.action == TrayAction::OpenWizard)
        OpenWizardFor(reaction);
}

void ShowBalloonNow(const BalloonText& balloon)
{
    const std::u16string text = balloon.text;
    const std::u16string title = balloon.title;
    CLockGuard hold(IconRecordLock());
    SetBalloon(kBalloonUpgrade, AppState::Starting, reinterpret_cast<const wchar_t*>(text.c_str()),
               reinterpret_cast<const wchar_t*>(title.c_str()));
    UpdateTrayIcon();
}

void OnUpdateResult(WPARAM outcome)
{
    const UpdateResultDisplay display = UpdateResultFor(static_cast<uint32_t>(outcome), App().manual_update);
    IDialogHost* dialogs = DialogHost();
    if (display.shows_status && dialogs != nullptr)
        dialogs->ShowUpdateStatus(reinterpret_cast<const wchar_t*>(display.status.c_str()), display.colour);
    if (display.balloon.shown)
        ShowBalloonNow(display.balloon);
}

void OnUpgraded() { ShowBalloonNow(UpgradeBalloon(RunningVersion())); }

void OnTrayNotify(HWND window, WPARAM wparam, LPARAM lparam)
{
    const LPARAM notice = LOWORD(lparam);
    if (notice == WM_CONTEXTMENU || notice == WM_RBUTTONUP)
        ShowTrayMenu(window);
    else if (notice == WM_LBUTTONUP)
        React(LeftClickReaction(GetAppState()));
    else if (notice == NIN_BALLOONUSERCLICK)
        React(BalloonClickReaction(GetAppState()));
    else if (notice == TE_UPDATE_RESULT)
        OnUpdateResult(wparam);
    else if (notice == TE_UPGRADED)
        OnUpgraded();
    else if (notice == TE_INCOMPATIBLE) {
        DestroyTrayWindow();
        PostQuitMessage(0);
    } else
        HandleControllerNotice(notice);
}

// Explorer restarted: its new notification area knows no icon of ours.
void RecreateTrayWindow()
{
    DestroyTrayWindow();
    CreateTrayWindow();
}

}  // namespace

CTrayWindowLock::CTrayWindowLock() : section_(new CCriticalSection) { g_window_lock = section_.get(); }

CTrayWindowLock::~CTrayWindowLock() { g_window_lock = nullptr; }

CTaskbarCreatedMessage::CTaskbarCreatedMessage() { g_taskbar_created = RegisterWindowMessageW(L"TaskbarCreated"); }

void SetAppInstance(HINSTANCE instance) { g_instance = instance; }

HINSTANCE AppInstance() { return g_instance; }

HWND GetTrayWindow()
{
    if (g_window_lock == nullptr)
        return g_tray_window;
    CLockGuard hold(*g_window_lock);
    return g_tray_window;
}

LRESULT CALLBACK TrayWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_TRAYNOTIFY)
        OnTrayNotify(window, wparam, lparam);
    if (g_taskbar_created != 0 && message == g_taskbar_created)
        RecreateTrayWindow();
    return DefWindowProcW(window, message, wparam, lparam);
}

HWND CreateTrayWindow()
{
    const AppState state = GetAppState();
    CLockGuard hold(IconRecordLock());
    g_data = {};
    g_data.cbSize = kIconDataSize;
    g_data.uCallbackMessage = WM_TRAYNOTIFY;
    g_data.uFlags = NIF_MESSAGE;
    if (!LoadStateIcon(state))
        return nullptr;
    SetTip(state);
    SetBalloon(static_cast<int>(state), AppState::Starting);
    if (RegisterTrayClass() == 0)
        return nullptr;
    HWND window = CreateWindowExW(WS_EX_TOOLWINDOW, kTrayWindowClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                  g_instance, nullptr);
    if (window == nullptr)
        return nullptr;
    g_data.hWnd = window;
    NotifyShell(NIM_ADD);
    SetTrayWindowHandle(window);
    return window;
}

void DestroyTrayWindow()
{
    CLockGuard hold(IconRecordLock());
    HWND window = g_data.hWnd;
    if (window == nullptr)
        return;
    NotifyShell(NIM_DELETE);
    SetTrayWindowHandle(nullptr);
    g_data.hWnd = nullptr;
    DestroyWindow(window);
}

void SetStateIcon(AppState state) { LoadStateIcon(state); }

void SetTip(AppState state, const wchar_t* text)
{
    TipInputs inputs;
    inputs.has_caller_text = text != nullptr;
    inputs.caller_text = TextOf(text);
    if (state == AppState::Synced) {
        StopProgressTimer();
        const Quota quota = GetQuota();
        inputs.total = quota.total;
        inputs.free = quota.free;
    } else if (state == AppState::Syncing) {
        inputs.transfer = CurrentTransfer();
    }
    const TipText tip = TipForState(state, inputs);
    if (!tip.shown) {
        g_data.uFlags &= ~NIF_TIP;
        return;
    }
    CopyText(g_data.szTip, kTipCapacity, tip.text);
    g_data.uFlags |= NIF_TIP;
}

void SetBalloon(int kind, AppState previous, const wchar_t* text, const wchar_t* title)
{
    const BalloonText balloon = BalloonFor(kind, previous, TextOf(text), TextOf(title));
    if (!balloon.shown) {
        g_data.uFlags &= ~NIF_INFO;
        return;
    }
    CopyText(g_data.szInfo, kBalloonTextCapacity, balloon.text);
    CopyText(g_data.szInfoTitle, kBalloonTitleCapacity, balloon.title);
    g_data.dwInfoFlags = NIIF_INFO | NIIF_NOSOUND;
    g_data.uFlags |= NIF_INFO;
}

void UpdateTrayIcon()
{
    if (g_data.hWnd != nullptr)
        NotifyShell(NIM_MODIFY);
}

void ShowStateOnIcon(AppState state, AppState previous)
{
    CLockGuard hold(IconRecordLock());
    SetStateIcon(state);
    SetBalloon(static_cast<int>(state), previous);
    SetTip(state);
    UpdateTrayIcon();
}

void ShowTipOnly(const wchar_t* text)
{
    CLockGuard hold(IconRecordLock());
    SetTip(AppState::Starting, text);
    g_data.uFlags = NIF_TIP;
    UpdateTrayIcon();
}

void OpenSyncFolder()
{
    const wchar_t* folder = App().sync_folder;
    const DWORD attributes = GetFileAttributesW(folder);
    if (folder[0] != L'\0' && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        ShellExecuteW(nullptr, L"open", folder, nullptr, nullptr, SW_SHOWNORMAL);
}

void OpenUrl(const wchar_t* url)
{
    const auto opened = reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", url, nullptr, nullptr, SW_SHOW));
    if (opened != SE_ERR_ACCESSDENIED)
        return;
    // The shell refused: the browser that the http association names.
    wchar_t browser[kBrowserCapacity] = {};
    DWORD type = REG_NONE;
    DWORD bytes = (kBrowserCapacity - 1) * sizeof(wchar_t);
    const LONG read = RegGetValueW(HKEY_CLASSES_ROOT, L"http\\shell\\open\\ddeexec\\Application", nullptr,
                                   RRF_RT_REG_SZ, &type, browser, &bytes);
    if (read != ERROR_SUCCESS)
        CopyBounded(browser, L"iexplore");
    ShellExecuteW(nullptr, L"open", browser, url, nullptr, SW_SHOW);
}

}  // namespace Helper
