#include "client/ui/wizard.h"

#include "client/shell/dialog_font.h"
#include "client/shell/resource.h"
#include "client/shell/signon.h"
#include "client/shell/tray_icon.h"
#include "client/ui/dialog_look.h"
#include "client/ui/wizard_rules.h"
#include "common/utf.h"

#include <string>
#include <utility>

namespace GUI {

namespace {

using Helper::App;
using Helper::WizardMode;

// How a page's modal loop ends, besides the identifier of the page that
// follows it.
constexpr INT_PTR kPageEnded = 1;
constexpr INT_PTR kPageReplaced = 2;

constexpr int kLineWidth = 500;
constexpr int kLineHeight = 2;
constexpr int kFolderTextLimit = static_cast<int>(Helper::kPathCapacity) - 1;

void SetText(HWND page, int id, std::u16string_view text)
{
    SetDlgItemTextW(page, id, std::wstring(Helper::AsWide(text)).c_str());
}

}  // namespace

void CWizard::Open(WizardMode mode)
{
    Helper::ShowTipOnly(std::wstring(Helper::AsWide(WizardOpeningTip(mode))).c_str());
    Run(mode);
}

void CWizard::OpenInCurrentMode()
{
    Run(page_ ? App().wizard_mode : WizardMode::FullSetup);
}

bool CWizard::IsOpen(WizardMode* mode) const
{
    if (!page_)
        return false;
    if (mode)
        *mode = App().wizard_mode;
    return true;
}

void CWizard::Show()
{
    if (!page_)
        return;
    ShowWindow(page_, SW_SHOW);
    SetForegroundWindow(page_);
}

void CWizard::End()
{
    if (!page_)
        return;
    App().wizard_mode = WizardMode::FullSetup;
    EndPage(kPageEnded);
    FreeResources();
}

// The page's loop returns once the message in hand is done. The picture is
// taken back from its control first: a control of the common controls 6
// keeps a copy of a picture with alpha, which is then its caller's to free.
void CWizard::EndPage(INT_PTR result)
{
    HWND page = std::exchange(page_, nullptr);
    App().wizard_window = nullptr;
    auto shown = reinterpret_cast<HBITMAP>(SendDlgItemMessageW(page, IDC_SIDE_PICTURE, STM_SETIMAGE, IMAGE_BITMAP, 0));
    if (shown && shown != picture_.Get())
        DeleteObject(shown);
    EndDialog(page, result);
}

// A page of another mode ends with its resources kept, and the new mode's
// first page opens (modally, inside the ended page's loop, which returns
// after it).
void CWizard::Run(WizardMode mode)
{
    if (page_ && App().wizard_mode == mode) {
        Show();
        return;
    }
    if (page_)
        EndPage(kPageReplaced);
    else
        CreateResources();
    App().wizard_mode = mode;
    next_position_.reset();
    RunPages(FirstWizardPage(mode));
}

// Each page ends before the next opens; a page that ends with another
// page's identifier hands over to it.
void CWizard::RunPages(int page_id)
{
    for (;;) {
        opening_page_ = page_id;
        INT_PTR next = DialogBoxParamW(Helper::AppInstance(), MAKEINTRESOURCEW(page_id), nullptr, PageProc,
                                       reinterpret_cast<LPARAM>(this));
        if (next != kAccountPage && next != kFolderPage) {
            // A quit message ends the loop without ending the wizard, and
            // a page that could not be made leaves its resources.
            if (page_ && !IsWindow(page_))
                End();
            else if (!page_)
                FreeResources();
            return;
        }
        page_id = static_cast<int>(next);
        if (page_id == kAccountPage)
            App().wizard_mode = WizardMode::FullSetup;
    }
}

void CWizard::CreateResources()
{
    brush_ = MakeWhiteBrush();
    font_ = Helper::CreateDialogFont();
    header_font_ = Helper::CreateDialogFont(kHeaderFontExtraHeight);
    picture_ = LoadSidePicture(Helper::AppInstance());
}

void CWizard::FreeResources()
{
    picture_.Reset();
    header_font_.Reset();
    font_.Reset();
    brush_.Reset();
}

INT_PTR CALLBACK CWizard::PageProc(HWND page, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(page, DWLP_USER, lparam);
        reinterpret_cast<CWizard*>(lparam)->OnInit(page);
        return TRUE;
    }
    auto* self = reinterpret_cast<CWizard*>(GetWindowLongPtrW(page, DWLP_USER));
    // An ended page whose window waits for its loop to return is left alone.
    if (!self || page != self->page_)
        return FALSE;
    return self->OnMessage(message, wparam, lparam);
}

