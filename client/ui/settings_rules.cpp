#include "client/ui/settings_rules.h"

#include "client/shell/app_state_values.h"
#include "client/shell/resource.h"
#include "common/text_format.h"

namespace GUI {

namespace {

constexpr int kTagLeft = 11;
constexpr int kTagRight = 99;
constexpr int kTagTop = 11;
constexpr int kTagHeight = 30;

struct HeadingRow {
    int page;
    std::u16string_view text;
    int top;  // the band is 20 pixels high
    int left;
    int line_y;  // a separator below it, 0 for none
};

constexpr HeadingRow kHeadings[] = {
    {IDD_PAGE_GENERAL, u"我的账户", 40, 20, 0},
    {IDD_PAGE_GENERAL, u"当前登录账户：", 65, 40, 100},
    {IDD_PAGE_GENERAL, u"开机自启动", 110, 20, 0},
    {IDD_PAGE_SYNC, u"网盘文件夹", 40, 20, 100},
    {IDD_PAGE_SYNC, u"同步速度限制", 110, 20, 0},
    {IDD_PAGE_UPDATE, u"自动更新", 40, 20, 120},
    {IDD_PAGE_UPDATE, u"手动更新", 130, 20, 0},
};

}  // namespace

int ShownSpeedLimit(uint32_t stored)
{
    if (stored == 0)
        return kSpeedLimitShownForZero;
    int position = static_cast<int>(stored & 0xFFFF);
    if (position < kSpeedLimitMin)
        return kSpeedLimitMin;
    return position > kSpeedLimitMax ? kSpeedLimitMax : position;
}

int SpeedLimitFromText(std::u16string_view text, int position)
{
    size_t first = text.find_first_not_of(u' ');
    if (first == std::u16string_view::npos || text[first] < u'0' || text[first] > u'9')
        return position;
    int value = 0;
    for (size_t i = first; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        value = value * 10 + (text[i] - u'0');
        if (value > kSpeedLimitMax)
            return kSpeedLimitMax;
    }
    return value < kSpeedLimitMin ? kSpeedLimitMin : value;
}

uint32_t AppliedSpeedLimit(uint32_t enabled, uint32_t stored_max)
{
    return enabled == 1 ? stored_max : 0;
}

bool IsSignedIn(Helper::AppState state)
{
    return state == Helper::AppState::Synced || state == Helper::AppState::Syncing;
}

std::u16string AccountLinkText(std::u16string_view user, bool signed_in)
{
    if (!signed_in)
        return u"用户未登录";
    std::u16string shown(user.substr(0, kShownAccountLength));
    if (user.size() > kShownAccountLength)
        shown += u"...";
    return Helper::FormatText(u"<a>%s</a>", {shown});
}

bool CAutoUpdateChoice::Click(bool on)
{
    bool changed = on != on_;
    on_ = on;
    return changed;
}

bool EnablesApply(int control, ControlEvent event, bool initialised, bool auto_update_choice_changed)
{
    if (!initialised)
        return false;
    switch (control) {
    case IDC_FOLDER:
    case IDC_UPLOAD_LIMIT:
    case IDC_DOWNLOAD_LIMIT:
        return event == ControlEvent::TextChanged;
    case IDC_UPLOAD_LIMIT_ON:
    case IDC_DOWNLOAD_LIMIT_ON:
    case IDC_AUTORUN:
        return event == ControlEvent::Clicked;
    case IDC_AUTO_UPDATE_ON:
    case IDC_AUTO_UPDATE_OFF:
        return event == ControlEvent::Clicked && auto_update_choice_changed;
    default:
        return false;
    }
}

StatusLine InitialUpdateStatus()
{
    return {u"您可以立即检查更新，升级到最新版本。", kStatusBlack};
}

StatusLine UpdateCheckStatus(bool updater_started)
{
    if (updater_started)
        return {u"正在检查更新...", kStatusGreen};
    return {u"无法进行自动更新！请尝试重新安装程序修复问题。", kStatusRed};
}

Rect TagButtonRect(int index)
{
    int top = kTagTop + index * kTagHeight;
    return {kTagLeft, top, kTagRight, top + kTagHeight};
}

Rect SettingsPageRect(const Rect& client)
{
    return {client.left + kTagRight + 11, client.top + 11 - 1, client.right - 10, client.bottom - 40};
}

PageDecoration PageDecorationFor(int page, const Rect& client)
{
    PageDecoration d;
    for (const HeadingRow& row : kHeadings) {
        if (row.page != page)
            continue;
        d.headings.push_back({row.text, {client.left + row.left, client.top + row.top, client.right - 10,
                                         client.top + row.top + 20}});
        if (row.line_y != 0)
            d.lines.push_back({client.top + row.line_y, client.left + 15, client.right - 15});
    }
    return d;
}

}  // namespace GUI
