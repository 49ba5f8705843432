#include "client/net/requests.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "client/net/request_manager.h"
#include "client/net/session_values.h"
#include "client/net/tests/test_app_host.h"
#include "client/net/tests/test_peer.h"
#include "common/tests/test_support.h"
#include "common/tests/wire_builders.h"

namespace Net {
namespace {

using NetTest::CTestPeer;
using NetTest::PeerRequest;

// The main server of these tests: answers each command with the reply the
// test put in place.
class RequestsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        peer_ = std::make_unique<CTestPeer>([this](CTestPeer& peer, const PeerRequest& request) {
            std::lock_guard<std::mutex> hold(lock_);
            auto found = answers_.find(request.command);
            if (found != answers_.end())
                peer.Answer(request, found->second.first, found->second.second);
        });
        SetServerForTesting("127.0.0.1", {peer_->Port()});
        ASSERT_TRUE(StartMainConnection());
    }
    void TearDown() override
    {
        StopConnections();
        SetServerForTesting({}, {});
        ClearSession();
    }
    void AnswerWith(uint16_t command, uint16_t result, const Bytes& payload = {})
    {
        std::lock_guard<std::mutex> hold(lock_);
        answers_[command] = {result, payload};
    }
    PeerRequest LastRequest()
    {
        const auto requests = peer_->Requests();
        return requests.empty() ? PeerRequest{} : requests.back();
    }

    std::unique_ptr<CTestPeer> peer_;
    std::mutex lock_;
    std::map<uint16_t, std::pair<uint16_t, Bytes>> answers_;
};

Bytes SessionPayload(uint32_t user_id, char key_fill)
{
    Bytes payload(40, 0);
    WriteU32(&payload[0], user_id);
    std::memset(&payload[4], key_fill, 32);
    payload[36] = 10;
    payload[39] = 3;
    return payload;
}

TEST_F(RequestsTest, SignOnSendsNameAndDigestAndKeepsTheSession)
{
    AnswerWith(CmdSignOn, 101, SessionPayload(42, 'K'));
    EXPECT_EQ(SignOn(L"ab", L"0123456789abcdef0123456789abcdef"), 101);
    const PeerRequest request = LastRequest();
    ASSERT_EQ(request.packet.size(), 66u);
    EXPECT_EQ(ReadU32(&request.packet[22]), 40u);
    EXPECT_EQ(request.packet[26], 2);
    EXPECT_EQ(request.packet[27], 32);
    EXPECT_EQ(std::string(request.packet.begin() + 32, request.packet.end()),
              "ab0123456789abcdef0123456789abcdef");
    EXPECT_EQ(CurrentSession().user_id, 42u);
    EXPECT_EQ(CurrentSession().session_key[0], 'K');

    // A short session block is a failure and leaves the stored one.
    Bytes short_payload = SessionPayload(43, 'L');
    short_payload.pop_back();
    AnswerWith(CmdSignOn, 101, short_payload);
    EXPECT_EQ(SignOn(L"ab", L"0123456789abcdef0123456789abcdef"), 0);
    EXPECT_EQ(CurrentSession().user_id, 42u);

    AnswerWith(CmdSignOn, 103);
    EXPECT_EQ(SignOn(L"ab", L"0123456789abcdef0123456789abcdef"), 103);
    EXPECT_EQ(SignOn(L"", L"0123456789abcdef0123456789abcdef"), 0);
    EXPECT_EQ(SignOn(nullptr, L"x"), 0);
}

