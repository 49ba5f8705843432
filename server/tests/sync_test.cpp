// The sync server's commands over real loopback connections.
#include "cli.h"
#include "crypto.h"
#include "test_client.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <thread>

namespace Tessel {
namespace {

class SyncTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server_.ok());
        ASSERT_TRUE(client_.Connect(server_.sync_port()));
        ASSERT_EQ(client_.SignOn("demo", "demo123", &session_), ResSignedOn);
    }

    TestServer server_;
    TestClient client_;
    SessionReply session_;
};

TEST(SignOn, AnswersEachRefusalWithItsOwnCode)
{
    TestServer server;
    ASSERT_TRUE(server.ok());
    TestClient client;
    ASSERT_TRUE(client.Connect(server.sync_port()));
    SessionReply session;
    ASSERT_EQ(client.SignOn("demo", "demo123", &session), ResSignedOn);
    EXPECT_GT(session.user_id, 0u);
    EXPECT_EQ(session.key.size(), 32u);
    EXPECT_EQ(session.address[0], 127);
    EXPECT_EQ(session.address[3], 1);
    EXPECT_EQ(client.SignOn("DEMO", "demo123"), ResSignedOn) << "user names ignore letter case";

    EXPECT_EQ(client.SignOn("nobody", "demo123"), ResUnknownUser);
    EXPECT_EQ(client.SignOn("demo", "Demo123"), ResWrongPassword);
    EXPECT_EQ(client.SignOn("frozen", "frozen123"), ResAccountFrozen);
    EXPECT_EQ(client.SignOn("frozen", "wrong"), ResWrongPassword) << "a frozen account still checks the password";
    EXPECT_EQ(client.SignOnDigest("demo", "not a digest"), ResBadSignOn);
    EXPECT_EQ(client.SignOnDigest("", Md5Hex("demo123")), ResBadSignOn);
    // The digest's letter case does not matter.
    std::string upper = Md5Hex("demo123");
    for (char& c : upper)
        c = static_cast<char>(toupper(c));
    EXPECT_EQ(client.SignOnDigest("demo", upper), ResSignedOn);
    // A name length that runs past the payload.
    PayloadWriter out;
    out.U8(200);
    out.U8(32);
    out.U32(0);
    out.Text("demo");
    EXPECT_EQ(client.Exchange(CmdSignOn, out.Take()), ResBadSignOn);
}

TEST(SignOn, SessionKeysDifferAndSignOffEndsTheSession)
{
    TestServer server;
    ASSERT_TRUE(server.ok());
    TestClient a, b;
    ASSERT_TRUE(a.Connect(server.sync_port()));
    ASSERT_TRUE(b.Connect(server.sync_port()));
    SessionReply sa, sb;
    ASSERT_EQ(a.SignOn("demo", "demo123", &sa), ResSignedOn);
    ASSERT_EQ(b.SignOn("demo", "demo123", &sb), ResSignedOn);
    EXPECT_NE(sa.key, sb.key);

    SpaceReply space;
    ASSERT_EQ(a.AccountInfo(sa.user_id, sa.key, &space), ResAccountSpace);
    EXPECT_EQ(space.total, 1ull << 30);
    EXPECT_EQ(space.free, 1ull << 30);
    EXPECT_EQ(space.used, 0u);
    EXPECT_EQ(a.AccountInfo(sa.user_id + 1, sa.key), ResAccountSessionUnknown);
    EXPECT_EQ(a.AccountInfo(sa.user_id, std::string(32, 'x')), ResAccountSessionUnknown);

    EXPECT_EQ(a.SignOff(sa.user_id, sa.key), ResSignedOff);
    EXPECT_EQ(a.SignOff(sa.user_id, sa.key), ResUnknownSession);
    EXPECT_EQ(b.AccountInfo(sa.user_id, sa.key), ResAccountSessionUnknown);
    EXPECT_EQ(b.AccountInfo(sb.user_id, sb.key), ResAccountSpace) << "other sessions stay";
}

