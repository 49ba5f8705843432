// The updater's run as the shipped program does it, pointed at the test
// server: TAVO_TEST_MANIFEST_URL names the manifest, and TAVO_TEST_HKCU a key
// below HKEY_CURRENT_USER that stands in for HKEY_CURRENT_USER, so that a
// test's "Version" never touches the real settings.
#include <windows.h>

#include "common/win_handle.h"
#include "updater/updater_app.h"

namespace {

bool RedirectCurrentUser()
{
    wchar_t root[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"TAVO_TEST_HKCU", root, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    Helper::CRegKey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, root, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Receive(), nullptr) !=
        ERROR_SUCCESS)
        return false;
    return RegOverridePredefKey(HKEY_CURRENT_USER, key.Get()) == ERROR_SUCCESS;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    wchar_t url[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"TAVO_TEST_MANIFEST_URL", url, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || !RedirectCurrentUser())
        return 1;
    return Updater::RunUpdater(url);
}
