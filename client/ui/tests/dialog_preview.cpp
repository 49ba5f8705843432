// Shows one dialog resource of TavoTessel.exe as the program dresses it
// (run-time fonts, side picture, frame and line sizes, long sample texts),
// for screenshots, for the layout check and as the test driver's target.
//
// dialog_preview ID [--ready FILE] [--stop FILE] [--check]
//   ID       101, 104, 105, 108, or a settings page 110, 112, 113 (shown in
//            the settings centre at its page place)
//   --ready  writes "left top right bottom" of the dialog there once shown
//   --stop   closes the dialog once that file exists
//   --check  prints the layout problems and exits with their number
// A click on 下一步 shows the red sign-on error text, as the account page does,
// and hides it again, so that every click can be seen.
#include "client/shell/app_state_values.h"
#include "client/shell/dialog_font.h"
#include "client/shell/tray_texts.h"
#include "client/shell/resource.h"
#include "client/ui/custom_draw.h"
#include "client/ui/dialog_look.h"
#include "client/ui/settings_rules.h"
#include "client/ui/tests/dialog_preview.h"
#include "client/ui/wizard_rules.h"
#include "common/utf.h"

#include <commctrl.h>

#include <cstdio>
#include <string>

namespace {

using Helper::WizardMode;

constexpr UINT_PTR kStopTimer = 1;
constexpr COLORREF kRed = RGB(255, 0, 0);
constexpr const wchar_t* kSampleUser = L"tessel_user_015";

struct Options {
    int id = 0;
    std::wstring ready_file;
    std::wstring stop_file;
    bool check = false;
};

struct State {
    Options options;
    Helper::CFontHandle font;
    Helper::CFontHandle header_font;
    Helper::CBrushHandle white;
    Helper::CBitmapHandle picture;
    HWND dialog = nullptr;
    HWND page = nullptr;
    GUI::CTagButton tags[GUI::kTagCount];
};
State g;

// The rules' UTF-16 texts for the platform's calls.
std::wstring W(std::u16string_view s)
{
    return std::wstring(s.begin(), s.end());
}

void SetItem(HWND dialog, int id, const wchar_t* text)
{
    SetDlgItemTextW(dialog, id, text);
}

void DressWizard(HWND d, int id)
{
    SendDlgItemMessageW(d, IDC_HEADER, WM_SETFONT, reinterpret_cast<WPARAM>(g.header_font.Get()), FALSE);
    SetWindowPos(GetDlgItem(d, IDC_LINE), GetDlgItem(d, IDC_FRAME), 0, 0, 500, 2, SWP_NOMOVE | SWP_NOACTIVATE);
    if (g.picture)
        SendDlgItemMessageW(d, IDC_SIDE_PICTURE, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(g.picture.Get()));
    else
        ShowWindow(GetDlgItem(d, IDC_SIDE_PICTURE), SW_HIDE);
    SetWindowTextW(d, W(GUI::WizardTitle(id, WizardMode::FullSetup)).c_str());
    SetItem(d, IDC_STEP, W(GUI::StepText(id)).c_str());
    if (id == IDD_WIZARD_ACCOUNT) {
        SetItem(d, IDC_HEADER, W(GUI::kAccountPageHeader).c_str());
        SetItem(d, IDC_PROMPT, W(GUI::WizardPrompt(WizardMode::RetryAccountInfo)).c_str());
        SetItem(d, IDC_USER, kSampleUser);
        SetItem(d, IDC_SIGNON_ERROR, W(GUI::SignOnErrorText(2)).c_str());
    } else {
        std::wstring user(kSampleUser);
        SetItem(d, IDC_HEADER, W(GUI::FolderPageHeader(std::u16string(user.begin(), user.end()))).c_str());
        SetItem(d, IDC_FOLDER, L"D:\\TavoTessel\\tessel_user_015");
    }
}

// The fourth part of the file version is the build number.
Helper::VersionParts OwnVersion()
{
    Helper::VersionParts v;
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &handle);
    std::string data(size, '\0');
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (size && GetFileVersionInfoW(path, 0, size, &data[0]) &&
        VerQueryValueW(&data[0], L"\\", reinterpret_cast<void**>(&fixed), &length)) {
        v = {{HIWORD(fixed->dwProductVersionMS), LOWORD(fixed->dwProductVersionMS),
              HIWORD(fixed->dwProductVersionLS), LOWORD(fixed->dwProductVersionLS)},
             LOWORD(fixed->dwFileVersionLS)};
    }
    return v;
}