INT_PTR CWizard::OnMessage(UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_COMMAND:
        OnCommand(LOWORD(wparam));
        return TRUE;
    case Helper::WM_SIGNON_RESULT:
        OnSignonResult(static_cast<int>(wparam));
        return TRUE;
    case WM_NOTIFY:
        return OnLink(*reinterpret_cast<const NMHDR*>(lparam));
    case WM_CTLCOLORSTATIC:
        return StaticColours(reinterpret_cast<HWND>(lparam), reinterpret_cast<HDC>(wparam));
    case WM_CLOSE:
        OnClose();
        return TRUE;
    default:
        return FALSE;
    }
}

void CWizard::OnInit(HWND page)
{
    page_ = page;
    page_id_ = opening_page_;
    App().wizard_window = page;
    DressPage();
    if (next_position_)
        SetWindowPos(page, nullptr, next_position_->x, next_position_->y, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    if (IsAccountPage())
        InitAccountPage();
    else
        InitFolderPage();
}

// Fonts, icons, the white frame's line and the side picture, alike on
// both pages.
void CWizard::DressPage()
{
    Helper::ApplyFontToChildren(page_, font_.Get());
    SetProductIcons(page_, Helper::AppInstance());
    SendDlgItemMessageW(page_, IDC_HEADER, WM_SETFONT, reinterpret_cast<WPARAM>(header_font_.Get()), FALSE);
    SetWindowPos(GetDlgItem(page_, IDC_LINE), GetDlgItem(page_, IDC_FRAME), 0, 0, kLineWidth, kLineHeight,
                 SWP_NOMOVE | SWP_NOACTIVATE);
    HWND picture = GetDlgItem(page_, IDC_SIDE_PICTURE);
    if (picture_)
        SendMessageW(picture, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(picture_.Get()));
    else
        ShowWindow(picture, SW_HIDE);
}

// The labels, links and button texts come with the dialog resources.
void CWizard::InitAccountPage()
{
    WizardMode mode = App().wizard_mode;
    SetWindowTextW(page_, std::wstring(Helper::AsWide(WizardTitle(kAccountPage, mode))).c_str());
    SetText(page_, IDC_HEADER, kAccountPageHeader);
    SetText(page_, IDC_PROMPT, WizardPrompt(mode));
    SetText(page_, IDC_STEP, StepText(kAccountPage));
    const wchar_t* user = App().user_name[0] ? App().user_name : App().previous_user_name;
    SetDlgItemTextW(page_, IDC_USER, user);
    SendDlgItemMessageW(page_, IDC_USER, EM_LIMITTEXT, kUserNameLimit, 0);
    SendDlgItemMessageW(page_, IDC_PASSWORD, EM_LIMITTEXT, kPasswordLimit, 0);
    if (Helper::InteractiveSignOnRunning())
        EnableWindow(GetDlgItem(page_, IDC_NEXT), FALSE);
}

void CWizard::InitFolderPage()
{
    WizardMode mode = App().wizard_mode;
    SetWindowTextW(page_, std::wstring(Helper::AsWide(WizardTitle(kFolderPage, mode))).c_str());
    if (FolderPageShowsSteps(mode)) {
        SetText(page_, IDC_STEP, StepText(kFolderPage));
    } else {
        ShowWindow(GetDlgItem(page_, IDC_STEP), SW_HIDE);
        ShowWindow(GetDlgItem(page_, IDC_BACK), SW_HIDE);
    }
    SetText(page_, IDC_HEADER, FolderPageHeader(Helper::AsU16(App().user_name)));
    SetText(page_, IDC_EXPLANATION, FolderPageExplanation(mode));
    // One unit stays for the terminator of the buffer Finish reads into.
    SendDlgItemMessageW(page_, IDC_FOLDER, EM_LIMITTEXT, kFolderTextLimit, 0);
    SetDlgItemTextW(page_, IDC_FOLDER, App().sync_folder);
}

bool CWizard::IsAccountPage() const
{
    return page_id_ == kAccountPage;
}

}  // namespace GUI
