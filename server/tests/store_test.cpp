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

std::string ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

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

    // Grants a ticket and writes its part file, without committing it.
    StoreStatus Grant(int64_t account, int64_t parent, const std::string& name, const std::string& content,
                      TicketRow& ticket)
    {
        EntryRow entry;
        const StoreStatus begun =
            store_->BeginUpload(account, parent, name, content.size(), Md5Hex(content), ticket, entry);
        if (begun == StoreStatus::Ok)
            std::ofstream(store_->PartPath(ticket.token), std::ios::binary) << content;
        return begun;
    }

    uint64_t Used(int64_t account)
    {
        AccountRecord record;
        EXPECT_TRUE(store_->GetAccount(account, record));
        return record.used;
    }

    void SetQuota(const std::string& account, uint64_t quota)
    {
        AccountChange change;
        change.quota = quota;
        ASSERT_EQ(store_->UpdateAccount(account, change), StoreStatus::Ok);
    }

    // Puts count empty folders into parent at once, as a long use would.
    void FillFolder(int64_t account, int64_t parent, size_t count)
    {
        std::string error;
        auto db = SqliteConnection::Open(dir_ + "/tessel.db", false, error);
        ASSERT_TRUE(db) << error;
        const std::string sql =
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(count) +
            ") INSERT INTO entries(account_id, parent_id, kind, name, name_key, update_time) SELECT " +
            std::to_string(account) + ", " + std::to_string(parent) + ", 0, 'filler' || i, 'filler' || i, 1 FROM n";
        ASSERT_TRUE(db->Exec(sql.c_str())) << db->LastError();
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

TEST_F(StoreTest, ContentAlreadyHeldReplacesAFileAndReleasesTheOldContent)
{
    const std::string held(300, 'h');
    const std::string old(200, 'o');
    ASSERT_EQ(Upload(one_, kRootFolder, "a", held), StoreStatus::Ok);
    ASSERT_EQ(Upload(one_, kRootFolder, "b", old), StoreStatus::Ok);
    EntryRow before, after;
    ASSERT_EQ(store_->Lookup(one_, kRootFolder, "b", before), StoreStatus::Ok);
    ASSERT_EQ(Used(one_), 500u);

    TicketRow ticket;
    EntryRow entry;
    ASSERT_EQ(store_->BeginUpload(one_, kRootFolder, "B", held.size(), Md5Hex(held), ticket, entry),
              StoreStatus::ContentKnown);
    ASSERT_EQ(store_->Lookup(one_, kRootFolder, "b", after), StoreStatus::Ok);
    EXPECT_EQ(after.id, before.id);
    EXPECT_GT(after.update_time, before.update_time);
    EXPECT_EQ(after.md5, Md5Hex(held));
    EXPECT_EQ(after.size, held.size());
    EXPECT_EQ(Used(one_), 600u) << "the replaced file's size is given back";
    EXPECT_FALSE(std::filesystem::exists(store_->ObjectPath(before.object))) << "no entry holds the old content";
    EXPECT_EQ(ReadBytes(store_->ObjectPath(after.object)), held);
}

// Every command that names a folder refuses the id of a file.
TEST_F(StoreTest, AFileIsNoFolder)
{
    ASSERT_EQ(Upload(one_, kRootFolder, "file", "content"), StoreStatus::Ok);
    EntryRow file;
    ASSERT_EQ(store_->Lookup(one_, kRootFolder, "file", file), StoreStatus::Ok);

    std::vector<EntryRow> rows;
    EXPECT_EQ(store_->ListFolder(one_, file.id, rows), StoreStatus::NoSuchFolder);
    EntryRow created;
    EXPECT_EQ(store_->CreateFolder(one_, file.id, "inside", created), StoreStatus::NoSuchFolder);
    TicketRow ticket;
    EXPECT_EQ(store_->BeginUpload(one_, file.id, "inside", 3, Md5Hex("abc"), ticket, created),
              StoreStatus::NoSuchFolder);
    EXPECT_EQ(store_->BeginUpload(one_, file.id, "inside", 7, Md5Hex("content"), ticket, created),
              StoreStatus::NoSuchFolder)
        << "not even with content the account holds";
    EXPECT_EQ(store_->Delete(one_, file.id, {file.id}), StoreStatus::NoSuchFolder);
    ASSERT_EQ(store_->ListAccount(one_, rows), StoreStatus::Ok);
    EXPECT_EQ(rows.size(), 1u) << "nothing was made inside the file";
    EXPECT_EQ(Used(one_), 7u);
}

TEST_F(StoreTest, AFullFolderTakesNoNewEntryWhileItsEntriesStillChange)
{
    ASSERT_EQ(Upload(one_, kRootFolder, "kept", "kept"), StoreStatus::Ok);
    FillFolder(one_, kRootFolder, kMaxFolderEntries - 2);
    TicketRow early;
    ASSERT_EQ(Grant(one_, kRootFolder, "early", "early", early), StoreStatus::Ok);
    EntryRow last;
    ASSERT_EQ(store_->CreateFolder(one_, kRootFolder, "last", last), StoreStatus::Ok) << "the last place is taken";

    EntryRow refused;
    EXPECT_EQ(store_->CreateFolder(one_, kRootFolder, "more", refused), StoreStatus::FolderFull);
    TicketRow ticket;
    EXPECT_EQ(store_->BeginUpload(one_, kRootFolder, "more", 4, Md5Hex("more"), ticket, refused),
              StoreStatus::FolderFull);
    EXPECT_EQ(store_->CommitUpload(early, refused), StoreStatus::FolderFull) << "granted before the folder filled";

    EXPECT_EQ(store_->CreateFolder(one_, kRootFolder, "LAST", refused), StoreStatus::FolderExists);
    EXPECT_EQ(Upload(one_, kRootFolder, "kept", "new content"), StoreStatus::Ok) << "a replacement adds nothing";
    EXPECT_EQ(store_->Rename(one_, last.id, "renamed", refused), StoreStatus::Ok);
    EXPECT_EQ(store_->CreateFolder(one_, last.id, "inside", refused), StoreStatus::Ok) << "only this folder is full";
    EXPECT_EQ(store_->CreateFolder(two_, kRootFolder, "more", refused), StoreStatus::Ok) << "and only this account's";
    ASSERT_EQ(store_->Delete(one_, kRootFolder, {last.id}), StoreStatus::Ok);
    EXPECT_EQ(store_->CreateFolder(one_, kRootFolder, "more", refused), StoreStatus::Ok);
}

// A quota lowered below what the account holds: nothing more goes in, not
// even by a replacement, until the account is within its quota again.
TEST_F(StoreTest, AnAccountOverItsQuotaIsGrantedNothingThatLeavesItOver)
{
    const std::string big(600, 'b');
    ASSERT_EQ(Upload(one_, kRootFolder, "big", big), StoreStatus::Ok);
    SetQuota("one", 500);

    TicketRow ticket;
    EntryRow entry;
    EXPECT_EQ(store_->BeginUpload(one_, kRootFolder, "new", 1, Md5Hex("n"), ticket, entry), StoreStatus::NoSpace);
    EXPECT_EQ(store_->BeginUpload(one_, kRootFolder, "empty", 0, Md5Hex(""), ticket, entry), StoreStatus::NoSpace);
    EXPECT_EQ(store_->BeginUpload(one_, kRootFolder, "copy", big.size(), Md5Hex(big), ticket, entry),
              StoreStatus::NoSpace)
        << "held content counts like any other";
    EXPECT_EQ(store_->BeginUpload(one_, kRootFolder, "big", 550, Md5Hex("smaller"), ticket, entry),
              StoreStatus::NoSpace)
        << "smaller, but still over the quota";
    EXPECT_EQ(Used(one_), 600u);
    AccountRecord record;
    ASSERT_TRUE(store_->GetAccount(one_, record));
    EXPECT_EQ(record.Free(), 0u);

    EXPECT_EQ(Upload(one_, kRootFolder, "big", std::string(500, 's')), StoreStatus::Ok)
        << "a replacement that brings the account within its quota";
    EXPECT_EQ(Used(one_), 500u);
}

// Open tickets hold their sizes, so that tickets granted one by one still
// fit together when they are committed. A quota lowered while two are open
// leaves room for one of them only: the commit that comes while the other
// still holds its size is refused.
TEST_F(StoreTest, CommitsOfTicketsGrantedWithinTheQuotaStayWithinIt)
{
    TicketRow first, second;
    ASSERT_EQ(Grant(one_, kRootFolder, "first", std::string(600, '1'), first), StoreStatus::Ok);
    EXPECT_EQ(Grant(one_, kRootFolder, "second", std::string(401, '2'), second), StoreStatus::NoSpace);
    ASSERT_EQ(Grant(one_, kRootFolder, "second", std::string(400, '2'), second), StoreStatus::Ok);
    EntryRow entry;
    ASSERT_EQ(store_->CommitUpload(second, entry), StoreStatus::Ok);
    ASSERT_EQ(store_->CommitUpload(first, entry), StoreStatus::Ok);
    EXPECT_EQ(Used(one_), 1000u) << "exactly the quota";

    ASSERT_EQ(store_->Delete(one_, kRootFolder, {entry.id}), StoreStatus::Ok);
    TicketRow third, fourth;
    ASSERT_EQ(Grant(one_, kRootFolder, "third", std::string(300, '3'), third), StoreStatus::Ok);
    ASSERT_EQ(Grant(one_, kRootFolder, "fourth", std::string(300, '4'), fourth), StoreStatus::Ok);
    SetQuota("one", 900);
    EXPECT_EQ(store_->CommitUpload(third, entry), StoreStatus::NoSpace) << "together they would be 1000";
    store_->DropTicket(third.token);
    EXPECT_EQ(store_->CommitUpload(fourth, entry), StoreStatus::Ok);
    EXPECT_EQ(Used(one_), 700u);
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
