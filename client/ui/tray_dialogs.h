// The program's dialogs as the shell reaches them: the setup wizard and the
// settings centre behind Helper::IDialogHost. The program keeps one
// CTrayDialogs as its first static object (it holds the settings centre's
// tab buttons) and registers it with Helper::SetDialogHost.
#pragma once

#include "client/shell/dialog_host.h"

namespace GUI {

class CTrayDialogs : public Helper::IDialogHost {
public:
    void OpenWizard(Helper::WizardMode mode) override;
    void OpenWizardInCurrentMode() override;
    bool IsWizardOpen(Helper::WizardMode* mode) const override;
    void ShowWizard() override;
    void EndWizard() override;
    void OpenSettingsCentre() override;
    void CloseSettingsCentre() override;
    void ShowUpdateStatus(const wchar_t* text, COLORREF colour) override;
};

}  // namespace GUI
