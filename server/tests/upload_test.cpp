// Uploads through ticket, data server and commit.
#include "crypto.h"
#include "test_client.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <thread>

namespace Tessel {
namespace {

std::string Pattern(size_t size, unsigned seed)
{
    std::string s(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

class UploadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server_.ok());
        ASSERT_TRUE(sync_.Connect(server_.sync_port()));
        ASSERT_EQ(sync_.SignOn("demo", "demo123", &session_), ResSignedOn);
    }

    uint64_t Used()
    {
        SpaceReply space;
        EXPECT_EQ(sync_.AccountInfo(session_.user_id, session_.key, &space), ResAccountSpace);
        return space.used;
    }

    TestServer server_;
    TestClient sync_;
    SessionReply session_;
};

TEST_F(UploadTest, TicketNamesTheDataServerAndTheFileAppearsAfterFinish)
{
    const std::string content = Pattern(100000, 1);
    TicketReply ticket;
    ASSERT_EQ(sync_.BeginUpload(0, "a.bin", content.size(), Md5Hex(content), &ticket), ResTicketGranted);
    EXPECT_EQ(ticket.token.size(), 32u);
    EXPECT_EQ(ticket.port, server_.data_port());
    EXPECT_EQ(ticket.address, 0x7F000001u) << "127.0.0.1, first octet most significant";
    EXPECT_EQ(sync_.LookupEntry(0, "a.bin"), ResEntryNotFound) << "nothing appears before the commit";

    TestClient data;
    ASSERT_TRUE(data.Connect(ticket.port));
    for (size_t offset = 0; offset < content.size(); offset += 32768)
        ASSERT_EQ(data.UploadBlock(ticket.token, offset, content.substr(offset, 32768)), ResBlockAccepted);
    ASSERT_EQ(data.FinishUpload(ticket.token), ResUploadComplete);
    EXPECT_EQ(data.FinishUpload(ticket.token), ResTicketInvalid) << "a ticket is used once";

    EntryRecord entry;
    ASSERT_EQ(sync_.LookupEntry(0, "A.BIN", &entry), ResEntryFound);
    EXPECT_TRUE(entry.is_file);
    EXPECT_EQ(entry.size, content.size());
    EXPECT_EQ(entry.md5, Md5Hex(content));
    EXPECT_EQ(Used(), content.size());
    EXPECT_TRUE(std::filesystem::exists(server_.app().store().ObjectPath(Md5Hex(content))));
}

TEST_F(UploadTest, EmptyFileNeedsNoBlocks)
{
    TicketReply ticket;
    ASSERT_EQ(sync_.BeginUpload(0, "empty", 0, Md5Hex(""), &ticket), ResTicketGranted);
    TestClient data;
    ASSERT_TRUE(data.Connect(ticket.port));
    ASSERT_EQ(data.FinishUpload(ticket.token), ResUploadComplete);
    EntryRecord entry;
    ASSERT_EQ(sync_.LookupEntry(0, "empty", &entry), ResEntryFound);
    EXPECT_EQ(entry.size, 0u);
}

TEST_F(UploadTest, ReplacingAFileKeepsItsIdAndGivesANewStamp)
{
    ASSERT_EQ(UploadFile(sync_, server_.data_port(), 0, "doc.txt", "version one"), ResUploadComplete);
    EntryRecord first, second;
    ASSERT_EQ(sync_.LookupEntry(0, "doc.txt", &first), ResEntryFound);
    ASSERT_EQ(UploadFile(sync_, server_.data_port(), 0, "DOC.txt", "version two!"), ResUploadComplete);
    ASSERT_EQ(sync_.LookupEntry(0, "doc.txt", &second), ResEntryFound);
    EXPECT_EQ(second.id, first.id);
    EXPECT_GT(second.update_time, first.update_time);
    EXPECT_EQ(second.md5, Md5Hex("version two!"));
    EXPECT_EQ(second.name, "DOC.txt");
    EXPECT_EQ(Used(), 12u);
    std::vector<EntryRecord> root;
    ASSERT_EQ(sync_.ListFolder(0, &root), ResFolderListed);
    EXPECT_EQ(root.size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(server_.app().store().ObjectPath(Md5Hex("version one"))))
        << "content no entry refers to is removed";
}

TEST_F(UploadTest, KnownContentCreatesTheFileWithoutTransfer)
{
    const std::string content = Pattern(5000, 2);
    ASSERT_EQ(UploadFile(sync_, server_.data_port(), 0, "one", content), ResUploadComplete);
    EXPECT_EQ(sync_.BeginUpload(0, "two", content.size(), Md5Hex(content)), ResContentKnown);
    EntryRecord two;
    ASSERT_EQ(sync_.LookupEntry(0, "two", &two), ResEntryFound);
    EXPECT_EQ(two.md5, Md5Hex(content));
    EXPECT_EQ(Used(), 2 * content.size()) << "each file counts against the quota";
    EXPECT_EQ(sync_.BeginUpload(0, "three", content.size() + 1, Md5Hex(content)), ResTicketGranted)
        << "the size must match as well";

    // Another account cannot obtain the content by naming its digest.
    TestClient other;
    ASSERT_TRUE(other.Connect(server_.sync_port()));
    ASSERT_EQ(other.SignOn("small", "small123"), ResSignedOn);
    EXPECT_EQ(other.BeginUpload(0, "stolen", content.size(), Md5Hex(content)), ResTicketGranted);
}

TEST_F(UploadTest, QuotaAndOtherRefusals)
{
    TestClient small;
    ASSERT_TRUE(small.Connect(server_.sync_port()));
    ASSERT_EQ(small.SignOn("small", "small123"), ResSignedOn);
    EXPECT_EQ(small.BeginUpload(0, "big", 100 * 1024 + 1, Md5Hex("x")), ResNoSpace);
    ASSERT_EQ(UploadFile(small, server_.data_port(), 0, "fits", Pattern(60 * 1024, 3)), ResUploadComplete);
    EXPECT_EQ(small.BeginUpload(0, "second", 60 * 1024, Md5Hex("y")), ResNoSpace);
    EXPECT_EQ(small.BeginUpload(0, "fits", 90 * 1024, Md5Hex("y")), ResTicketGranted)
        << "replacing a file frees its old size";

    int32_t folder = 0;
    ASSERT_EQ(sync_.CreateFolder(0, "dir", &folder), ResFolderCreated);
    EXPECT_EQ(sync_.BeginUpload(0, "DIR", 1, Md5Hex("a")), ResUploadRefused) << "a folder has the name";
    EXPECT_EQ(sync_.BeginUpload(4242, "x", 1, Md5Hex("a")), ResUploadRefused) << "no such folder";
    EXPECT_EQ(sync_.BeginUpload(0, "x", 1, "zz-not-a-digest-zzzzzzzzzzzzzzzz"), ResUploadRefused);
    EXPECT_EQ(sync_.CreateFolder(0, "fileclash"), ResFolderCreated);
    ASSERT_EQ(UploadFile(sync_, server_.data_port(), folder, "f", "data"), ResUploadComplete);
    EXPECT_EQ(sync_.CreateFolder(folder, "F"), ResNameTaken) << "a file has the name";
}

// Part files count: tickets hold their announced sizes against the free
// space until they are committed, dropped or expire.
TEST_F(UploadTest, OpenTicketsCountAgainstTheFreeSpace)
{
    TestClient small;
    ASSERT_TRUE(small.Connect(server_.sync_port()));
    SessionReply session;
    ASSERT_EQ(small.SignOn("small", "small123", &session), ResSignedOn);
    int granted = 0;
    for (int i = 0; i < 30; ++i)
        if (small.BeginUpload(0, "part" + std::to_string(i), 90 * 1024, Md5Hex(std::to_string(i))) ==
            ResTicketGranted)
            ++granted;
    EXPECT_EQ(granted, 1) << "one 90 KiB upload fits 100 KiB at a time";
    SpaceReply space;
    ASSERT_EQ(small.AccountInfo(session.user_id, session.key, &space), ResAccountSpace);
    EXPECT_EQ(space.free, 10u * 1024);

    // A new ticket for the same file replaces an earlier one that no data
    // connection works on: a client that gave up its ticket is not stuck.
    const std::string content = Pattern(90 * 1024, 22);
    EXPECT_EQ(UploadFile(small, server_.data_port(), 0, "part0", content), ResUploadComplete);
    ASSERT_EQ(small.AccountInfo(session.user_id, session.key, &space), ResAccountSpace);
    EXPECT_EQ(space.free, 10u * 1024);
    EXPECT_EQ(small.BeginUpload(0, "more", 20 * 1024, Md5Hex("more")), ResNoSpace);

    // One that a data connection works on stays.
    TicketReply busy;
    ASSERT_EQ(small.BeginUpload(0, "part0", 95 * 1024, Md5Hex("other"), &busy), ResTicketGranted);
    TestClient data;
    ASSERT_TRUE(data.Connect(busy.port));
    ASSERT_EQ(data.UploadBlock(busy.token, 0, std::string(1000, 'b')), ResBlockAccepted);
    EXPECT_EQ(small.BeginUpload(0, "part0", 95 * 1024, Md5Hex("third")), ResNoSpace);
    EXPECT_EQ(data.UploadBlock(busy.token, 1000, std::string(1000, 'b')), ResBlockAccepted);
}

TEST_F(UploadTest, BlocksOutOfPlaceAndUnknownTicketsAreRefused)
{
    const std::string content = Pattern(70000, 4);
    TicketReply ticket;
    ASSERT_EQ(sync_.BeginUpload(0, "f", content.size(), Md5Hex(content), &ticket), ResTicketGranted);
    TestClient data;
    ASSERT_TRUE(data.Connect(ticket.port));
    EXPECT_EQ(data.UploadBlock(std::string(32, 'Z'), 0, "abc"), ResTicketInvalid);
    EXPECT_EQ(data.UploadBlock(ticket.token, 32768, content.substr(0, 100)), ResTicketInvalid) << "a gap";
    ASSERT_EQ(data.UploadBlock(ticket.token, 0, content.substr(0, 32768)), ResBlockAccepted);
    EXPECT_EQ(data.UploadBlock(ticket.token, 65536, std::string(10000, 'x')), ResTicketInvalid)
        << "past the announced size";
    EXPECT_EQ(data.FinishUpload(ticket.token), ResUploadMismatch) << "incomplete";
    EXPECT_EQ(data.FinishUpload(std::string(32, 'Q')), ResTicketInvalid);
    // The connection still works and the upload completes.
    ASSERT_EQ(data.UploadBlock(ticket.token, 32768, content.substr(32768)), ResBlockAccepted);
    ASSERT_EQ(data.FinishUpload(ticket.token), ResUploadComplete);
    EXPECT_EQ(sync_.LookupEntry(0, "f"), ResEntryFound);
}

TEST_F(UploadTest, WrongContentAtFinishDiscardsTheTicket)
{
    const std::string announced = Pattern(40000, 5);
    std::string sent = announced;
    sent[12345] ^= 1;
    TicketReply ticket;
    ASSERT_EQ(sync_.BeginUpload(0, "bad", announced.size(), Md5Hex(announced), &ticket), ResTicketGranted);
    TestClient data;
    ASSERT_TRUE(data.Connect(ticket.port));
    ASSERT_EQ(data.UploadBlock(ticket.token, 0, sent.substr(0, 32768)), ResBlockAccepted);
    ASSERT_EQ(data.UploadBlock(ticket.token, 32768, sent.substr(32768)), ResBlockAccepted);
    EXPECT_EQ(data.FinishUpload(ticket.token), ResUploadMismatch);
    EXPECT_EQ(data.UploadBlock(ticket.token, 0, announced.substr(0, 10)), ResTicketInvalid);
    EXPECT_EQ(sync_.LookupEntry(0, "bad"), ResEntryNotFound);
    EXPECT_EQ(Used(), 0u);
    EXPECT_FALSE(std::filesystem::exists(server_.app().store().PartPath(ticket.token)));
}

TEST_F(UploadTest, ResumesOnANewConnectionAfterADrop)
{
    const std::string content = Pattern(200000, 6);
    TicketReply ticket;
    ASSERT_EQ(sync_.BeginUpload(0, "resumed", content.size(), Md5Hex(content), &ticket), ResTicketGranted);
    {
        TestClient data;
        ASSERT_TRUE(data.Connect(ticket.port));
        for (size_t offset = 0; offset < 3 * 32768; offset += 32768)
            ASSERT_EQ(data.UploadBlock(ticket.token, offset, content.substr(offset, 32768)), ResBlockAccepted);
        // The fourth block's header and half its bytes, then the link drops.
        PayloadWriter out;
        out.Fixed(ticket.token, kTokenSize);
        out.U64(3 * 32768);
        out.U32(32768);
        ASSERT_TRUE(data.SendRaw(BuildRequest(77, CmdUploadBlock, out.Take())));
        ASSERT_TRUE(data.SendRaw(content.data() + 3 * 32768, 16384));
    }
    // The client resumes from its own saved offset, which may lie behind
    // what the server received.
    TestClient data;
    ASSERT_TRUE(data.Connect(ticket.port));
    for (size_t offset = 2 * 32768; offset < content.size(); offset += 32768)
        ASSERT_EQ(data.UploadBlock(ticket.token, offset, content.substr(offset, 32768)), ResBlockAccepted);
    ASSERT_EQ(data.FinishUpload(ticket.token), ResUploadComplete);
    EntryRecord entry;
    ASSERT_EQ(sync_.LookupEntry(0, "resumed", &entry), ResEntryFound);
    EXPECT_EQ(entry.md5, Md5Hex(content));
}

std::string Download(uint16_t http_port, const std::string& address, const std::string& key)
{
    const size_t slash = address.find('/', std::string("http://").size());
    httplib::Client client("127.0.0.1", http_port);
    auto res = client.Get(address.substr(slash) + key);
    return res && res->status == 200 ? res->body : std::string("<no content>");
}

// One ticket on two data connections: the first sends the real blocks, the
// second sends other bytes at offset 0. Nothing that does not match the
// announced MD5 is ever committed, and no other account is served the
// other bytes for the real content.
TEST_F(UploadTest, OneTicketOnTwoConnectionsCannotPoisonTheContent)
{
    const std::string genuine = Pattern(3 * 32768, 20);
    TicketReply ticket;
    ASSERT_EQ(sync_.BeginUpload(0, "bait", genuine.size(), Md5Hex(genuine), &ticket), ResTicketGranted);
    TestClient honest, sneaky;
    ASSERT_TRUE(honest.Connect(ticket.port));
    ASSERT_TRUE(sneaky.Connect(ticket.port));
    ASSERT_EQ(honest.UploadBlock(ticket.token, 0, genuine.substr(0, 32768)), ResBlockAccepted);
    const std::string junk(32768, 'J');
    const int replaced = sneaky.UploadBlock(ticket.token, 0, junk);
    for (size_t offset = 32768; offset < genuine.size(); offset += 32768)
        honest.UploadBlock(ticket.token, offset, genuine.substr(offset, 32768));
    EXPECT_NE(honest.FinishUpload(ticket.token), ResUploadComplete);
    if (replaced == ResBlockAccepted) {
        EXPECT_NE(sneaky.FinishUpload(ticket.token), ResUploadComplete);
    }
    EXPECT_EQ(sync_.LookupEntry(0, "bait"), ResEntryNotFound);

    TestClient victim;
    ASSERT_TRUE(victim.Connect(server_.sync_port()));
    SessionReply session;
    ASSERT_EQ(victim.SignOn("small", "small123", &session), ResSignedOn);
    ASSERT_EQ(UploadFile(victim, server_.data_port(), 0, "real.bin", genuine), ResUploadComplete);
    EntryRecord entry;
    ASSERT_EQ(victim.LookupEntry(0, "real.bin", &entry), ResEntryFound);
    EXPECT_EQ(Md5Hex(Download(server_.http_port(), entry.address, session.key)), Md5Hex(genuine));
}

TEST_F(UploadTest, ATicketFollowsTheConnectionThatUsedItLast)
{
    const std::string content = Pattern(4 * 32768, 21);
    TicketReply ticket;
    ASSERT_EQ(sync_.BeginUpload(0, "moved", content.size(), Md5Hex(content), &ticket), ResTicketGranted);
    TestClient first, second;
    ASSERT_TRUE(first.Connect(ticket.port));
    ASSERT_TRUE(second.Connect(ticket.port));
    ASSERT_EQ(first.UploadBlock(ticket.token, 0, content.substr(0, 32768)), ResBlockAccepted);
    ASSERT_EQ(first.UploadBlock(ticket.token, 32768, content.substr(32768, 32768)), ResBlockAccepted);
    // The second connection resumes at an offset it saved earlier.
    ASSERT_EQ(second.UploadBlock(ticket.token, 32768, content.substr(32768, 32768)), ResBlockAccepted);
    EXPECT_EQ(first.UploadBlock(ticket.token, 65536, content.substr(65536, 32768)), ResTicketInvalid)
        << "the first connection lost the ticket";
    EXPECT_EQ(first.FinishUpload(ticket.token), ResTicketInvalid);
    for (size_t offset = 65536; offset < content.size(); offset += 32768)
        ASSERT_EQ(second.UploadBlock(ticket.token, offset, content.substr(offset, 32768)), ResBlockAccepted);
    ASSERT_EQ(second.FinishUpload(ticket.token), ResUploadComplete);
    EntryRecord entry;
    ASSERT_EQ(sync_.LookupEntry(0, "moved", &entry), ResEntryFound);
    EXPECT_EQ(Md5Hex(Download(server_.http_port(), entry.address, session_.key)), Md5Hex(content));
}

TEST_F(UploadTest, TicketsSurviveARestart)
{
    const std::string content = Pattern(50000, 7);
    TicketReply ticket;
    ASSERT_EQ(sync_.BeginUpload(0, "later", content.size(), Md5Hex(content), &ticket), ResTicketGranted);
    {
        TestClient data;
        ASSERT_TRUE(data.Connect(ticket.port));
        ASSERT_EQ(data.UploadBlock(ticket.token, 0, content.substr(0, 32768)), ResBlockAccepted);
    }
    sync_.Close();
    ASSERT_TRUE(server_.Restart());
    TestClient data;
    ASSERT_TRUE(data.Connect(server_.data_port()));
    ASSERT_EQ(data.UploadBlock(ticket.token, 32768, content.substr(32768)), ResBlockAccepted);
    ASSERT_EQ(data.FinishUpload(ticket.token), ResUploadComplete);
    ASSERT_TRUE(sync_.Connect(server_.sync_port()));
    ASSERT_EQ(sync_.SignOn("demo", "demo123"), ResSignedOn);
    EXPECT_EQ(sync_.LookupEntry(0, "later"), ResEntryFound);
}

TEST(UploadExpiry, ExpiredTicketsAreRefused)
{
    ServerConfig config;
    config.ticket_lifetime_seconds = 1;
    TestServer server(config);
    ASSERT_TRUE(server.ok());
    TestClient sync;
    ASSERT_TRUE(sync.Connect(server.sync_port()));
    ASSERT_EQ(sync.SignOn("demo", "demo123"), ResSignedOn);
    TicketReply ticket;
    ASSERT_EQ(sync.BeginUpload(0, "x", 3, Md5Hex("abc"), &ticket), ResTicketGranted);
    TestClient data;
    ASSERT_TRUE(data.Connect(ticket.port));
    // Ticket times are kept in whole seconds.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int result = ResBlockAccepted;
    while (result == ResBlockAccepted && std::chrono::steady_clock::now() < deadline) {
        result = data.UploadBlock(ticket.token, 0, "abc");
        if (result == ResBlockAccepted)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(result, ResTicketInvalid);
    // The next ticket request clears the expired one's part file away.
    ASSERT_TRUE(std::filesystem::exists(server.app().store().PartPath(ticket.token)));
    ASSERT_EQ(sync.BeginUpload(0, "y", 3, Md5Hex("def")), ResTicketGranted);
    EXPECT_FALSE(std::filesystem::exists(server.app().store().PartPath(ticket.token)));
}

}  // namespace
}  // namespace Tessel
