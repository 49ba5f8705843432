// The store on its own: stamps, space accounting and the clean-up at open.
#include "cli.h"
#include "crypto.h"
#include "store.h"
#include "test_client.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace Tessel {
namespace {

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = MakeTempDir("tessel-store");
        std::string error;
        ASSERT_TRUE(Store::Initialize(dir_, error)) << error;
        Reopen();
        ASSERT_EQ(store_->AddAccount("one", Md5Hex("pw"), 1000, false), StoreStatus::Ok);
        ASSERT_EQ(store_->AddAccount("two", Md5Hex("pw"), 1000, false), StoreStatus::Ok);
        AccountRecord a, b;
        ASSERT_TRUE(store_->FindAccount("ONE", a));
        ASSERT_TRUE(store_->FindAccount("two", b));
        one_ = a.id;
        two_ = b.id;
    }

    void TearDown() override
    {
        store_.reset();
        RemoveTree(dir_);
    }

    void Reopen()
    {
        store_.reset();
        std::string error;
        store_ = Store::Open(dir_, Store::Options{}, error);
        ASSERT_TRUE(store_) << error;
    }

    // Uploads content through a ticket and its part file.
    StoreStatus Upload(int64_t account, int64_t parent, const std::string& name, const std::string& content)
    {
        TicketRow ticket;
        EntryRow entry;
        const StoreStatus begun =
            store_->BeginUpload(account, parent, name, content.size(), Md5Hex(content), ticket, entry);
        if (begun != StoreStatus::Ok)
            return begun;
        std::ofstream(store_->PartPath(ticket.token), std::ios::binary) << content;
        return store_->CommitUpload(ticket, entry);
    }

    std::string dir_;
    std::unique_ptr<Store> store_;
    int64_t one_ = 0;
    int64_t two_ = 0;
};

TEST_F(StoreTest, StampsGrowPerAccountAndSurviveReopening)
{
    EntryRow a, b, c;
    ASSERT_EQ(store_->CreateFolder(one_, kRootFolder, "a", a), StoreStatus::Ok);
    ASSERT_EQ(store_->CreateFolder(two_, kRootFolder, "b", b), StoreStatus::Ok);
    EXPECT_EQ(a.update_time, 1u);
    EXPECT_EQ(b.update_time, 1u) << "each account counts on its own";
    ASSERT_EQ(store_->Delete(one_, kRootFolder, {a.id}), StoreStatus::Ok);
    Reopen();
    ASSERT_EQ(store_->CreateFolder(one_, kRootFolder, "a", c), StoreStatus::Ok);
    EXPECT_GT(c.update_time, a.update_time);
    EXPECT_GT(c.id, a.id) << "ids are never reused";
}

TEST_F(StoreTest, UsedSpaceFollowsUploadsReplacementsAndDeletes)
{
    EntryRow folder;
    ASSERT_EQ(store_->CreateFolder(one_, kRootFolder, "f", folder), StoreStatus::Ok);
    ASSERT_EQ(Upload(one_, folder.id, "x", std::string(300, 'x')), StoreStatus::Ok);
    ASSERT_EQ(Upload(one_, folder.id, "y", std::string(200, 'y')), StoreStatus::Ok);
    ASSERT_EQ(Upload(one_, folder.id, "X", std::string(100, 'z')), StoreStatus::Ok);
    AccountRecord account;
    ASSERT_TRUE(store_->GetAccount(one_, account));
    EXPECT_EQ(account.used, 300u);
    EXPECT_EQ(Upload(one_, kRootFolder, "big", std::string(701, 'b')), StoreStatus::NoSpace);
    ASSERT_EQ(store_->Delete(one_, kRootFolder, {folder.id}), StoreStatus::Ok);
    ASSERT_TRUE(store_->GetAccount(one_, account));
    EXPECT_EQ(account.used, 0u);
    std::vector<EntryRow> rows;
    EXPECT_EQ(store_->ListFolder(one_, folder.id, rows), StoreStatus::NoSuchFolder);
    EXPECT_FALSE(std::filesystem::exists(store_->ObjectPath(Md5Hex(std::string(200, 'y')))));
}

