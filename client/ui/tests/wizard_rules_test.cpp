#include "client/shell/app_state_values.h"
#include "client/ui/wizard_rules.h"

#include <gtest/gtest.h>

namespace {

using namespace GUI;
using M = Helper::WizardMode;

TEST(WizardModes, PagePromptAndTipByMode)
{
    const struct {
        M mode;
        int first_page;
        const char16_t* prompt;
        const char16_t* tip;
    } cases[] = {
        {M::FullSetup, 104, u"请输入您的Tavo帐户", u"正在将您的计算机与Tavo帐户绑定"},
        {M::Recredential, 104, u"您的帐户出现异常，请重新登录", u"正在将您的计算机与Tavo帐户绑定"},
        {M::ResetFolder, 105, u"请重新设置TavoTessel在本机的存储文件夹", u"正在重设网盘本地备份的文件夹"},
        {M::RetryAccountInfo, 104, u"您的用户配置信息获取失败，请重新登录", u"正在将您的计算机与Tavo帐户绑定"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FirstWizardPage(c.mode), c.first_page);
        EXPECT_EQ(WizardPrompt(c.mode), c.prompt);
        EXPECT_EQ(WizardOpeningTip(c.mode), c.tip);
    }
}

TEST(WizardTexts, FolderPageExplanationEndsWithTheRequestOfTheMode)
{
    const std::u16string common =
        u"\n\rTavoTessel是一个特殊文件夹，文件夹中的内容会\n\r\n\r自动同步存储到网络服务器，帮助您在多台计算机中"
        u"\n\r\n\r保持文档同步。\n\r\n\r\n\r";
    EXPECT_EQ(FolderPageExplanation(M::FullSetup), common + u"请选择TavoTessel在您本机存储的位置：");
    EXPECT_EQ(FolderPageExplanation(M::Recredential), FolderPageExplanation(M::FullSetup));
    EXPECT_EQ(FolderPageExplanation(M::ResetFolder), common + u"请重新设置TavoTessel在本机的存储文件夹：");
}

TEST(WizardTexts, TitlesAndStepTexts)
{
    EXPECT_EQ(WizardTitle(kAccountPage, M::FullSetup), u"TavoTessel 设置向导 (1/2)");
    EXPECT_EQ(WizardTitle(kFolderPage, M::FullSetup), u"TavoTessel 设置向导 (2/2)");
    EXPECT_EQ(WizardTitle(kFolderPage, M::ResetFolder), u"TavoTessel 设置向导 ");
    EXPECT_FALSE(FolderPageShowsSteps(M::ResetFolder));
    EXPECT_TRUE(FolderPageShowsSteps(M::Recredential));
    EXPECT_EQ(StepText(kAccountPage), u"当前第1步，共2步");
    EXPECT_EQ(StepText(kFolderPage), u"当前第2步，共2步");
    EXPECT_EQ(FolderPageHeader(u"alice"), u"欢迎您，alice！请设置网盘文件夹");
}

TEST(WizardTexts, SignOnErrors)
{
    EXPECT_EQ(SignOnErrorText(1), u"网络错误，请稍候再试");
    EXPECT_EQ(SignOnErrorText(2), u"用户名或密码错误，请重新输入");
    EXPECT_TRUE(SignOnErrorText(0).empty());
}

TEST(WizardClosing, ByModeAndPreviousAccount)
{
    EXPECT_TRUE(CloseReaction(M::FullSetup, true).restores_previous_account);
    EXPECT_FALSE(CloseReaction(M::FullSetup, false).restores_previous_account);
    EXPECT_FALSE(CloseReaction(M::FullSetup, true).leaves_tip);
    const struct {
        M mode;
        Helper::AppState tip_of_state;
    } tips[] = {{M::Recredential, Helper::AppState::CredentialsRejected},
                {M::ResetFolder, Helper::AppState::FolderMissing},
                {M::RetryAccountInfo, Helper::AppState::AccountInfoFailed}};
    for (const auto& t : tips) {
        WizardCloseReaction r = CloseReaction(t.mode, true);
        EXPECT_FALSE(r.restores_previous_account);
        EXPECT_TRUE(r.leaves_tip);
        EXPECT_EQ(r.tip_of_state, t.tip_of_state);
    }
}

TEST(WizardFonts, HeaderIsEightUnitsLargerInMagnitude)
{
    EXPECT_EQ(HeaderFontHeight(-11), -19);
    EXPECT_EQ(HeaderFontHeight(13), 21);
}

TEST(WizardFolder, PickedFolderGetsTheAccountsSubfolder)
{
    EXPECT_EQ(FolderForPickedPath(u"D:\\Docs", u"bob"), u"D:\\Docs\\TavoTessel\\bob");
    EXPECT_EQ(FolderForPickedPath(u"D:\\", u"bob"), u"D:\\\\TavoTessel\\bob") << "a drive root doubles the backslash";
    EXPECT_FALSE(FolderForPickedPath(u"\\\\server\\share", u"bob").has_value());
    EXPECT_FALSE(FolderForPickedPath(u"", u"bob").has_value());
    EXPECT_EQ(FolderForPickedPath(std::u16string(258, u'x'), u"bob")->size(), 259u);
}

TEST(WizardFolder, NonEmptyQuestion)
{
    EXPECT_TRUE(AsksAboutNonEmptyFolder(false, false));
    EXPECT_FALSE(AsksAboutNonEmptyFolder(true, false)) << "the unchanged folder never asks";
    EXPECT_FALSE(AsksAboutNonEmptyFolder(false, true));
}

}  // namespace
