#include "client/shell/settings_store.h"

#include <shlobj.h>

#include <cwchar>

#include "common/bounded_string.h"
#include "common/registry_layout.h"

namespace Helper {

namespace {

class RegKey {
public:
    RegKey() = default;
    ~RegKey()
    {
        if (key_ != nullptr)
            RegCloseKey(key_);
    }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;

    bool OpenRead(HKEY root, const wchar_t* subkey)
    {
        return RegOpenKeyExW(root, subkey, 0, KEY_READ, &key_) == ERROR_SUCCESS;
    }
    LONG OpenWrite(HKEY root, const wchar_t* subkey)
    {
        return RegCreateKeyExW(root, subkey, 0, nullptr, 0, KEY_WRITE, nullptr, &key_, nullptr);
    }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

// "%s\Users\%s" in a buffer of 64 units.
void AccountKeyPath(const wchar_t* user, wchar_t (&path)[kRegAccountKeyCapacity])
{
    FormatBounded(path, kRegAccountKeyCapacity, kRegAccountKeyFormat, kRegRoot, user);
}

bool ExecutablePath(wchar_t (&path)[MAX_PATH])
{
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return false;
    return true;
}

}  // namespace

bool ReadRegString(HKEY root, const wchar_t* subkey, const wchar_t* value_name, wchar_t* buffer,
                   DWORD capacity, DWORD accepted_type)
{
    if (buffer == nullptr || capacity < 1)
        return false;
    RegKey key;
    if (!key.OpenRead(root, subkey))
        return false;
    // Read into a scratch buffer first: a failed or refused read must leave
    // the caller's buffer untouched.
    wchar_t scratch[1024];
    if (capacity >= sizeof(scratch) / sizeof(scratch[0]))
        return false;
    // Strings are written without their terminator, but the registry adds
    // one when the unit after the data is zero, so a value that fills the
    // buffer exactly, terminator included, is ours too.
    DWORD type = 0;
    DWORD bytes = capacity * sizeof(wchar_t);
    if (RegQueryValueExW(key.get(), value_name, nullptr, &type, reinterpret_cast<BYTE*>(scratch),
                         &bytes) != ERROR_SUCCESS ||
        type != accepted_type)
        return false;
    DWORD units = bytes / sizeof(wchar_t);
    if (units == capacity && scratch[capacity - 1] != L'\0')
        return false;
    scratch[units < capacity - 1 ? units : capacity - 1] = L'\0';
    wmemcpy(buffer, scratch, capacity);
    return true;
}

DWORD ReadRegDword(HKEY root, const wchar_t* subkey, const wchar_t* value_name)
{
    RegKey key;
    if (!key.OpenRead(root, subkey))
        return 0;
    DWORD type = 0;
    DWORD value = 0;
    DWORD bytes = sizeof(value);
    if (RegQueryValueExW(key.get(), value_name, nullptr, &type, reinterpret_cast<BYTE*>(&value),
                         &bytes) != ERROR_SUCCESS ||
        type != REG_DWORD || bytes != sizeof(value))
        return 0;
    return value;
}

LONG WriteRegString(HKEY root, const wchar_t* subkey, const wchar_t* value_name, const wchar_t* text,
                    DWORD type)
{
    RegKey key;
    LONG status = key.OpenWrite(root, subkey);
    if (status != ERROR_SUCCESS)
        return status;
    DWORD bytes = static_cast<DWORD>(wcslen(text) * sizeof(wchar_t));
    return RegSetValueExW(key.get(), value_name, 0, type, reinterpret_cast<const BYTE*>(text), bytes);
}

LONG WriteRegDword(HKEY root, const wchar_t* subkey, const wchar_t* value_name, DWORD value)
{
    RegKey key;
    LONG status = key.OpenWrite(root, subkey);
    if (status != ERROR_SUCCESS)
        return status;
    return RegSetValueExW(key.get(), value_name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof(value));
}

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

void LoadAccount(wchar_t (&user)[32], wchar_t (&credential)[64], wchar_t (&folder)[260])
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

bool ReadAccountFolder(const wchar_t* user, wchar_t (&folder)[260])
{
    wchar_t path[kRegAccountKeyCapacity];
    AccountKeyPath(user, path);
    return ReadRegString(HKEY_CURRENT_USER, path, kRegFolder, folder, kRegFolderCapacity);
}

bool ReadStateDigest(const wchar_t* user, char (&digest)[33])
{
    wchar_t path[kRegAccountKeyCapacity];
    AccountKeyPath(user, path);
    wchar_t value[kRegStateDigestCapacity] = {};
    if (!ReadRegString(HKEY_CURRENT_USER, path, kRegStateDigest, value, kRegStateDigestCapacity))
        return false;
    if (value[0] == L'\0' || value[31] == L'\0' || value[32] != L'\0')
        return false;
    for (int i = 0; i < 32; ++i)
        digest[i] = static_cast<char>(value[i]);
    digest[32] = '\0';
    return true;
}

LONG WriteStateDigest(const wchar_t* user, const char* digest32)
{
    wchar_t wide[33];
    for (int i = 0; i < 32; ++i)
        wide[i] = static_cast<unsigned char>(digest32[i]);
    wide[32] = L'\0';
    wchar_t path[kRegAccountKeyCapacity];
    AccountKeyPath(user, path);
    return WriteRegString(HKEY_CURRENT_USER, path, kRegStateDigest, wide);
}

DWORD ReadAccountDword(const wchar_t* value_name, const wchar_t* user)
{
    wchar_t path[kRegAccountKeyCapacity];
    AccountKeyPath(user, path);
    return ReadRegDword(HKEY_CURRENT_USER, path, value_name);
}

LONG WriteAccountDword(const wchar_t* value_name, const wchar_t* user, DWORD value)
{
    wchar_t path[kRegAccountKeyCapacity];
    AccountKeyPath(user, path);
    return WriteRegDword(HKEY_CURRENT_USER, path, value_name, value);
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
    RegKey key;
    if (key.OpenWrite(HKEY_CURRENT_USER, kRegRunKey) == ERROR_SUCCESS)
        RegDeleteValueW(key.get(), kRegRunValue);
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