void DressAbout(HWND d)
{
    RECT client;
    GetClientRect(d, &client);
    SetWindowPos(GetDlgItem(d, IDC_FRAME), nullptr, 0, 0, client.right, client.bottom - 50,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    SetWindowPos(GetDlgItem(d, IDC_LINE), nullptr, 0, 0, client.right, 2, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    SetItem(d, IDC_VERSION, W(Helper::FormatVersionText(OwnVersion())).c_str());
}

int PageIndex(int page_id)
{
    return page_id == IDD_PAGE_GENERAL ? 0 : page_id == IDD_PAGE_SYNC ? 1 : 2;
}

// The page's window text is its tag text, which its title band shows.
void DressPage(HWND p, int id)
{
    SetWindowTextW(p, W(GUI::kTagTexts[PageIndex(id)]).c_str());
    if (id == IDD_PAGE_GENERAL) {
        SetItem(p, IDC_ACCOUNT_LINK, W(GUI::AccountLinkText(u"tessel_user_015", true)).c_str());
        CheckDlgButton(p, IDC_AUTORUN, BST_CHECKED);
    } else if (id == IDD_PAGE_SYNC) {
        SetItem(p, IDC_FOLDER, L"D:\\TavoTessel\\tessel_user_015");
        SendDlgItemMessageW(p, IDC_UPLOAD_SPIN, UDM_SETRANGE32, GUI::kSpeedLimitMin, GUI::kSpeedLimitMax);
        SendDlgItemMessageW(p, IDC_UPLOAD_SPIN, UDM_SETPOS32, 0, GUI::ShownSpeedLimit(0));
        SendDlgItemMessageW(p, IDC_DOWNLOAD_SPIN, UDM_SETRANGE32, GUI::kSpeedLimitMin, GUI::kSpeedLimitMax);
        SendDlgItemMessageW(p, IDC_DOWNLOAD_SPIN, UDM_SETPOS32, 0, GUI::ShownSpeedLimit(2048));
        CheckDlgButton(p, IDC_UPLOAD_LIMIT_ON, BST_CHECKED);
        EnableWindow(GetDlgItem(p, IDC_UPLOAD_LIMIT), TRUE);
    } else {
        CheckDlgButton(p, IDC_AUTO_UPDATE_ON, BST_CHECKED);
        SetItem(p, IDC_UPDATE_STATUS, W(GUI::UpdateCheckStatus(false).text).c_str());
    }
}

GUI::Rect ToRect(const RECT& r)
{
    return {r.left, r.top, r.right, r.bottom};
}

// The extent each painted heading really covers.
std::vector<RECT> HeadingExtents(HWND page, HDC dc)
{
    RECT client;
    GetClientRect(page, &client);
    std::vector<RECT> extents;
    GUI::PageDecoration deco = GUI::PageDecorationFor(GetWindowLongW(page, GWLP_USERDATA), ToRect(client));
    HGDIOBJ old_font = SelectObject(dc, g.font.Get());
    for (const GUI::SectionHeading& h : deco.headings) {
        RECT extent = {h.rect.left, h.rect.top, h.rect.right, h.rect.bottom};
        DrawTextW(dc, W(h.text).c_str(), -1, &extent, DT_SINGLELINE | DT_VCENTER | DT_CALCRECT);
        extent.top = h.rect.top;
        extent.bottom = h.rect.bottom;
        extents.push_back(extent);
    }
    SelectObject(dc, old_font);
    return extents;
}

INT_PTR CALLBACK PageProc(HWND p, UINT message, WPARAM wparam, LPARAM)
{
    if (message == WM_PAINT) {
        GUI::PaintSettingsPage(p, GetWindowLongW(p, GWLP_USERDATA), g.font.Get(), g.white.Get());
        return TRUE;
    }
    if (message == WM_CTLCOLORSTATIC) {
        SetBkMode(reinterpret_cast<HDC>(wparam), TRANSPARENT);
        return reinterpret_cast<INT_PTR>(g.white.Get());
    }
    return FALSE;
}

HWND CreatePage(HWND d, int page_id)
{
    HWND p = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(page_id), d, PageProc, 0);
    if (!p)
        return nullptr;
    SetWindowLongW(p, GWLP_USERDATA, page_id);
    Helper::ApplyFontToChildren(p, g.font.Get());
    RECT client;
    GetClientRect(d, &client);
    GUI::Rect r = GUI::SettingsPageRect(ToRect(client));
    MoveWindow(p, r.left, r.top, r.right - r.left, r.bottom - r.top, FALSE);
    DressPage(p, page_id);
    ShowWindow(p, SW_SHOW);
    return p;
}

INT_PTR WizardColours(HWND control, HDC dc)
{
    int id = GetDlgCtrlID(control);
    if (id == IDC_STEP)
        return FALSE;
    if (id == IDC_SIGNON_ERROR)
        SetTextColor(dc, kRed);
    SetBkMode(dc, TRANSPARENT);
    return reinterpret_cast<INT_PTR>(g.white.Get());
}

INT_PTR OnInit(HWND d)
{
    g.dialog = d;
    Helper::ApplyFontToChildren(d, g.font.Get());
    int id = g.options.id;
    if (id == IDD_WIZARD_ACCOUNT || id == IDD_WIZARD_FOLDER)
        DressWizard(d, id);
    else if (id == IDD_ABOUT)
        DressAbout(d);
    for (int i = 0; i < GUI::kTagCount; ++i) {
        GUI::Rect r = GUI::TagButtonRect(i);
        g.tags[i].SetRect({r.left, r.top, r.right, r.bottom});
        g.tags[i].SetText(Helper::AsWide(GUI::kTagTexts[i]).data());
        g.tags[i].SetColour(GUI::TagState::Selected, GUI::HighlightColour());
    }
    if (id >= IDD_PAGE_GENERAL) {
        g.page = CreatePage(d, id);
        g.tags[PageIndex(id)].SetState(GUI::TagState::Selected, d);
    }
    return TRUE;
}

INT_PTR CALLBACK DialogProc(HWND d, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_INITDIALOG:
        return OnInit(d);
    case WM_CTLCOLORSTATIC:
        if (g.options.id == IDD_SETTINGS || g.options.id >= IDD_PAGE_GENERAL)
            return FALSE;
        return WizardColours(reinterpret_cast<HWND>(lparam), reinterpret_cast<HDC>(wparam));
    case WM_PAINT:
        if (g.options.id >= IDD_PAGE_GENERAL || g.options.id == IDD_SETTINGS) {
            GUI::PaintSettingsDialog(d, g.font.Get(), g.white.Get(), g.tags, GUI::kTagCount);
            return TRUE;
        }
        return FALSE;
    case WM_COMMAND:
        if (LOWORD(wparam) == IDC_NEXT) {
            HWND error = GetDlgItem(d, IDC_SIGNON_ERROR);
            ShowWindow(error, IsWindowVisible(error) ? SW_HIDE : SW_SHOWNA);
        }
        else if (LOWORD(wparam) == IDCANCEL || LOWORD(wparam) == IDOK)
            DestroyWindow(d);
        return TRUE;
    case WM_TIMER:
        if (wparam == kStopTimer && GetFileAttributesW(g.options.stop_file.c_str()) != INVALID_FILE_ATTRIBUTES)
            DestroyWindow(d);
        return TRUE;
    case WM_CLOSE:
        DestroyWindow(d);
        return TRUE;
    case WM_DESTROY:
        PostQuitMessage(0);
        return TRUE;
    }
    return FALSE;
}

