#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/win_handle.h"
#include "glint_test_support.h"

using namespace GlintTest;

namespace {

const wchar_t kIdentifiersKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ShellIconOverlayIdentifiers";
const wchar_t* const kIdentifierNames[kOverlayCount] = {
    L".Tavo_Tessel_Synced", L".Tavo_Tessel_NotSynced", L".Tavo_Tessel_Syncing", L".Tavo_Tessel_Error",
    L".Tavo_Tessel_Conflict"};
const wchar_t* const kClassNames[kOverlayCount] = {
    L"Glint0Synced Class", L"Glint1NotSynced Class", L"Glint2Syncing Class", L"Glint3Error Class",
    L"Glint4Conflict Class"};

std::wstring ClassKey(unsigned kind) { return L"CLSID\\" + ClassIdString(kind); }
std::wstring IdentifierKey(unsigned kind) { return std::wstring(kIdentifiersKey) + L"\\" + kIdentifierNames[kind]; }

bool KeyExists(HKEY root, const std::wstring& path)
{
    Helper::CRegKey key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.Receive()) != ERROR_SUCCESS)
        return false;
    return true;
}

// Default or named string value; "<missing>" when absent or not REG_SZ.
std::wstring StringValue(HKEY root, const std::wstring& path, const wchar_t* name = nullptr)
{
    wchar_t data[600] = {};
    DWORD bytes = sizeof(data) - sizeof(wchar_t);
    DWORD type = 0;
    if (RegGetValueW(root, path.c_str(), name, RRF_RT_ANY, &type, data, &bytes) != ERROR_SUCCESS || type != REG_SZ)
        return L"<missing>";
    return data;
}

struct KeyShape {
    DWORD subkeys = 0;
    DWORD values = 0;
};

KeyShape Shape(HKEY root, const std::wstring& path)
{
    KeyShape shape;
    Helper::CRegKey key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.Receive()) == ERROR_SUCCESS) {
        RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &shape.subkeys, nullptr, nullptr, &shape.values,
                         nullptr, nullptr, nullptr, nullptr);
    }
    return shape;
}

void ExpectRegistered()
{
    for (unsigned kind = 0; kind < kOverlayCount; ++kind) {
        SCOPED_TRACE(kind);
        EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, ClassKey(kind)), kClassNames[kind]);
        KeyShape class_key = Shape(HKEY_CLASSES_ROOT, ClassKey(kind));
        EXPECT_EQ(class_key.subkeys, 1u);
        EXPECT_EQ(class_key.values, 1u);
        std::wstring server = ClassKey(kind) + L"\\InprocServer32";
        EXPECT_EQ(lstrcmpiW(StringValue(HKEY_CLASSES_ROOT, server).c_str(), Dll().path.c_str()), 0);
        EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, server, L"ThreadingModel"), L"Apartment");
        KeyShape server_key = Shape(HKEY_CLASSES_ROOT, server);
        EXPECT_EQ(server_key.subkeys, 0u);
        EXPECT_EQ(server_key.values, 2u);
        EXPECT_EQ(StringValue(HKEY_LOCAL_MACHINE, IdentifierKey(kind)), ClassIdString(kind));
        KeyShape identifier = Shape(HKEY_LOCAL_MACHINE, IdentifierKey(kind));
        EXPECT_EQ(identifier.subkeys, 0u);
        EXPECT_EQ(identifier.values, 1u);
    }
}

void ExpectUnregistered()
{
    for (unsigned kind = 0; kind < kOverlayCount; ++kind) {
        SCOPED_TRACE(kind);
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, ClassKey(kind)));
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, IdentifierKey(kind)));
    }
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
}

DWORD RunAndWait(std::wstring command)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return static_cast<DWORD>(-1);
    Helper::CHandle thread(process.hThread);
    Helper::CHandle child(process.hProcess);
    DWORD exit_code = static_cast<DWORD>(-2);
    if (WaitForSingleObject(child.Get(), 60000) == WAIT_OBJECT_0)
        GetExitCodeProcess(child.Get(), &exit_code);
    return exit_code;
}

class GlintRegistration : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
    void TearDown() override
    {
        Dll().unregister_server();
        CoUninitialize();
    }
};

TEST_F(GlintRegistration, RegistersExactlyTheScriptKeysAndRemovesThemAgain)
{
    ASSERT_EQ(Dll().register_server(), S_OK);
    ExpectRegistered();
    // Registering twice replaces the keys instead of adding to them.
    ASSERT_EQ(Dll().register_server(), S_OK);
    ExpectRegistered();
    ASSERT_EQ(Dll().unregister_server(), S_OK);
    ExpectUnregistered();
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kIdentifiersKey));
}

TEST_F(GlintRegistration, ForceRemoveClearsLeftoversOfAnEarlierInstall)
{
    Helper::CRegKey stale;
    std::wstring extra = ClassKey(0) + L"\\Leftover";
    ASSERT_EQ(
        RegCreateKeyExW(HKEY_CLASSES_ROOT, extra.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, stale.Receive(), nullptr),
        ERROR_SUCCESS);
    stale.Reset();
    ASSERT_EQ(Dll().register_server(), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, extra));
    ExpectRegistered();
}

TEST_F(GlintRegistration, DllInstallRegistersAndUnregisters)
{
    ASSERT_EQ(Dll().install(TRUE, L"ignored"), S_OK);
    ExpectRegistered();
    ASSERT_EQ(Dll().install(FALSE, nullptr), S_OK);
    ExpectUnregistered();
}

TEST_F(GlintRegistration, FailedInstallLeavesNoKeyBehind)
{
    // A volatile parent refuses the lasting identifier keys beneath it, so
    // the script fails after the class keys were written.
    bool existed = KeyExists(HKEY_LOCAL_MACHINE, kIdentifiersKey);
    ASSERT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, kIdentifiersKey) == ERROR_SUCCESS || !existed, true);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kIdentifiersKey);
    Helper::CRegKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kIdentifiersKey, 0, nullptr, REG_OPTION_VOLATILE, KEY_WRITE,
                              nullptr, key.Receive(), nullptr),
              ERROR_SUCCESS);
    key.Reset();

    HRESULT result = Dll().install(TRUE, nullptr);
    EXPECT_TRUE(FAILED(result)) << std::hex << result;
    ExpectUnregistered();

    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kIdentifiersKey);
    if (existed) {
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kIdentifiersKey, 0, nullptr, 0, KEY_WRITE, nullptr,
                                  key.Receive(), nullptr),
                  ERROR_SUCCESS);
        key.Reset();
    }
}

TEST_F(GlintRegistration, PlatformRegsvr32RegistersAndUnregisters)
{
    std::wstring dll = L"\"" + Dll().path + L"\"";
    ASSERT_EQ(RunAndWait(L"regsvr32.exe /s " + dll), 0u);
    ExpectRegistered();
    ASSERT_EQ(RunAndWait(L"regsvr32.exe /s /u " + dll), 0u);
    ExpectUnregistered();
    // "/i" goes through DllInstall and then DllRegisterServer.
    ASSERT_EQ(RunAndWait(L"regsvr32.exe /s /i " + dll), 0u);
    ExpectRegistered();
    ASSERT_EQ(RunAndWait(L"regsvr32.exe /s /u /i " + dll), 0u);
    ExpectUnregistered();
}

}  // namespace
