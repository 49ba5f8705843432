// The test driver against a real dialog in another process: the account
// page shown by the dialog preview, whose 下一步 shows and hides the red
// error text.
#include "client/shell/resource.h"
#include "client/ui/tests/gui_driver.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace GuiTest;

constexpr const wchar_t* kDialogClass = L"#32770";
constexpr const wchar_t* kAccountTitle = L"TavoTessel 设置向导 (1/2)";

std::wstring PreviewCommand(int dialog)
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    folder.resize(folder.find_last_of(L'\\') + 1);
    return L"\"" + folder + TAVO_PREVIEW_EXE + L"\" " + std::to_wstring(dialog);
}

class GuiDriver : public testing::Test {
protected:
    void SetUp() override
    {
        process_ = StartProgram(PreviewCommand(IDD_WIZARD_ACCOUNT));
        ASSERT_NE(process_, nullptr);
        // Other tests may show the same dialog meanwhile.
        dialog_ = WaitForWindow(kDialogClass, kAccountTitle, kDefaultTimeoutMs, GetProcessId(process_));
        ASSERT_NE(dialog_, nullptr) << "the account page appears";
    }
    void TearDown() override
    {
        if (process_ && !WaitForExit(process_, 0)) {
            PostClose(dialog_);
            EXPECT_TRUE(WaitForExit(process_));
        }
        if (process_)
            CloseHandle(process_);
    }
    bool ErrorShown() { return IsShown(FindControl(dialog_, IDC_SIGNON_ERROR)); }

    HANDLE process_ = nullptr;
    HWND dialog_ = nullptr;
};

TEST_F(GuiDriver, FindsControlsAndReadsAndWritesTheirTexts)
{
    EXPECT_EQ(GetText(dialog_), kAccountTitle);
    EXPECT_EQ(GetClass(FindControl(dialog_, IDC_USER)), L"Edit");
    EXPECT_EQ(GetControlText(dialog_, IDC_USER_LABEL), L"用户名：");
    EXPECT_EQ(FindControl(dialog_, 4242), nullptr);

    HWND user = FindControl(dialog_, IDC_USER);
    ASSERT_TRUE(SetText(user, L"张三abc"));
    EXPECT_EQ(GetText(user), L"张三abc");
    ASSERT_TRUE(SetText(user, L""));
    ASSERT_TRUE(TypeText(user, L"bob_1"));
    EXPECT_TRUE(WaitForControlText(dialog_, IDC_USER, L"bob_1"));
}

TEST_F(GuiDriver, ClicksCommandsAndKeysReachTheDialog)
{
    EXPECT_FALSE(ErrorShown());
    ASSERT_TRUE(Click(dialog_, IDC_NEXT));
    EXPECT_TRUE(WaitUntil([&] { return ErrorShown(); })) << "BM_CLICK";
    ASSERT_TRUE(SendCommand(dialog_, IDC_NEXT));
    EXPECT_TRUE(WaitUntil([&] { return !ErrorShown(); })) << "WM_COMMAND";
    ASSERT_TRUE(PressKey(dialog_, VK_RETURN));
    EXPECT_TRUE(WaitUntil([&] { return ErrorShown(); })) << "Enter presses the default button";
    ASSERT_TRUE(PressKey(dialog_, VK_ESCAPE));
    EXPECT_TRUE(WaitForExit(process_)) << "Escape closes the dialog";
    EXPECT_TRUE(WaitForWindowGone(dialog_));
}

TEST_F(GuiDriver, ReadsTheColoursOnScreen)
{
    HWND error = FindControl(dialog_, IDC_SIGNON_ERROR);
    ASSERT_TRUE(Click(dialog_, IDC_NEXT));
    ASSERT_TRUE(WaitUntil([&] { return IsShown(error); }));
    EXPECT_TRUE(WaitUntil([&] { return ShowsColour(error, RGB(255, 0, 0)); })) << "the error text is red";
    std::vector<ColourCount> colours = ScreenColours(error);
    ASSERT_FALSE(colours.empty());
    EXPECT_EQ(colours.front().colour, RGB(255, 255, 255)) << "on the white frame";
    EXPECT_FALSE(ShowsColour(FindControl(dialog_, IDC_USER_LABEL), RGB(255, 0, 0)));
}

TEST_F(GuiDriver, ListsTheWindowsOfAProcess)
{
    std::vector<HWND> windows = TopWindowsOfProcess(GetProcessId(process_));
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(windows.front(), dialog_);
    EXPECT_EQ(WaitForWindow(kDialogClass, L"no such title", 100), nullptr);
    EXPECT_EQ(FindTopWindow(kDialogClass, kAccountTitle, GetCurrentProcessId()), nullptr);
}

}  // namespace
