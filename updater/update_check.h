// The update check: is a newer client offered, and if so, is its installer
// downloaded into the temporary folder and proven by its checksum?
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "common/hex.h"

namespace Updater {

using UpdateCheckResult = int;
constexpr UpdateCheckResult kUpdateCurrent = 200;  // nothing newer; nothing downloaded
constexpr UpdateCheckResult kUpdateReady = 301;    // a newer package lies verified in the temp folder
constexpr UpdateCheckResult kUpdateFailed = 500;   // anything else

constexpr size_t kVersionCapacity = 20;
constexpr wchar_t kManifestFileName[] = L"tessel.xml";
// A manifest is a few hundred bytes; anything far larger is not one.
constexpr DWORD kManifestMaxBytes = 1 << 20;

struct UpdateContext {
    wchar_t temp_folder[MAX_PATH];  // ends in a backslash
    wchar_t manifest_path[MAX_PATH];
    wchar_t expected_checksum[Helper::kMd5HexLength + 1];
    wchar_t package_file_name[MAX_PATH];
    std::vector<std::wstring> download_urls;
    wchar_t installed_version[kVersionCapacity];
    wchar_t offered_version[kVersionCapacity];
    BOOL is_64bit_windows;
};

// "win64" or "win32": which "client" element of the manifest applies here.
const wchar_t* PlatformWord(UpdateContext* context);

// Runs the whole check once. context starts zeroed (an empty URL list);
// with kUpdateReady the package is temp_folder + package_file_name.
UpdateCheckResult RunUpdateCheck(UpdateContext* context, const wchar_t* manifest_url);

}  // namespace Updater
