// The settings centre's pages at work: their painting and colours, the
// change tracking that enables 应用, the actions that take effect at once,
// and the commit.
#include "client/ui/settings_centre.h"

#include "client/shell/app_state.h"
#include "client/shell/controller.h"
#include "client/shell/resource.h"
#include "client/shell/settings_store.h"
#include "client/shell/signon.h"
#include "client/shell/tray_icon.h"
#include "client/ui/custom_draw.h"
#include "client/ui/folder_choice.h"
#include "common/registry_access.h"
#include "common/utf.h"
#include "deployment.h"

#include <commctrl.h>

#include <string>

namespace GUI {

namespace {

constexpr int kLimitTextCapacity = 16;

}  // namespace

INT_PTR CALLBACK CSettingsCentre::PageProc(HWND page, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(page, DWLP_USER, lparam);
        return FALSE;
    }
    auto* self = reinterpret_cast<CSettingsCentre*>(GetWindowLongPtrW(page, DWLP_USER));
    int index = self ? self->IndexOfPage(page) : -1;
    return index < 0 ? FALSE : self->OnPage(index, message, wparam, lparam);
}

INT_PTR CSettingsCentre::OnPage(int index, UINT message, WPARAM wparam, LPARAM lparam)
{
    CPage& page = pages_[index];
    switch (message) {
    case WM_PAINT:
        PaintSettingsPage(page.window, kPageIds[index], page.font.Get(), page.brush.Get());
        return TRUE;
    case WM_ERASEBKGND:
        SetWindowLongPtrW(page.window, DWLP_MSGRESULT, 1);
        return TRUE;
    case WM_CTLCOLORSTATIC: {
        HDC dc = reinterpret_cast<HDC>(wparam);
        if (GetDlgCtrlID(reinterpret_cast<HWND>(lparam)) == IDC_UPDATE_STATUS)
            SetTextColor(dc, status_colour_);
        SetBkMode(dc, TRANSPARENT);
        return reinterpret_cast<INT_PTR>(page.brush.Get());
    }
    case WM_COMMAND:
        OnPageCommand(LOWORD(wparam), HIWORD(wparam));
        return TRUE;
    case WM_NOTIFY: {
        const NMHDR* header = reinterpret_cast<const NMHDR*>(lparam);
        if (header->code != NM_CLICK && header->code != NM_RETURN)
            return FALSE;
        OnPageLink(static_cast<int>(header->idFrom));
        return TRUE;
    }
    default:
        return FALSE;
    }
}

void CSettingsCentre::OnMainCommand(int id)
{
    switch (id) {
    case IDC_SETTINGS_OK:
    case IDOK:  // Enter
        Commit(true);
        break;
    case IDC_SETTINGS_APPLY:
        Commit(false);
        break;
    case IDC_SETTINGS_CANCEL:
    case IDCANCEL:  // Escape
        Close();
        break;
    default:
        break;
    }
}

void CSettingsCentre::OnPageCommand(int id, int code)
{
    if (code == BN_CLICKED) {
        switch (id) {
        case IDC_CHANGE_ACCOUNT:
            ChangeAccount();
            return;
        case IDC_CHANGE_FOLDER:
            ChangeFolder();
            return;
        case IDC_CHECK_UPDATE:
            CheckForUpdate();
            return;
        case IDC_UPLOAD_LIMIT_ON:
        case IDC_DOWNLOAD_LIMIT_ON:
            EnableLimit(id);
            break;
        default:
            break;
        }
    }
    TrackChange(id, code);
}

void CSettingsCentre::OnPageLink(int id)
{
    if (id == IDC_ACCOUNT_LINK)
        Helper::OpenSyncFolder();
    else if (id == IDC_WEB_SITE_LINK)
        Helper::OpenUrl(TAVO_WEB_HOME_W);
}

// 应用 is enabled by the user's changes only: not while the dialog is being
// set up, and not by a click that keeps the auto-update choice.
void CSettingsCentre::TrackChange(int id, int code)
{
    ControlEvent event;
    if (code == EN_CHANGE)
        event = ControlEvent::TextChanged;
    else if (code == BN_CLICKED)
        event = ControlEvent::Clicked;
    else
        return;
    bool choice_changed = false;
    if (event == ControlEvent::Clicked && (id == IDC_AUTO_UPDATE_ON || id == IDC_AUTO_UPDATE_OFF))
        choice_changed = LastAutoUpdateChoice().Click(id == IDC_AUTO_UPDATE_ON);
    if (dialog_ && EnablesApply(id, event, initialised_, choice_changed))
        EnableWindow(GetDlgItem(dialog_, IDC_SETTINGS_APPLY), TRUE);
}

void CSettingsCentre::EnableLimit(int check_id)
{
    bool on = IsChecked(kSync, check_id);
    bool upload = check_id == IDC_UPLOAD_LIMIT_ON;
    EnableWindow(Control(kSync, upload ? IDC_UPLOAD_LIMIT : IDC_DOWNLOAD_LIMIT), on);
    EnableWindow(Control(kSync, upload ? IDC_UPLOAD_SPIN : IDC_DOWNLOAD_SPIN), on);
}

