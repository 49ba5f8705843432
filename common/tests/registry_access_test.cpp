#include "common/registry_access.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "common/win_handle.h"

using namespace Helper;

namespace {

const wchar_t kAccountKey[] = L"Software\\Tavo\\Tessel\\Users\\regtest";

class RegistryAccess : public ::testing::Test {
protected:
    // Only the test's own account: other tests of the run keep theirs.
    void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, kAccountKey); }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, kAccountKey); }

    static void WriteRaw(const wchar_t* name, DWORD type, const void* data, DWORD bytes)
    {
        CRegKey key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kAccountKey, 0, nullptr, 0, KEY_WRITE, nullptr, key.Receive(),
                                  nullptr),
                  ERROR_SUCCESS);
        RegSetValueExW(key.Get(), name, 0, type, static_cast<const BYTE*>(data), bytes);
    }
};

}  // namespace

TEST_F(RegistryAccess, StringReadsKeepTheCapacityAndTypeRules)
{
    std::wstring exact(259, L'f');
    WriteRaw(L"Folder", REG_SZ, exact.c_str(), 259 * 2);
    wchar_t folder[260] = L"unchanged";
    EXPECT_TRUE(ReadAccountFolder(L"regtest", folder));
    EXPECT_EQ(std::wstring(folder), exact);

    std::wstring too_long(260, L'g');
    WriteRaw(L"Folder", REG_SZ, too_long.c_str(), 260 * 2);
    wcscpy(folder, L"unchanged");
    EXPECT_FALSE(ReadAccountFolder(L"regtest", folder));
    EXPECT_STREQ(folder, L"unchanged");

    // Another tool may store the terminator: the value reads the same.
    std::wstring with_nul(259, L'h');
    WriteRaw(L"Folder", REG_SZ, with_nul.c_str(), 260 * 2);
    EXPECT_TRUE(ReadAccountFolder(L"regtest", folder));
    EXPECT_EQ(std::wstring(folder), with_nul);

    // Written by the client itself.
    std::wstring longest(259, L'k');
    EXPECT_EQ(WriteRegString(HKEY_CURRENT_USER, kAccountKey, kRegFolder, longest.c_str()), ERROR_SUCCESS);
    EXPECT_TRUE(ReadAccountFolder(L"regtest", folder));
    EXPECT_EQ(std::wstring(folder), longest);

    WriteRaw(L"Folder", REG_EXPAND_SZ, L"C:\\X", 8);
    wcscpy(folder, L"unchanged");
    EXPECT_FALSE(ReadAccountFolder(L"regtest", folder));
    EXPECT_STREQ(folder, L"unchanged");

    WORD small = 7;
    WriteRaw(L"MaxUpload", REG_BINARY, &small, 2);
    EXPECT_EQ(ReadAccountDword(L"MaxUpload", L"regtest"), 0u);
    EXPECT_EQ(WriteAccountDword(L"MaxUpload", L"regtest", 512), ERROR_SUCCESS);
    EXPECT_EQ(ReadAccountDword(L"MaxUpload", L"regtest"), 512u);
}

TEST_F(RegistryAccess, StateDigestMustHoldExactly32Characters)
{
    char digest[33] = "";
    EXPECT_FALSE(ReadStateDigest(L"regtest", digest));
    EXPECT_EQ(WriteStateDigest(L"regtest", "0123456789abcdef0123456789ABCDEF"), ERROR_SUCCESS);
    ASSERT_TRUE(ReadStateDigest(L"regtest", digest));
    EXPECT_STREQ(digest, "0123456789abcdef0123456789ABCDEF");

    for (int length : {31, 33}) {
        std::wstring value(length, L'a');
        WriteRaw(L"cMagic", REG_SZ, value.c_str(), length * 2);
        EXPECT_FALSE(ReadStateDigest(L"regtest", digest)) << length;
    }
}

TEST(RegistryPaths, AccountKeysLieBelowTheUsersKey)
{
    wchar_t users[kRegAccountKeyCapacity];
    wchar_t account[kRegAccountKeyCapacity];
    ASSERT_TRUE(UsersKeyPath(users));
    ASSERT_TRUE(AccountKeyPath(L"regtest", account));
    EXPECT_STREQ(users, L"Software\\Tavo\\Tessel\\Users");
    EXPECT_STREQ(account, kAccountKey);
    EXPECT_FALSE(AccountKeyPath(std::wstring(64, L'u').c_str(), account));
}