TEST_F(RequestsTest, AccountInfoAndSignOffCarryTheSession)
{
    AnswerWith(CmdSignOn, 101, SessionPayload(7, 'S'));
    ASSERT_EQ(SignOn(L"user", L"d"), 101);

    Bytes space(24, 0);
    WriteU64(&space[0], 5000);
    WriteU64(&space[8], 1200);
    AnswerWith(CmdAccountInfo, 201, space);
    EXPECT_EQ(AccountInfo(), 201);
    PeerRequest request = LastRequest();
    ASSERT_EQ(request.packet.size(), 62u);
    EXPECT_EQ(ReadU32(&request.packet[26]), 7u);
    EXPECT_EQ(request.packet[30], 'S');
    EXPECT_EQ(CurrentAccountSpace().total, 5000u);
    EXPECT_EQ(CurrentAccountSpace().free, 1200u);

    AnswerWith(CmdAccountInfo, 201, Bytes(16, 9));
    EXPECT_EQ(AccountInfo(), 0);
    EXPECT_EQ(CurrentAccountSpace().total, 5000u);

    AnswerWith(CmdSignOff, 555);
    EXPECT_EQ(SignOff(), 555);
    request = LastRequest();
    EXPECT_EQ(request.command, CmdSignOff);
    EXPECT_EQ(ReadU32(&request.packet[26]), 7u);
}

// The requests the peer received on one of its connections, in order.
std::vector<uint16_t> CommandsOn(const std::vector<PeerRequest>& requests, int connection)
{
    std::vector<uint16_t> commands;
    for (const PeerRequest& request : requests)
        if (request.connection == connection)
            commands.push_back(request.command);
    return commands;
}

// A retried first request may go out twice on the same connection; what matters is that
// nothing but listings went out on it.
bool OnlyListingsOn(const std::vector<PeerRequest>& requests, int connection)
{
    const std::vector<uint16_t> commands = CommandsOn(requests, connection);
    return !commands.empty() &&
           std::all_of(commands.begin(), commands.end(), [](uint16_t c) { return c == CmdListFolder; });
}

const wchar_t kDigest[] = L"0123456789abcdef0123456789abcdef";

// The first request after a loss may still meet the dropped link.
int ListAfterReconnect()
{
    std::vector<RemoteEntry> entries;
    int listed = 0;
    for (int attempt = 0; attempt < 3 && listed != 301; ++attempt)
        listed = ListFolder(0, &entries);
    return listed;
}

TEST_F(RequestsTest, ANewMainConnectionSignsOnAgainBeforeAnythingElse)
{
    AnswerWith(CmdSignOn, 101, SessionPayload(42, 'K'));
    ASSERT_EQ(SignOn(L"ab", kDigest), 101);
    const Bytes first_sign_on = LastRequest().packet;
    AnswerWith(CmdSignOn, 101, SessionPayload(42, 'N'));
    AnswerWith(CmdListFolder, 301, WireTest::MakeListing({}));
    peer_->Drop();
    ASSERT_TRUE(peer_->WaitForConnections(2, 10000));

    ASSERT_EQ(ListAfterReconnect(), 301);
    const auto requests = peer_->Requests();
    const std::vector<uint16_t> second = CommandsOn(requests, 2);
    ASSERT_GE(second.size(), 2u);
    EXPECT_EQ(second[0], CmdSignOn);
    EXPECT_EQ(second.back(), CmdListFolder);
    for (const PeerRequest& request : requests) {
        if (request.connection == 2 && request.command == CmdSignOn) {
            EXPECT_EQ(Bytes(request.packet.begin() + 26, request.packet.end()),
                      Bytes(first_sign_on.begin() + 26, first_sign_on.end()))
                << "the same name and digest";
        }
    }
    EXPECT_EQ(CurrentSession().session_key[0], 'N') << "the new session is the one in use";
}

TEST_F(RequestsTest, NoSignOnOnANewConnectionAfterASignOff)
{
    AnswerWith(CmdSignOn, 101, SessionPayload(42, 'K'));
    ASSERT_EQ(SignOn(L"ab", kDigest), 101);
    AnswerWith(CmdSignOff, 102);
    ASSERT_EQ(SignOff(), 102);
    AnswerWith(CmdListFolder, 301, WireTest::MakeListing({}));
    peer_->Drop();
    ASSERT_TRUE(peer_->WaitForConnections(2, 10000));
    ASSERT_EQ(ListAfterReconnect(), 301);
    EXPECT_TRUE(OnlyListingsOn(peer_->Requests(), 2));
}

