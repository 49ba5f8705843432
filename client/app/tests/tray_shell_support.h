// What the tray's in-process tests share: a dialog host that records what
// the shell asked of it, the tray window made for a state, and the notices
// the window received.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "client/shell/app_state.h"
#include "client/shell/dialog_host.h"
#include "client/shell/tests/tray_probe_reader.h"

namespace Testing {

class CRecordingDialogs : public Helper::IDialogHost {
public:
    void OpenWizard(Helper::WizardMode mode) override { calls.push_back(L"wizard " + std::to_wstring(int(mode))); }
    void OpenWizardInCurrentMode() override { calls.push_back(L"wizard current"); }
    bool IsWizardOpen(Helper::WizardMode*) const override { return false; }
    void ShowWizard() override { calls.push_back(L"show wizard"); }
    void EndWizard() override { calls.push_back(L"end wizard"); }
    void OpenSettingsCentre() override { calls.push_back(L"settings"); }
    void CloseSettingsCentre() override { calls.push_back(L"close settings"); }
    void ShowUpdateStatus(const wchar_t* text, COLORREF colour) override
    {
        calls.push_back(L"status " + std::to_wstring(colour) + L" " + text);
    }

    std::vector<std::wstring> calls;
};

// The process's tray: the probe, the recording dialogs, the context in a
// given state and the tray window; everything undone at the end.
class CTrayFixture {
public:
    explicit CTrayFixture(Helper::AppState state);
    ~CTrayFixture();

    HWND Window() const { return window_; }
    CRecordingDialogs& Dialogs() { return dialogs_; }
    // What the tray sent since the fixture began, and the last of it (or
    // an empty record).
    std::vector<Helper::TrayProbeRecord> Records() const;
    Helper::TrayProbeRecord Last() const;
    // The notice codes posted to the tray window so far, taken out of the
    // queue (they are not handled).
    std::vector<LPARAM> TakeNotices();

private:
    LONG first_record_ = 0;
    CRecordingDialogs dialogs_;
    HWND window_ = nullptr;
};

// One probe for the whole process: the program opens its mapping once.
CTrayProbe& ProcessProbe();

// The context back to its start: Starting, no account, no timers.
void ResetContext();
// The session's account space as the last reply gave it.
void SetQuota(uint64_t total, uint64_t free);

}  // namespace Testing
