#include "client/ui/wizard_rules.h"

#include "client/shell/app_state_values.h"
#include "common/text_format.h"

namespace GUI {

namespace {

constexpr int kPages = 2;
constexpr const char16_t* kBindingTip = u"正在将您的计算机与Tavo帐户绑定";

int StepOf(int page)
{
    return page == kFolderPage ? 2 : 1;
}

}  // namespace

int FirstWizardPage(WizardMode mode)
{
    return mode == WizardMode::ResetFolder ? kFolderPage : kAccountPage;
}

std::u16string_view WizardPrompt(WizardMode mode)
{
    switch (mode) {
    case WizardMode::FullSetup:
        return u"请输入您的Tavo帐户";
    case WizardMode::Recredential:
        return u"您的帐户出现异常，请重新登录";
    case WizardMode::RetryAccountInfo:
        return u"您的用户配置信息获取失败，请重新登录";
    case WizardMode::ResetFolder:
        return u"请重新设置TavoTessel在本机的存储文件夹";
    default:
        return u"";
    }
}

std::u16string FolderPageExplanation(WizardMode mode)
{
    std::u16string text =
        u"\n\rTavoTessel是一个特殊文件夹，文件夹中的内容会\n\r\n\r自动同步存储到网络服务器，帮助您在多台计算机中"
        u"\n\r\n\r保持文档同步。\n\r\n\r\n\r";
    if (mode == WizardMode::ResetFolder)
        return text + std::u16string(WizardPrompt(mode)) + u"：";
    return text + u"请选择TavoTessel在您本机存储的位置：";
}

std::u16string_view WizardOpeningTip(WizardMode mode)
{
    return mode == WizardMode::ResetFolder ? u"正在重设网盘本地备份的文件夹" : kBindingTip;
}

std::u16string WizardTitle(int page, WizardMode mode)
{
    std::u16string title = Helper::FormatText(u"TavoTessel 设置向导 (%d/%d)", {StepOf(page), kPages});
    if (page == kFolderPage && !FolderPageShowsSteps(mode))
        title.resize(title.find(u'('));
    return title;
}

bool FolderPageShowsSteps(WizardMode mode)
{
    return mode != WizardMode::ResetFolder;
}

std::u16string StepText(int page)
{
    return Helper::FormatText(u"当前第%d步，共%d步", {StepOf(page), kPages});
}

std::u16string FolderPageHeader(std::u16string_view user)
{
    return Helper::FormatText(u"欢迎您，%s！请设置网盘文件夹", {user});
}

std::u16string_view SignOnErrorText(int code)
{
    if (code == 1)
        return u"网络错误，请稍候再试";
    if (code == 2)
        return u"用户名或密码错误，请重新输入";
    return u"";
}

WizardCloseReaction CloseReaction(WizardMode mode, bool has_previous_user)
{
    switch (mode) {
    case WizardMode::FullSetup:
        return {has_previous_user, false, {}};
    case WizardMode::Recredential:
        return {false, true, Helper::AppState::CredentialsRejected};
    case WizardMode::ResetFolder:
        return {false, true, Helper::AppState::FolderMissing};
    case WizardMode::RetryAccountInfo:
        return {false, true, Helper::AppState::AccountInfoFailed};
    }
    return {};
}

int32_t HeaderFontHeight(int32_t dialog_font_height)
{
    return dialog_font_height < 0 ? dialog_font_height - kHeaderFontExtraHeight
                                  : dialog_font_height + kHeaderFontExtraHeight;
}

std::optional<std::u16string> FolderForPickedPath(std::u16string_view picked, std::u16string_view user)
{
    if (picked.empty() || picked.front() == u'\\')
        return std::nullopt;
    return Helper::CutToCapacity(std::u16string(picked) + u"\\TavoTessel\\" + std::u16string(user), kFolderLimit);
}

bool AsksAboutNonEmptyFolder(bool same_as_current_folder, bool is_empty_folder)
{
    return !same_as_current_folder && !is_empty_folder;
}

}  // namespace GUI