TEST_F(RequestsTest, ARefusedSignOnAfterAReconnectRejectsTheCredential)
{
    NetTest::CTestAppHost host(Helper::AppState::Synced);
    AnswerWith(CmdSignOn, 101, SessionPayload(42, 'K'));
    ASSERT_EQ(SignOn(L"ab", kDigest), 101);
    AnswerWith(CmdSignOn, 103);
    peer_->Drop();
    ASSERT_TRUE(peer_->WaitForConnections(2, 10000));
    EXPECT_TRUE(Testing::WaitFor([&] { return host.GetState() == Helper::AppState::CredentialsRejected; }));
    // The refresh follows on a thread of its own.
    EXPECT_TRUE(Testing::WaitFor([&] { return !host.Refreshed().empty(); }));
    EXPECT_EQ(host.Refreshed(), std::vector<Helper::AppState>{Helper::AppState::Synced});
    EXPECT_EQ(CommandsOn(peer_->Requests(), 2), std::vector<uint16_t>{CmdSignOn});

    // The refused credential is not tried again.
    AnswerWith(CmdListFolder, 301, WireTest::MakeListing({}));
    peer_->Drop();
    ASSERT_TRUE(peer_->WaitForConnections(3, 10000));
    ASSERT_EQ(ListAfterReconnect(), 301);
    EXPECT_TRUE(OnlyListingsOn(peer_->Requests(), 3));
}

TEST_F(RequestsTest, ListFolderDecodesAndDropsUnsafeNames)
{
    WireTest::RecordFields file;
    file.id = 20;
    file.parent_id = 4;
    file.kind = 1;
    file.size = 99;
    file.update_time = 1234;
    file.name = "\xe6\x8a\xa5\xe5\x91\x8a.txt";
    file.address = "http://127.0.0.1:8765/d/20?k=";
    WireTest::RecordFields escape;
    escape.id = 21;
    escape.parent_id = 4;
    escape.name = "..";
    WireTest::RecordFields nested;
    nested.id = 22;
    nested.parent_id = 4;
    nested.name = "a\\..\\b";
    AnswerWith(CmdListFolder, 301, WireTest::MakeListing({file, escape, nested}));

    std::vector<RemoteEntry> entries;
    ASSERT_EQ(ListFolder(4, &entries), 301);
    ASSERT_EQ(entries.size(), 1u);
    const Sync::SyncEntry& entry = entries[0].entry;
    EXPECT_EQ(entry.id, 20);
    EXPECT_EQ(entry.parent_id, 4);
    EXPECT_EQ(entry.is_file, 1u);
    EXPECT_EQ(entry.size, 99u);
    EXPECT_EQ(entry.update_time, 1234);
    EXPECT_EQ(entry.name, L"\x62a5\x544a.txt");
    EXPECT_EQ(entries[0].url, L"http://127.0.0.1:8765/d/20?k=");
    EXPECT_EQ(std::string(entry.md5, 32), file.md5);
    EXPECT_EQ(entry.upload_offset, 0u);
    EXPECT_EQ(entry.path[0], L'\0');

    AnswerWith(CmdListFolder, 301, WireTest::MakeListing({}));
    EXPECT_EQ(ListFolder(4, &entries), 301);
    EXPECT_TRUE(entries.empty());

    WireTest::RecordFields bad_kind = file;
    bad_kind.kind = 2;
    AnswerWith(CmdListFolder, 301, WireTest::MakeListing({file, bad_kind}));
    EXPECT_EQ(ListFolder(4, &entries), 0);
    EXPECT_TRUE(entries.empty());
}

