// The registry layout shared by the client, the overlay and the updater.
#pragma once

#include <cstddef>

#include "common/bounded_string.h"
#include "common/temp_file.h"

namespace Helper {

constexpr const wchar_t* kRegRoot = L"Software\\Tavo\\Tessel";
constexpr const wchar_t* kRegUsers = L"Users";
constexpr const wchar_t* kRegAccountKeyFormat = L"%s\\Users\\%s";  // root path, user name
constexpr size_t kRegAccountKeyCapacity = 64;

constexpr const wchar_t* kRegIsNotFirstRun = L"IsNotFirstRun";
constexpr const wchar_t* kRegIsAutoUpdate = L"IsAutoUpdate";
constexpr const wchar_t* kRegUser = L"User";
constexpr const wchar_t* kRegVersion = L"Version";

constexpr const wchar_t* kRegSessionId = L"SessionId";
constexpr const wchar_t* kRegFolder = L"Folder";
constexpr const wchar_t* kRegStateDigest = L"cMagic";
constexpr const wchar_t* kRegEnableMaxUpload = L"EnableMaxUpload";
constexpr const wchar_t* kRegMaxUpload = L"MaxUpload";
constexpr const wchar_t* kRegEnableMaxDownload = L"EnableMaxDownload";
constexpr const wchar_t* kRegMaxDownload = L"MaxDownload";

// Read capacities in UTF-16 units, terminator included.
constexpr size_t kRegUserCapacity = 32;
constexpr size_t kRegSessionIdCapacity = 64;
constexpr size_t kRegFolderCapacity = kPathCapacity;
constexpr size_t kRegStateDigestCapacity = 36;

constexpr const wchar_t* kRegRunKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const wchar_t* kRegRunValue = L"Tessel";

constexpr const wchar_t* kTempFileExtension = kTempFileSuffix.data();
constexpr const wchar_t* kTempFileClass = L"Tavofile";
constexpr const wchar_t* kTempFileDescription = L"TavoTessel同步临时文件";
constexpr const wchar_t* kDefaultIconKeyFormat = L"%s\\DefaultIcon";
constexpr const wchar_t* kDefaultIconValueFormat = L"%s,-%d";
constexpr int kTempFileIconId = 132;

}  // namespace Helper
