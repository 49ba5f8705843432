// The controller's side on the UI thread: the notices the tray window
// routes here, the four thread timers, the folder watch, and moving the
// folder's contents after a change of folder.
#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <cwchar>
#include <memory>
#include <string>

#include "client/shell/controller.h"
#include "client/shell/controller_parts.h"
#include "client/shell/controller_rules.h"
#include "client/shell/crash_hook.h"
#include "client/shell/dialog_host.h"
#include "client/shell/settings_store.h"
#include "client/shell/signon.h"
#include "client/shell/tray_icon.h"
#include "client/state/dir_watcher.h"
#include "client/state/state_file.h"
#include "client/sync/dir_syncer.h"
#include "common/bounded_string.h"
#include "common/utf.h"
#include "common/win_handle.h"

namespace Helper {

namespace {

constexpr UINT kProgressPeriodMs = 1000;
constexpr UINT kRetryDelayMs = 3000;
constexpr wchar_t kBindingTip[] = L"正在将您的计算机与Tavo帐户绑定";
constexpr wchar_t kMoveFailure[] = L"无法成功拷贝所有文件到“%s”，请重新选择Tessel文件夹";
constexpr wchar_t kMoveFailureTitle[] = L"TavoTessel - 无法更换文件夹";
constexpr size_t kMoveFailureCapacity = 512;

std::atomic<DWORD> g_ui_thread{0};
std::unique_ptr<Sync::CDirWatcher> g_watcher;
std::atomic<bool> g_watching{false};

void CALLBACK OnTimer(HWND, UINT, UINT_PTR id, DWORD);

void StartTimer(UINT_PTR* id, UINT milliseconds)
{
    *id = SetTimer(nullptr, 0, milliseconds, OnTimer);
}

void StopTimer(UINT_PTR* id)
{
    if (*id != 0)
        KillTimer(nullptr, *id);
    *id = 0;
}

// The one-shot retries: the timer ends when it fires, and a new automatic
// sign-on starts. A sign-on that fails again schedules the next.
void FireRetry(UINT_PTR* id)
{
    StopTimer(id);
    StartAutoSignOn();
}

void CALLBACK OnTimer(HWND, UINT, UINT_PTR id, DWORD)
{
    AppTimers& timers = App().timers;
    if (id == timers.progress && id != 0)
        RefreshProgress();
    else if (id == timers.offline_retry && id != 0)
        FireRetry(&timers.offline_retry);
    else if (id == timers.account_info_retry && id != 0)
        FireRetry(&timers.account_info_retry);
    else if (id == timers.auto_update && id != 0)
        ScheduleAutoUpdate(ReadAutoUpdate() != 0);
}

void Unwatch()
{
    g_watching.store(false);
    SetCrashStateFile(nullptr);
    if (g_watcher)
        g_watcher->Unwatch();
}

void RestartFolderWatch()
{
    Unwatch();
    const AppContext& app = App();
    if (!g_watcher || app.sync_folder[0] == L'\0')
        return;
    auto* syncer = new Sync::CDirSyncer(app.user_name, app.sync_folder);
    if (!g_watcher->Watch(syncer, app.sync_folder)) {
        delete syncer;
        return;
    }
    g_watching.store(true);
    wchar_t state_file[kPathCapacity];
    Sync::StateFilePathFor(app.user_name, state_file);
    SetCrashStateFile(state_file);
}

bool IsFolder(const wchar_t* path)
{
    const DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// True when `folder` is `entry` or lies below it.
bool Contains(const std::wstring& entry, const wchar_t* folder)
{
    const size_t length = entry.size();
    return _wcsnicmp(entry.c_str(), folder, length) == 0 && (folder[length] == L'\0' || folder[length] == L'\\');
}

// The entries of the old folder that move: every name not beginning with
// ".", and never the one that holds the new folder (moving a folder into
// itself would delete what was just copied). Full paths, each ended by a
// NUL, the list by a second one; empty when there is nothing to move.
std::wstring EntriesToMove(const wchar_t* old_folder, const wchar_t* new_folder)
{
    std::wstring list;
    std::wstring pattern = std::wstring(old_folder) + L"\\*";
    WIN32_FIND_DATAW found;
    CFindHandle search(FindFirstFileW(pattern.c_str(), &found));
    if (!search)
        return list;
    do {
        if (!MovesWithFolder(AsU16(found.cFileName)))
            continue;
        const std::wstring entry = std::wstring(old_folder) + L"\\" + found.cFileName;
        if (Contains(entry, new_folder))
            continue;
        list += entry;
        list.push_back(L'\0');
    } while (FindNextFileW(search.Get(), &found));
    if (!list.empty())
        list.push_back(L'\0');
    return list;
}

bool RunFileOperation(UINT operation, const std::wstring& from, const wchar_t* to)
{
    std::wstring target;
    if (to != nullptr) {
        target = to;
        target.push_back(L'\0');
    }
    SHFILEOPSTRUCTW op = {};
    op.wFunc = operation;
    op.pFrom = from.c_str();
    op.pTo = to != nullptr ? target.c_str() : nullptr;
    op.fFlags = FOF_SILENT | FOF_NOCONFIRMATION;
    return SHFileOperationW(&op) == 0 && !op.fAnyOperationsAborted;
}

void OnFolderChanged()
{
    Unwatch();
    AppContext& app = App();
    if (!MoveFolderContents(app.previous_folder, app.sync_folder)) {
        wchar_t text[kMoveFailureCapacity];
        FormatBounded(text, kMoveFailureCapacity, kMoveFailure, app.sync_folder);
        MessageBoxW(nullptr, text, kMoveFailureTitle, MB_ICONINFORMATION);
        wchar_t old_folder[kFolderCapacity];
        CopyBounded(old_folder, app.previous_folder);
        SetSyncFolder(old_folder);
    }
    RestartFolderWatch();
}

void OnAskCredentials()
{
    ShowTipOnly(kBindingTip);
    if (IDialogHost* dialogs = DialogHost())
        dialogs->OpenWizard(WizardMode::Recredential);
}

void OnNotBound()
{
    Unwatch();
    IDialogHost* dialogs = DialogHost();
    if (dialogs == nullptr)
        return;
    dialogs->CloseSettingsCentre();
    dialogs->OpenWizard(WizardMode::FullSetup);
}

void OnOffline()
{
    if (!OfflineNoticeRetries(GetAppState()))
        return;
    Unwatch();
    if (App().timers.offline_retry == 0)
        StartTimer(&App().timers.offline_retry, kRetryDelayMs);
}

void OnStateChanged()
{
    UINT_PTR& progress = App().timers.progress;
    if (!ProgressTimerRuns(GetAppState()))
        StopTimer(&progress);
    else if (progress == 0)
        StartTimer(&progress, kProgressPeriodMs);
}

void OnResetFolder()
{
    if (GetAppState() != AppState::FolderMissing)
        return;
    if (IDialogHost* dialogs = DialogHost())
        dialogs->OpenWizard(WizardMode::ResetFolder);
}

}  // namespace

void RefreshProgress()
{
    const AppState state = GetAppState();
    ShowStateOnIcon(state, state);
}

void MarkUiThread() { g_ui_thread.store(GetCurrentThreadId()); }

bool IsUiThread() { return g_ui_thread.load() == GetCurrentThreadId(); }

bool StartFolderWatcher()
{
    auto watcher = std::make_unique<Sync::CDirWatcher>();
    if (!watcher->Start())
        return false;
    g_watcher = std::move(watcher);
    return true;
}

void StopFolderWatcher()
{
    Unwatch();
    if (g_watcher)
        g_watcher->Stop();
    g_watcher.reset();
}

bool IsFolderWatchRunning() { return g_watching.load(); }

bool MoveFolderContents(const wchar_t* old_folder, const wchar_t* new_folder)
{
    if (_wcsicmp(old_folder, new_folder) == 0 || !IsFolder(old_folder))
        return true;
    const std::wstring entries = EntriesToMove(old_folder, new_folder);
    if (entries.empty())
        return true;
    if (!RunFileOperation(FO_COPY, entries, new_folder))
        return false;
    RunFileOperation(FO_DELETE, entries, nullptr);
    return true;
}

void StopProgressTimer()
{
    if (IsUiThread())
        StopTimer(&App().timers.progress);
}

void StartAutoUpdateTimer(UINT milliseconds) { StartTimer(&App().timers.auto_update, milliseconds); }

void StopAutoUpdateTimer() { StopTimer(&App().timers.auto_update); }

void StopControllerTimers()
{
    AppTimers& timers = App().timers;
    StopTimer(&timers.progress);
    StopTimer(&timers.offline_retry);
    StopTimer(&timers.account_info_retry);
    StopTimer(&timers.auto_update);
}

void HandleControllerNotice(LPARAM notice)
{
    switch (notice) {
    case TE_RESTART_WATCH:
        RestartFolderWatch();
        break;
    case TE_ASK_CREDENTIALS:
        OnAskCredentials();
        break;
    case TE_RETRY_ACCOUNT_INFO:
        if (App().timers.account_info_retry == 0)
            StartTimer(&App().timers.account_info_retry, kRetryDelayMs);
        break;
    case TE_NOT_BOUND:
        OnNotBound();
        break;
    case TE_FOLDER_CHANGED:
        OnFolderChanged();
        break;
    case TE_OFFLINE:
        OnOffline();
        break;
    case TE_STATE_CHANGED:
        OnStateChanged();
        break;
    case TE_RESET_FOLDER:
        OnResetFolder();
        break;
    default:
        break;
    }
}

}  // namespace Helper