TEST(SignOn, FreezingRefusesNewSignOnsOnly)
{
    TestServer server;
    ASSERT_TRUE(server.ok());
    TestClient open;
    ASSERT_TRUE(open.Connect(server.sync_port()));
    ASSERT_EQ(open.SignOn("demo", "demo123"), ResSignedOn);
    AccountChange change;
    change.frozen = true;
    ASSERT_EQ(server.app().store().UpdateAccount("Demo", change), StoreStatus::Ok);
    TestClient late;
    ASSERT_TRUE(late.Connect(server.sync_port()));
    EXPECT_EQ(late.SignOn("demo", "demo123"), ResAccountFrozen);
    EXPECT_EQ(open.ListFolder(0), ResFolderListed);
    change.frozen = false;
    ASSERT_EQ(server.app().store().UpdateAccount("demo", change), StoreStatus::Ok);
    EXPECT_EQ(late.SignOn("demo", "demo123"), ResSignedOn);
}

TEST(SignOn, EntryCommandsWithoutSessionCloseTheConnection)
{
    TestServer server;
    ASSERT_TRUE(server.ok());
    TestClient client;
    ASSERT_TRUE(client.Connect(server.sync_port()));
    ASSERT_TRUE(client.SendRaw(BuildRequest(1, CmdLookupEntry, Bytes{0, 0, 0, 0, 1, 0, 'a'})));
    EXPECT_TRUE(client.WaitClosed(5000));
}

// A command without a session of its own connection must be closed; a
// reply of any kind would mean the connection acted in some account.
bool ClosedWithoutReply(TestClient& client, uint16_t command, const Bytes& payload)
{
    if (!client.SendRaw(BuildRequest(77, command, payload)))
        return false;
    ReplyView reply;
    return !client.ReadReply(reply, 3000) && client.WaitClosed(3000);
}

const Bytes kListRoot(8, 0);

TEST(Sessions, NoConnectionActsInADroppedSession)
{
    TestServer server;
    ASSERT_TRUE(server.ok());
    SessionReply dropped;
    {
        TestClient first;
        ASSERT_TRUE(first.Connect(server.sync_port()));
        ASSERT_EQ(first.SignOn("demo", "demo123", &dropped), ResSignedOn);
        ASSERT_EQ(first.CreateFolder(0, "kept"), ResFolderCreated);
    }
    // Another user behind the same address, never signed on.
    for (int attempt = 0; attempt < 3; ++attempt) {
        TestClient stranger;
        ASSERT_TRUE(stranger.Connect(server.sync_port()));
        EXPECT_TRUE(ClosedWithoutReply(stranger, CmdListFolder, kListRoot)) << "attempt " << attempt;
    }
    TestClient owner;
    ASSERT_TRUE(owner.Connect(server.sync_port()));
    EXPECT_EQ(owner.AccountInfo(dropped.user_id, dropped.key), ResAccountSpace)
        << "the key itself stays valid for its holder's downloads";
}

TEST(Sessions, ASignedOffConnectionHasNoSession)
{
    TestServer server;
    ASSERT_TRUE(server.ok());
    {
        TestClient victim;
        ASSERT_TRUE(victim.Connect(server.sync_port()));
        ASSERT_EQ(victim.SignOn("demo", "demo123"), ResSignedOn);
        ASSERT_EQ(victim.CreateFolder(0, "private"), ResFolderCreated);
    }
    TestClient other;
    ASSERT_TRUE(other.Connect(server.sync_port()));
    SessionReply mine;
    ASSERT_EQ(other.SignOn("small", "small123", &mine), ResSignedOn);
    ASSERT_EQ(other.SignOff(mine.user_id, mine.key), ResSignedOff);
    EXPECT_TRUE(ClosedWithoutReply(other, CmdListFolder, kListRoot));
}

TEST(Sessions, ASecondSignOnEndsTheFirstSession)
{
    TestServer server;
    ASSERT_TRUE(server.ok());
    TestClient client;
    ASSERT_TRUE(client.Connect(server.sync_port()));
    SessionReply first, second;
    ASSERT_EQ(client.SignOn("demo", "demo123", &first), ResSignedOn);
    ASSERT_EQ(client.SignOn("small", "small123", &second), ResSignedOn);
    EXPECT_EQ(client.AccountInfo(first.user_id, first.key), ResAccountSessionUnknown);
    std::vector<EntryRecord> root;
    ASSERT_EQ(client.CreateFolder(0, "of small"), ResFolderCreated);
    client.Close();
    TestClient stranger;
    ASSERT_TRUE(stranger.Connect(server.sync_port()));
    EXPECT_TRUE(ClosedWithoutReply(stranger, CmdListFolder, kListRoot));
    TestClient demo;
    ASSERT_TRUE(demo.Connect(server.sync_port()));
    ASSERT_EQ(demo.SignOn("demo", "demo123"), ResSignedOn);
    ASSERT_EQ(demo.ListFolder(0, &root), ResFolderListed);
    EXPECT_TRUE(root.empty()) << "the folder went to the account signed on last";

    // A refused sign-on leaves the connection without a session as well.
    ASSERT_EQ(demo.SignOn("demo", "wrong"), ResWrongPassword);
    EXPECT_TRUE(ClosedWithoutReply(demo, CmdListFolder, kListRoot));
}

