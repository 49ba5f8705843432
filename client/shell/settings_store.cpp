#include "client/shell/settings_store.h"

#include <shlobj.h>

#include <cwchar>

#include "common/bounded_string.h"
#include "common/registry_access.h"
#include "common/win_handle.h"

namespace Helper {

namespace {

bool ExecutablePath(wchar_t (&path)[MAX_PATH])
{
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return false;
    return true;
}

}  // namespace

bool CheckFirstRun()
{
    if (ReadRegDword(HKEY_CURRENT_USER, kRegRoot, kRegIsNotFirstRun) != 0)
        return false;
    WriteRegDword(HKEY_CURRENT_USER, kRegRoot, kRegIsNotFirstRun, 1);
    return true;
}

DWORD ReadAutoUpdate() { return ReadRegDword(HKEY_CURRENT_USER, kRegRoot, kRegIsAutoUpdate); }

LONG WriteAutoUpdate(DWORD value)
{
    return WriteRegDword(HKEY_CURRENT_USER, kRegRoot, kRegIsAutoUpdate, value);
}

void LoadAccount(wchar_t (&user)[kRegUserCapacity], wchar_t (&credential)[kRegSessionIdCapacity],
                 wchar_t (&folder)[kRegFolderCapacity])
{
    ReadRegString(HKEY_CURRENT_USER, kRegRoot, kRegUser, user, kRegUserCapacity);
    wchar_t path[kRegAccountKeyCapacity];
    AccountKeyPath(user, path);
    ReadRegString(HKEY_CURRENT_USER, path, kRegSessionId, credential, kRegSessionIdCapacity);
    ReadRegString(HKEY_CURRENT_USER, path, kRegFolder, folder, kRegFolderCapacity);
}

void SaveAccount(const wchar_t* user, const wchar_t* credential, const wchar_t* folder)
{
    WriteRegString(HKEY_CURRENT_USER, kRegRoot, kRegUser, user);
    wchar_t path[kRegAccountKeyCapacity];
    AccountKeyPath(user, path);
    WriteRegString(HKEY_CURRENT_USER, path, kRegSessionId, credential);
    WriteRegString(HKEY_CURRENT_USER, path, kRegFolder, folder);
}

bool IsAutorunEnabled()
{
    wchar_t stored[MAX_PATH] = {};
    wchar_t self[MAX_PATH];
    if (!ReadRegString(HKEY_CURRENT_USER, kRegRunKey, kRegRunValue, stored, MAX_PATH) ||
        !ExecutablePath(self))
        return false;
    return _wcsicmp(stored, self) == 0;
}

void SetAutorun(bool enable)
{
    if (enable) {
        wchar_t self[MAX_PATH];
        if (ExecutablePath(self))
            WriteRegString(HKEY_CURRENT_USER, kRegRunKey, kRegRunValue, self);
        return;
    }
    CRegKey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kRegRunKey, 0, nullptr, 0, KEY_WRITE, nullptr, key.Receive(), nullptr) ==
        ERROR_SUCCESS)
        RegDeleteValueW(key.Get(), kRegRunValue);
}

void RegisterTempFileType()
{
    bool changed = false;
    wchar_t current[MAX_PATH] = {};
    if (!ReadRegString(HKEY_CLASSES_ROOT, kTempFileExtension, nullptr, current, MAX_PATH) ||
        wcscmp(current, kTempFileClass) != 0) {
        WriteRegString(HKEY_CLASSES_ROOT, kTempFileExtension, nullptr, kTempFileClass);
        changed = true;
    }

    current[0] = L'\0';
    if (!ReadRegString(HKEY_CLASSES_ROOT, kTempFileClass, nullptr, current, MAX_PATH) ||
        wcscmp(current, kTempFileDescription) != 0) {
        WriteRegString(HKEY_CLASSES_ROOT, kTempFileClass, nullptr, kTempFileDescription);
        changed = true;
    }

    wchar_t icon_key[MAX_PATH];
    FormatBounded(icon_key, MAX_PATH, kDefaultIconKeyFormat, kTempFileClass);
    wchar_t self[MAX_PATH];
    if (ExecutablePath(self)) {
        constexpr DWORD kIconCapacity = MAX_PATH + 16;
        wchar_t expected[kIconCapacity];
        FormatBounded(expected, kIconCapacity, kDefaultIconValueFormat, self, kTempFileIconId);
        wchar_t stored[kIconCapacity] = {};
        if (!ReadRegString(HKEY_CLASSES_ROOT, icon_key, nullptr, stored, kIconCapacity, REG_EXPAND_SZ) ||
            _wcsicmp(stored, expected) != 0) {
            WriteRegString(HKEY_CLASSES_ROOT, icon_key, nullptr, expected, REG_EXPAND_SZ);
            changed = true;
        }
    }

    if (changed)
        SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_FLUSH, nullptr, nullptr);
}

}  // namespace Helper
