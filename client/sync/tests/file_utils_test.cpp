#include "client/sync/file_utils.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "client/net/tests/test_app_host.h"
#include "client/sync/tests/sync_test_support.h"
#include "common/md5.h"
#include "common/win_handle.h"

namespace {

using Testing::FileExists;
using Testing::CTempFolder;
using SyncTest::WriteBytes;

class FileUtilsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Helper::BindMd5()); }
    CTempFolder folder_;
};

TEST_F(FileUtilsTest, DigestOfEmptyAndOfLargerFiles)
{
    const std::wstring empty = folder_ / L"empty.bin";
    WriteBytes(empty, "");
    Helper::DigestText out;
    ASSERT_TRUE(Helper::FileDigest(empty.c_str(), out));
    EXPECT_STREQ(out, "d41d8cd98f00b204e9800998ecf8427e");

    // Crosses the 32 KiB block boundary several times.
    std::string bytes(100000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 7 + 3);
    const std::wstring large = folder_ / L"large.bin";
    WriteBytes(large, bytes);
    ASSERT_TRUE(Helper::FileDigest(large.c_str(), out));
    EXPECT_EQ(std::string(out), SyncTest::Md5Of(bytes));

    EXPECT_FALSE(Helper::FileDigest((folder_ / L"absent.bin").c_str(), out));
}

TEST_F(FileUtilsTest, DigestGivesUpOnAbortAndOnStop)
{
    const std::wstring path = folder_ / L"f.txt";
    WriteBytes(path, "abc");
    Helper::DigestText out;
    std::memset(out, 'x', sizeof(out));

    {
        NetTest::CTestAppHost host;
        host.SetAborting(true);
        EXPECT_FALSE(Helper::FileDigest(path.c_str(), out));
    }
    EXPECT_EQ(out[0], 'x');

    Helper::CHandle stop = Helper::MakeEvent(true, true);
    EXPECT_FALSE(Helper::FileDigestCancellable(path.c_str(), stop.Get(), out));
    EXPECT_EQ(out[0], 'x');
    ResetEvent(stop.Get());
    ASSERT_TRUE(Helper::FileDigestCancellable(path.c_str(), stop.Get(), out));
    EXPECT_STREQ(out, "900150983cd24fb0d6963f7d28e17f72");
}

TEST_F(FileUtilsTest, CreateDirectoryTreeCreatesMissingLevels)
{
    const std::wstring deep = folder_ / L"a\\b\\c";
    EXPECT_EQ(Helper::CreateDirectoryTree(deep.c_str()), 0u);
    EXPECT_TRUE(FileExists(folder_ / L"a\\b\\c"));
    // Existing paths and bare names succeed without creating anything.
    EXPECT_EQ(Helper::CreateDirectoryTree(deep.c_str()), 0u);
    EXPECT_EQ(Helper::CreateDirectoryTree(L"bare-name-without-separator"), 0u);
    EXPECT_FALSE(FileExists(L"bare-name-without-separator"));
    EXPECT_EQ(Helper::CreateDirectoryTree(nullptr), 0u);
    // Below a file nothing can be created: the Win32 error comes back.
    WriteBytes(folder_ / L"file", "x");
    EXPECT_NE(Helper::CreateDirectoryTree((folder_ / L"file\\sub").c_str()), 0u);
}

TEST_F(FileUtilsTest, CreateDirectoryTreeReportsOverlongPaths)
{
    std::wstring path = folder_.Path();
    while (path.size() < 300)
        path += L"\\abcdefghijklmnopqrstuvwxyz";
    const DWORD result = Helper::CreateDirectoryTree(path.c_str());
    EXPECT_NE(result, 0u);
}

TEST_F(FileUtilsTest, DeleteAndMoveThroughTheShell)
{
    const std::wstring tree = folder_ / L"tree";
    SyncTest::MakeFolder(tree);
    SyncTest::MakeFolder(tree + L"\\inner");
    WriteBytes(tree + L"\\inner\\a.txt", "a");
    WriteBytes(tree + L"\\b.txt", "b");
    EXPECT_TRUE(Helper::DeletePath(tree.c_str()));
    EXPECT_FALSE(FileExists(tree));

    const std::wstring from = folder_ / L"Report.TXT";
    const std::wstring to = folder_ / L"report.txt";
    WriteBytes(from, "r");
    EXPECT_TRUE(Helper::MovePath(from.c_str(), to.c_str()));
    WIN32_FIND_DATAW found{};
    ASSERT_TRUE(Helper::FindItem(&found, to.c_str()));
    EXPECT_STREQ(found.cFileName, L"report.txt");

    EXPECT_FALSE(Helper::DeletePath((folder_ / L"never-there").c_str()));
    EXPECT_FALSE(Helper::MovePath(nullptr, to.c_str()));
}

TEST_F(FileUtilsTest, MissingOrEmptyFolder)
{
    EXPECT_TRUE(Helper::IsMissingOrEmptyFolder((folder_ / L"missing").c_str()));
    EXPECT_TRUE(Helper::IsMissingOrEmptyFolder(folder_.Path().c_str()));
    const std::wstring file = folder_ / L"plain.txt";
    WriteBytes(file, "p");
    EXPECT_FALSE(Helper::IsMissingOrEmptyFolder(file.c_str()));
    EXPECT_FALSE(Helper::IsMissingOrEmptyFolder(folder_.Path().c_str()));

    const std::wstring holder = folder_ / L"holder";
    SyncTest::MakeFolder(holder);
    const std::wstring hidden = holder + L"\\.hidden";
    WriteBytes(hidden, "h");
    SetFileAttributesW(hidden.c_str(), FILE_ATTRIBUTE_HIDDEN);
    EXPECT_FALSE(Helper::IsMissingOrEmptyFolder(holder.c_str()));
}

TEST_F(FileUtilsTest, FindItemFillsTheFindData)
{
    const std::wstring path = folder_ / L"sized.bin";
    WriteBytes(path, std::string(1234, 'z'));
    WIN32_FIND_DATAW found{};
    ASSERT_TRUE(Helper::FindItem(&found, path.c_str()));
    EXPECT_EQ(found.nFileSizeLow, 1234u);
    EXPECT_FALSE(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_FALSE(Helper::FindItem(&found, (folder_ / L"nothing").c_str()));
    EXPECT_TRUE(GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND);
}

}  // namespace
