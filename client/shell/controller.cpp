#include "client/shell/controller.h"

#include <shellapi.h>

#include <cwchar>

#include "client/net/request_manager.h"
#include "client/net/session.h"
#include "client/shell/controller_parts.h"
#include "client/shell/controller_rules.h"
#include "client/shell/dialog_host.h"
#include "client/shell/settings_store.h"
#include "client/shell/signon.h"
#include "client/shell/tray_icon.h"
#include "client/sync/sync_engine.h"
#include "client/sync/transfer_meter.h"
#include "common/bounded_string.h"
#include "common/md5.h"
#include "common/registry_access.h"
#include "common/tray_contract.h"
#include "common/utf.h"

namespace Helper {

namespace {

constexpr wchar_t kUpdaterName[] = L"TavoTesselUpdate.exe";
constexpr wchar_t kAutoUpdateFailure[] = L"无法进行自动更新！请尝试重新安装程序修复问题。";
constexpr wchar_t kAutoUpdateFailureTitle[] = L"TavoTessel - 自动更新启动失败";
constexpr wchar_t kResetFolderTip[] = L"正在重设网盘本地备份的文件夹";
// How long the shutdown waits for the engine's workers, so that a state
// file being saved is finished rather than cut off by the process's end.
constexpr DWORD kEngineStopWaitMs = 5000;

CController& Controller()
{
    static CController controller;
    return controller;
}

bool IsUsableFolderPath(const wchar_t* path)
{
    const DWORD attributes = GetFileAttributesW(path);
    return IsUsableFolder(AsU16(path), attributes != INVALID_FILE_ATTRIBUTES);
}

bool IsValidUser(const wchar_t* user) { return IsValidUserName(AsU16(user)); }

void WarnAutoUpdateFailure()
{
    MessageBoxW(nullptr, kAutoUpdateFailure, kAutoUpdateFailureTitle, MB_ICONWARNING);
}

// The session's notices (an incompatible server) reach the tray window.
void PostSessionNotice(WPARAM wparam, LPARAM lparam) { PostTrayNotice(lparam, wparam); }

uint32_t EnabledLimit(const wchar_t* enable_value, const wchar_t* limit_value)
{
    const wchar_t* user = App().user_name;
    if (ReadAccountDword(enable_value, user) != 1)
        return 0;
    return ReadAccountDword(limit_value, user);
}

void OpenResetFolderWizard()
{
    if (IDialogHost* dialogs = DialogHost())
        dialogs->OpenWizard(WizardMode::ResetFolder);
}

void FollowUpRefresh(FollowUp follow_up)
{
    switch (follow_up) {
    case FollowUp::PostNotBound:
        PostTrayNotice(TE_NOT_BOUND);
        break;
    case FollowUp::PostRestartWatch:
        PostTrayNotice(TE_RESTART_WATCH);
        break;
    case FollowUp::MarkAccountInfoFailed:
        MarkAccountInfoFailed();
        break;
    case FollowUp::PostOffline:
        PostTrayNotice(TE_OFFLINE);
        break;
    case FollowUp::PostAskCredentials:
        PostTrayNotice(TE_ASK_CREDENTIALS);
        break;
    case FollowUp::PostRetryAccountInfo:
        PostTrayNotice(TE_RETRY_ACCOUNT_INFO);
        break;
    case FollowUp::None:
        break;
    }
}

// The state's icon, balloon and tip, sent, then the follow-up.
void ShowChange(AppState previous, AppState current, FollowUp follow_up)
{
    ShowStateOnIcon(current, previous);
    PostTrayNotice(TE_STATE_CHANGED);
    FollowUpRefresh(follow_up);
}

// The wizard is modal and belongs on the UI thread; another thread only
// asks for it.
void AskForNewFolder()
{
    ShowTipOnly(kResetFolderTip);
    if (IsUiThread())
        OpenResetFolderWizard();
    else
        PostTrayNotice(TE_RESET_FOLDER);
}

void StartFirstSignOn()
{
    const AppState state = GetAppState();
    if (state == AppState::SigningOn || state == AppState::FolderMissing) {
        StartAutoSignOn();
        return;
    }
    IDialogHost* dialogs = DialogHost();
    if (state == AppState::NotBound && dialogs != nullptr)
        dialogs->OpenWizard(WizardMode::FullSetup);
}

void CheckFirstRunUpdate()
{
    if (!CheckFirstRun() || ReadAutoUpdate() != 0)
        return;
    WriteAutoUpdate(1);
    if (!LaunchUpdater(false))
        WarnAutoUpdateFailure();
}

}  // namespace

void CController::RefreshForState(AppState previous) { Helper::RefreshForState(previous); }

bool InitApplication()
{
    MarkUiThread();
    SetAppHost(&Controller());
    Net::SessionHooks hooks;
    hooks.post_notice = PostSessionNotice;
    hooks.open_url = OpenUrl;
    Net::SetSessionHooks(hooks);
    // The server list is prepared by the first sign-on, on its own thread,
    // so that an unreachable server does not hold up the tray icon.
    if (!BindMd5())
        return false;
    LoadAccountSettings();
    if (!StartFolderWatcher())
        return false;
    if (CreateTrayWindow() == nullptr) {
        StopFolderWatcher();
        return false;
    }
    if (!ScheduleAutoUpdate(ReadAutoUpdate() != 0))
        WarnAutoUpdateFailure();
    ApplySpeedLimits();
    RegisterTempFileType();
    CheckFirstRunUpdate();
    StartFirstSignOn();
    return true;
}

void ShutdownApplication()
{
    DestroyTrayWindow();
    if (IDialogHost* dialogs = DialogHost()) {
        dialogs->CloseSettingsCentre();
        dialogs->EndWizard();
    }
    StopFolderWatcher();
    App().abort_flag.store(1);
    UnbindMd5();
    Net::StopConnections();
    Sync::CSyncEngine::Instance().Stop(kEngineStopWaitMs);
    StopControllerTimers();
}

void SetSyncFolder(const wchar_t* path)
{
    AppContext& app = App();
    if (path == nullptr || !IsValidUser(app.user_name) || !IsUsableFolderPath(path))
        return;
    CopyBounded(app.previous_folder, app.sync_folder);
    CopyBounded(app.sync_folder, path);
    SaveAccount(app.user_name, app.credential, app.sync_folder);
    SetAppState(NextState(StateTrigger::FolderSet, GetAppState()));
}

void CommitSyncFolder(const wchar_t* path)
{
    const AppState remembered = GetAppState();
    SetSyncFolder(path);
    RefreshForState(remembered);
    if (_wcsicmp(App().previous_folder, App().sync_folder) != 0)
        PostTrayNotice(TE_FOLDER_CHANGED);
}

void MarkAccountInfoFailed()
{
    const AppState previous = GetAppState();
    const AppState next = NextState(StateTrigger::QuotaUnusable, previous);
    if (next == previous)
        return;
    SetAppState(next);
    RefreshForState(previous);
}

void RefreshForState(AppState previous)
{
    const AppState current = GetAppState();
    const Quota quota = GetQuota();
    const RefreshPlan plan = PlanRefresh(previous, current, IsQuotaUsable(quota.total, quota.free));
    switch (plan.kind) {
    case RefreshKind::ResetFolderWizard:
        AskForNewFolder();
        break;
    case RefreshKind::Unchanged:
        FollowUpRefresh(plan.follow_up);
        break;
    case RefreshKind::Changed:
        ShowChange(previous, current, plan.follow_up);
        break;
    }
}

void PostTrayNotice(LPARAM notice, WPARAM wparam)
{
    HWND window = GetTrayWindow();
    if (window != nullptr)
        PostMessageW(window, WM_TRAYNOTIFY, wparam, notice);
}

bool ScheduleAutoUpdate(bool enabled)
{
    WriteAutoUpdate(enabled ? 1 : 0);
    StopAutoUpdateTimer();
    if (!enabled)
        return true;
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    StartAutoUpdateTimer(SecondsToNextUpdateCheck(now.wHour, now.wMinute, now.wSecond) * 1000u);
    return LaunchUpdater(false);
}

bool LaunchUpdater(bool manual)
{
    App().manual_update = manual;
    wchar_t path[kPathCapacity] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, kPathCapacity);
    if (length == 0 || length >= kPathCapacity)
        return false;
    wchar_t* last_separator = wcsrchr(path, L'\\');
    if (last_separator == nullptr)
        return false;
    last_separator[1] = L'\0';
    if (!AppendBounded(path, kPathCapacity, kUpdaterName))
        return false;
    SHELLEXECUTEINFOW start = {};
    start.cbSize = sizeof start;
    start.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    start.lpFile = path;
    start.nShow = SW_SHOW;
    const bool started = ShellExecuteExW(&start) != FALSE;
    // The process handle is not waited for.
    if (start.hProcess != nullptr)
        CloseHandle(start.hProcess);
    return started;
}

void ApplySpeedLimits()
{
    Sync::SetUploadLimit(EnabledLimit(kRegEnableMaxUpload, kRegMaxUpload));
    Sync::SetDownloadLimit(EnabledLimit(kRegEnableMaxDownload, kRegMaxDownload));
}

}  // namespace Helper
