// Pictures of every wizard and settings page as the program shows them,
// in telling states (an error text, the longest prompt, a coloured status
// line), saved beside the test program under "screenshots" for people to
// look at: Chinese shown as characters, no text cut, no control over
// another.
#include "client/shell/resource.h"
#include "client/shell/signon.h"
#include "client/ui/tests/dialog_test_support.h"
#include "client/ui/tests/gui_driver.h"

#include <gtest/gtest.h>

namespace {

using namespace GuiTest;
using Helper::WizardMode;

std::wstring ScreenshotFolder()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    folder.resize(folder.find_last_of(L'\\') + 1);
    folder += L"screenshots";
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder + L"\\";
}

class DialogScreenshots : public testing::Test {
protected:
    void SetUp() override
    {
        ClearSettings();
        ASSERT_TRUE(ui_.Started());
        SetSignedIn(L"tessel_user_015", L"D:\\TavoTessel\\tessel_user_015");
    }
    void TearDown() override
    {
        EXPECT_TRUE(EndDialogs(ui_)) << "every dialog loop returned";
        ClearSettings();
    }
    // Painted now, then saved.
    void Save(HWND window, const wchar_t* name)
    {
        ASSERT_TRUE(ui_.Run([window] { RedrawWindow(window, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN); }));
        std::wstring path = ScreenshotFolder() + name + L".png";
        EXPECT_TRUE(SaveScreenshot(window, path)) << std::string(path.begin(), path.end());
    }
    HWND OpenWizard(WizardMode mode, const wchar_t* title)
    {
        ui_.Post([mode] { Dialogs().OpenWizard(mode); });
        return WaitForWindow(kDialogClass, title, kDefaultTimeoutMs, GetCurrentProcessId());
    }

    CDialogThread ui_;
};

TEST_F(DialogScreenshots, WizardPages)
{
    HWND account = OpenWizard(WizardMode::RetryAccountInfo, L"TavoTessel 设置向导 (1/2)");
    ASSERT_NE(account, nullptr);
    PostMessageW(account, Helper::WM_SIGNON_RESULT, Helper::kSignOnRefused, 0);
    ASSERT_TRUE(WaitUntil([&] { return IsShown(FindControl(account, IDC_SIGNON_ERROR)); }));
    Save(account, L"wizard_104");
    PostMessageW(account, Helper::WM_SIGNON_RESULT, Helper::kSignedOn, 0);
    HWND folder = WaitForWindow(kDialogClass, L"TavoTessel 设置向导 (2/2)", kDefaultTimeoutMs, GetCurrentProcessId());
    ASSERT_NE(folder, nullptr);
    Save(folder, L"wizard_105");
    ui_.Post([] { Dialogs().OpenWizard(WizardMode::ResetFolder); });
    HWND reset = WaitForWindow(kDialogClass, L"TavoTessel 设置向导 ", kDefaultTimeoutMs, GetCurrentProcessId());
    ASSERT_NE(reset, nullptr);
    Save(reset, L"wizard_105_reset_folder");
}

TEST_F(DialogScreenshots, SettingsPages)
{
    ui_.Post([] { Dialogs().OpenSettingsCentre(); });
    HWND dialog = WaitForWindow(kDialogClass, L"设置中心", kDefaultTimeoutMs, GetCurrentProcessId());
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return IsShown(FindControl(dialog, IDC_AUTORUN)); }));
    Save(dialog, L"settings_110");
    ClickAt(dialog, 50, 56);
    ASSERT_TRUE(WaitUntil([&] { return IsShown(FindControl(dialog, IDC_FOLDER)); }));
    Click(dialog, IDC_UPLOAD_LIMIT_ON);
    ASSERT_TRUE(WaitUntil([&] { return IsWindowEnabled(FindControl(dialog, IDC_UPLOAD_LIMIT)) != FALSE; }));
    Save(dialog, L"settings_112");
    ClickAt(dialog, 50, 86);
    ASSERT_TRUE(WaitUntil([&] { return IsShown(FindControl(dialog, IDC_UPDATE_STATUS)); }));
    ui_.Run([] { Dialogs().ShowUpdateStatus(L"即将更新至最新版本...", RGB(0, 128, 0)); });
    Save(dialog, L"settings_113");
}

}  // namespace
