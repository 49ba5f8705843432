// The settings centre "设置中心": dialog 101 with the pages 常规选项 (110),
// 同步设置 (112) and 软件更新 (113), switched by a strip of three tag
// buttons. Changes are collected and committed together by 应用 or 确定;
// 取消 drops them. 更换账户, 检查更新 and the two links act at once.
// Everything runs on the UI thread inside the modal dialog loop.
#pragma once

#include <windows.h>

#include <optional>

#include "client/shell/resource.h"
#include "client/ui/settings_rules.h"
#include "client/ui/tag_button.h"
#include "common/bounded_string.h"
#include "common/win_handle.h"

namespace GUI {

class CSettingsCentre {
public:
    // The tag buttons with their texts and colours; the program constructs
    // its one settings centre as a static object.
    CSettingsCentre();
    CSettingsCentre(const CSettingsCentre&) = delete;
    CSettingsCentre& operator=(const CSettingsCentre&) = delete;

    // Raises the open dialog, or opens it modally without owner and returns
    // when it closes.
    void Open();
    // Ends the pages and the dialog without committing.
    void Close();
    bool IsOpen() const { return dialog_ != nullptr; }
    // The update page's status line in a COLORREF colour; lost when closed.
    void ShowUpdateStatus(const wchar_t* text, COLORREF colour);

private:
    struct CPage {
        HWND window = nullptr;
        Helper::CBrushHandle brush;
        Helper::CFontHandle font;
    };
    enum PageIndex { kGeneral = 0, kSync = 1, kUpdate = 2 };
    static constexpr int kPageIds[kTagCount] = {IDD_PAGE_GENERAL, IDD_PAGE_SYNC, IDD_PAGE_UPDATE};

    static INT_PTR CALLBACK MainProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
    static INT_PTR CALLBACK PageProc(HWND page, UINT message, WPARAM wparam, LPARAM lparam);
    INT_PTR OnMain(UINT message, WPARAM wparam, LPARAM lparam);
    INT_PTR OnPage(int index, UINT message, WPARAM wparam, LPARAM lparam);

    void OnInit(HWND dialog);
    bool CreatePage(int index, const RECT& place);
    void InitGeneralPage(HWND page);
    void InitSyncPage(HWND page);
    void InitUpdatePage(HWND page);
    void SwitchTo(int index);
    int IndexOfTag(LPARAM tag) const;
    int IndexOfPage(HWND page) const;
    HWND Control(int page, int id) const;

    void OnMainCommand(int id);
    void OnPageCommand(int id, int code);
    void OnPageLink(int id);
    void TrackChange(int id, int code);
    void EnableLimit(int check_id);
    void ChangeFolder();
    void ChangeAccount();
    void CheckForUpdate();
    void SetStatus(const wchar_t* text, COLORREF colour);

    void Commit(bool close_after);
    bool CommitFolderChoice(wchar_t (&folder)[Helper::kPathCapacity]);
    void ShowFolderForCorrection();
    void WriteSpeedLimits();
    int CommittedLimit(int edit_id, int spin_id);
    bool IsChecked(int page, int id) const;
    CAutoUpdateChoice& LastAutoUpdateChoice();

    CTagButton tags_[kTagCount];
    HWND dialog_ = nullptr;
    Helper::CBrushHandle brush_;
    Helper::CFontHandle font_;
    CPage pages_[kTagCount];
    bool initialised_ = false;
    COLORREF status_colour_ = kStatusBlack;
    // Read once per process from "IsAutoUpdate", then kept by the clicks.
    std::optional<CAutoUpdateChoice> last_choice_;
};

}  // namespace GUI
