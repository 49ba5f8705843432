#include "client/ui/settings_centre.h"

#include "client/shell/app_state.h"
#include "client/shell/dialog_font.h"
#include "client/shell/resource.h"
#include "client/shell/settings_store.h"
#include "client/shell/tray_icon.h"
#include "client/ui/custom_draw.h"
#include "client/ui/dialog_look.h"
#include "common/registry_access.h"
#include "common/utf.h"

#include <commctrl.h>

#include <string>
#include <utility>

namespace GUI {

namespace {

constexpr int kFolderTextLimit = static_cast<int>(Helper::kPathCapacity) - 1;

// The rules' texts are literals, terminated after their views.
const wchar_t* Literal(std::u16string_view text)
{
    return Helper::AsWide(text).data();
}

RECT ToRECT(const Rect& r)
{
    return {r.left, r.top, r.right, r.bottom};
}

bool SignedIn()
{
    return IsSignedIn(Helper::GetAppState());
}

void SetSpeedLimitControls(HWND page, int check_id, int edit_id, int spin_id, const wchar_t* enabled_value,
                           const wchar_t* max_value)
{
    const wchar_t* user = Helper::App().user_name;
    bool signed_in = SignedIn();
    SendDlgItemMessageW(page, edit_id, EM_LIMITTEXT, kSpeedLimitDigits, 0);
    SendDlgItemMessageW(page, spin_id, UDM_SETRANGE32, kSpeedLimitMin, kSpeedLimitMax);
    uint32_t stored = signed_in ? Helper::ReadAccountDword(max_value, user) : 0;
    SendDlgItemMessageW(page, spin_id, UDM_SETPOS32, 0, ShownSpeedLimit(stored));
    bool on = signed_in && Helper::ReadAccountDword(enabled_value, user) == 1;
    CheckDlgButton(page, check_id, on ? BST_CHECKED : BST_UNCHECKED);
    EnableWindow(GetDlgItem(page, edit_id), on);
    EnableWindow(GetDlgItem(page, spin_id), on);
}

}  // namespace

CSettingsCentre::CSettingsCentre()
{
    for (int i = 0; i < kTagCount; ++i) {
        tags_[i].SetText(Literal(kTagTexts[i]));
        tags_[i].SetColour(TagState::Normal, ButtonFaceColour());
        tags_[i].SetColour(TagState::Hover, ButtonFaceColour());
        tags_[i].SetColour(TagState::Pressed, HighlightColour());
        tags_[i].SetColour(TagState::Selected, HighlightColour());
    }
}

void CSettingsCentre::Open()
{
    if (dialog_) {
        SetWindowPos(dialog_, HWND_TOP, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_SHOWWINDOW);
        return;
    }
    brush_ = MakeWhiteBrush();
    font_ = Helper::CreateDialogFont();
    DialogBoxParamW(Helper::AppInstance(), MAKEINTRESOURCEW(IDD_SETTINGS), nullptr, MainProc,
                    reinterpret_cast<LPARAM>(this));
    // A quit message ends the loop without closing the settings centre.
    if (dialog_ && !IsWindow(dialog_))
        Close();
}

// The dialog ends at once; its window goes when its modal loop returns.
void CSettingsCentre::Close()
{
    if (!dialog_)
        return;
    initialised_ = false;
    for (CPage& page : pages_) {
        if (page.window)
            DestroyWindow(page.window);
        page.window = nullptr;
        page.brush.Reset();
        page.font.Reset();
    }
    EndDialog(std::exchange(dialog_, nullptr), 0);
    brush_.Reset();
    font_.Reset();
}

void CSettingsCentre::ShowUpdateStatus(const wchar_t* text, COLORREF colour)
{
    if (dialog_ && pages_[kUpdate].window)
        SetStatus(text, colour);
}

INT_PTR CALLBACK CSettingsCentre::MainProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(dialog, DWLP_USER, lparam);
        reinterpret_cast<CSettingsCentre*>(lparam)->OnInit(dialog);
        return FALSE;
    }
    auto* self = reinterpret_cast<CSettingsCentre*>(GetWindowLongPtrW(dialog, DWLP_USER));
    // A closed dialog whose window still waits for its loop to end is left alone.
    if (!self || dialog != self->dialog_)
        return FALSE;
    return self->OnMain(message, wparam, lparam);
}

