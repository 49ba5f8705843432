// The program's dialogs as the shell reaches them: the setup wizard and the
// settings centre behind Helper::IDialogHost. The program keeps one
// CTrayDialogs as its first static object (it holds the settings centre's
// tab buttons) and registers it with Helper::SetDialogHost.
#pragma once

#include "client/shell/dialog_host.h"
#include "client/ui/settings_centre.h"
#include "client/ui/wizard.h"

namespace GUI {

class CTrayDialogs : public Helper::IDialogHost {
public:
    void OpenWizard(Helper::WizardMode mode) override { wizard_.Open(mode); }
    void OpenWizardInCurrentMode() override { wizard_.OpenInCurrentMode(); }
    bool IsWizardOpen(Helper::WizardMode* mode) const override { return wizard_.IsOpen(mode); }
    void ShowWizard() override { wizard_.Show(); }
    void EndWizard() override { wizard_.End(); }
    void OpenSettingsCentre() override { settings_.Open(); }
    void CloseSettingsCentre() override { settings_.Close(); }
    void ShowUpdateStatus(const wchar_t* text, COLORREF colour) override { settings_.ShowUpdateStatus(text, colour); }

private:
    CSettingsCentre settings_;
    CWizard wizard_;
};

}  // namespace GUI
