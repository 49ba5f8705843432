#include "updater/updater_app.h"

#include <cwchar>
#include <iterator>

#include "common/bounded_string.h"
#include "common/md5.h"
#include "common/tray_contract.h"
#include "common/win_handle.h"
#include "updater/update_check.h"


namespace Updater {

namespace {

Helper::UpdateNotice NoticeFor(UpdateCheckResult result)
{
    switch (result) {
    case kUpdateReady:
        return Helper::UpdateNoticeUpdating;
    case kUpdateCurrent:
        return Helper::UpdateNoticeCurrent;
    default:
        return Helper::UpdateNoticeFailed;
    }
}

// Without a running client the notice is simply lost.
void NotifyClient(Helper::UpdateNotice notice)
{
    HWND tray = FindWindowW(Helper::kTrayWindowClass, nullptr);
    if (tray != nullptr)
        PostMessageW(tray, Helper::WM_TRAYNOTIFY, notice, Helper::TE_UPDATE_RESULT);
}

// The client has already been told the update is starting; a failure here
// has nobody left to tell.
void LaunchInstaller(const UpdateContext& context)
{
    wchar_t installer[MAX_PATH];
    if (!Helper::FormatBounded(installer, MAX_PATH, L"%s%s", context.temp_folder, context.package_file_name))
        return;
    if (GetFileAttributesW(installer) == INVALID_FILE_ATTRIBUTES)
        return;
    // CreateProcessW may write into the command line.
    wchar_t switches[std::size(kInstallerSwitches)];
    std::wmemcpy(switches, kInstallerSwitches, std::size(kInstallerSwitches));
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(installer, switches, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return;
    Helper::CHandle process_handle(process.hProcess);
    Helper::CHandle thread_handle(process.hThread);
}

}  // namespace

int RunUpdater(const wchar_t* manifest_url)
{
    Helper::CHandle mutex(CreateMutexW(nullptr, TRUE, kUpdaterMutexName));
    if (GetLastError() == ERROR_ALREADY_EXISTS)
        return 0;
    if (!Helper::BindMd5())
        return 0;
    UpdateContext context{};
    UpdateCheckResult result = RunUpdateCheck(&context, manifest_url);
    NotifyClient(NoticeFor(result));
    if (result == kUpdateReady) {
        Sleep(kInstallerDelayMs);
        LaunchInstaller(context);
    }
    return 0;
}

}  // namespace Updater
