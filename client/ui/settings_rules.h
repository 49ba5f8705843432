// The settings centre's rules without the platform: speed limits, the
// account link, which control changes enable 应用, the update-check status,
// and the layout of the tag buttons, pages and painted section headings.
#pragma once

#include "client/ui/tag_button_model.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Helper {
enum class AppState : int32_t;
}

namespace GUI {

// Speed limits in KB/s as the up-downs hold them.
constexpr int kSpeedLimitMin = 1;
constexpr int kSpeedLimitMax = 2048;
constexpr int kSpeedLimitShownForZero = 50;
constexpr int kSpeedLimitDigits = 4;
// The up-down position for a stored "MaxUpload"/"MaxDownload": its low 16
// bits, 50 for a stored 0, held within 1-2048 as the up-down holds it.
int ShownSpeedLimit(uint32_t stored);
// The limit the commit stores for what a limit box holds: its number held
// within 1-2048; the up-down's position when the box holds no number.
int SpeedLimitFromText(std::u16string_view text, int position);
// The limit given to the transfer meter: the stored maximum when enabled
// ("EnableMax..." is 1), otherwise 0 (no limit).
uint32_t AppliedSpeedLimit(uint32_t enabled, uint32_t stored_max);

// Synced and Syncing count as signed in.
bool IsSignedIn(Helper::AppState state);
constexpr size_t kShownAccountLength = 29;
// "<a>name</a>" with the name cut to 29 characters and "..." when longer;
// "用户未登录" when not signed in.
std::u16string AccountLinkText(std::u16string_view user, bool signed_in);

// Change tracking: whether a control event enables 应用. Auto-update clicks
// count only when they change the choice last seen, which the tracker keeps.
enum class ControlEvent { TextChanged, Clicked };
class CAutoUpdateChoice {
public:
    explicit CAutoUpdateChoice(bool auto_update_on) : on_(auto_update_on) {}
    // A click on 1044 (on) or 1045 (off); true when the choice changed.
    bool Click(bool on);
    bool on() const { return on_; }

private:
    bool on_;
};
bool EnablesApply(int control, ControlEvent event, bool initialised, bool auto_update_choice_changed);

// The update page's status line: its text and COLORREF colour.
struct StatusLine {
    std::u16string_view text;
    uint32_t colour;
};
constexpr uint32_t kStatusBlack = 0x000000;
constexpr uint32_t kStatusGreen = 0x008000;
constexpr uint32_t kStatusRed = 0x0000FF;
StatusLine InitialUpdateStatus();
// After 检查更新: whether the updater could be started.
StatusLine UpdateCheckStatus(bool updater_started);

// Layout in pixels of the main dialog's client area.
constexpr int kTagCount = 3;
constexpr std::u16string_view kTagTexts[kTagCount] = {u"常规选项", u"同步设置", u"软件更新"};
Rect TagButtonRect(int index);
Rect SettingsPageRect(const Rect& client);

// A page's painted headings and separator lines, in the page's client
// coordinates.
struct SectionHeading {
    std::u16string_view text;
    Rect rect;
};
struct SeparatorLine {
    int y;
    int left;
    int right;
};
struct PageDecoration {
    std::vector<SectionHeading> headings;
    std::vector<SeparatorLine> lines;
};
// page: 110, 112 or 113; nothing for any other.
PageDecoration PageDecorationFor(int page, const Rect& client);

}  // namespace GUI