TEST_F(StoreTest, OpeningClearsWhatAnInterruptedRunLeft)
{
    ASSERT_EQ(Upload(one_, kRootFolder, "kept", "kept content"), StoreStatus::Ok);
    TicketRow ticket;
    EntryRow entry;
    ASSERT_EQ(store_->BeginUpload(one_, kRootFolder, "open", 5, Md5Hex("12345"), ticket, entry), StoreStatus::Ok);
    std::ofstream(store_->PartPath(ticket.token)) << "12";
    std::ofstream(dir_ + "/uploads/stray.part") << "no ticket";
    const std::string orphan = store_->ObjectPath(Md5Hex("orphan"));
    std::filesystem::create_directories(std::filesystem::path(orphan).parent_path());
    std::ofstream(orphan) << "orphan";
    Reopen();
    EXPECT_TRUE(std::filesystem::exists(store_->ObjectPath(Md5Hex("kept content"))));
    EXPECT_TRUE(std::filesystem::exists(store_->PartPath(ticket.token))) << "a live ticket keeps its part";
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/uploads/stray.part"));
    EXPECT_FALSE(std::filesystem::exists(orphan));
    TicketRow found;
    EXPECT_EQ(store_->FindTicket(ticket.token, found), StoreStatus::Ok);
    EXPECT_EQ(found.size, 5u);
}

TEST_F(StoreTest, AdministrativeToolsBesideTheServerLeaveUploadsInFlightAlone)
{
    TicketRow ticket;
    EntryRow entry;
    ASSERT_EQ(store_->BeginUpload(one_, kRootFolder, "open", 5, Md5Hex("12345"), ticket, entry), StoreStatus::Ok);
    std::ofstream(store_->PartPath(ticket.token)) << "12";
    // Placed, its entry not yet committed.
    const std::string placed = store_->ObjectPath(Md5Hex("placed"));
    std::filesystem::create_directories(std::filesystem::path(placed).parent_path());
    std::ofstream(placed) << "placed";
    ASSERT_EQ(RunCommandLine({"set-account", dir_, "two", "--quota", "2K"}), 0);
    EXPECT_TRUE(std::filesystem::exists(store_->PartPath(ticket.token)));
    EXPECT_TRUE(std::filesystem::exists(placed));
}

