// The setup wizard driven as a user drives it: the pages of each mode, the
// sign-on's answers on the account page, the folder page's Finish and
// Back, closing by mode, and one page replacing another.
#include "client/shell/resource.h"
#include "client/shell/signon.h"
#include "client/ui/tests/dialog_test_support.h"
#include "client/ui/tests/gui_driver.h"
#include "common/tests/test_support.h"

#include <gtest/gtest.h>

namespace {

using namespace GuiTest;
using Helper::AppState;
using Helper::WizardMode;

constexpr const wchar_t* kAccountTitle = L"TavoTessel 设置向导 (1/2)";
constexpr const wchar_t* kFolderTitle = L"TavoTessel 设置向导 (2/2)";
constexpr const wchar_t* kResetFolderTitle = L"TavoTessel 设置向导 ";
constexpr const wchar_t* kUser = L"wizard_user";
constexpr COLORREF kRed = RGB(255, 0, 0);

class Wizard : public testing::Test {
protected:
    void SetUp() override
    {
        ClearSettings();
        ASSERT_TRUE(ui_.Started());
    }
    void TearDown() override
    {
        EXPECT_TRUE(EndDialogs(ui_)) << "every dialog loop returned";
        ClearSettings();
    }
    HWND Open(WizardMode mode, const wchar_t* title)
    {
        ui_.Post([mode] { Dialogs().OpenWizard(mode); });
        return page_ = WaitForWindow(kDialogClass, title, kDefaultTimeoutMs, GetCurrentProcessId());
    }
    // The page that follows a successful sign-on, as the shell's callback
    // reports it.
    HWND SignedOn()
    {
        PostMessageW(Helper::App().wizard_window, Helper::WM_SIGNON_RESULT, Helper::kSignedOn, 0);
        return page_ = WaitForWindow(kDialogClass, kFolderTitle, kDefaultTimeoutMs, GetCurrentProcessId());
    }
    HWND Control(int id) { return FindControl(page_, id); }
    bool Ended() { return WaitForWindowGone(page_) && WaitUntil([&] { return ui_.Idle(); }); }
    bool WizardOpen()
    {
        bool open = false;
        ui_.Run([&] { open = Dialogs().IsWizardOpen(nullptr); });
        return open;
    }
    WizardMode Mode()
    {
        WizardMode mode = WizardMode::FullSetup;
        ui_.Run([&] { Dialogs().IsWizardOpen(&mode); });
        return mode;
    }
    void Flush() { ASSERT_TRUE(ui_.Run([] {})); }