bool ParseOptions(int argc, wchar_t** argv, Options* o)
{
    for (int i = 1; i < argc; ++i) {
        std::wstring a = argv[i];
        if (a == L"--check")
            o->check = true;
        else if (a == L"--ready" && i + 1 < argc)
            o->ready_file = argv[++i];
        else if (a == L"--stop" && i + 1 < argc)
            o->stop_file = argv[++i];
        else
            o->id = _wtoi(a.c_str());
    }
    const int known[] = {IDD_SETTINGS, IDD_WIZARD_ACCOUNT, IDD_WIZARD_FOLDER, IDD_ABOUT,
                         IDD_PAGE_GENERAL, IDD_PAGE_SYNC, IDD_PAGE_UPDATE};
    for (int id : known)
        if (o->id == id)
            return true;
    return false;
}

void WriteReady()
{
    RECT r = {};
    GetWindowRect(g.dialog, &r);
    FILE* f = _wfopen(g.options.ready_file.c_str(), L"w");
    if (f) {
        fprintf(f, "%ld %ld %ld %ld\n", r.left, r.top, r.right, r.bottom);
        fclose(f);
    }
}

int ReportLayout()
{
    // The account page's error text is checked as it appears after a refusal.
    if (g.options.id == IDD_WIZARD_ACCOUNT)
        ShowWindow(GetDlgItem(g.dialog, IDC_SIGNON_ERROR), SW_SHOWNA);
    std::vector<std::wstring> problems = Preview::CheckLayout(g.dialog, g.options.id);
    if (g.page) {
        for (const std::wstring& p : Preview::CheckLayout(g.page, g.options.id))
            problems.push_back(p);
        HDC dc = GetDC(g.page);
        std::vector<RECT> headings = HeadingExtents(g.page, dc);
        ReleaseDC(g.page, dc);
        for (const std::wstring& p : Preview::CheckHeadings(g.page, g.options.id, headings))
            problems.push_back(p);
    }
    for (const std::wstring& p : problems)
        wprintf(L"%ls\n", p.c_str());
    wprintf(L"dialog %d: %d layout problem(s)\n", g.options.id, static_cast<int>(problems.size()));
    return static_cast<int>(problems.size());
}

