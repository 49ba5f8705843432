#include "client/app/tests/tray_shell_support.h"

#include <algorithm>

#include "client/net/session_values.h"
#include "client/shell/controller.h"
#include "client/shell/controller_parts.h"
#include "client/shell/tray_icon.h"
#include "common/tray_contract.h"

namespace Testing {

namespace {
// The program's own static objects of the tray.
Helper::CTrayWindowLock g_tray_window_lock;
Helper::CTaskbarCreatedMessage g_taskbar_created;
}  // namespace

CTrayProbe& ProcessProbe()
{
    static CTrayProbe probe;
    return probe;
}

CTrayFixture::CTrayFixture(Helper::AppState state) : first_record_(ProcessProbe().Count())
{
    ResetContext();
    Helper::SetAppInstance(GetModuleHandleW(nullptr));
    Helper::MarkUiThread();
    Helper::SetDialogHost(&dialogs_);
    Helper::SetAppState(state);
    window_ = Helper::CreateTrayWindow();
}

CTrayFixture::~CTrayFixture()
{
    Helper::DestroyTrayWindow();
    Helper::StopControllerTimers();
    Helper::SetDialogHost(nullptr);
    TakeNotices();
    ResetContext();
}

std::vector<Helper::TrayProbeRecord> CTrayFixture::Records() const
{
    std::vector<Helper::TrayProbeRecord> records;
    const LONG count = ProcessProbe().Count();
    const auto all = ProcessProbe().Records();
    const LONG first_kept = count - static_cast<LONG>(all.size());
    for (LONG i = std::max(first_record_, first_kept); i < count; ++i)
        records.push_back(all[i - first_kept]);
    return records;
}

Helper::TrayProbeRecord CTrayFixture::Last() const
{
    const auto records = Records();
    return records.empty() ? Helper::TrayProbeRecord{} : records.back();
}

std::vector<LPARAM> CTrayFixture::TakeNotices()
{
    std::vector<LPARAM> notices;
    MSG message;
    while (window_ != nullptr && PeekMessageW(&message, window_, Helper::WM_TRAYNOTIFY, Helper::WM_TRAYNOTIFY, PM_REMOVE))
        notices.push_back(message.lParam);
    return notices;
}

void ResetContext()
{
    Helper::AppContext& app = Helper::App();
    Helper::SetAppState(Helper::AppState::Starting);
    app.user_name[0] = L'\0';
    app.credential[0] = L'\0';
    app.sync_folder[0] = L'\0';
    app.previous_user_name[0] = L'\0';
    app.previous_folder[0] = L'\0';
    app.manual_update = false;
    SetQuota(0, 0);
}

void SetQuota(uint64_t total, uint64_t free)
{
    Net::AccountSpace space;
    space.total = total;
    space.free = free;
    Net::StoreAccountSpace(space);
}

}  // namespace Testing
