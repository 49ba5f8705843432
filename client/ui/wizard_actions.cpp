// The wizard pages at work: 下一步 and the sign-on result, the links, the
// folder browser, 上一步, 完成, closing by mode, and the page colours.
#include "client/ui/wizard.h"

#include "client/shell/controller.h"
#include "client/shell/controller_rules.h"
#include "client/shell/resource.h"
#include "client/shell/signon.h"
#include "client/shell/tray_icon.h"
#include "client/shell/tray_texts.h"
#include "client/ui/folder_choice.h"
#include "client/ui/wizard_rules.h"
#include "common/utf.h"
#include "deployment.h"

#include <commctrl.h>

#include <new>
#include <string>

namespace GUI {

namespace {

using Helper::App;
using Helper::AppState;
using Helper::WizardMode;

constexpr COLORREF kErrorRed = RGB(255, 0, 0);

}  // namespace

void CWizard::OnCommand(int id)
{
    switch (id) {
    case IDC_NEXT:
        if (IsAccountPage())
            OnNext();
        break;
    case IDC_CHANGE_FOLDER:
        OnChangeFolder();
        break;
    case IDC_BACK:
        // Not offered when the folder page asks for a new folder alone.
        if (IsWindowVisible(GetDlgItem(page_, IDC_BACK))) {
            Helper::SignOut();
            GoTo(kAccountPage);
        }
        break;
    case IDC_FINISH:
        if (!IsAccountPage())
            OnFinish();
        break;
    case IDCANCEL:  // Escape
        OnClose();
        break;
    default:
        break;
    }
}

// The result comes back as WM_SIGNON_RESULT, at once for input of the
// wrong length.
void CWizard::OnNext()
{
    ShowWindow(GetDlgItem(page_, IDC_SIGNON_ERROR), SW_HIDE);
    wchar_t user[Helper::kUserNameCapacity] = {};
    wchar_t password[Helper::kPasswordCapacity] = {};
    GetDlgItemTextW(page_, IDC_USER, user, Helper::kUserNameCapacity);
    GetDlgItemTextW(page_, IDC_PASSWORD, password, Helper::kPasswordCapacity);
    EnableWindow(GetDlgItem(page_, IDC_NEXT), FALSE);
    FocusControl(IDC_USER);
    auto* callback = new (std::nothrow) Helper::CSignonCB;
    if (callback)
        Helper::StartInteractiveSignOn(user, password, callback);
    else
        PostMessageW(page_, Helper::WM_SIGNON_RESULT, Helper::kSignOnFailed, 0);
    SecureZeroMemory(password, sizeof password);
}

void CWizard::OnSignonResult(int code)
{
    if (!IsAccountPage())
        return;
    EnableWindow(GetDlgItem(page_, IDC_NEXT), TRUE);
    if (code == Helper::kSignedOn) {
        GoTo(kFolderPage);
        return;
    }
    FocusControl(IDC_USER);
    std::u16string_view text = SignOnErrorText(code == Helper::kSignOnRefused ? code : Helper::kSignOnFailed);
    HWND error = GetDlgItem(page_, IDC_SIGNON_ERROR);
    SetWindowTextW(error, std::wstring(Helper::AsWide(text)).c_str());
    ShowWindow(error, SW_SHOWNA);
}

void CWizard::OnChangeFolder()
{
    wchar_t folder[Helper::kPathCapacity] = {};
    GetDlgItemTextW(page_, IDC_FOLDER, folder, Helper::kPathCapacity);
    HWND page = page_;
    if (PickSyncFolder(page, App().user_name, folder) && page == page_)
        SetDlgItemTextW(page_, IDC_FOLDER, folder);
}

// A folder that cannot be made keeps the page open; one that is not empty
// is used only when the user agrees. The account's speed limits are
// applied again unless the user declined.
void CWizard::OnFinish()
{
    wchar_t folder[Helper::kPathCapacity] = {};
    GetDlgItemTextW(page_, IDC_FOLDER, folder, Helper::kPathCapacity);
    HWND page = page_;
    FolderCheck check = CheckChosenFolder(page, folder, App().sync_folder);
    // The box's loop may have let the wizard end or change meanwhile.
    if (page != page_)
        return;
    if (check == FolderCheck::Declined) {
        FocusControl(IDC_FOLDER);
        return;
    }
    if (check == FolderCheck::Accepted) {
        End();
        Helper::CommitSyncFolder(folder);
    } else {
        FocusControl(IDC_FOLDER);
    }
    Helper::ApplySpeedLimits();
}

// FullSetup goes back to the previous account when there is one; the other
// modes leave the tip of the state that called for them.
void CWizard::OnClose()
{
    WizardCloseReaction reaction = CloseReaction(App().wizard_mode, App().previous_user_name[0] != L'\0');
    if (reaction.restores_previous_account) {
        if (Helper::GetAppState() == AppState::NotBound) {
            Helper::SetAppState(Helper::NextState(Helper::StateTrigger::WizardClosedWithPrevious, AppState::NotBound));
            Helper::LoadAccountSettings();
        }
        Helper::StartAutoSignOn();
    }
    if (reaction.leaves_tip) {
        Helper::TipText tip = Helper::TipForState(reaction.tip_of_state, {});
        Helper::ShowTipOnly(std::wstring(Helper::AsWide(tip.text)).c_str());
    }
    End();
}

bool CWizard::OnLink(const NMHDR& header)
{
    if (header.code != NM_CLICK && header.code != NM_RETURN)
        return false;
    if (header.idFrom == IDC_FORGOT_LINK)
        Helper::OpenUrl(TAVO_WEB_PASSWORD_W);
    else if (header.idFrom == IDC_REGISTER_LINK)
        Helper::OpenUrl(TAVO_WEB_REGISTER_W);
    else
        return false;
    SetWindowLongPtrW(page_, DWLP_MSGRESULT, 1);
    return true;
}

// The error text is red on white, the step text keeps the dialog's colours,
// every other static is on white.
INT_PTR CWizard::StaticColours(HWND control, HDC dc)
{
    int id = GetDlgCtrlID(control);
    if (id == IDC_STEP)
        return FALSE;
    if (id == IDC_SIGNON_ERROR)
        SetTextColor(dc, kErrorRed);
    SetBkMode(dc, TRANSPARENT);
    return reinterpret_cast<INT_PTR>(brush_.Get());
}

// The next page opens where this one stands.
void CWizard::GoTo(int page_id)
{
    RECT place;
    GetWindowRect(page_, &place);
    next_position_ = POINT{place.left, place.top};
    EndPage(page_id);
}

void CWizard::FocusControl(int id)
{
    SendMessageW(page_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(page_, id)), TRUE);
}

}  // namespace GUI