// A change of the stored password, here by the administrative command as
// another process would make it, ends every session of the account.
TEST(Sessions, ChangingThePasswordEndsTheAccountsSessions)
{
    TestServer server;
    ASSERT_TRUE(server.ok());
    TestClient open, other;
    ASSERT_TRUE(open.Connect(server.sync_port()));
    ASSERT_TRUE(other.Connect(server.sync_port()));
    SessionReply session, unrelated;
    ASSERT_EQ(open.SignOn("demo", "demo123", &session), ResSignedOn);
    ASSERT_EQ(other.SignOn("small", "small123", &unrelated), ResSignedOn);

    ASSERT_EQ(RunCommandLine({"set-account", server.dir() + "/data", "demo", "--quota", "2G"}), 0);
    EXPECT_EQ(open.ListFolder(0), ResFolderListed) << "other changes leave the sessions alone";

    ASSERT_EQ(RunCommandLine({"set-account", server.dir() + "/data", "DEMO", "--password", "new secret"}), 0);
    EXPECT_TRUE(ClosedWithoutReply(open, CmdListFolder, kListRoot));
    EXPECT_EQ(other.AccountInfo(session.user_id, session.key), ResAccountSessionUnknown);
    EXPECT_EQ(other.AccountInfo(unrelated.user_id, unrelated.key), ResAccountSpace);
    TestClient again;
    ASSERT_TRUE(again.Connect(server.sync_port()));
    EXPECT_EQ(again.SignOn("demo", "demo123"), ResWrongPassword);
    EXPECT_EQ(again.SignOn("demo", "new secret"), ResSignedOn);
    EXPECT_EQ(again.ListFolder(0), ResFolderListed);
}

Bytes SignOnPayload(const std::string& user, const std::string& password)
{
    PayloadWriter out;
    out.U8(static_cast<uint8_t>(user.size()));
    out.U8(32);
    out.U32(0);
    out.Text(user);
    out.Text(Md5Hex(password));
    return out.Take();
}

using Clock = std::chrono::steady_clock;

// After a few failed sign-ons, each further attempt from the address, or
// for the account, waits its turn; other clients are not held up.
TEST(Guessing, FailedSignOnsAreSlowedPerAddressAndPerAccountOnly)
{
    TestServer server;
    ASSERT_TRUE(server.ok());
    TestClient guesser;
    ASSERT_TRUE(guesser.Connect(server.sync_port(), "127.0.0.2"));
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(guesser.SignOn("demo", "guess" + std::to_string(i)), ResWrongPassword);

    const auto sent = Clock::now();
    ASSERT_TRUE(guesser.SendRaw(BuildRequest(60, CmdSignOn, SignOnPayload("demo", "guess5"))));
    TestClient other;
    ASSERT_TRUE(other.Connect(server.sync_port(), "127.0.0.3"));
    EXPECT_EQ(other.SignOn("small", "small123"), ResSignedOn);
    EXPECT_EQ(other.ListFolder(0), ResFolderListed);
    ReplyView reply;
    EXPECT_FALSE(guesser.ReadReply(reply, 0)) << "the guess waits while others are answered";
    ASSERT_TRUE(guesser.ReadReply(reply, 10000));
    EXPECT_EQ(reply.result, ResWrongPassword);
    EXPECT_GE(Clock::now() - sent, std::chrono::milliseconds(900));

    // The account is guarded from other addresses as well.
    TestClient elsewhere;
    ASSERT_TRUE(elsewhere.Connect(server.sync_port(), "127.0.0.4"));
    const auto again = Clock::now();
    EXPECT_EQ(elsewhere.SignOn("demo", "demo123"), ResSignedOn);
    EXPECT_GE(Clock::now() - again, std::chrono::milliseconds(900));
}

