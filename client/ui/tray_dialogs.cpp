// Placeholder bodies until the wizard and the settings centre are written.
#include "client/ui/tray_dialogs.h"

namespace GUI {

void CTrayDialogs::OpenWizard(Helper::WizardMode) {}
void CTrayDialogs::OpenWizardInCurrentMode() {}
bool CTrayDialogs::IsWizardOpen(Helper::WizardMode*) const { return false; }
void CTrayDialogs::ShowWizard() {}
void CTrayDialogs::EndWizard() {}
void CTrayDialogs::OpenSettingsCentre() {}
void CTrayDialogs::CloseSettingsCentre() {}
void CTrayDialogs::ShowUpdateStatus(const wchar_t*, COLORREF) {}

}  // namespace GUI
