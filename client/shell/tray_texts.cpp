#include "client/shell/tray_texts.h"

#include "client/shell/app_state_values.h"
#include "common/text_format.h"

namespace Helper {

namespace {

constexpr float kKiB = 1024.0f;
constexpr float kMiB = 1048576.0f;
constexpr float kGiB = 1073741824.0f;

constexpr const char16_t* kPreparing = u"正在准备同步数据...";
constexpr const char16_t* kSyncingName = u"正在同步 %s";
constexpr const char16_t* kDownloadLine = u"\n下载速度 %.1f KB/s，已完成 %.1f%% (%s/%s)，剩余时间 %02d:%02d:%02d";
constexpr const char16_t* kUploadLine = u"\n上传速度 %.1f KB/s，已完成 %.1f%% (%s/%s)，剩余时间 %02d:%02d:%02d";
constexpr const char16_t* kUpgradeTitle = u"升级提示";

bool ShowsPreparing(const TransferReport& r)
{
    return !r.watching || !r.has_transfer || r.total == 0 || r.done > r.total || r.name.empty();
}

std::u16string TransferLine(const TransferReport& r)
{
    float speed = static_cast<float>(r.bytes_per_second) / kKiB;
    float percent = static_cast<float>(r.done) * 100.0f / static_cast<float>(r.total);
    uint64_t seconds = (r.total - r.done) / r.bytes_per_second;
    const char16_t* line = r.direction == 1 ? kDownloadLine : kUploadLine;
    return FormatText(line, {static_cast<double>(speed), static_cast<double>(percent),
                             FormatSize(static_cast<float>(r.done)), FormatSize(static_cast<float>(r.total)),
                             static_cast<int64_t>(seconds / 3600), static_cast<int64_t>(seconds % 3600 / 60),
                             static_cast<int64_t>(seconds % 60)});
}

std::u16string StateTip(AppState state, const TipInputs& inputs)
{
    switch (state) {
    case AppState::NotBound:
        return u"您的计算机还没有与Tavo帐户绑定";
    case AppState::Synced:
        return FormatQuotaTip(inputs.total, inputs.free);
    case AppState::Syncing:
        return FormatProgressTip(inputs.transfer);
    case AppState::Offline:
        return u"网络不可用，请检查您的网络连接是否畅通";
    case AppState::CredentialsRejected:
        return u"您的登录密码不正确，请重新运行设置向导";
    case AppState::FolderMissing:
        return u"您Tessel的本地文件夹已丢失，请重新运行设置向导";
    case AppState::AccountInfoFailed:
        return u"您的用户配置信息获取失败，请重新运行设置向导";
    case AppState::AccountFrozen:
        return u"您的帐户已被冻结，请联系网站管理员或重新注册";
    default:
        return u"";
    }
}

BalloonText Balloon(std::u16string_view title, std::u16string_view text)
{
    return {true, CutToCapacity(std::u16string(title), kBalloonTitleCapacity),
            CutToCapacity(std::u16string(text), kBalloonTextCapacity)};
}

}  // namespace

std::u16string FormatSize(float bytes)
{
    if (bytes < kKiB)
        return FormatText(u"%.1f Byte", {static_cast<double>(bytes)});
    if (bytes < kMiB)
        return FormatText(u"%.1f KB", {static_cast<double>(bytes / kKiB)});
    if (bytes < kGiB)
        return FormatText(u"%.1f MB", {static_cast<double>(bytes / kMiB)});
    return FormatText(u"%.1f GB", {static_cast<double>(bytes / kGiB)});
}

QuotaFigures ComputeQuotaFigures(uint64_t total, uint64_t free)
{
    float t = static_cast<float>(total);
    float f = static_cast<float>(free);
    QuotaFigures q;
    q.total_gb = static_cast<int>(t / kGiB);
    q.used_percent = total == 0 ? 0.0f : (t - f) * 100.0f / t;
    q.free_mb = static_cast<int>(f / kMiB);
    return q;
}

std::u16string FormatQuotaTip(uint64_t total, uint64_t free)
{
    QuotaFigures q = ComputeQuotaFigures(total, free);
    return CutToCapacity(FormatText(u"所有文件已经同步\n共 %d GB空间，已使用%.1f%%，剩余 %d MB",
                                    {q.total_gb, static_cast<double>(q.used_percent), q.free_mb}),
                         kTipCapacity);
}

std::u16string ShortenTransferName(std::u16string_view name)
{
    if (name.size() <= kShownNameLength)
        return std::u16string(name);
    return std::u16string(name.substr(0, kShownNameLength)) + u"...";
}

std::u16string FormatProgressTip(const TransferReport& report)
{
    if (ShowsPreparing(report))
        return kPreparing;
    std::u16string text = FormatText(kSyncingName, {ShortenTransferName(report.name)});
    if ((report.direction == 1 || report.direction == 2) && report.bytes_per_second > 0)
        text += TransferLine(report);
    return CutToCapacity(text, kTipCapacity);
}

TipText TipForState(AppState state, const TipInputs& inputs)
{
    if (state == AppState::Starting) {
        if (!inputs.has_caller_text)
            return {};
        return {true, CutToCapacity(inputs.caller_text, kTipCapacity)};
    }
    if (state == AppState::SigningOn)
        return {};
    return {true, CutToCapacity(StateTip(state, inputs), kTipCapacity)};
}

BalloonText BalloonFor(int kind, AppState previous, std::u16string_view text, std::u16string_view title)
{
    const int starting = static_cast<int>(AppState::Starting);
    if (kind == kBalloonUpgrade)
        return Balloon(title, text);
    if (kind == static_cast<int>(AppState::NotBound) && previous == AppState::Starting)
        return Balloon(u"帐户未绑定", u"请将您的计算机与Tavo帐户进行绑定，点击这里开始");
    if (kind == starting && !text.empty() && !title.empty())
        return Balloon(title, text);
    if (kind == static_cast<int>(AppState::Synced) && previous == AppState::NotBound)
        return Balloon(u"设置完成", u"设置完成！您只需要将文件放入网盘文件夹即可保持与网站数据的同步");
    return {};
}

std::u16string FormatVersionText(const VersionParts& v)
{
    return CutToCapacity(FormatText(u"TavoTessel %d.%d.%d.%d Beta (Build %d)",
                                    {int{v.product[0]}, int{v.product[1]}, int{v.product[2]},
                                     int{v.product[3]}, int{v.build}}),
                         kTipCapacity);
}

BalloonText UpgradeBalloon(const VersionParts& version)
{
    std::u16string text = CutToCapacity(FormatText(u"升级至版本：%s", {FormatVersionText(version)}), 128);
    return Balloon(kUpgradeTitle, text);
}

UpdateResultDisplay UpdateResultFor(uint32_t outcome, bool manual_check)
{
    UpdateResultDisplay d;
    if (outcome == 0) {
        d = {true, u"即将更新至最新版本...", kStatusGreen, {}};
        d.balloon = Balloon(kUpgradeTitle, u"发现新版本，准备开始升级您的客户端");
    } else if (outcome == 1 && manual_check) {
        d = {true, u"您当前使用的已是最新版本。", kStatusGreen, {}};
    } else if (outcome == 2 && manual_check) {
        d = {true, u"服务器忙碌中，请稍后尝试...", kStatusRed, {}};
    }
    return d;
}

}  // namespace Helper
