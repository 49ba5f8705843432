// Walks the running tray program through what a user sees first, asking
// the host side to take a screenshot at each step: the wizard's two pages
// with the first balloon, the balloon after binding, the tray menu, the
// settings centre's three pages and the about box. tools/tray-screenshots.sh
// runs it in a Wine desktop against a reference server.
#include <windows.h>

#include <cstdio>
#include <string>

#include "client/app/tests/tray_harness.h"
#include "client/shell/resource.h"
#include "client/ui/tests/gui_driver.h"
#include "common/tests/test_support.h"
#include "common/tray_contract.h"

namespace {

constexpr DWORD kWaitMs = 30000;

bool Shoot(const char* name, DWORD settle_ms = 700)
{
    // Painting settles first.
    Sleep(settle_ms);
    const bool taken = TrayTest::AskHost(std::string("screenshot ") + name) == "taken";
    std::printf("%s: %s\n", name, taken ? "taken" : "NOT taken");
    return taken;
}

HWND OpenMenu(HWND tray)
{
    PostMessageW(tray, Helper::WM_TRAYNOTIFY, 0, WM_RBUTTONUP);
    return GuiTest::WaitForWindow(L"#32768", nullptr, kWaitMs);
}

// Finish takes the folder the page offers (C:\TavoTessel\demo), which the
// pictures of the folder page and the sync page show in full.
bool BindThroughWizard(DWORD id)
{
    HWND account = TrayTest::WaitForWindowTitled(id, L"TavoTessel 设置向导 (1/2)");
    if (account == nullptr)
        return false;
    Shoot("wizard_account");
    GuiTest::SetText(GuiTest::FindControl(account, IDC_USER), L"demo");
    GuiTest::SetText(GuiTest::FindControl(account, IDC_PASSWORD), L"demo123");
    GuiTest::Click(account, IDC_NEXT);
    HWND folder_page = TrayTest::WaitForWindowTitled(id, L"TavoTessel 设置向导 (2/2)");
    if (folder_page == nullptr)
        return false;
    Shoot("wizard_folder");
    GuiTest::Click(folder_page, IDC_FINISH);
    GuiTest::WaitForWindowGone(folder_page);
    return true;
}

bool ShowSettingsPages(HWND tray, DWORD id)
{
    TrayTest::ChooseFromTrayMenu(tray, 'S');
    HWND settings = TrayTest::WaitForWindowTitled(id, L"设置中心");
    if (settings == nullptr)
        return false;
    Shoot("settings_general");
    // The second and third tag buttons, in the strip on the left.
    GuiTest::ClickAt(settings, 55, 56);
    Shoot("settings_sync");
    GuiTest::ClickAt(settings, 55, 86);
    Shoot("settings_update");
    GuiTest::Click(settings, IDC_SETTINGS_CANCEL);
    return GuiTest::WaitForWindowGone(settings);
}

bool ShowAbout(HWND tray, DWORD id)
{
    TrayTest::ChooseFromTrayMenu(tray, 'A');
    HWND about = TrayTest::WaitForWindowTitled(id, L"TavoTessel - 关于我们");
    if (about == nullptr)
        return false;
    Shoot("about");
    GuiTest::Click(about, IDOK);
    return GuiTest::WaitForWindowGone(about);
}

}  // namespace

int wmain()
{
    TrayTest::PrepareSettings();
    Testing::CTrayProbe probe;
    TrayTest::CTrayProgram program;
    if (!program.Start())
        return 1;
    HWND tray = program.WaitForTrayWindow(kWaitMs);
    if (tray == nullptr || !BindThroughWizard(program.Id()))
        return 1;
    probe.WaitFor([](const Helper::TrayProbeRecord& r) { return Testing::HasBalloon(r, L"设置完成"); }, kWaitMs);
    // The desktop shows a balloon a moment after it was asked for.
    Shoot("balloon_bound", 3000);
    HWND menu = OpenMenu(tray);
    Shoot("tray_menu");
    GuiTest::PressKey(menu, VK_ESCAPE);
    GuiTest::WaitForWindowGone(menu);
    const bool shown = ShowSettingsPages(tray, program.Id()) && ShowAbout(tray, program.Id());
    PostMessageW(tray, Helper::WM_TRAYNOTIFY, 0, Helper::TE_INCOMPATIBLE);
    DWORD code = 0;
    program.WaitForExit(kWaitMs, &code);
    std::fflush(stdout);
    return shown ? 0 : 1;
}
