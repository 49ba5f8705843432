// What the dialog tests share: the program's dialogs on their UI thread,
// the shell's context set as a test needs it, and a clean settings key.
#pragma once

#include <windows.h>

#include <string>

#include "client/shell/app_state.h"
#include "client/shell/tests/tray_probe_reader.h"
#include "client/ui/tests/dialog_thread.h"
#include "client/ui/tests/gui_driver.h"
#include "client/ui/tray_dialogs.h"

namespace GuiTest {

constexpr const wchar_t* kDialogClass = L"#32770";

// The one set of dialogs of the test process, registered with the shell.
// The process holds the program's other static objects as well: the
// tray-window lock, the "TaskbarCreated" message and Windows Sockets.
GUI::CTrayDialogs& Dialogs();

// What the tray handed to the shell in this process, recorded from the
// first tray window on.
Testing::CTrayProbe& ProcessProbe();

// The program's tray window on the UI thread while it lives, with that
// thread as the program's UI thread: the notices of the controller and of
// the updater reach the dialogs through it, and what it hands to the shell
// is recorded for the process's probe.
class CTestTray {
public:
    explicit CTestTray(CDialogThread& ui);
    ~CTestTray();
    CTestTray(const CTestTray&) = delete;
    CTestTray& operator=(const CTestTray&) = delete;
    HWND Window() const { return window_; }

private:
    CDialogThread& ui_;
    HWND window_ = nullptr;
};

// Ends the wizard and the settings centre and waits until their loops
// have returned.
bool EndDialogs(CDialogThread& ui);

// Removes "Software\Tavo\Tessel" and the autorun value of the current user.
void ClearSettings();

// The context as a signed-on account (Synced) or none (NotBound) has it.
void SetSignedIn(const wchar_t* user, const std::wstring& folder);
void SetNotBound(const wchar_t* previous_user = L"");

// A drive root ("Q:\\") that names no drive.
std::wstring MissingDrive();

// A message box of this process with the title, once it appears.
HWND WaitForBox(const wchar_t* title, DWORD timeout_ms = kDefaultTimeoutMs);
// Answers it with the button (IDOK, IDYES, IDNO) and waits until it is gone.
bool Answer(HWND box, int button);

}  // namespace GuiTest