INT_PTR CSettingsCentre::OnMain(UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message != WM_TAG_SELECTED) {
        for (CTagButton& tag : tags_)
            tag.OnMouse(message, lparam, dialog_);
    }
    switch (message) {
    case WM_TAG_SELECTED:
        if (IndexOfTag(lparam) >= 0)
            SwitchTo(IndexOfTag(lparam));
        return TRUE;
    case WM_PAINT:
        PaintSettingsDialog(dialog_, font_.Get(), brush_.Get(), tags_, kTagCount);
        return TRUE;
    case WM_ERASEBKGND:
        SetWindowLongPtrW(dialog_, DWLP_MSGRESULT, 1);
        return TRUE;
    case WM_COMMAND:
        OnMainCommand(LOWORD(wparam));
        return TRUE;
    case WM_CTLCOLORSTATIC:
        return reinterpret_cast<INT_PTR>(brush_.Get());
    case WM_CLOSE:
        Close();
        return TRUE;
    default:
        return FALSE;
    }
}

void CSettingsCentre::OnInit(HWND dialog)
{
    dialog_ = dialog;
    Helper::ApplyFontToChildren(dialog, font_.Get());
    SetProductIcons(dialog, Helper::AppInstance());
    for (int i = 0; i < kTagCount; ++i)
        tags_[i].SetRect(ToRECT(TagButtonRect(i)));
    RECT client;
    GetClientRect(dialog, &client);
    RECT place = ToRECT(SettingsPageRect({client.left, client.top, client.right, client.bottom}));
    for (int i = 0; i < kTagCount; ++i)
        CreatePage(i, place);
    // Opens on 常规选项 once the notice arrives.
    tags_[kGeneral].SetState(TagState::Selected, dialog_);
    initialised_ = true;
}

bool CSettingsCentre::CreatePage(int index, const RECT& place)
{
    CPage& page = pages_[index];
    page.brush = MakeWhiteBrush();
    page.font = Helper::CreateDialogFont();
    page.window = CreateDialogParamW(Helper::AppInstance(), MAKEINTRESOURCEW(kPageIds[index]), dialog_, PageProc,
                                     reinterpret_cast<LPARAM>(this));
    if (!page.window)
        return false;
    Helper::ApplyFontToChildren(page.window, page.font.Get());
    if (index == kGeneral)
        InitGeneralPage(page.window);
    else if (index == kSync)
        InitSyncPage(page.window);
    else
        InitUpdatePage(page.window);
    MoveWindow(page.window, place.left, place.top, place.right - place.left, place.bottom - place.top, FALSE);
    ShowWindow(page.window, SW_SHOW);
    if (HWND first = GetNextDlgTabItem(page.window, nullptr, FALSE))
        SetFocus(first);
    return true;
}

void CSettingsCentre::InitGeneralPage(HWND page)
{
    bool signed_in = SignedIn();
    std::u16string link = AccountLinkText(Helper::AsU16(Helper::App().user_name), signed_in);
    SetDlgItemTextW(page, IDC_ACCOUNT_LINK, std::wstring(Helper::AsWide(link)).c_str());
    if (!signed_in) {
        EnableWindow(GetDlgItem(page, IDC_ACCOUNT_LINK), FALSE);
        EnableWindow(GetDlgItem(page, IDC_CHANGE_ACCOUNT), FALSE);
    }
    CheckDlgButton(page, IDC_AUTORUN, Helper::IsAutorunEnabled() ? BST_CHECKED : BST_UNCHECKED);
}