    CDialogThread ui_;
    Testing::CTempFolder temp_;
    HWND page_ = nullptr;
};

TEST_F(Wizard, AccountPageOfEachMode)
{
    const struct {
        WizardMode mode;
        const wchar_t* prompt;
    } modes[] = {{WizardMode::FullSetup, L"请输入您的Tavo帐户"},
                 {WizardMode::Recredential, L"您的帐户出现异常，请重新登录"},
                 {WizardMode::RetryAccountInfo, L"您的用户配置信息获取失败，请重新登录"}};
    for (const auto& m : modes) {
        SetSignedIn(kUser, temp_.Path());
        ASSERT_NE(Open(m.mode, kAccountTitle), nullptr);
        EXPECT_EQ(GetText(Control(IDC_PROMPT)), m.prompt);
        EXPECT_EQ(GetText(Control(IDC_HEADER)), L"将您的计算机与Tavo帐户绑定");
        EXPECT_EQ(GetText(Control(IDC_STEP)), L"当前第1步，共2步");
        EXPECT_EQ(GetText(Control(IDC_USER)), kUser) << "the bound user name";
        EXPECT_FALSE(IsShown(Control(IDC_SIGNON_ERROR)));
        EXPECT_EQ(Helper::App().wizard_window, page_);
        EXPECT_EQ(Mode(), m.mode);
        ASSERT_TRUE(ui_.Run([] { Dialogs().EndWizard(); }));
        ASSERT_TRUE(Ended());
        EXPECT_EQ(Helper::App().wizard_window, nullptr);
        EXPECT_EQ(Helper::App().wizard_mode, WizardMode::FullSetup) << "reset when the wizard ends";
    }
}

TEST_F(Wizard, AccountPageOffersThePreviousUserAndLimitsTheInput)
{
    SetNotBound(L"earlier_user");
    ASSERT_NE(Open(WizardMode::FullSetup, kAccountTitle), nullptr);
    EXPECT_EQ(GetText(Control(IDC_USER)), L"earlier_user");
    EXPECT_EQ(SendMessageW(Control(IDC_USER), EM_GETLIMITTEXT, 0, 0), 15);
    EXPECT_EQ(SendMessageW(Control(IDC_PASSWORD), EM_GETLIMITTEXT, 0, 0), 20);
    EXPECT_TRUE(IsWindowEnabled(Control(IDC_NEXT)));
}

TEST_F(Wizard, AUserNameOutOfLengthIsRefusedAtOnceInRed)
{
    SetNotBound();
    ASSERT_NE(Open(WizardMode::FullSetup, kAccountTitle), nullptr);
    SetText(Control(IDC_USER), L"ab");
    SetText(Control(IDC_PASSWORD), L"secret123");
    PressKey(page_, VK_RETURN);
    HWND error = Control(IDC_SIGNON_ERROR);
    ASSERT_TRUE(WaitUntil([&] { return IsShown(error); })) << "Enter is 下一步";
    EXPECT_EQ(GetText(error), L"用户名或密码错误，请重新输入");
    EXPECT_TRUE(WaitUntil([&] { return ShowsColour(error, kRed); }));
    EXPECT_TRUE(IsWindowEnabled(Control(IDC_NEXT)));
    EXPECT_EQ(GetText(Control(IDC_PASSWORD)).size(), wcslen(L"secret123")) << "the box keeps what was typed";
}

TEST_F(Wizard, AFailureShowsTheNetworkErrorUntilTheNextAnswer)
{
    SetNotBound();
    ASSERT_NE(Open(WizardMode::FullSetup, kAccountTitle), nullptr);
    PostMessageW(page_, Helper::WM_SIGNON_RESULT, Helper::kSignOnFailed, 0);
    HWND error = Control(IDC_SIGNON_ERROR);
    ASSERT_TRUE(WaitUntil([&] { return IsShown(error); }));
    EXPECT_EQ(GetText(error), L"网络错误，请稍候再试");
    EXPECT_TRUE(WaitUntil([&] { return ShowsColour(error, kRed); }));
    EXPECT_FALSE(ShowsColour(Control(IDC_STEP), kRed)) << "the step text keeps the dialog's colours";
    SetText(Control(IDC_USER), L"ab");
    Click(page_, IDC_NEXT);
    EXPECT_TRUE(WaitForControlText(page_, IDC_SIGNON_ERROR, L"用户名或密码错误，请重新输入"));
    EXPECT_TRUE(IsShown(error));
}

TEST_F(Wizard, ASuccessfulSignOnLeadsToTheFolderPageInItsPlace)
{
    SetSignedIn(kUser, temp_ / L"TavoTessel");
    ASSERT_NE(Open(WizardMode::Recredential, kAccountTitle), nullptr);
    // Moved, so that the folder page's place shows where it came from.
    SetWindowPos(page_, nullptr, 37, 41, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    ASSERT_TRUE(WaitUntil([&] { return ScreenRect(page_).left == 37; }));
    HWND account = page_;
    ASSERT_NE(SignedOn(), nullptr);
    EXPECT_FALSE(IsWindow(account)) << "one page at a time";
    EXPECT_EQ(ScreenRect(page_).left, 37);
    EXPECT_EQ(ScreenRect(page_).top, 41);
    EXPECT_EQ(GetText(Control(IDC_HEADER)), L"欢迎您，wizard_user！请设置网盘文件夹");
    EXPECT_EQ(GetText(Control(IDC_FOLDER)), temp_ / L"TavoTessel");
    EXPECT_EQ(GetText(Control(IDC_STEP)), L"当前第2步，共2步");
    EXPECT_TRUE(IsShown(Control(IDC_BACK)));
    EXPECT_EQ(Mode(), WizardMode::Recredential) << "the folder page keeps the mode";
}

TEST_F(Wizard, ResetFolderOpensOnTheFolderPageWithoutStepsOrBack)
{
    SetSignedIn(kUser, temp_ / L"gone");
    ASSERT_NE(Open(WizardMode::ResetFolder, kResetFolderTitle), nullptr);
    EXPECT_FALSE(IsShown(Control(IDC_STEP)));
    EXPECT_FALSE(IsShown(Control(IDC_BACK)));
    EXPECT_TRUE(IsShown(Control(IDC_FINISH)));
    EXPECT_EQ(GetText(Control(IDC_FOLDER)), temp_ / L"gone");
    const std::wstring prompt = L"\n\r请重新设置TavoTessel在本机的存储文件夹：";
    std::wstring explanation = GetText(Control(IDC_EXPLANATION));
    EXPECT_EQ(explanation.rfind(prompt), explanation.size() - prompt.size()) << "the prompt closes the explanation";
}

TEST_F(Wizard, FinishMakesTheFolderAndEndsTheWizard)
{
    std::wstring folder = temp_ / L"new\\TavoTessel\\wizard_user";
    SetSignedIn(kUser, folder);
    ASSERT_NE(Open(WizardMode::ResetFolder, kResetFolderTitle), nullptr);
    PressKey(page_, VK_RETURN);
    ASSERT_TRUE(Ended()) << "Enter is 完成";
    EXPECT_TRUE(Testing::FileExists(folder));
    EXPECT_FALSE(WizardOpen());
}

TEST_F(Wizard, FinishAsksBeforeANonEmptyFolderOtherThanTheCurrentOne)
{
    SetSignedIn(kUser, temp_ / L"current");
    ASSERT_TRUE(Testing::WriteFileBytes(temp_ / L"a.txt", "a"));
    ASSERT_NE(Open(WizardMode::ResetFolder, kResetFolderTitle), nullptr);
    SetText(Control(IDC_FOLDER), temp_.Path().c_str());
    Click(page_, IDC_FINISH);
    HWND box = WaitForBox(L"TavoTessel - 文件夹选择");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(GetText(FindControl(box, 0xFFFF)), L"目标文件夹非空，同名文件将被覆盖，是否继续？");
    ASSERT_TRUE(Answer(box, IDNO));
    Flush();
    EXPECT_TRUE(IsShown(page_)) << "No keeps the page open";
    Click(page_, IDC_FINISH);
    ASSERT_TRUE(Answer(WaitForBox(L"TavoTessel - 文件夹选择"), IDYES));
    EXPECT_TRUE(Ended());
}

TEST_F(Wizard, FinishOnTheCurrentFolderDoesNotAsk)
{
    SetSignedIn(kUser, temp_.Path());
    ASSERT_TRUE(Testing::WriteFileBytes(temp_ / L"a.txt", "a"));
    ASSERT_NE(Open(WizardMode::ResetFolder, kResetFolderTitle), nullptr);
    Click(page_, IDC_FINISH);
    EXPECT_TRUE(Ended());
}

TEST_F(Wizard, AFolderThatCannotBeMadeKeepsThePageOpen)
{
    std::wstring folder = MissingDrive() + L"TavoTessel\\wizard_user";
    SetSignedIn(kUser, folder);
    ASSERT_NE(Open(WizardMode::ResetFolder, kResetFolderTitle), nullptr);
    Click(page_, IDC_FINISH);
    HWND box = WaitForBox(L"TavoTessel - 无法创建文件夹");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(GetText(FindControl(box, 0xFFFF)), L"无法创建文件夹“" + folder + L"”，请更换一个新的Tessel文件夹");
    ASSERT_TRUE(Answer(box, IDOK));
    Flush();
    EXPECT_TRUE(IsShown(page_));
    EXPECT_TRUE(WizardOpen());
}

TEST_F(Wizard, BackReturnsToTheAccountPageInFullSetup)
{
    SetSignedIn(kUser, temp_.Path());
    ASSERT_NE(Open(WizardMode::Recredential, kAccountTitle), nullptr);
    ASSERT_NE(SignedOn(), nullptr);
    RECT folder_place = ScreenRect(page_);
    Click(page_, IDC_BACK);
    page_ = WaitForWindow(kDialogClass, kAccountTitle, kDefaultTimeoutMs, GetCurrentProcessId());
    ASSERT_NE(page_, nullptr);
    EXPECT_EQ(ScreenRect(page_).left, folder_place.left);
    EXPECT_EQ(ScreenRect(page_).top, folder_place.top);
    EXPECT_EQ(Mode(), WizardMode::FullSetup);
    EXPECT_EQ(GetText(Control(IDC_PROMPT)), L"请输入您的Tavo帐户");
}

TEST_F(Wizard, OpeningAnotherModeReplacesThePage)
{
    SetSignedIn(kUser, temp_.Path());
    ASSERT_NE(Open(WizardMode::Recredential, kAccountTitle), nullptr);
    HWND recredential = page_;
    ui_.Post([] { Dialogs().OpenWizard(WizardMode::Recredential); });
    Flush();
    EXPECT_EQ(FindTopWindow(kDialogClass, kAccountTitle, GetCurrentProcessId()), recredential)
        << "the same mode raises the page";
    ui_.Post([] { Dialogs().OpenWizard(WizardMode::FullSetup); });
    // The ended page's window goes when its loop returns, after the new one's.
    ASSERT_TRUE(WaitUntil([&] { return !IsShown(recredential); }));
    page_ = WaitForWindow(kDialogClass, kAccountTitle, kDefaultTimeoutMs, GetCurrentProcessId());
    ASSERT_NE(page_, nullptr);
    EXPECT_NE(page_, recredential);
    EXPECT_EQ(GetText(Control(IDC_PROMPT)), L"请输入您的Tavo帐户");
    EXPECT_EQ(Mode(), WizardMode::FullSetup);
    EXPECT_EQ(TopWindowsOfProcess(GetCurrentProcessId()).size(), 1u);
    // The current mode is the open page's.
    ui_.Post([] { Dialogs().OpenWizardInCurrentMode(); });
    Flush();
    EXPECT_EQ(FindTopWindow(kDialogClass, kAccountTitle, GetCurrentProcessId()), page_);
}

TEST_F(Wizard, ClosingEndsTheWizardInEveryMode)
{
    for (WizardMode mode : {WizardMode::FullSetup, WizardMode::Recredential, WizardMode::RetryAccountInfo,
                            WizardMode::ResetFolder}) {
        SetSignedIn(kUser, temp_.Path());
        bool folder_page = mode == WizardMode::ResetFolder;
        ASSERT_NE(Open(mode, folder_page ? kResetFolderTitle : kAccountTitle), nullptr);
        PressKey(page_, VK_ESCAPE);
        ASSERT_TRUE(Ended()) << static_cast<int>(mode);
        EXPECT_FALSE(WizardOpen());
    }
}

}  // namespace

namespace {

using namespace GuiTest;

bool TipIs(const Helper::TrayProbeRecord& record, const std::wstring& tip)
{
    return record.message == NIM_MODIFY && record.flags == NIF_TIP && record.tip == tip;
}

// The tips the wizard leaves: one while it is open, and when it is closed
// unfinished the tip of the state that called for it.
TEST_F(Wizard, OpeningAndClosingSetTheTrayTip)
{
    CTestTray tray(ui_);
    ASSERT_NE(tray.Window(), nullptr);
    const struct {
        WizardMode mode;
        const wchar_t* title;
        const wchar_t* opening_tip;
        const wchar_t* closing_tip;
    } modes[] = {
        {WizardMode::Recredential, kAccountTitle, L"正在将您的计算机与Tavo帐户绑定", L"您的登录密码不正确，请重新运行设置向导"},
        {WizardMode::RetryAccountInfo, kAccountTitle, L"正在将您的计算机与Tavo帐户绑定",
         L"您的用户配置信息获取失败，请重新运行设置向导"},
        {WizardMode::ResetFolder, kResetFolderTitle, L"正在重设网盘本地备份的文件夹",
         L"您Tessel的本地文件夹已丢失，请重新运行设置向导"},
    };
    for (const auto& m : modes) {
        SCOPED_TRACE(static_cast<int>(m.mode));
        SetSignedIn(kUser, temp_.Path());
        LONG before = ProcessProbe().Count();
        ASSERT_NE(Open(m.mode, m.title), nullptr);
        EXPECT_GE(ProcessProbe().WaitFor([&](const Helper::TrayProbeRecord& r) { return TipIs(r, m.opening_tip); },
                                         kDefaultTimeoutMs, before),
                  0);
        before = ProcessProbe().Count();
        PostClose(page_);
        ASSERT_TRUE(Ended());
        EXPECT_GE(ProcessProbe().WaitFor([&](const Helper::TrayProbeRecord& r) { return TipIs(r, m.closing_tip); },
                                         kDefaultTimeoutMs, before),
                  0);
    }
}

TEST_F(Wizard, ClosingAFirstSetupWithoutAPreviousAccountChangesNothing)
{
    CTestTray tray(ui_);
    SetNotBound();
    ASSERT_NE(Open(WizardMode::FullSetup, kAccountTitle), nullptr);
    LONG before = ProcessProbe().Count();
    PostClose(page_);
    ASSERT_TRUE(Ended());
    EXPECT_EQ(Helper::GetAppState(), AppState::NotBound);
    EXPECT_EQ(ProcessProbe().Count(), before) << "no tip";
}

}  // namespace
