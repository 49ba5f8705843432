// Placeholder bodies while the controller is written; the program builds
// against the declarations.
#include "client/shell/controller.h"

namespace Helper {

void CController::RefreshForState(AppState previous) { Helper::RefreshForState(previous); }
bool InitApplication() { return false; }
void ShutdownApplication() {}
void SetSyncFolder(const wchar_t*) {}
void CommitSyncFolder(const wchar_t*) {}
void MarkAccountInfoFailed() {}
void RefreshForState(AppState) {}
HWND GetTrayWindow() { return nullptr; }
void PostTrayNotice(LPARAM, WPARAM) {}
bool ScheduleAutoUpdate(bool) { return false; }
bool LaunchUpdater(bool) { return false; }
void ApplySpeedLimits() {}

}  // namespace Helper