TEST_F(StoreTest, TreeListsTheAccountSortedByPathWhileTheStoreIsOpen)
{
    EntryRow docs, sub, other;
    ASSERT_EQ(store_->CreateFolder(one_, kRootFolder, "docs", docs), StoreStatus::Ok);
    ASSERT_EQ(store_->CreateFolder(one_, docs.id, "Sub", sub), StoreStatus::Ok);
    ASSERT_EQ(Upload(one_, sub.id, "z.txt", "deep"), StoreStatus::Ok);
    ASSERT_EQ(Upload(one_, kRootFolder, "a.txt", "top"), StoreStatus::Ok);
    ASSERT_EQ(Upload(one_, docs.id, "Empty.bin", ""), StoreStatus::Ok);
    ASSERT_EQ(store_->CreateFolder(two_, kRootFolder, "other account", other), StoreStatus::Ok);

    testing::internal::CaptureStdout();
    const int code = RunCommandLine({"tree", dir_, "ONE"});
    const std::string listing = testing::internal::GetCapturedStdout();
    ASSERT_EQ(code, 0);
    EXPECT_EQ(listing, "F\ta.txt\t3\t" + Md5Hex("top") + "\n"
                       "D\tdocs\n"
                       "F\tdocs/Empty.bin\t0\t" + Md5Hex("") + "\n"
                       "D\tdocs/Sub\n"
                       "F\tdocs/Sub/z.txt\t4\t" + Md5Hex("deep") + "\n");

    testing::internal::CaptureStdout();
    EXPECT_EQ(RunCommandLine({"tree", dir_, "nobody"}), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(StoreTest, ADataDirectoryFromBeforeTheAddedColumnsGetsThemOnOpen)
{
    ASSERT_EQ(Upload(one_, kRootFolder, "old.txt", "old content"), StoreStatus::Ok);
    store_.reset();
    {
        std::string error;
        auto db = SqliteConnection::Open(dir_ + "/tessel.db", false, error);
        ASSERT_TRUE(db) << error;
        ASSERT_TRUE(db->Exec("DROP TRIGGER accounts_credential_changed"));
        ASSERT_TRUE(db->Exec("ALTER TABLE accounts DROP COLUMN credential_generation"));
        ASSERT_TRUE(db->Exec("DROP INDEX entries_object"));
        ASSERT_TRUE(db->Exec("ALTER TABLE entries DROP COLUMN object"));
    }
    Reopen();
    EXPECT_EQ(store_->CredentialGeneration(one_), std::optional<int64_t>(0));
    EntryRow old;
    ASSERT_EQ(store_->Lookup(one_, kRootFolder, "old.txt", old), StoreStatus::Ok);
    EXPECT_EQ(old.object, Md5Hex("old content")) << "contents were named by their MD5";
    EXPECT_TRUE(std::filesystem::exists(store_->ObjectPath(old.object))) << "and the clean-up kept it";
    AccountChange password;
    password.password_digest = Md5Hex("other");
    ASSERT_EQ(store_->UpdateAccount("one", password), StoreStatus::Ok);
    EXPECT_EQ(store_->CredentialGeneration(one_), std::optional<int64_t>(1));
}

TEST_F(StoreTest, EveryPasswordChangeCountsTheCredentialGenerationUp)
{
    EXPECT_EQ(store_->CredentialGeneration(one_), std::optional<int64_t>(0));
    AccountChange quota;
    quota.quota = 5000;
    ASSERT_EQ(store_->UpdateAccount("one", quota), StoreStatus::Ok);
    EXPECT_EQ(store_->CredentialGeneration(one_), std::optional<int64_t>(0));
    AccountChange password;
    password.password_digest = Md5Hex("other");
    ASSERT_EQ(store_->UpdateAccount("one", password), StoreStatus::Ok);
    EXPECT_EQ(store_->CredentialGeneration(one_), std::optional<int64_t>(1));
    EXPECT_EQ(store_->CredentialGeneration(two_), std::optional<int64_t>(0));
    {
        // Any writer of the database, not only this store.
        std::string error;
        auto db = SqliteConnection::Open(dir_ + "/tessel.db", false, error);
        ASSERT_TRUE(db) << error;
        ASSERT_TRUE(db->Exec("UPDATE accounts SET hash = 'ab' WHERE name = 'two'"));
    }
    EXPECT_EQ(store_->CredentialGeneration(two_), std::optional<int64_t>(1));
    EXPECT_FALSE(store_->CredentialGeneration(4242));
}

std::string ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST_F(StoreTest, AccountsShareStoredContentOnlyWhenItsBytesAreEqual)
{
    const std::string content(600, 'c');
    ASSERT_EQ(Upload(one_, kRootFolder, "a", content), StoreStatus::Ok);
    ASSERT_EQ(Upload(two_, kRootFolder, "b", content), StoreStatus::Ok);
    EntryRow a, b;
    ASSERT_EQ(store_->Lookup(one_, kRootFolder, "a", a), StoreStatus::Ok);
    ASSERT_EQ(store_->Lookup(two_, kRootFolder, "b", b), StoreStatus::Ok);
    EXPECT_EQ(a.object, b.object) << "equal bytes are kept once";
    ASSERT_EQ(store_->Delete(one_, kRootFolder, {a.id}), StoreStatus::Ok);
    EXPECT_EQ(ReadBytes(store_->ObjectPath(b.object)), content) << "still held by the other account";

    // Other bytes under the same digest, as an MD5 collision would bring:
    // a later upload of the real content is not handed the stored bytes.
    const std::string other(600, 'o');
    std::ofstream(store_->ObjectPath(b.object), std::ios::binary | std::ios::trunc) << other;
    ASSERT_EQ(Upload(one_, kRootFolder, "c", content), StoreStatus::Ok);
    EntryRow c;
    ASSERT_EQ(store_->Lookup(one_, kRootFolder, "c", c), StoreStatus::Ok);
    EXPECT_EQ(c.md5, Md5Hex(content));
    EXPECT_NE(c.object, b.object);
    EXPECT_EQ(ReadBytes(store_->ObjectPath(c.object)), content);
    EXPECT_EQ(ReadBytes(store_->ObjectPath(b.object)), other) << "the stored content is left as it is";
    ASSERT_EQ(store_->Delete(one_, kRootFolder, {c.id}), StoreStatus::Ok);
    EXPECT_FALSE(std::filesystem::exists(store_->ObjectPath(c.object)));
    EXPECT_TRUE(std::filesystem::exists(store_->ObjectPath(b.object)));
    Reopen();
    EXPECT_TRUE(std::filesystem::exists(store_->ObjectPath(b.object))) << "the clean-up at open keeps it too";
}

TEST_F(StoreTest, OpeningRefusesADirectoryThatWasNeverInitialized)
{
    const std::string empty = MakeTempDir("tessel-empty");
    std::string error;
    EXPECT_FALSE(Store::Open(empty, Store::Options{}, error));
    EXPECT_FALSE(error.empty());
    RemoveTree(empty);
    EXPECT_EQ(store_->AddAccount("One", Md5Hex("x"), 1, false), StoreStatus::NameTaken) << "names ignore case";
    EXPECT_EQ(store_->UpdateAccount("nobody", AccountChange{}), StoreStatus::NotFound);
}

}  // namespace
}  // namespace Tessel
