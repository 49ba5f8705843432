// The wizard's account page against the reference server that the test
// fixture starts: the shell's interactive sign-on with a wrong password, a
// server that is not there, and the right password, then the folder page's
// Finish binding the account, and Back signing out again.
#include "client/net/request_manager.h"
#include "client/shell/app_state.h"
#include "client/shell/resource.h"
#include "client/shell/settings_store.h"
#include "client/shell/signon.h"
#include "client/shell/tests/tray_probe_reader.h"
#include "client/ui/tests/dialog_test_support.h"
#include "client/ui/tests/gui_driver.h"
#include "common/registry_access.h"
#include "common/tests/test_support.h"

#include <gtest/gtest.h>
#include <winsock2.h>

#include <algorithm>
#include <string>

namespace {

using namespace GuiTest;
using Helper::AppState;
using Helper::WizardMode;

constexpr const wchar_t* kAccountTitle = L"TavoTessel 设置向导 (1/2)";
constexpr const wchar_t* kFolderTitle = L"TavoTessel 设置向导 (2/2)";
constexpr DWORD kSignOnDeadlineMs = 60000;

// A path of the Linux side, as Wine programs see it.
std::wstring HostPath(const std::string& path)
{
    std::wstring wide = L"Z:" + std::wstring(path.begin(), path.end());
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    return wide;
}

uint16_t ServerSyncPort()
{
    const std::string env = Testing::ReadFileBytes(HostPath(TAVO_UI_SERVER_DIR "/server.env"));
    const std::string key = "TESSEL_SYNC_PORT=";
    size_t at = env.find(key);
    return at == std::string::npos ? 0 : static_cast<uint16_t>(atoi(env.c_str() + at + key.size()));
}

// A loopback port nothing listens on: one the system just gave and took back.
uint16_t ClosedPort()
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    closesocket(s);
    return ntohs(address.sin_port);
}

class WizardSignOn : public testing::Test {
protected:
    void SetUp() override
    {
        ClearSettings();
        ASSERT_TRUE(ui_.Started());
        ASSERT_NE(tray_.Window(), nullptr);
        port_ = ServerSyncPort();
        ASSERT_NE(port_, 0) << "the server fixture runs";
        UseServer(port_);
        SetNotBound();
    }
    void TearDown() override
    {
        EXPECT_TRUE(EndDialogs(ui_)) << "every dialog loop returned";
        EXPECT_TRUE(WaitUntil([] { return !Helper::InteractiveSignOnRunning(); }, kSignOnDeadlineMs));
        ui_.Run([] { Helper::SignOut(); });
        ClearSettings();
    }
    // The connection restarts on the next sign-on with the new place.
    void UseServer(uint16_t port)
    {
        ui_.Run([] { Net::StopConnections(); });
        Net::SetServerForTesting("127.0.0.1", {port});
    }
    void OpenAccountPage()
    {
        ui_.Post([] { Dialogs().OpenWizard(WizardMode::FullSetup); });
        page_ = WaitForWindow(kDialogClass, kAccountTitle, kDefaultTimeoutMs, GetCurrentProcessId());
        ASSERT_NE(page_, nullptr);
    }
    void SignOnAs(const wchar_t* user, const wchar_t* password)
    {
        SetText(FindControl(page_, IDC_USER), user);
        SetText(FindControl(page_, IDC_PASSWORD), password);
        Click(page_, IDC_NEXT);
    }
    // The red text once the result came and 下一步 is enabled again.
    std::wstring ErrorAfterSignOn()
    {
        HWND error = FindControl(page_, IDC_SIGNON_ERROR);
        HWND next = FindControl(page_, IDC_NEXT);
        WaitUntil([&] { return IsShown(error) && IsWindowEnabled(next); }, kSignOnDeadlineMs);
        return IsShown(error) ? GetText(error) : L"";
    }
    HWND FolderPage()
    {
        return page_ = WaitForWindow(kDialogClass, kFolderTitle, kSignOnDeadlineMs, GetCurrentProcessId());
    }

    CDialogThread ui_;
    CTestTray tray_{ui_};
    Testing::CTempFolder temp_;
    uint16_t port_ = 0;
    HWND page_ = nullptr;
};

TEST_F(WizardSignOn, AWrongPasswordIsRefused)
{
    OpenAccountPage();
    SignOnAs(L"demo", L"wrong-password");
    EXPECT_EQ(ErrorAfterSignOn(), L"用户名或密码错误，请重新输入");
    EXPECT_TRUE(ShowsColour(FindControl(page_, IDC_SIGNON_ERROR), RGB(255, 0, 0)));
    EXPECT_EQ(Helper::GetAppState(), AppState::NotBound);
}