void CSettingsCentre::InitSyncPage(HWND page)
{
    // One unit stays for the terminator of the buffer the commit reads into.
    SendDlgItemMessageW(page, IDC_FOLDER, EM_LIMITTEXT, kFolderTextLimit, 0);
    if (SignedIn())
        SetDlgItemTextW(page, IDC_FOLDER, Helper::App().sync_folder);
    SetSpeedLimitControls(page, IDC_UPLOAD_LIMIT_ON, IDC_UPLOAD_LIMIT, IDC_UPLOAD_SPIN, Helper::kRegEnableMaxUpload,
                          Helper::kRegMaxUpload);
    SetSpeedLimitControls(page, IDC_DOWNLOAD_LIMIT_ON, IDC_DOWNLOAD_LIMIT, IDC_DOWNLOAD_SPIN,
                          Helper::kRegEnableMaxDownload, Helper::kRegMaxDownload);
    if (SignedIn())
        return;
    for (int id : {IDC_FOLDER, IDC_CHANGE_FOLDER, IDC_UPLOAD_LIMIT, IDC_DOWNLOAD_LIMIT, IDC_UPLOAD_SPIN,
                   IDC_DOWNLOAD_SPIN, IDC_UPLOAD_LIMIT_ON, IDC_DOWNLOAD_LIMIT_ON, IDC_UPLOAD_UNIT, IDC_DOWNLOAD_UNIT})
        EnableWindow(GetDlgItem(page, id), FALSE);
}

void CSettingsCentre::InitUpdatePage(HWND page)
{
    CheckRadioButton(page, IDC_AUTO_UPDATE_ON, IDC_AUTO_UPDATE_OFF,
                     Helper::ReadAutoUpdate() != 0 ? IDC_AUTO_UPDATE_ON : IDC_AUTO_UPDATE_OFF);
    StatusLine initial = InitialUpdateStatus();
    status_colour_ = initial.colour;
    SetDlgItemTextW(page, IDC_UPDATE_STATUS, Literal(initial.text));
    SetDlgItemTextW(page, IDC_WEB_SITE_LINK, L"<a>访问TavoTessel官方网站</a>");
}

void CSettingsCentre::SwitchTo(int index)
{
    for (int i = 0; i < kTagCount; ++i) {
        if (i != index && tags_[i].GetState() != TagState::Normal)
            tags_[i].SetState(TagState::Normal, dialog_);
    }
    HWND page = pages_[index].window;
    if (!page)
        return;
    // The title band shows the page's window text.
    SetWindowTextW(page, Literal(kTagTexts[index]));
    InvalidateRect(page, nullptr, FALSE);
    SetWindowPos(page, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
    if (HWND first = GetNextDlgTabItem(page, nullptr, FALSE))
        SetFocus(first);
    for (int i = 0; i < kTagCount; ++i) {
        if (i != index && pages_[i].window)
            ShowWindow(pages_[i].window, SW_HIDE);
    }
}

int CSettingsCentre::IndexOfTag(LPARAM tag) const
{
    for (int i = 0; i < kTagCount; ++i) {
        if (reinterpret_cast<LPARAM>(&tags_[i]) == tag)
            return i;
    }
    return -1;
}

int CSettingsCentre::IndexOfPage(HWND page) const
{
    for (int i = 0; i < kTagCount; ++i) {
        if (page && pages_[i].window == page)
            return i;
    }
    return -1;
}

HWND CSettingsCentre::Control(int page, int id) const
{
    return GetDlgItem(pages_[page].window, id);
}

bool CSettingsCentre::IsChecked(int page, int id) const
{
    return IsDlgButtonChecked(pages_[page].window, id) == BST_CHECKED;
}

CAutoUpdateChoice& CSettingsCentre::LastAutoUpdateChoice()
{
    if (!last_choice_)
        last_choice_.emplace(Helper::ReadAutoUpdate() != 0);
    return *last_choice_;
}

}  // namespace GUI
