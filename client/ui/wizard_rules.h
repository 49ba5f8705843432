// The setup wizard's rules without the platform: pages, prompts, titles and
// tips by mode, the sign-on error texts, the folder a picked folder gives,
// and the question about a non-empty folder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace Helper {
enum class AppState : int32_t;
enum class WizardMode : int32_t;
}

namespace GUI {

using Helper::WizardMode;

constexpr int kAccountPage = 104;
constexpr int kFolderPage = 105;
constexpr int kUserNameLimit = 15;
constexpr int kPasswordLimit = 20;
constexpr int kFolderLimit = 260;

int FirstWizardPage(WizardMode mode);
// The account page's prompt. ResetFolder has no account page: its prompt
// closes the folder page's explanation instead of the usual request.
std::u16string_view WizardPrompt(WizardMode mode);
// The folder page's explanation (control 65535).
std::u16string FolderPageExplanation(WizardMode mode);
// The tray tip while the wizard of a mode is open.
std::u16string_view WizardOpeningTip(WizardMode mode);

// "TavoTessel 设置向导 (1/2)"; the folder page of ResetFolder is cut before
// its "(" and shows neither the step text nor the Back button.
std::u16string WizardTitle(int page, WizardMode mode);
bool FolderPageShowsSteps(WizardMode mode);
// "当前第%d步，共%d步".
std::u16string StepText(int page);
// "欢迎您，%s！请设置网盘文件夹".
std::u16string FolderPageHeader(std::u16string_view user);
constexpr std::u16string_view kAccountPageHeader = u"将您的计算机与Tavo帐户绑定";

// The red error text after a sign-on result code (1 failed, 2 refused);
// empty for success.
std::u16string_view SignOnErrorText(int code);

// Closing the wizard unfinished: FullSetup restores the previous account
// when there is one; the other modes leave the tray tip of the state that
// called for them (set as a Starting tip, tip only).
struct WizardCloseReaction {
    bool restores_previous_account = false;
    bool leaves_tip = false;
    Helper::AppState tip_of_state{};
};
WizardCloseReaction CloseReaction(WizardMode mode, bool has_previous_user);

// The header font: the dialog font's height made 8 units larger in magnitude.
constexpr int32_t kHeaderFontExtraHeight = 8;
int32_t HeaderFontHeight(int32_t dialog_font_height);

// The folder text for a folder the user picked in the folder browser:
// the picked path, "\TavoTessel\" and the user name, at most 259 units;
// nothing for a path that begins with "\" (the text then stays).
std::optional<std::u16string> FolderForPickedPath(std::u16string_view picked, std::u16string_view user);

// Finish and commit ask before using a folder other than the current one
// that is not empty (a file counts as not empty).
bool AsksAboutNonEmptyFolder(bool same_as_current_folder, bool is_empty_folder);

}  // namespace GUI
