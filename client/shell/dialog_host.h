// What the shell asks of the program's dialogs (the setup wizard and the
// settings centre), which live in the layer above it. The program registers
// its implementation at start-up, before InitApplication; without one the
// requests do nothing. All calls come on the UI thread, except that
// RefreshForState may open the ResetFolder wizard from the thread that
// called it; the shell brings that one to the UI thread first.
#pragma once

#include <windows.h>

#include "client/shell/app_state_values.h"

namespace Helper {

class IDialogHost {
public:
    virtual ~IDialogHost() = default;

    // The setup wizard in a mode, modal: returns when the wizard has ended.
    // Sets the mode's opening tip, raises an open page of the same mode, or
    // replaces a page of another mode.
    virtual void OpenWizard(WizardMode mode) = 0;
    // The same in the mode of the open wizard (FullSetup when none is
    // open), without touching the tip.
    virtual void OpenWizardInCurrentMode() = 0;
    // True while a wizard page exists; its mode into *mode.
    virtual bool IsWizardOpen(WizardMode* mode) const = 0;
    // Shows the open wizard page and brings it to the foreground.
    virtual void ShowWizard() = 0;
    // Ends the open wizard page and frees its resources.
    virtual void EndWizard() = 0;

    // The settings centre, modal: raised when it is open, else opened;
    // returns when it closes.
    virtual void OpenSettingsCentre() = 0;
    // Closes the settings centre and its pages without committing.
    virtual void CloseSettingsCentre() = 0;
    // The update page's status line (control 1047) of the open settings
    // centre, in a COLORREF colour; lost when the page is not open. The
    // tray works out the text from the updater's result.
    virtual void ShowUpdateStatus(const wchar_t* text, COLORREF colour) = 0;
};

void SetDialogHost(IDialogHost* host);
IDialogHost* DialogHost();

}  // namespace Helper
