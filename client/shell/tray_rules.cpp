#include "client/shell/tray_rules.h"

#include "client/shell/app_state_values.h"

namespace Helper {

namespace {

bool IsSignedOnAndWorking(AppState state)
{
    return state == AppState::Synced || state == AppState::Syncing;
}

ClickReaction Wizard(WizardMode mode, bool binding_tip)
{
    return {TrayAction::OpenWizard, static_cast<int>(mode), binding_tip};
}

}  // namespace

int IconForState(AppState state)
{
    switch (state) {
    case AppState::NotBound:
        return kIconNotBound;
    case AppState::Synced:
    case AppState::FolderMissing:
        return kIconProduct;
    case AppState::Syncing:
        return kIconSyncing;
    default:
        return kIconGrey;
    }
}

std::vector<MenuItem> TrayMenuItems(AppState state)
{
    MenuItem first = IsSignedOnAndWorking(state) ? MenuItem{kCmdOpenFolder, u"进入网盘文件夹(&O)", true}
                                                 : MenuItem{kCmdSetupWizard, u"帐号设置向导(&G)", true};
    const MenuItem separator{0, nullptr, false};
    return {first,
            {kCmdOnlineFiles, u"在线管理文档(&W)", false},
            separator,
            {kCmdSettings, u"设置中心(&S)", false},
            separator,
            {kCmdFeedback, u"意见反馈(&R)", false},
            {kCmdAbout, u"关于...(&A)", false},
            {kCmdExit, u"退出(&X)", false}};
}

bool MayExitFromMenu(int open_menus)
{
    return open_menus <= 1;
}

ClickReaction LeftClickReaction(AppState state)
{
    if (IsSignedOnAndWorking(state))
        return {TrayAction::OpenFolder, kCurrentWizardMode, false};
    return {TrayAction::OpenWizard, kCurrentWizardMode, false};
}

ClickReaction BalloonClickReaction(AppState state)
{
    switch (state) {
    case AppState::NotBound:
        return Wizard(WizardMode::FullSetup, false);
    case AppState::Synced:
    case AppState::Syncing:
        return {TrayAction::OpenFolder, kCurrentWizardMode, false};
    case AppState::CredentialsRejected:
        return Wizard(WizardMode::Recredential, true);
    case AppState::AccountInfoFailed:
        return Wizard(WizardMode::RetryAccountInfo, true);
    default:
        return {};
    }
}

}  // namespace Helper
