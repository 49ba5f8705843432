#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>

#include "client/state/state_file.h"
#include "client/state/sync_state_table.h"
#include "common/file_sync_state.h"
#include "common/registry_access.h"
#include "test_support.h"

using Sync::CSyncStateTable;
using Sync::SyncEntry;
using namespace StateTest;

namespace {

class StateTable : public ::testing::Test {
protected:
    void SetUp() override
    {
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Tavo\\Tessel\\Users\\tabletest");
        file_ = dir_ / L"tabletest.user_cfg";
        table_ = std::make_unique<CSyncStateTable>(L"tabletest", file_.c_str());
    }

    std::unique_ptr<CSyncStateTable> Reload()
    {
        table_.reset();
        return std::make_unique<CSyncStateTable>(L"tabletest", file_.c_str());
    }

    CTempFolder dir_;
    std::wstring file_;
    std::unique_ptr<CSyncStateTable> table_;
};

}  // namespace

TEST_F(StateTable, FindIgnoresCaseAndHandlesSeparators)
{
    SyncEntry docs = MakeFolder(3);
    SyncEntry plan = MakeFile(4);
    ASSERT_TRUE(table_->Add(&docs, L"Docs"));
    ASSERT_TRUE(table_->Add(&plan, L"Docs\\Plan.TXT"));

    SyncEntry found;
    ASSERT_TRUE(table_->Find(L"docs\\plan.txt", &found));
    EXPECT_EQ(found.id, 4);
    EXPECT_STREQ(found.path, L"Docs\\Plan.TXT");
    EXPECT_EQ(found.parent_id, 3);
    ASSERT_TRUE(table_->Find(L"Docs\\", &found));
    EXPECT_EQ(found.id, 3);
    ASSERT_TRUE(table_->Find(L"", &found));
    EXPECT_EQ(found.id, 0);
    EXPECT_FALSE(table_->Find(L"Docs\\\\Plan.TXT"));
    EXPECT_FALSE(table_->Find(L"Plan.TXT"));
}

TEST_F(StateTable, AddRefusesMissingParentsAndExistingNamesWithoutWriting)
{
    SyncEntry e = MakeFile(1);
    EXPECT_FALSE(table_->Add(&e, L"New\\a.txt"));
    EXPECT_EQ(GetFileAttributesW(file_.c_str()), INVALID_FILE_ATTRIBUTES);
    ASSERT_TRUE(table_->Add(&e, L"readme"));
    EXPECT_FALSE(table_->Add(&e, L"README"));
    EXPECT_FALSE(table_->Add(nullptr, L"x"));
    EXPECT_FALSE(table_->Add(&e, nullptr));
    EXPECT_EQ(table_->Size(), 1u);
}

TEST_F(StateTable, RenameStaysWithinTheFolder)
{
    SyncEntry a = MakeFolder(1);
    SyncEntry b = MakeFile(2);
    SyncEntry other = MakeFile(3);
    table_->Add(&a, L"a");
    table_->Add(&b, L"a\\b.txt");
    table_->Add(&other, L"a.txt");

    EXPECT_FALSE(table_->Rename(L"a\\b.txt", L"c\\b.txt", 0));
    EXPECT_FALSE(table_->Rename(L"a.txt", L"d\\a.txt", 0));
    EXPECT_FALSE(table_->Rename(L"a\\b.txt", L"a.txt", 0));
    EXPECT_FALSE(table_->Rename(L"a\\b.txt", L"a\\", 0));
    ASSERT_TRUE(table_->Rename(L"a\\b.txt", L"A\\c.txt", 99));
    SyncEntry found;
    ASSERT_TRUE(table_->Find(L"a\\c.txt", &found));
    EXPECT_EQ(found.name, L"c.txt");
    EXPECT_STREQ(found.path, L"a\\c.txt");
    EXPECT_EQ(found.update_time, 99);
    EXPECT_FALSE(table_->Rename(L"a.txt", L"A", 0));

    // A renamed folder carries its new name into the paths beneath it.
    ASSERT_TRUE(table_->Rename(L"a", L"z", 0));
    ASSERT_TRUE(table_->Find(L"z\\c.txt", &found));
    EXPECT_STREQ(found.path, L"z\\c.txt");

    // A new name that differs only in letter case names the entry itself.
    ASSERT_TRUE(table_->Rename(L"z\\c.txt", L"z\\C.TXT", 0));
    ASSERT_TRUE(table_->Find(L"z\\c.txt", &found));
    EXPECT_EQ(found.name, L"C.TXT");
    EXPECT_STREQ(found.path, L"z\\C.TXT");
    EXPECT_EQ(found.update_time, 99);
}

