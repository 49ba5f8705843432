#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "client/shell/settings_store.h"
#include "common/registry_access.h"
#include "common/registry_layout.h"
#include "common/win_handle.h"

using namespace Helper;

namespace {

class SettingsStore : public ::testing::Test {
protected:
    void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Tavo"); }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Tavo"); }

    static void WriteRaw(const wchar_t* subkey, const wchar_t* name, DWORD type, const void* data,
                         DWORD bytes)
    {
        CRegKey key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, subkey, 0, nullptr, 0, KEY_WRITE, nullptr, key.Receive(),
                                  nullptr),
                  ERROR_SUCCESS);
        RegSetValueExW(key.Get(), name, 0, type, static_cast<const BYTE*>(data), bytes);
    }

    static DWORD StoredBytes(const wchar_t* subkey, const wchar_t* name)
    {
        CRegKey key;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, subkey, 0, KEY_READ, key.Receive()) != ERROR_SUCCESS)
            return 0;
        DWORD bytes = 0;
        RegQueryValueExW(key.Get(), name, nullptr, nullptr, nullptr, &bytes);
        return bytes;
    }
};

}  // namespace

TEST_F(SettingsStore, FirstRunIsReportedOnce)
{
    EXPECT_TRUE(CheckFirstRun());
    EXPECT_FALSE(CheckFirstRun());
    EXPECT_EQ(ReadAutoUpdate(), 0u);
    EXPECT_EQ(WriteAutoUpdate(1), ERROR_SUCCESS);
    EXPECT_EQ(ReadAutoUpdate(), 1u);
}

TEST_F(SettingsStore, AccountRoundTripsWithoutTerminatorsStored)
{
    SaveAccount(L"alice", L"0123456789abcdef0123456789abcdef", L"C:\\Sync");

    wchar_t user[32] = L"";
    wchar_t credential[64] = L"";
    wchar_t folder[260] = L"";
    LoadAccount(user, credential, folder);
    EXPECT_STREQ(user, L"alice");
    EXPECT_STREQ(credential, L"0123456789abcdef0123456789abcdef");
    EXPECT_STREQ(folder, L"C:\\Sync");
}

TEST_F(SettingsStore, AutorunComparesThePathWithoutCase)
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    SetAutorun(true);
    EXPECT_TRUE(IsAutorunEnabled());
    CharUpperW(self);
    WriteRaw(kRegRunKey, kRegRunValue, REG_SZ, self, DWORD(wcslen(self) * 2));
    EXPECT_TRUE(IsAutorunEnabled());
    WriteRaw(kRegRunKey, kRegRunValue, REG_SZ, L"C:\\other.exe", 24);
    EXPECT_FALSE(IsAutorunEnabled());
    SetAutorun(false);
    EXPECT_FALSE(IsAutorunEnabled());
    EXPECT_EQ(StoredBytes(kRegRunKey, kRegRunValue), 0u);
}

TEST(TempFileType, IsRegisteredAndLeftAloneWhenCorrect)
{
    RegDeleteTreeW(HKEY_CLASSES_ROOT, L".tavo");
    RegDeleteTreeW(HKEY_CLASSES_ROOT, L"Tavofile");
    RegisterTempFileType();

    wchar_t value[300] = L"";
    ASSERT_TRUE(ReadRegString(HKEY_CLASSES_ROOT, L".tavo", nullptr, value, 260));
    EXPECT_STREQ(value, L"Tavofile");
    ASSERT_TRUE(ReadRegString(HKEY_CLASSES_ROOT, L"Tavofile", nullptr, value, 260));
    EXPECT_STREQ(value, L"TavoTessel同步临时文件");
    ASSERT_TRUE(ReadRegString(HKEY_CLASSES_ROOT, L"Tavofile\\DefaultIcon", nullptr, value, 300,
                              REG_EXPAND_SZ));
    EXPECT_NE(wcsstr(value, L",-132"), nullptr);

    // A second start finds everything in place and writes nothing: the keys'
    // last-write times stay.
    auto stamp = [](const wchar_t* subkey) {
        CRegKey key;
        FILETIME written{};
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, subkey, 0, KEY_READ, key.Receive()) == ERROR_SUCCESS)
            RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, &written);
        return (ULONGLONG(written.dwHighDateTime) << 32) | written.dwLowDateTime;
    };
    ULONGLONG before[] = {stamp(L".tavo"), stamp(L"Tavofile"), stamp(L"Tavofile\\DefaultIcon")};
    Sleep(20);
    RegisterTempFileType();
    ULONGLONG after[] = {stamp(L".tavo"), stamp(L"Tavofile"), stamp(L"Tavofile\\DefaultIcon")};
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(before[i], after[i]) << i;
}
