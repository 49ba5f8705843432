// Making and inspecting the folder the wizard and the settings centre are
// given, in a private temporary folder.
#include "client/ui/folder_choice.h"
#include "client/ui/tests/dialog_test_support.h"
#include "common/tests/test_support.h"

#include <gtest/gtest.h>

namespace {

using Testing::CTempFolder;

bool IsFolder(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

TEST(MakeFolderTree, MakesEveryMissingLevel)
{
    CTempFolder temp;
    std::wstring deep = temp / L"a\\b\\TavoTessel\\alice";
    ASSERT_TRUE(GUI::MakeFolderTree(deep.c_str()));
    EXPECT_TRUE(IsFolder(deep));
    EXPECT_TRUE(GUI::MakeFolderTree(deep.c_str())) << "a folder that exists counts as made";
    EXPECT_TRUE(GUI::MakeFolderTree((deep + L"\\").c_str())) << "a trailing backslash";
    EXPECT_TRUE(GUI::MakeFolderTree(L"C:\\"));
}

TEST(MakeFolderTree, RefusesWhatCannotBeASyncFolder)
{
    CTempFolder temp;
    ASSERT_TRUE(Testing::WriteFileBytes(temp / L"file", "x"));
    EXPECT_FALSE(GUI::MakeFolderTree((temp / L"file").c_str())) << "a file of that name";
    EXPECT_FALSE(GUI::MakeFolderTree((temp / L"file\\below").c_str()));
    EXPECT_FALSE(GUI::MakeFolderTree(L"relative\\folder"));
    EXPECT_FALSE(GUI::MakeFolderTree(L"\\rooted\\folder"));
    EXPECT_FALSE(GUI::MakeFolderTree(L"\\\\server\\share\\folder"));
    EXPECT_FALSE(GUI::MakeFolderTree(L""));
    std::wstring missing = GuiTest::MissingDrive();
    if (!missing.empty()) {
        EXPECT_FALSE(GUI::MakeFolderTree((missing + L"TavoTessel\\alice").c_str())) << "a drive that does not exist";
    }
}

TEST(IsEmptyFolder, OnlyAFolderWithoutEntriesIsEmpty)
{
    CTempFolder temp;
    EXPECT_TRUE(GUI::IsEmptyFolder(temp.Path().c_str()));
    EXPECT_TRUE(GUI::IsEmptyFolder((temp.Path() + L"\\").c_str()));
    ASSERT_TRUE(CreateDirectoryW((temp / L"sub").c_str(), nullptr));
    EXPECT_FALSE(GUI::IsEmptyFolder(temp.Path().c_str())) << "a folder inside";
    EXPECT_TRUE(GUI::IsEmptyFolder((temp / L"sub").c_str()));
    ASSERT_TRUE(Testing::WriteFileBytes(temp / L"sub\\.hidden", ""));
    EXPECT_FALSE(GUI::IsEmptyFolder((temp / L"sub").c_str())) << "a dot file counts";
    EXPECT_FALSE(GUI::IsEmptyFolder((temp / L"sub\\.hidden").c_str())) << "a file is not an empty folder";
}

TEST(IsSameFolder, IgnoresLetterCaseOnly)
{
    EXPECT_TRUE(GUI::IsSameFolder(L"D:\\TavoTessel\\Alice", L"d:\\tavotessel\\ALICE"));
    EXPECT_FALSE(GUI::IsSameFolder(L"D:\\TavoTessel\\Alice", L"D:\\TavoTessel\\Alice2"));
    EXPECT_FALSE(GUI::IsSameFolder(L"D:\\TavoTessel\\Alice", L""));
}

}  // namespace
