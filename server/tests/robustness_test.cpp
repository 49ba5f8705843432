// Hostile and broken input: no crash, no hang, no effect on stored data,
// and no effect on other connections.
#include "crypto.h"
#include "log.h"
#include "test_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>

namespace Tessel {
namespace {

// Mutated sign-ons fail by the hundred here; the guard against guessing
// would slow them down to no purpose.
ServerConfig WithoutGuessingGuard()
{
    ServerConfig config;
    config.sign_on.free_failures = 1000000;
    return config;
}

class RobustnessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server_.ok());
        ASSERT_TRUE(witness_.Connect(server_.sync_port()));
        ASSERT_EQ(witness_.SignOn("demo", "demo123"), ResSignedOn);
        ASSERT_EQ(witness_.CreateFolder(0, "keep", &folder_), ResFolderCreated);
    }

    // The stored data and the witness connection are as before.
    void ExpectIntact()
    {
        std::vector<EntryRecord> root;
        ASSERT_EQ(witness_.ListFolder(0, &root), ResFolderListed);
        ASSERT_EQ(root.size(), 1u);
        EXPECT_EQ(root[0].id, folder_);
        EXPECT_EQ(root[0].name, "keep");
    }

    TestServer server_{WithoutGuessingGuard()};
    TestClient witness_;
    int32_t folder_ = 0;
};

TEST_F(RobustnessTest, FramingFaultsCloseOnlyTheirConnection)
{
    const Bytes good = BuildRequest(1, CmdListFolder, Bytes(8, 0));
    std::vector<Bytes> faults;
    Bytes bad = good;
    bad[0] = 0x99;  // magic
    faults.push_back(bad);
    bad = good;
    bad[4] = 1;  // version
    faults.push_back(bad);
    bad = good;
    bad[6] = 2;  // a reply, not a request
    faults.push_back(bad);
    bad = good;
    bad[8] = 0xFF;
    bad[9] = 0xFF;
    bad[10] = 0xFF;
    bad[11] = 0x7F;  // two gigabytes announced
    faults.push_back(bad);
    faults.push_back(Bytes(26, 0));
    for (const Bytes& fault : faults) {
        TestClient client;
        ASSERT_TRUE(client.Connect(server_.sync_port()));
        ASSERT_TRUE(client.SendRaw(fault));
        EXPECT_TRUE(client.WaitClosed(5000));
    }
    ExpectIntact();
}

TEST_F(RobustnessTest, ABadChecksumDropsOnlyThatRequest)
{
    Bytes bad = BuildRequest(9, CmdCreateFolder, Bytes{0, 0, 0, 0, 1, 0, 'z'});
    bad[27] ^= 0x40;
    ASSERT_TRUE(witness_.SendRaw(bad));
    std::vector<EntryRecord> root;
    ASSERT_EQ(witness_.ListFolder(0, &root), ResFolderListed) << "the connection goes on";
    ExpectIntact();
}

TEST_F(RobustnessTest, SplitRequestsAreAssembled)
{
    const Bytes packet = BuildRequest(42, CmdListFolder, Bytes(8, 0));
    ASSERT_TRUE(witness_.SendRaw(packet.data(), 1));
    ASSERT_TRUE(witness_.SendRaw(packet.data() + 1, 15));
    ASSERT_TRUE(witness_.SendRaw(packet.data() + 16, packet.size() - 16));
    ReplyView reply;
    ASSERT_TRUE(witness_.ReadReply(reply));
    EXPECT_EQ(reply.sequence, 42u);
    EXPECT_EQ(reply.result, ResFolderListed);
}

TEST_F(RobustnessTest, OversizedBlocksCloseTheDataConnection)
{
    TicketReply ticket;
    ASSERT_EQ(witness_.BeginUpload(0, "f", 10, Md5Hex("0123456789"), &ticket), ResTicketGranted);
    TestClient data;
    ASSERT_TRUE(data.Connect(ticket.port));
    PayloadWriter out;
    out.Fixed(ticket.token, kTokenSize);
    out.U64(0);
    out.U32(0xFFFFFFFFu);
    ASSERT_TRUE(data.SendRaw(BuildRequest(1, CmdUploadBlock, out.Take())));
    ReplyView reply;
    ASSERT_TRUE(data.ReadReply(reply));
    EXPECT_EQ(reply.result, ResTicketInvalid);
    EXPECT_TRUE(data.WaitClosed(5000));
    TestClient again;
    ASSERT_TRUE(again.Connect(ticket.port));
    EXPECT_EQ(again.UploadBlock(ticket.token, 0, "0123456789"), ResBlockAccepted) << "the ticket is unharmed";
    EXPECT_EQ(again.FinishUpload(ticket.token), ResUploadComplete);
}

