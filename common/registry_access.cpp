#include "common/registry_access.h"

#include <cwchar>

#include "common/bounded_string.h"
#include "common/win_handle.h"

namespace Helper {

namespace {

constexpr DWORD kScratchUnits = 1024;

bool OpenForRead(HKEY root, const wchar_t* subkey, CRegKey* key)
{
    return RegOpenKeyExW(root, subkey, 0, KEY_READ, key->Receive()) == ERROR_SUCCESS;
}

LONG OpenForWrite(HKEY root, const wchar_t* subkey, CRegKey* key)
{
    return RegCreateKeyExW(root, subkey, 0, nullptr, 0, KEY_WRITE, nullptr, key->Receive(), nullptr);
}

}  // namespace

bool ReadRegString(HKEY root, const wchar_t* subkey, const wchar_t* value_name, wchar_t* buffer,
                   DWORD capacity, DWORD accepted_type)
{
    if (buffer == nullptr || capacity < 1 || capacity >= kScratchUnits)
        return false;
    CRegKey key;
    if (!OpenForRead(root, subkey, &key))
        return false;
    // Read into a scratch buffer first: a failed or refused read must leave
    // the caller's buffer untouched.
    wchar_t scratch[kScratchUnits];
    // Strings are written without their terminator, but the registry adds
    // one when the unit after the data is zero, so a value that fills the
    // buffer exactly, terminator included, is ours too.
    DWORD type = 0;
    DWORD bytes = capacity * sizeof(wchar_t);
    if (RegQueryValueExW(key.Get(), value_name, nullptr, &type, reinterpret_cast<BYTE*>(scratch), &bytes) !=
            ERROR_SUCCESS ||
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
    CRegKey key;
    if (!OpenForRead(root, subkey, &key))
        return 0;
    DWORD type = 0;
    DWORD value = 0;
    DWORD bytes = sizeof(value);
    if (RegQueryValueExW(key.Get(), value_name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &bytes) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || bytes != sizeof(value))
        return 0;
    return value;
}

LONG WriteRegString(HKEY root, const wchar_t* subkey, const wchar_t* value_name, const wchar_t* text, DWORD type)
{
    CRegKey key;
    LONG status = OpenForWrite(root, subkey, &key);
    if (status != ERROR_SUCCESS)
        return status;
    DWORD bytes = static_cast<DWORD>(wcslen(text) * sizeof(wchar_t));
    return RegSetValueExW(key.Get(), value_name, 0, type, reinterpret_cast<const BYTE*>(text), bytes);
}

LONG WriteRegDword(HKEY root, const wchar_t* subkey, const wchar_t* value_name, DWORD value)
{
    CRegKey key;
    LONG status = OpenForWrite(root, subkey, &key);
    if (status != ERROR_SUCCESS)
        return status;
    return RegSetValueExW(key.Get(), value_name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof(value));
}

bool UsersKeyPath(wchar_t (&path)[kRegAccountKeyCapacity])
{
    return FormatBounded(path, kRegAccountKeyCapacity, L"%s\\%s", kRegRoot, kRegUsers);
}

bool AccountKeyPath(const wchar_t* user, wchar_t (&path)[kRegAccountKeyCapacity])
{
    return FormatBounded(path, kRegAccountKeyCapacity, kRegAccountKeyFormat, kRegRoot, user);
}

bool ReadAccountFolder(const wchar_t* user, wchar_t (&folder)[kRegFolderCapacity])
{
    wchar_t path[kRegAccountKeyCapacity];
    return AccountKeyPath(user, path) && ReadRegString(HKEY_CURRENT_USER, path, kRegFolder, folder, kRegFolderCapacity);
}

bool ReadStateDigest(const wchar_t* user, char (&digest)[33])
{
    wchar_t path[kRegAccountKeyCapacity];
    wchar_t value[kRegStateDigestCapacity] = {};
    if (!AccountKeyPath(user, path) ||
        !ReadRegString(HKEY_CURRENT_USER, path, kRegStateDigest, value, kRegStateDigestCapacity))
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
    return AccountKeyPath(user, path) ? ReadRegDword(HKEY_CURRENT_USER, path, value_name) : 0;
}

LONG WriteAccountDword(const wchar_t* value_name, const wchar_t* user, DWORD value)
{
    wchar_t path[kRegAccountKeyCapacity];
    AccountKeyPath(user, path);
    return WriteRegDword(HKEY_CURRENT_USER, path, value_name, value);
}

}  // namespace Helper