TEST(Guessing, AttemptsThatWouldWaitTooLongAreTurnedAway)
{
    ServerConfig config;
    config.sign_on.longest_wait = std::chrono::seconds(3);
    TestServer server(config);
    ASSERT_TRUE(server.ok());
    TestClient guesser;
    ASSERT_TRUE(guesser.Connect(server.sync_port(), "127.0.0.2"));
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(guesser.SignOn("nobody" + std::to_string(i), "x"), ResUnknownUser);
    std::vector<std::unique_ptr<TestClient>> many;
    for (int i = 0; i < 6; ++i) {
        many.push_back(std::make_unique<TestClient>());
        ASSERT_TRUE(many.back()->Connect(server.sync_port(), "127.0.0.2"));
        ASSERT_TRUE(many.back()->SendRaw(BuildRequest(70, CmdSignOn, SignOnPayload("someone", "x"))));
    }
    int answered = 0;
    int turned_away = 0;
    for (auto& client : many) {
        ReplyView reply;
        if (client->ReadReply(reply, 10000))
            ++answered;
        else
            ++turned_away;
    }
    EXPECT_GE(answered, 1);
    EXPECT_GE(turned_away, 1) << "turns more than 3 s away are not given";
}

TEST_F(SyncTest, CreateListLookupAndCaseInsensitiveNames)
{
    int32_t docs = 0;
    ASSERT_EQ(client_.CreateFolder(0, "Docs", &docs), ResFolderCreated);
    EXPECT_GT(docs, 0);
    int32_t again = 0;
    EXPECT_EQ(client_.CreateFolder(0, "DOCS", &again), ResFolderExists);
    EXPECT_EQ(again, docs);
    int32_t sub = 0;
    ASSERT_EQ(client_.CreateFolder(docs, "子目录", &sub), ResFolderCreated);
    EXPECT_EQ(client_.CreateFolder(9999, "x"), ResNoSuchFolder);
    EXPECT_EQ(client_.CreateFolder(-1, "x"), ResNoSuchFolder);

    std::vector<EntryRecord> root;
    ASSERT_EQ(client_.ListFolder(0, &root), ResFolderListed);
    ASSERT_EQ(root.size(), 1u);
    EXPECT_EQ(root[0].name, "Docs");
    EXPECT_EQ(root[0].parent_id, 0);
    EXPECT_FALSE(root[0].is_file);

    EntryRecord found;
    ASSERT_EQ(client_.LookupEntry(docs, "子目录", &found), ResEntryFound);
    EXPECT_EQ(found.id, sub);
    EXPECT_EQ(found.parent_id, docs);
    ASSERT_EQ(client_.LookupEntry(0, "docs", &found), ResEntryFound);
    EXPECT_EQ(found.id, docs);
    EXPECT_EQ(client_.LookupEntry(0, "missing"), ResEntryNotFound);
    EXPECT_EQ(client_.LookupEntry(12345, "Docs"), ResEntryNotFound);
    EXPECT_EQ(client_.ListFolder(12345), ResNoSuchFolder);

    std::vector<EntryRecord> empty;
    ASSERT_EQ(client_.ListFolder(sub, &empty), ResFolderListed);
    EXPECT_TRUE(empty.empty());
}

TEST_F(SyncTest, UnsafeNamesAreRefusedByEveryCommand)
{
    int32_t id = 0;
    ASSERT_EQ(client_.CreateFolder(0, "ok", &id), ResFolderCreated);
    for (const std::string& bad : {std::string(".."), std::string("a/b"), std::string("a\\b"), std::string("x:y"),
                                   std::string("CON"), std::string("t.tavo"), std::string("\x01"),
                                   std::string("end.")}) {
        EXPECT_EQ(client_.CreateFolder(0, bad), ResInvalidName) << bad;
        EXPECT_EQ(client_.RenameEntry(id, "ok", bad), ResInvalidName) << bad;
        EXPECT_EQ(client_.LookupEntry(0, bad), ResInvalidName) << bad;
        EXPECT_EQ(client_.BeginUpload(0, bad, 1, Md5Hex("a")), ResUploadRefused) << bad;
    }
    EXPECT_EQ(client_.CreateFolder(0, ""), ResInvalidName);
    std::vector<EntryRecord> root;
    ASSERT_EQ(client_.ListFolder(0, &root), ResFolderListed);
    EXPECT_EQ(root.size(), 1u);
}