TEST_F(RequestsTest, FolderAndEntryCommands)
{
    Bytes created(8, 0);
    WriteU32(&created[0], 5);
    WriteU32(&created[4], 66);
    AnswerWith(CmdCreateFolder, 303, created);
    int32_t id = 0;
    EXPECT_EQ(CreateFolder(5, L"new", &id), 303);
    EXPECT_EQ(id, 66);
    EXPECT_EQ(CreateFolder(6, L"new", &id), 0);  // the echo names another parent
    EXPECT_EQ(CreateFolder(5, L"", &id), 0);
    AnswerWith(CmdCreateFolder, 311);
    EXPECT_EQ(CreateFolder(5, L"new", &id), 311);

    WireTest::RecordFields found;
    found.id = 31;
    found.parent_id = 5;
    found.name = "doc";
    AnswerWith(CmdLookupEntry, 315, WireTest::MakeRecord(found));
    RemoteEntry entry;
    EXPECT_EQ(LookupEntry(L"doc", 5, &entry), 315);
    EXPECT_EQ(entry.entry.id, 31);
    EXPECT_EQ(entry.entry.name, L"doc");
    AnswerWith(CmdLookupEntry, 315, Bytes(59, 0));
    EXPECT_EQ(LookupEntry(L"doc", 5, &entry), 0);
    AnswerWith(CmdLookupEntry, 316);
    EXPECT_EQ(LookupEntry(L"doc", 5, &entry), 316);

    AnswerWith(CmdRenameEntry, 306);
    EXPECT_EQ(RenameEntry(L"old", 31, L"new"), 306);
    EXPECT_EQ(LastRequest().packet.size(), 40u);

    AnswerWith(CmdDeleteEntries, 307);
    const int32_t ids[] = {31};
    EXPECT_EQ(DeleteEntries(1, 5, ids), 307);
    EXPECT_EQ(LastRequest().packet.size(), 38u);
    EXPECT_EQ(DeleteEntries(1, 5, nullptr), 0);
}

TEST_F(RequestsTest, UploadGoesOverTheTicketsDataConnection)
{
    std::mutex data_lock;
    uint16_t block_result = 324;
    CTestPeer data([&](CTestPeer& peer, const PeerRequest& request) {
        std::lock_guard<std::mutex> hold(data_lock);
        peer.Answer(request, request.command == CmdUploadBlock ? block_result : 327);
    });
    Bytes ticket_payload(38, 0);
    std::memset(&ticket_payload[0], 'T', 32);
    WriteU16(&ticket_payload[32], data.Port());
    const uint8_t loopback_reversed[4] = {1, 0, 0, 127};
    std::memcpy(&ticket_payload[34], loopback_reversed, 4);
    AnswerWith(CmdBeginUpload, 317, ticket_payload);

    const char md5[33] = "0123456789abcdef0123456789abcdef";
    UploadTicket ticket;
    ASSERT_EQ(BeginUpload(md5, L"f.bin", 3, 70000, &ticket), 317);
    EXPECT_EQ(ticket.address, 0x7F000001u);
    EXPECT_EQ(ticket.port, data.Port());
    EXPECT_TRUE(DataConnection().IsRunning());
    EXPECT_EQ(LastRequest().packet.size(), 77u);

    Sync::SyncEntry entry;
    StoreTicket(ticket, &entry);
    EXPECT_EQ(entry.upload_address, 0x7F000001u);
    const UploadTicket kept = TicketOf(entry);
    EXPECT_EQ(std::memcmp(kept.token, ticket.token, 32), 0);

    std::vector<uint8_t> block(32768);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(UploadBlock(kept, 0, 32768, block.data()), 324);
    EXPECT_EQ(UploadBlock(kept, 32768, 32768, block.data()), 324);
    auto requests = data.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].packet.size(), 70u);
    EXPECT_EQ(ReadU64(&requests[1].packet[58]), 32768u);
    EXPECT_EQ(requests[1].block, block);
    EXPECT_EQ(requests[1].packet[26], 'T');

    {
        std::lock_guard<std::mutex> hold(data_lock);
        block_result = 326;
    }
    EXPECT_EQ(UploadBlock(kept, 65536, 100, block.data()), 326);
    EXPECT_FALSE(DataConnection().IsRunning());

    // The next exchange starts the data connection again on its own.
    EXPECT_EQ(FinishUpload(kept), 327);
    EXPECT_FALSE(DataConnection().IsRunning());
    EXPECT_EQ(data.Requests().back().packet.size(), 58u);
}

}  // namespace
}  // namespace Net
