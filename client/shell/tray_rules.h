// What the tray icon shows and does by application state: the icon image,
// the menu with its first item, the exit guard, and the reactions to a
// click on the icon and on a balloon. Plain rules without the platform.
#pragma once

#include <cstdint>
#include <vector>

namespace Helper {

enum class AppState : int32_t;

// Icon groups of the program.
constexpr int kIconProduct = 128;
constexpr int kIconNotBound = 129;
constexpr int kIconGrey = 130;
constexpr int kIconSyncing = 131;
constexpr int kIconTavoFile = 132;
int IconForState(AppState state);

// Menu commands.
constexpr int kCmdOpenFolder = 1001;
constexpr int kCmdSetupWizard = 1002;
constexpr int kCmdOnlineFiles = 1101;
constexpr int kCmdSettings = 1201;
constexpr int kCmdFeedback = 1301;
constexpr int kCmdAbout = 1401;
constexpr int kCmdExit = 1501;

struct MenuItem {
    int command;          // 0 for a separator
    const char16_t* text; // null for a separator
    bool is_default;
};
// The popup menu in order; its first item depends on the state and is the
// default item.
std::vector<MenuItem> TrayMenuItems(AppState state);
// The exit command acts only while no other menu is open (the counter
// includes the menu that chose it).
bool MayExitFromMenu(int open_menus);

// Mode 0 opens the wizard in its current mode.
constexpr int kCurrentWizardMode = 0;
enum class TrayAction { None, OpenFolder, OpenWizard };
struct ClickReaction {
    TrayAction action = TrayAction::None;
    int wizard_mode = kCurrentWizardMode;
    bool binding_tip = false;  // the "正在将您的计算机与Tavo帐户绑定" tip comes first
};
ClickReaction LeftClickReaction(AppState state);
ClickReaction BalloonClickReaction(AppState state);

}  // namespace Helper