void CSettingsCentre::ChangeFolder()
{
    wchar_t folder[Helper::kPathCapacity] = {};
    if (PickSyncFolder(dialog_, Helper::App().user_name, folder) && dialog_)
        SetWindowTextW(Control(kSync, IDC_FOLDER), folder);
}

// What follows the sign-out (the setup wizard) is the controller's.
void CSettingsCentre::ChangeAccount()
{
    Helper::AppState before = Helper::GetAppState();
    Helper::SignOut();
    Helper::RefreshForState(before);
}

void CSettingsCentre::CheckForUpdate()
{
    StatusLine status = UpdateCheckStatus(Helper::LaunchUpdater(true));
    SetStatus(Helper::AsWide(status.text).data(), status.colour);
}

void CSettingsCentre::SetStatus(const wchar_t* text, COLORREF colour)
{
    status_colour_ = colour;
    HWND line = Control(kUpdate, IDC_UPDATE_STATUS);
    SetWindowTextW(line, text);
    InvalidateRect(line, nullptr, TRUE);
}

// With 应用 disabled nothing is written: 确定 and Enter only close.
void CSettingsCentre::Commit(bool close_after)
{
    HWND apply = GetDlgItem(dialog_, IDC_SETTINGS_APPLY);
    if (!IsWindowEnabled(apply)) {
        if (close_after)
            Close();
        return;
    }
    // Without a signed-in account the sync page is disabled and holds
    // nothing to commit.
    bool signed_in = IsSignedIn(Helper::GetAppState());
    wchar_t folder[Helper::kPathCapacity] = {};
    if (signed_in && !CommitFolderChoice(folder))
        return;
    Helper::SetAutorun(IsChecked(kGeneral, IDC_AUTORUN));
    if (signed_in) {
        WriteSpeedLimits();
        Helper::ApplySpeedLimits();
        if (!IsSameFolder(folder, Helper::App().sync_folder))
            Helper::CommitSyncFolder(folder);
    }
    Helper::ScheduleAutoUpdate(IsChecked(kUpdate, IDC_AUTO_UPDATE_ON));
    if (!dialog_)
        return;
    SendMessageW(dialog_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(dialog_, IDC_SETTINGS_CANCEL)), TRUE);
    EnableWindow(apply, FALSE);
    if (close_after)
        Close();
}

// The folder is made, and a folder other than the current one that is not
// empty is used only when the user agrees; otherwise nothing is committed
// and the folder is shown for correction.
bool CSettingsCentre::CommitFolderChoice(wchar_t (&folder)[Helper::kPathCapacity])
{
    GetWindowTextW(Control(kSync, IDC_FOLDER), folder, Helper::kPathCapacity);
    FolderCheck check = CheckChosenFolder(dialog_, folder, Helper::App().sync_folder);
    // The box's loop may have let the dialog be closed meanwhile.
    if (!dialog_)
        return false;
    if (check == FolderCheck::Accepted)
        return true;
    ShowFolderForCorrection();
    return false;
}

void CSettingsCentre::ShowFolderForCorrection()
{
    tags_[kSync].SetState(TagState::Selected, dialog_);
    SwitchTo(kSync);
    HWND edit = Control(kSync, IDC_FOLDER);
    SetFocus(edit);
    SendMessageW(edit, EM_SETSEL, 0, -1);
}

void CSettingsCentre::WriteSpeedLimits()
{
    const wchar_t* user = Helper::App().user_name;
    Helper::WriteAccountDword(Helper::kRegEnableMaxUpload, user, IsChecked(kSync, IDC_UPLOAD_LIMIT_ON) ? 1 : 0);
    Helper::WriteAccountDword(Helper::kRegEnableMaxDownload, user, IsChecked(kSync, IDC_DOWNLOAD_LIMIT_ON) ? 1 : 0);
    Helper::WriteAccountDword(Helper::kRegMaxUpload, user, CommittedLimit(IDC_UPLOAD_LIMIT, IDC_UPLOAD_SPIN));
    Helper::WriteAccountDword(Helper::kRegMaxDownload, user, CommittedLimit(IDC_DOWNLOAD_LIMIT, IDC_DOWNLOAD_SPIN));
}

// The up-down keeps its last valid position when the box holds a number
// out of its range; the number typed is held within the range instead,
// and the box then shows what is stored.
int CSettingsCentre::CommittedLimit(int edit_id, int spin_id)
{
    wchar_t text[kLimitTextCapacity] = {};
    GetWindowTextW(Control(kSync, edit_id), text, kLimitTextCapacity);
    HWND spin = Control(kSync, spin_id);
    int position = static_cast<int>(SendMessageW(spin, UDM_GETPOS32, 0, 0));
    int limit = SpeedLimitFromText(Helper::AsU16(text), position);
    if (std::to_wstring(limit) != text)
        SendMessageW(spin, UDM_SETPOS32, 0, limit);
    return limit;
}

}  // namespace GUI