int RunLoop()
{
    if (!g.options.stop_file.empty())
        SetTimer(g.dialog, kStopTimer, 100, nullptr);
    MSG msg;
    bool ready_written = false;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageW(g.dialog, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        // Written once everything queued at start (the first paints) is done.
        if (!ready_written && !g.options.ready_file.empty() &&
            !PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
            WriteReady();
            ready_written = true;
        }
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (!ParseOptions(argc, argv, &g.options)) {
        fwprintf(stderr, L"usage: dialog_preview 101|104|105|108|110|112|113 [--ready FILE] [--stop FILE] [--check]\n");
        return 100;
    }
    INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_LINK_CLASS | ICC_UPDOWN_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);
    g.font = Helper::CreateDialogFont();
    g.header_font = Helper::CreateDialogFont(GUI::kHeaderFontExtraHeight);
    g.white = GUI::MakeWhiteBrush();
    g.picture = GUI::LoadSidePicture(GetModuleHandleW(nullptr));
    int shown = g.options.id >= IDD_PAGE_GENERAL ? IDD_SETTINGS : g.options.id;
    CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(shown), nullptr, DialogProc, 0);
    int result = 1;
    if (g.dialog && g.options.check) {
        // Checked without showing, so that nothing covers another test's windows.
        result = ReportLayout();
    } else if (g.dialog) {
        ShowWindow(g.dialog, SW_SHOW);
        UpdateWindow(g.dialog);
        result = RunLoop();
        if (IsWindow(g.dialog))
            DestroyWindow(g.dialog);
    }
    return result;
}