TEST_F(SyncTest, RenameKeepsNamesUniqueAndStampsGrow)
{
    int32_t a = 0, b = 0;
    ASSERT_EQ(client_.CreateFolder(0, "alpha", &a), ResFolderCreated);
    ASSERT_EQ(client_.CreateFolder(0, "beta", &b), ResFolderCreated);
    EntryRecord before, after;
    ASSERT_EQ(client_.LookupEntry(0, "alpha", &before), ResEntryFound);
    EntryRecord beta;
    ASSERT_EQ(client_.LookupEntry(0, "beta", &beta), ResEntryFound);
    EXPECT_GT(beta.update_time, before.update_time);

    EXPECT_EQ(client_.RenameEntry(a, "alpha", "BETA"), ResNameTaken);
    EXPECT_EQ(client_.RenameEntry(a, "alpha", "alpha"), ResNameUnchanged);
    ASSERT_EQ(client_.RenameEntry(a, "alpha", "ALPHA"), ResRenamed) << "a change of letter case is a rename";
    ASSERT_EQ(client_.LookupEntry(0, "alpha", &after), ResEntryFound);
    EXPECT_EQ(after.name, "ALPHA");
    EXPECT_EQ(after.id, a);
    EXPECT_GT(after.update_time, beta.update_time);
    ASSERT_EQ(client_.RenameEntry(a, "ALPHA", "gamma"), ResRenamed);
    EXPECT_EQ(client_.LookupEntry(0, "alpha"), ResEntryNotFound);
    EXPECT_EQ(client_.RenameEntry(a, "gamma", "gamma"), ResNameUnchanged) << "a repeated rename succeeds";
    EXPECT_EQ(client_.RenameEntry(99999, "x", "y"), ResNoSuchEntry);
    EXPECT_EQ(client_.RenameEntry(0, "x", "y"), ResNoSuchEntry) << "the root has no name";
}

TEST_F(SyncTest, DeleteTakesFolderContentsAndIsRepeatable)
{
    int32_t top = 0, inner = 0, other = 0;
    ASSERT_EQ(client_.CreateFolder(0, "top", &top), ResFolderCreated);
    ASSERT_EQ(client_.CreateFolder(top, "inner", &inner), ResFolderCreated);
    ASSERT_EQ(UploadFile(client_, server_.data_port(), inner, "f.bin", "content"), ResUploadComplete);
    ASSERT_EQ(client_.CreateFolder(0, "other", &other), ResFolderCreated);

    EXPECT_EQ(client_.DeleteEntries(0, {inner}), ResNoSuchEntry) << "inner is not in the root";
    EXPECT_EQ(client_.DeleteEntries(0, {0}), ResNoSuchEntry);
    EXPECT_EQ(client_.DeleteEntries(777, {top}), ResNoSuchFolder);
    ASSERT_EQ(client_.DeleteEntries(0, {top}), ResDeleted);
    EXPECT_EQ(client_.DeleteEntries(0, {top}), ResDeleted) << "a repeated delete after a lost reply succeeds";
    EXPECT_EQ(client_.ListFolder(inner), ResNoSuchFolder);
    SpaceReply space;
    ASSERT_EQ(client_.AccountInfo(session_.user_id, session_.key, &space), ResAccountSpace);
    EXPECT_EQ(space.used, 0u);
    std::vector<EntryRecord> root;
    ASSERT_EQ(client_.ListFolder(0, &root), ResFolderListed);
    ASSERT_EQ(root.size(), 1u);
    EXPECT_EQ(root[0].id, other);
}