// Well-formed payloads of every command with random bytes changed; the
// checksum is recomputed so that each one reaches its handler.
TEST_F(RobustnessTest, MutatedRequestsLeaveDataIntact)
{
    auto text = [](PayloadWriter& w, const std::string& t) { w.Text(t); };
    std::vector<std::pair<uint16_t, Bytes>> seeds;
    {
        PayloadWriter w;
        w.U8(5);
        w.U8(32);
        w.U32(0);
        text(w, "small");
        text(w, Md5Hex("small123"));
        seeds.emplace_back(CmdSignOn, w.Take());
    }
    {
        PayloadWriter w;
        w.U32(static_cast<uint32_t>(folder_));
        w.U16(4);
        w.U16(4);
        text(w, "keep");
        text(w, "gone");
        seeds.emplace_back(CmdRenameEntry, w.Take());
    }
    {
        PayloadWriter w;
        w.U32(0);
        w.U32(1);
        w.U32(static_cast<uint32_t>(folder_));
        seeds.emplace_back(CmdDeleteEntries, w.Take());
    }
    {
        PayloadWriter w;
        w.U32(static_cast<uint32_t>(folder_));
        w.U16(3);
        text(w, "new");
        seeds.emplace_back(CmdCreateFolder, w.Take());
        seeds.emplace_back(CmdLookupEntry, seeds.back().second);
    }
    {
        PayloadWriter w;
        w.U16(1);
        w.U32(0);
        w.U64(5);
        text(w, Md5Hex("hello"));
        text(w, "u");
        seeds.emplace_back(CmdBeginUpload, w.Take());
    }
    {
        PayloadWriter w;
        w.U32(static_cast<uint32_t>(folder_));
        w.U32(0);
        seeds.emplace_back(CmdListFolder, w.Take());
    }

    std::mt19937 random(12345);
    TestClient fuzz;
    ASSERT_TRUE(fuzz.Connect(server_.sync_port()));
    ASSERT_EQ(fuzz.SignOn("small", "small123"), ResSignedOn);
    for (int i = 0; i < 600; ++i) {
        const auto& seed = seeds[random() % seeds.size()];
        Bytes payload = seed.second;
        const int flips = 1 + static_cast<int>(random() % 3);
        for (int f = 0; f < flips && !payload.empty(); ++f)
            payload[random() % payload.size()] = static_cast<uint8_t>(random());
        if (random() % 8 == 0)
            payload.resize(random() % (payload.size() + 8));
        const int result = fuzz.Exchange(seed.first, payload);
        if (result == 0) {
            // A refusal that closes the link is allowed; start over.
            ASSERT_TRUE(fuzz.Connect(server_.sync_port()));
            ASSERT_EQ(fuzz.SignOn("small", "small123"), ResSignedOn);
        }
    }
    ExpectIntact();
}

TEST(Idle, IdleConnectionsAreClosed)
{
    ServerConfig config;
    config.idle_timeout = std::chrono::seconds(1);
    TestServer server(config);
    ASSERT_TRUE(server.ok());
    TestClient idle, half;
    ASSERT_TRUE(idle.Connect(server.sync_port()));
    ASSERT_TRUE(half.Connect(server.data_port()));
    const Bytes packet = BuildRequest(1, CmdListFolder, Bytes(8, 0));
    ASSERT_TRUE(half.SendRaw(packet.data(), 10));  // a request that never completes
    EXPECT_TRUE(idle.WaitClosed(5000));
    EXPECT_TRUE(half.WaitClosed(5000));
}

class LimitsTest : public ::testing::Test {
protected:
    void Start(size_t per_address, size_t total, std::chrono::seconds crowded_idle)
    {
        ServerConfig config;
        config.max_per_address = per_address;
        config.max_connections = total;
        config.crowded_idle_timeout = crowded_idle;
        server_ = std::make_unique<TestServer>(config);
        ASSERT_TRUE(server_->ok());
    }

    // A connection the server has taken in: it answered a request on it.
    bool OpenSignedOn(const char* source)
    {
        open_.push_back(std::make_unique<TestClient>());
        return open_.back()->Connect(server_->sync_port(), source) &&
               open_.back()->SignOn("demo", "demo123") == ResSignedOn;
    }

    bool Refused(uint16_t port, const char* source)
    {
        TestClient client;
        return client.Connect(port, source) && client.WaitClosed(5000);
    }

    std::unique_ptr<TestServer> server_;
    std::vector<std::unique_ptr<TestClient>> open_;
};

TEST_F(LimitsTest, ConnectionsAreCappedPerAddressAndInTotal)
{
    Start(5, 12, std::chrono::seconds(600));
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(OpenSignedOn("127.0.0.2"));
    EXPECT_TRUE(Refused(server_->data_port(), "127.0.0.2")) << "sync and data connections count together";
    EXPECT_TRUE(Refused(server_->sync_port(), "127.0.0.2"));
    for (int i = 0; i < 7; ++i)
        ASSERT_TRUE(OpenSignedOn(i < 4 ? "127.0.0.3" : "127.0.0.4"));
    EXPECT_TRUE(Refused(server_->sync_port(), "127.0.0.5")) << "the server has no more room";
    open_.pop_back();
    TestClient late;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool signed_on = false;
    while (!signed_on && std::chrono::steady_clock::now() < deadline)
        signed_on = late.Connect(server_->sync_port(), "127.0.0.5") && late.SignOn("demo", "demo123") == ResSignedOn;
    EXPECT_TRUE(signed_on) << "a closed connection gives its place back";
}

