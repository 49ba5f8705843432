// The texts of the tray icon: tips by state with the quota and progress
// rules, balloons, the version text and what an update result shows.
// Plain rules without the platform; the tray window copies the results
// into its icon data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace Helper {

enum class AppState : int32_t;

// Field capacities of the icon data in UTF-16 units, terminator included.
constexpr size_t kTipCapacity = 128;
constexpr size_t kBalloonTextCapacity = 256;
constexpr size_t kBalloonTitleCapacity = 64;

// "%.1f Byte", "%.1f KB", "%.1f MB" or "%.1f GB" of a size in bytes.
std::u16string FormatSize(float bytes);

// The three numbers of the Synced tip, in single precision as shown.
struct QuotaFigures {
    int total_gb = 0;
    float used_percent = 0;
    int free_mb = 0;
};
QuotaFigures ComputeQuotaFigures(uint64_t total, uint64_t free);
std::u16string FormatQuotaTip(uint64_t total, uint64_t free);

// The sync engine's current transfer as the progress tip sees it.
struct TransferReport {
    bool watching = false;      // the folder watch runs with its listener
    bool has_transfer = false;  // the engine reported a transfer
    std::u16string name;
    uint64_t total = 0;
    uint64_t done = 0;
    int direction = 0;  // 1 download, 2 upload
    uint32_t bytes_per_second = 0;
};
constexpr size_t kShownNameLength = 57;
std::u16string ShortenTransferName(std::u16string_view name);
// Cut to the tip's capacity.
std::u16string FormatProgressTip(const TransferReport& report);

// What the tip setter does for a state. Synced also stops the progress
// timer, which is the caller's part.
struct TipInputs {
    bool has_caller_text = false;  // for Starting
    std::u16string caller_text;
    uint64_t total = 0;  // quota, for Synced
    uint64_t free = 0;
    TransferReport transfer;  // for Syncing
};
struct TipText {
    bool shown = false;  // false: the tip flag is cleared, the tip stays as it was
    std::u16string text;
};
TipText TipForState(AppState state, const TipInputs& inputs);

// Balloon kind 11 is the upgrade balloon; every other kind is a state.
constexpr int kBalloonUpgrade = 11;
struct BalloonText {
    bool shown = false;  // false: the balloon flag is cleared
    std::u16string title;
    std::u16string text;
};
BalloonText BalloonFor(int kind, AppState previous, std::u16string_view text, std::u16string_view title);

// Four parts of the product version and the fourth part of the file version.
struct VersionParts {
    uint16_t product[4] = {};
    uint16_t build = 0;
};
// "TavoTessel 1.0.0.1 Beta (Build 1)", cut to 128 units.
std::u16string FormatVersionText(const VersionParts& version);
// The upgrade balloon: title "升级提示", text "升级至版本：" and the version text.
BalloonText UpgradeBalloon(const VersionParts& version);

// What an update result from the updater shows: a status text with its
// colour on the settings centre's update page, and for a new version the
// upgrade-notice balloon. Colours are COLORREF values.
constexpr uint32_t kStatusGreen = 0x008000;
constexpr uint32_t kStatusRed = 0x0000FF;
struct UpdateResultDisplay {
    bool shows_status = false;
    std::u16string status;
    uint32_t colour = 0;
    BalloonText balloon;
};
UpdateResultDisplay UpdateResultFor(uint32_t outcome, bool manual_check);

}  // namespace Helper
