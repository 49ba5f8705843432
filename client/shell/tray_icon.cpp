// Placeholder bodies while the tray icon is written.
#include "client/shell/tray_icon.h"

namespace Helper {

HWND CreateTrayWindow() { return nullptr; }
void DestroyTrayWindow() {}
void SetStateIcon(AppState) {}
void SetTip(AppState, const wchar_t*) {}
void SetBalloon(int, AppState, const wchar_t*, const wchar_t*) {}
void UpdateTrayIcon() {}
void ShowTipOnly(const wchar_t*) {}
void OpenSyncFolder() {}
void OpenUrl(const wchar_t*) {}
void ShowAboutBox(HWND) {}
void FormatRunningVersion(wchar_t (&text)[128]) { text[0] = L'\0'; }

}  // namespace Helper
namespace Helper {
CTrayWindowLock::CTrayWindowLock() {}
CTrayWindowLock::~CTrayWindowLock() {}
CTaskbarCreatedMessage::CTaskbarCreatedMessage() {}
void SetAppInstance(HINSTANCE) {}
HINSTANCE AppInstance() { return nullptr; }
}  // namespace Helper