TEST_F(SyncTest, AccountsDoNotSeeEachOthersEntries)
{
    int32_t mine = 0;
    ASSERT_EQ(client_.CreateFolder(0, "mine", &mine), ResFolderCreated);
    TestClient other;
    ASSERT_TRUE(other.Connect(server_.sync_port()));
    ASSERT_EQ(other.SignOn("small", "small123"), ResSignedOn);
    EXPECT_EQ(other.LookupEntry(0, "mine"), ResEntryNotFound);
    EXPECT_EQ(other.ListFolder(mine), ResNoSuchFolder);
    EXPECT_EQ(other.RenameEntry(mine, "mine", "theirs"), ResNoSuchEntry);
    EXPECT_EQ(other.DeleteEntries(0, {mine}), ResDeleted) << "ids of another account count as already gone";
    EXPECT_EQ(client_.LookupEntry(0, "mine"), ResEntryFound);
    int32_t theirs = 0;
    EXPECT_EQ(other.CreateFolder(0, "mine", &theirs), ResFolderCreated);
    EXPECT_NE(theirs, mine);
}

TEST_F(SyncTest, MalformedPayloadsAreRefusedWithoutEffect)
{
    EXPECT_EQ(client_.Exchange(CmdListFolder, Bytes(7, 0)), ResMalformed);
    EXPECT_EQ(client_.Exchange(CmdCreateFolder, Bytes{0, 0, 0, 0, 9, 0, 'a'}), ResMalformed);
    EXPECT_EQ(client_.Exchange(CmdDeleteEntries, Bytes{0, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0}), ResMalformed);
    EXPECT_EQ(client_.Exchange(CmdRenameEntry, Bytes{1, 0, 0, 0, 1, 0, 1, 0, 'a'}), ResMalformed);
    EXPECT_EQ(client_.Exchange(CmdBeginUpload, Bytes(40, 0)), ResMalformed);
    EXPECT_EQ(client_.Exchange(CmdAccountInfo, Bytes(35, 0)), ResMalformed);
    EXPECT_EQ(client_.Exchange(4242, Bytes{}), ResUnknownCommand);
    EXPECT_EQ(client_.Exchange(CmdUploadBlock, Bytes(44, 0)), ResUnknownCommand) << "blocks go to the data server";
    std::vector<EntryRecord> root;
    ASSERT_EQ(client_.ListFolder(0, &root), ResFolderListed);
    EXPECT_TRUE(root.empty());
}

TEST_F(SyncTest, RepliesMatchPipelinedRequestsOnOneConnection)
{
    ASSERT_EQ(client_.CreateFolder(0, "p"), ResFolderCreated);
    PayloadWriter lookup;
    lookup.U32(0);
    lookup.U16(1);
    lookup.Text("p");
    const Bytes lookup_payload = lookup.Take();
    Bytes both = BuildRequest(500, CmdLookupEntry, lookup_payload);
    const Bytes list = BuildRequest(501, CmdListFolder, Bytes(8, 0));
    both.insert(both.end(), list.begin(), list.end());
    ASSERT_TRUE(client_.SendRaw(both));
    ReplyView first, second;
    ASSERT_TRUE(client_.ReadReply(first));
    ASSERT_TRUE(client_.ReadReply(second));
    EXPECT_EQ(first.sequence, 500u);
    EXPECT_EQ(first.command, CmdLookupEntry);
    EXPECT_EQ(first.result, ResEntryFound);
    EXPECT_EQ(second.sequence, 501u);
    EXPECT_EQ(second.result, ResFolderListed);
}

TEST_F(SyncTest, ListingsCarryDownloadAddressesForFilesOnly)
{
    ASSERT_EQ(client_.CreateFolder(0, "folder"), ResFolderCreated);
    ASSERT_EQ(UploadFile(client_, server_.data_port(), 0, "file.txt", "hello"), ResUploadComplete);
    std::vector<EntryRecord> root;
    ASSERT_EQ(client_.ListFolder(0, &root), ResFolderListed);
    ASSERT_EQ(root.size(), 2u);
    const EntryRecord& file = root[1].is_file ? root[1] : root[0];
    const EntryRecord& folder = root[1].is_file ? root[0] : root[1];
    EXPECT_EQ(file.md5, Md5Hex("hello"));
    EXPECT_EQ(file.size, 5u);
    EXPECT_EQ(file.address, "http://127.0.0.1:" + std::to_string(server_.http_port()) + "/d/" +
                                std::to_string(file.id) + "?key=");
    EXPECT_TRUE(folder.address.empty());
    EXPECT_LE(file.address.size(), 259u);
}

}  // namespace
}  // namespace Tessel
