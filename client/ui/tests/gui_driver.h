// A test driver for whole-program tests of the tray program's windows: it
// runs in the same Wine prefix and desktop as the program under test, finds
// its windows by class and title and their controls by identifier, and
// sends them the messages a user's clicks and keys produce. Actions are
// posted, so that a modal box opened by a click does not block the driver;
// every wait has a deadline.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace GuiTest {

constexpr DWORD kDefaultTimeoutMs = 10000;

// Windows and controls. A null class or title matches any; a process id
// other than 0 keeps to that process's windows.
HWND FindTopWindow(const wchar_t* class_name, const wchar_t* title, DWORD process_id = 0);
HWND WaitForWindow(const wchar_t* class_name, const wchar_t* title, DWORD timeout_ms = kDefaultTimeoutMs,
                   DWORD process_id = 0);
bool WaitForWindowGone(HWND window, DWORD timeout_ms = kDefaultTimeoutMs);
// The control with this identifier, also inside child dialogs (settings pages).
HWND FindControl(HWND dialog, int id);
HWND WaitForControl(HWND dialog, int id, DWORD timeout_ms = kDefaultTimeoutMs);
// The visible top-level windows of a process, e.g. a message box it opened.
std::vector<HWND> TopWindowsOfProcess(DWORD process_id);

// Reading state.
std::wstring GetText(HWND window);
std::wstring GetControlText(HWND dialog, int id);
std::wstring GetClass(HWND window);
bool IsShown(HWND window);
bool IsChecked(HWND button);
RECT ScreenRect(HWND window);

// Acting like a user.
bool Click(HWND dialog, int id);                 // the button clicks itself (BM_CLICK)
bool SendCommand(HWND dialog, int id);           // WM_COMMAND with BN_CLICKED from the control
bool SetText(HWND control, const wchar_t* text); // WM_SETTEXT; edits report EN_CHANGE
bool TypeText(HWND control, const wchar_t* text);  // one WM_CHAR per unit
// Key down and up to the window that has the keyboard focus in the target's
// thread (or the target itself), as a key press reaches a dialog.
bool PressKey(HWND target, UINT virtual_key);
// Mouse move, press and release at client coordinates of the window.
bool ClickAt(HWND window, int x, int y);
bool MoveMouse(HWND window, int x, int y);
bool PostClose(HWND window);

// Polls the condition every 20 ms until it holds or the deadline passes.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeout_ms = kDefaultTimeoutMs);
bool WaitForControlText(HWND dialog, int id, const std::wstring& text, DWORD timeout_ms = kDefaultTimeoutMs);

// Colours of the window's pixels as the screen shows them, most frequent
// first (the background usually leads).
struct ColourCount {
    COLORREF colour;
    int pixels;
};
std::vector<ColourCount> ScreenColours(HWND window);
bool ShowsColour(HWND window, COLORREF colour, int min_pixels = 3);
// The window as the screen shows it, saved as a PNG file.
bool SaveScreenshot(HWND window, const std::wstring& png_path);

// Programs under test.
HANDLE StartProgram(const std::wstring& command_line);
bool WaitForExit(HANDLE process, DWORD timeout_ms = kDefaultTimeoutMs);

}  // namespace GuiTest