TEST_F(LimitsTest, IdleConnectionsGoSoonerWhenTheServerIsCrowded)
{
    Start(64, 8, std::chrono::seconds(1));
    for (int i = 0; i < 7; ++i)
        ASSERT_TRUE(OpenSignedOn("127.0.0.2"));
    bool one_closed = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!one_closed && std::chrono::steady_clock::now() < deadline)
        for (auto& client : open_)
            one_closed = one_closed || client->WaitClosed(20);
    EXPECT_TRUE(one_closed) << "past three quarters of the limit, idle connections are closed after a second";
}

// Accepting again at once after a failed accept (no descriptors left)
// would spin and flood the log: the waits double, and one line tells.
TEST(Limits, FailedAcceptsAreRetriedAfterGrowingWaitsAndLoggedOnce)
{
    asio::io_context io;
    AcceptBackoff backoff(io);
    SetLogEnabled(true);
    testing::internal::CaptureStderr();
    std::vector<std::chrono::steady_clock::duration> waits;
    for (int i = 0; i < 6; ++i) {
        const auto start = std::chrono::steady_clock::now();
        bool again = false;
        backoff.Failed("sync", std::make_error_code(std::errc::too_many_files_open), [&] { again = true; });
        io.restart();
        io.run();
        ASSERT_TRUE(again);
        waits.push_back(std::chrono::steady_clock::now() - start);
    }
    const std::string log = testing::internal::GetCapturedStderr();
    SetLogEnabled(false);
    EXPECT_GE(waits[0], std::chrono::milliseconds(50));
    EXPECT_GE(waits[5], std::chrono::milliseconds(1600)) << "50, 100, 200, 400, 800, 1600 ms";
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
}

TEST(Concurrency, ManyClientsAtOnce)
{
    TestServer server;
    ASSERT_TRUE(server.ok());
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            TestClient client;
            if (!client.Connect(server.sync_port()) || client.SignOn("demo", "demo123") != ResSignedOn) {
                ++failures;
                return;
            }
            int32_t folder = 0;
            if (client.CreateFolder(0, "t" + std::to_string(t), &folder) != ResFolderCreated)
                ++failures;
            for (int i = 0; i < 20; ++i) {
                const std::string content = "thread " + std::to_string(t) + " file " + std::to_string(i);
                if (UploadFile(client, server.data_port(), folder, "f" + std::to_string(i), content) !=
                    ResUploadComplete)
                    ++failures;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
    TestClient check;
    ASSERT_TRUE(check.Connect(server.sync_port()));
    ASSERT_EQ(check.SignOn("demo", "demo123"), ResSignedOn);
    std::vector<EntryRecord> root;
    ASSERT_EQ(check.ListFolder(0, &root), ResFolderListed);
    EXPECT_EQ(root.size(), 8u);
    std::vector<EntryRecord> some;
    ASSERT_EQ(check.ListFolder(root[0].id, &some), ResFolderListed);
    EXPECT_EQ(some.size(), 20u);
}

}  // namespace
}  // namespace Tessel

namespace Tessel {
namespace {

TEST(Listening, TakesTheFirstFreePortOfTheList)
{
    asio::io_context io;
    asio::ip::tcp::acceptor busy(io, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    const uint16_t taken = busy.local_endpoint().port();
    TestServer first;
    ASSERT_TRUE(first.ok());

    ConnectionCounter counter(100);
    AddressGate gate(counter, 10);
    PacketServer server(io, "sync", [](const PeerInfo&) { return std::unique_ptr<ConnectionHandler>(); },
                        IdleLimits{}, gate);
    std::string error;
    ASSERT_TRUE(server.Listen("127.0.0.1", {taken, first.data_port(), 0}, error));
    EXPECT_NE(server.port(), taken);
    EXPECT_NE(server.port(), first.data_port());
    PacketServer none(io, "sync", [](const PeerInfo&) { return std::unique_ptr<ConnectionHandler>(); },
                      IdleLimits{}, gate);
    EXPECT_FALSE(none.Listen("127.0.0.1", {taken}, error));
    EXPECT_FALSE(error.empty());
}

TEST(Listening, AServerWhosePortsAreTakenDoesNotStart)
{
    TestServer first;
    ASSERT_TRUE(first.ok());
    ServerConfig config;
    config.data_dir = first.dir() + "/data";
    config.sync_ports = {0};
    config.data_port = first.data_port();
    config.http_port = 0;
    ServerApp second;
    std::string error;
    EXPECT_FALSE(second.Start(config, error));
    EXPECT_NE(error.find("data"), std::string::npos) << error;
}

}  // namespace
}  // namespace Tessel