TEST_F(StateTable, UpdateCopiesFileFieldsOnlyForFilesAndPassesNewIdsDown)
{
    SyncEntry folder = MakeFolder(5);
    SyncEntry file = MakeFile(6);
    table_->Add(&folder, L"f");
    table_->Add(&file, L"f\\x");

    SyncEntry changed = MakeFolder(50);
    changed.size = 777;
    ASSERT_TRUE(table_->Update(&changed, L"f"));
    SyncEntry found;
    table_->Find(L"f", &found);
    EXPECT_EQ(found.id, 50);
    EXPECT_EQ(found.size, 0u);
    table_->Find(L"f\\x", &found);
    EXPECT_EQ(found.parent_id, 50);

    SyncEntry file_update = MakeFile(6, "ffffffffffffffffffffffffffffffff");
    file_update.upload_address = 0x7f000001;
    file_update.upload_port = 40000;
    file_update.upload_offset = 1 << 20;
    std::memcpy(file_update.upload_token, "TTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTT", 32);
    file_update.state = Helper::Syncing;
    ASSERT_TRUE(table_->Update(&file_update, L"F\\X"));

    auto reloaded = Reload();
    ASSERT_TRUE(reloaded->Find(L"f\\x", &found));
    EXPECT_EQ(std::string(found.md5, 32), "ffffffffffffffffffffffffffffffff");
    EXPECT_EQ(found.upload_port, 40000);
    EXPECT_EQ(found.upload_address, 0x7f000001u);
    EXPECT_EQ(found.upload_offset, 1u << 20);
    EXPECT_EQ(found.state, uint32_t(Helper::Syncing));
    EXPECT_EQ(found.name, L"x");
}

TEST_F(StateTable, RemoveTakesTheSubtreeAndRefusesTheRoot)
{
    SyncEntry folder = MakeFolder(1);
    SyncEntry file = MakeFile(2);
    table_->Add(&folder, L"d");
    table_->Add(&file, L"d\\f");
    EXPECT_FALSE(table_->Remove(L""));
    EXPECT_FALSE(table_->Remove(L"nothing"));
    ASSERT_TRUE(table_->Remove(L"D"));
    EXPECT_EQ(table_->Size(), 0u);
    EXPECT_EQ(Reload()->Size(), 0u);
}

TEST_F(StateTable, CollectWalksDepthFirstInPreOrder)
{
    SyncEntry syncing_folder = MakeFolder(1);
    syncing_folder.state = Helper::Syncing;
    SyncEntry syncing_file = MakeFile(2);
    syncing_file.state = Helper::Syncing;
    SyncEntry synced = MakeFile(3);
    table_->Add(&syncing_folder, L"a");
    table_->Add(&synced, L"a\\synced");
    table_->Add(&syncing_file, L"a\\inner");
    table_->Add(&syncing_file, L"b");

    std::vector<SyncEntry> list;
    table_->Collect(&list, L"", Helper::Syncing);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_STREQ(list[0].path, L"a");
    EXPECT_STREQ(list[1].path, L"a\\inner");
    EXPECT_STREQ(list[2].path, L"b");
}

TEST_F(StateTable, ClearEmptiesTheTableAndTheFile)
{
    SyncEntry e = MakeFile(1);
    table_->Add(&e, L"x");
    table_->Clear();
    EXPECT_EQ(table_->Size(), 0u);
    EXPECT_EQ(Reload()->Size(), 0u);
}

