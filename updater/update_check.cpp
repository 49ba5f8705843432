#include "updater/update_check.h"

#include <string_view>

#include "common/bounded_string.h"
#include "common/registry_layout.h"
#include "common/utf.h"
#include "common/win_handle.h"
#include "updater/http_fetch.h"
#include "updater/package_verify.h"
#include "updater/update_manifest.h"
#include "updater/version_compare.h"

namespace Updater {

namespace {

constexpr DWORD kVersionQueryBytes = 38;

bool PrepareTempFolder(UpdateContext* context)
{
    DWORD length = GetTempPathW(MAX_PATH, context->temp_folder);
    if (length == 0 || length >= MAX_PATH)
        return false;
    return Helper::FormatBounded(context->manifest_path, MAX_PATH, L"%s%s", context->temp_folder, kManifestFileName);
}

// The installer writes the product version it installed; without it there
// is nothing to compare against.
bool ReadInstalledVersion(UpdateContext* context)
{
    Helper::CRegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, Helper::kRegRoot, 0, KEY_READ, key.Receive()) != ERROR_SUCCESS)
        return false;
    wchar_t value[kVersionCapacity] = {};
    DWORD type = 0;
    DWORD size = kVersionQueryBytes;
    if (RegQueryValueExW(key.Get(), Helper::kRegVersion, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return false;
    value[kVersionCapacity - 1] = L'\0';
    Helper::CopyBounded(context->installed_version, value);
    return true;
}

bool ReadWholeFile(const wchar_t* path, std::string* bytes)
{
    Helper::CFileHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file)
        return false;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.Get(), &size) || size.QuadPart > kManifestMaxBytes)
        return false;
    bytes->resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    if (!bytes->empty() && !ReadFile(file.Get(), bytes->data(), static_cast<DWORD>(bytes->size()), &read, nullptr))
        return false;
    bytes->resize(read);
    return true;
}

bool FetchManifest(UpdateContext* context, const wchar_t* manifest_url)
{
    DeleteFileW(context->manifest_path);
    return DownloadToFolder(manifest_url, context->temp_folder, kManifestFileName);
}

void StoreManifestTexts(UpdateContext* context, const std::vector<std::u16string>& texts)
{
    auto copy = [](wchar_t* dst, size_t capacity, const std::u16string& text) {
        std::wstring_view wide = Helper::AsWide(text);
        Helper::CopyBounded(dst, capacity, wide.data(), wide.size());
    };
    copy(context->offered_version, kVersionCapacity, texts.front());
    copy(context->package_file_name, MAX_PATH, texts[1]);
    for (size_t i = 2; i + 1 < texts.size(); ++i)
        context->download_urls.emplace_back(Helper::AsWide(texts[i]));
    copy(context->expected_checksum, Helper::kMd5HexLength + 1, texts.back());
}

bool LoadManifest(UpdateContext* context, const wchar_t* platform)
{
    std::string document;
    if (!ReadWholeFile(context->manifest_path, &document))
        return false;
    std::vector<std::u16string> texts;
    if (!ParseUpdateManifest(document, Helper::AsU16(platform), &texts))
        return false;
    StoreManifestTexts(context, texts);
    return true;
}

bool DownloadPackage(UpdateContext* context)
{
    wchar_t package_path[MAX_PATH];
    if (!Helper::FormatBounded(package_path, MAX_PATH, L"%s%s", context->temp_folder, context->package_file_name))
        return false;
    for (const std::wstring& url : context->download_urls) {
        if (DownloadToFolder(url.c_str(), context->temp_folder, context->package_file_name) &&
            VerifyPackage(package_path, context->expected_checksum))
            return true;
    }
    return false;
}

}  // namespace

const wchar_t* PlatformWord(UpdateContext* context)
{
#ifdef _WIN64
    context->is_64bit_windows = TRUE;
#else
    using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
    context->is_64bit_windows = FALSE;
    HMODULE kernel = GetModuleHandleW(L"kernel32");
    auto is_wow64 = kernel ? reinterpret_cast<IsWow64ProcessFn>(
                                 reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process")))
                           : nullptr;
    BOOL wow64 = FALSE;
    if (is_wow64 != nullptr && is_wow64(GetCurrentProcess(), &wow64) && wow64)
        context->is_64bit_windows = TRUE;
#endif
    return context->is_64bit_windows ? L"win64" : L"win32";
}

UpdateCheckResult RunUpdateCheck(UpdateContext* context, const wchar_t* manifest_url)
{
    if (!PrepareTempFolder(context) || !ReadInstalledVersion(context))
        return kUpdateFailed;
    if (!IsReachableStatus(ProbeHttpStatus(manifest_url, kProbeTimeoutMs)))
        return kUpdateFailed;
    const wchar_t* platform = PlatformWord(context);
    if (!FetchManifest(context, manifest_url) || !LoadManifest(context, platform))
        return kUpdateFailed;
    if (!IsVersionOlder(Helper::AsU16(context->installed_version), Helper::AsU16(context->offered_version)))
        return kUpdateCurrent;
    return DownloadPackage(context) ? kUpdateReady : kUpdateFailed;
}

}  // namespace Updater