TEST_F(WizardSignOn, AServerThatIsNotThereIsANetworkError)
{
    UseServer(ClosedPort());
    OpenAccountPage();
    SignOnAs(L"demo", L"demo123");
    EXPECT_FALSE(IsWindowEnabled(FindControl(page_, IDC_NEXT)) && !Helper::InteractiveSignOnRunning() &&
                 IsShown(FindControl(page_, IDC_SIGNON_ERROR)))
        << "not answered before it was asked";
    EXPECT_EQ(ErrorAfterSignOn(), L"网络错误，请稍候再试");
}

TEST_F(WizardSignOn, TheRightPasswordLeadsToTheFolderPageAndFinishBindsTheAccount)
{
    OpenAccountPage();
    SignOnAs(L"demo", L"demo123");
    ASSERT_NE(FolderPage(), nullptr);
    EXPECT_EQ(GetText(FindControl(page_, IDC_HEADER)), L"欢迎您，demo！请设置网盘文件夹");
    EXPECT_NE(GetText(FindControl(page_, IDC_FOLDER)).find(L"\\TavoTessel\\demo"), std::wstring::npos)
        << "the default folder";
    EXPECT_EQ(Helper::GetAppState(), AppState::NotBound) << "bound only by Finish";
    std::wstring folder = temp_ / L"TavoTessel\\demo";
    SetText(FindControl(page_, IDC_FOLDER), folder.c_str());
    LONG before = ProcessProbe().Count();
    Click(page_, IDC_FINISH);
    ASSERT_TRUE(WaitForWindowGone(page_));
    EXPECT_TRUE(Testing::FileExists(folder));
    EXPECT_EQ(Helper::GetAppState(), AppState::Synced);
    wchar_t stored[Helper::kRegFolderCapacity] = {};
    EXPECT_TRUE(Helper::ReadAccountFolder(L"demo", stored));
    EXPECT_EQ(stored, folder);
    EXPECT_GE(ProcessProbe().WaitFor([](const Helper::TrayProbeRecord& r) { return Testing::HasBalloon(r, L"设置完成"); },
                              kDefaultTimeoutMs, before),
              0);
}

TEST_F(WizardSignOn, BackSignsOutAndOffersTheUserAgain)
{
    OpenAccountPage();
    SignOnAs(L"demo", L"demo123");
    ASSERT_NE(FolderPage(), nullptr);
    Click(page_, IDC_BACK);
    page_ = WaitForWindow(kDialogClass, kAccountTitle, kDefaultTimeoutMs, GetCurrentProcessId());
    ASSERT_NE(page_, nullptr);
    EXPECT_EQ(GetText(FindControl(page_, IDC_USER)), L"demo") << "the previous user name";
    EXPECT_EQ(Helper::App().user_name[0], L'\0');
    EXPECT_STREQ(Helper::App().previous_user_name, L"demo");
}

TEST_F(WizardSignOn, ClosingAfterBackSignsOnWithThePreviousAccountAgain)
{
    // Bound first, so that the registry holds the account.
    OpenAccountPage();
    SignOnAs(L"demo", L"demo123");
    ASSERT_NE(FolderPage(), nullptr);
    SetText(FindControl(page_, IDC_FOLDER), temp_.Path().c_str());
    Click(page_, IDC_FINISH);
    ASSERT_TRUE(WaitForWindowGone(page_));
    ASSERT_EQ(Helper::GetAppState(), AppState::Synced);
    // The wizard again from the menu: signed on anew, then Back and closed.
    OpenAccountPage();
    SignOnAs(L"demo", L"demo123");
    ASSERT_NE(FolderPage(), nullptr);
    Click(page_, IDC_BACK);
    page_ = WaitForWindow(kDialogClass, kAccountTitle, kDefaultTimeoutMs, GetCurrentProcessId());
    ASSERT_NE(page_, nullptr);
    ASSERT_EQ(Helper::GetAppState(), AppState::NotBound);
    PostClose(page_);
    ASSERT_TRUE(WaitForWindowGone(page_));
    EXPECT_STREQ(Helper::App().user_name, L"demo") << "the account read again";
    EXPECT_EQ(Helper::App().sync_folder, temp_.Path());
    EXPECT_TRUE(WaitUntil([] { return Helper::GetAppState() == AppState::Synced; }, kSignOnDeadlineMs))
        << "signed on with the stored credential";
}

}  // namespace