TEST_F(StateTable, HandEditedFileLoadsEmptyAndIsReplacedByTheNextSave)
{
    SyncEntry e = MakeFile(1);
    table_->Add(&e, L"kept");
    table_.reset();

    std::string bytes = ReadFileBytes(file_);
    bytes.insert(bytes.find("</ROOT>"), "<FILE id=\"9\" name=\"sneaky\" state=\"0\" update_time=\"1\" "
                                        "size=\"1\" md5=\"\" local_modified=\"1\" />");
    WriteFileBytes(file_, bytes);

    auto table = std::make_unique<CSyncStateTable>(L"tabletest", file_.c_str());
    EXPECT_EQ(table->Size(), 0u);
    SyncEntry fresh = MakeFile(2);
    ASSERT_TRUE(table->Add(&fresh, L"fresh"));
    table.reset();
    auto again = std::make_unique<CSyncStateTable>(L"tabletest", file_.c_str());
    EXPECT_EQ(again->Size(), 1u);
    EXPECT_TRUE(again->Find(L"fresh"));
}

TEST_F(StateTable, MissingDigestRefusesTheFile)
{
    SyncEntry e = MakeFile(1);
    table_->Add(&e, L"x");
    table_.reset();
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Tavo\\Tessel\\Users\\tabletest");
    EXPECT_EQ(std::make_unique<CSyncStateTable>(L"tabletest", file_.c_str())->Size(), 0u);
}

TEST_F(StateTable, RenameKeepsTheStoredUpdateTimeUnlessGivenAndLeavesTheRootAlone)
{
    SyncEntry folder = MakeFolder(1);
    SyncEntry file = MakeFile(2);
    ASSERT_TRUE(table_->Add(&folder, L"a"));
    ASSERT_TRUE(table_->Add(&file, L"a\\f"));
    ASSERT_TRUE(table_->Rename(L"a", L"b", 0));
    ASSERT_TRUE(table_->Rename(L"b\\f", L"b\\g", 0));

    EXPECT_FALSE(table_->Rename(L"", L"root", 5));
    EXPECT_FALSE(table_->Rename(L"b", L"", 5));
    auto reloaded = Reload();
    SyncEntry found;
    ASSERT_TRUE(reloaded->Find(L"b", &found));
    EXPECT_EQ(found.update_time, folder.update_time);
    ASSERT_TRUE(reloaded->Find(L"b\\g", &found));
    EXPECT_EQ(found.update_time, file.update_time);
    ASSERT_TRUE(reloaded->Find(L"", &found));
    EXPECT_TRUE(found.name.empty());
    EXPECT_EQ(found.update_time, 0);
    EXPECT_FALSE(reloaded->Find(L"root"));
}

TEST_F(StateTable, StoreReplacesTheRecordUnderThePathOrAddsOne)
{
    SyncEntry folder = MakeFolder(1);
    ASSERT_TRUE(table_->Store(&folder, L"d"));
    SyncEntry first = MakeFile(2);
    ASSERT_TRUE(table_->Store(&first, L"d\\f"));
    SyncEntry second = MakeFile(20, "ffffffffffffffffffffffffffffffff");
    second.size = 5;
    second.state = Helper::Syncing;
    ASSERT_TRUE(table_->Store(&second, L"D\\F"));
    EXPECT_FALSE(table_->Store(&first, L"missing\\f"));
    EXPECT_FALSE(table_->Store(nullptr, L"d\\f"));

    auto reloaded = Reload();
    EXPECT_EQ(reloaded->Size(), 2u);
    SyncEntry found;
    ASSERT_TRUE(reloaded->Find(L"d\\f", &found));
    EXPECT_EQ(found.id, 20);
    EXPECT_EQ(found.name, L"f") << "the stored name stays";
    EXPECT_EQ(found.size, 5u);
    EXPECT_EQ(found.state, uint32_t(Helper::Syncing));
    EXPECT_EQ(std::string(found.md5, 32), std::string(32, 'f'));
    EXPECT_EQ(found.parent_id, 1);
}

