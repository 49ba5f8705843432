// The setup wizard: the account page (dialog 104), whose 下一步 signs on
// interactively, and the folder page (dialog 105), whose 完成 makes the
// folder and commits it; one page exists at a time, each a modal dialog
// without owner that ends before the next one opens at its place. The
// mode (AppContext's wizard mode) says who called for it: a first binding,
// a refused password, a lost folder or unreadable account information.
// UI thread.
#pragma once

#include <windows.h>

#include <optional>

#include "client/shell/app_state.h"
#include "common/bounded_string.h"
#include "common/win_handle.h"

namespace GUI {

class CWizard {
public:
    CWizard() = default;
    CWizard(const CWizard&) = delete;
    CWizard& operator=(const CWizard&) = delete;

    // Sets the mode's opening tip, then raises the open page of the same
    // mode, or replaces a page of another mode, or opens the first page of
    // the mode. Returns when the wizard has ended.
    void Open(Helper::WizardMode mode);
    // The same in the open wizard's mode (FullSetup when none is open),
    // without the tip.
    void OpenInCurrentMode();
    bool IsOpen(Helper::WizardMode* mode) const;
    void Show();
    // Ends the open page and frees the wizard's fonts, brush and picture.
    void End();

private:
    void Run(Helper::WizardMode mode);
    void RunPages(int page_id);
    void EndPage(INT_PTR result);
    void CreateResources();
    void FreeResources();

    static INT_PTR CALLBACK PageProc(HWND page, UINT message, WPARAM wparam, LPARAM lparam);
    INT_PTR OnMessage(UINT message, WPARAM wparam, LPARAM lparam);
    void OnInit(HWND page);
    void DressPage();
    void InitAccountPage();
    void InitFolderPage();
    void OnCommand(int id);
    void OnNext();
    void OnSignonResult(int code);
    void OnChangeFolder();
    void OnFinish();
    void OnClose();
    bool OnLink(const NMHDR& header);
    INT_PTR StaticColours(HWND control, HDC dc);
    void GoTo(int page_id);
    void FocusControl(int id);
    bool IsAccountPage() const;

    HWND page_ = nullptr;
    int opening_page_ = 0;
    int page_id_ = 0;
    // Where the next page opens: the screen position of the one before.
    std::optional<POINT> next_position_;
    Helper::CBrushHandle brush_;
    Helper::CFontHandle font_;
    Helper::CFontHandle header_font_;
    Helper::CBitmapHandle picture_;
};

}  // namespace GUI