TEST_F(StateTable, NamesUpToTheLongestTheFileHoldsSurviveASaveAndALoad)
{
    SyncEntry folder = MakeFolder(1);
    ASSERT_TRUE(table_->Add(&folder, L"d"));
    std::vector<std::wstring> names;
    for (size_t length = 256; length <= 260; ++length) {
        names.push_back(std::wstring(length, static_cast<wchar_t>(L'a' + length - 256)));
        SyncEntry file = MakeFile(static_cast<int>(length));
        ASSERT_TRUE(table_->Add(&file, names.back().c_str()));
        ASSERT_TRUE(table_->Add(&file, (L"d\\" + names.back()).c_str()));
    }
    auto reloaded = Reload();
    EXPECT_EQ(reloaded->Size(), 11u);
    for (const std::wstring& name : names) {
        SyncEntry found;
        ASSERT_TRUE(reloaded->Find(name.c_str(), &found)) << name.size();
        EXPECT_EQ(found.name, name);
        ASSERT_TRUE(reloaded->Find((L"d\\" + name).c_str(), &found)) << name.size();
        EXPECT_EQ(found.name, name);
    }
}

namespace {

// A table whose announcements to Explorer are recorded, on a clock the
// test moves.
class CAnnouncingTable : public CSyncStateTable {
public:
    using CSyncStateTable::CSyncStateTable;

    DWORD ticks = 5000;
    std::vector<std::wstring> announced;

    // The next change falls into a notification window of its own.
    void NextWindow() { ticks += 1024; }

protected:
    DWORD TickCount() const override { return ticks; }
    void AnnounceToShell(const wchar_t* full_path) override { announced.push_back(full_path); }
};

}  // namespace

TEST_F(StateTable, ExplorerHearsOfAChangeExactlyWhenAStateChanged)
{
    ASSERT_EQ(Helper::WriteRegString(HKEY_CURRENT_USER, L"Software\\Tavo\\Tessel\\Users\\tabletest", L"Folder",
                                     L"C:\\sync"),
              ERROR_SUCCESS);
    table_.reset();
    CAnnouncingTable table(L"tabletest", file_.c_str());
    SyncEntry folder = MakeFolder(1);
    SyncEntry file = MakeFile(2);
    ASSERT_TRUE(table.Add(&folder, L"d"));
    table.NextWindow();
    folder.update_time = 500;
    ASSERT_TRUE(table.Update(&folder, L"d"));
    ASSERT_TRUE(table.Store(&folder, L"d"));
    table.NextWindow();
    folder.state = Helper::Syncing;
    ASSERT_TRUE(table.Update(&folder, L"d"));
    table.NextWindow();
    ASSERT_TRUE(table.Store(&file, L"d\\f"));
    table.NextWindow();
    file.state = Helper::Syncing;
    ASSERT_TRUE(table.Store(&file, L"d\\f"));
    table.NextWindow();
    file.state = Helper::Synced;
    ASSERT_TRUE(table.Update(&file, L"d\\f"));
    folder.state = Helper::Synced;
    ASSERT_TRUE(table.Update(&folder, L"d")) << "the same window: only the first path is announced";
    table.NextWindow();
    ASSERT_TRUE(table.Rename(L"d\\f", L"d\\g", 0));
    table.NextWindow();
    ASSERT_TRUE(table.Remove(L"d\\g"));
    table.NextWindow();
    table.Clear();
    EXPECT_FALSE(table.Update(&folder, L"d"));

    EXPECT_EQ(table.announced, (std::vector<std::wstring>{L"C:\\sync\\d", L"C:\\sync\\d", L"C:\\sync\\d\\f",
                                                          L"C:\\sync\\d\\f", L"C:\\sync\\d\\f", L"C:\\sync\\d\\g",
                                                          L"C:\\sync\\d\\g"}));
    EXPECT_EQ(Reload()->Size(), 0u);
}

TEST(StateTableLocation, LivesInTheRoamingApplicationData)
{
    wchar_t path[260];
    Sync::StateFilePathFor(L"bob", path);
    std::wstring p(path);
    EXPECT_NE(p.find(L"\\Tavo\\Tessel\\bob.user_cfg"), std::wstring::npos) << p;
    EXPECT_EQ(p.size(), wcslen(path));
}
