#include "client/net/request_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "client/net/session.h"
#include "client/net/tests/test_app_host.h"
#include "client/net/tests/test_peer.h"
#include "common/tests/wire_builders.h"
#include "common/tray_contract.h"

namespace Net {
namespace {

using NetTest::CTestPeer;
using NetTest::PeerRequest;

void AnswerAtOnce(CTestPeer& peer, const PeerRequest& request)
{
    peer.Answer(request, 315, Bytes{1, 2, 3});
}

void Ignore(CTestPeer&, const PeerRequest&) {}

class RequestManagerTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        StopConnections();
        SetServerForTesting({}, {});
        SetSessionHooks({});
    }
};

TEST_F(RequestManagerTest, RoundTripDeliversResultAndPayload)
{
    CTestPeer peer(AnswerAtOnce);
    CRequestManager manager;
    ASSERT_TRUE(manager.Start({"127.0.0.1"}, {peer.Port()}, false));
    EXPECT_EQ(manager.Channel().State() == LinkDown, false);
    Bytes packet = BuildLookupEntry(1, "x");
    EXPECT_EQ(manager.SendAndWait(&packet, 0, 2000, 0), 315);
    EXPECT_EQ(packet, (Bytes{1, 2, 3}));
    manager.Stop();
    Bytes after = BuildLookupEntry(1, "x");
    EXPECT_EQ(manager.SendAndWait(&after, 0, 2000, 0), -1);
}

TEST_F(RequestManagerTest, MainConnectionFindsTheFifthPort)
{
    // The real port list, with only 7066 answering; skipped where another
    // server holds one of these ports.
    for (uint16_t port : {6666, 6766, 6866, 6966}) {
        CCommonSocket probe;
        if (probe.Connect("127.0.0.1", port)) {
            probe.Close();
            GTEST_SKIP() << "port " << port << " is in use";
        }
    }
    CTestPeer peer(AnswerAtOnce, 7066);
    if (!peer.Listening())
        GTEST_SKIP() << "port 7066 is in use";
    SetServerForTesting("127.0.0.1", {});
    ASSERT_TRUE(StartMainConnection());
    EXPECT_FALSE(IsMainLinkDown());
    EXPECT_TRUE(peer.WaitForConnections(1, 3000));
    EXPECT_EQ(peer.Connections(), 1);
}

TEST_F(RequestManagerTest, PortListIsTriedInOrder)
{
    CTestPeer peer(AnswerAtOnce);
    SetServerForTesting("127.0.0.1", {NetTest::UnusedPort(), NetTest::UnusedPort(), peer.Port()});
    ASSERT_TRUE(StartMainConnection());
    EXPECT_FALSE(IsMainLinkDown());
    Bytes packet = BuildLookupEntry(1, "y");
    EXPECT_EQ(MainConnection().SendAndWait(&packet, 0, 2000, 0), 315);
}

TEST_F(RequestManagerTest, IdenticalPacketsWaitingTogetherGoOutOnce)
{
    const uint16_t port = NetTest::UnusedPort();
    CRequestManager manager;
    ASSERT_TRUE(manager.Start({"127.0.0.1"}, {port}, false));
    ASSERT_EQ(manager.Channel().State(), LinkDown);
    const Bytes packet = BuildListFolder(4);
    Bytes first = packet;
    Bytes second = packet;
    EXPECT_EQ(manager.SendAndWait(&first, 0, 0, 0), static_cast<int>(PacketSequence(packet)));
    EXPECT_EQ(manager.SendAndWait(&second, 0, 0, 0), static_cast<int>(PacketSequence(packet)));
    Bytes other = BuildListFolder(5);
    manager.SendAndWait(&other, 0, 0, 0);

    CTestPeer peer(Ignore, port);
    ASSERT_TRUE(peer.Listening());
    ASSERT_TRUE(peer.WaitForRequests(2, 5000));
    EXPECT_FALSE(peer.WaitForRequests(3, 300));
    const auto requests = peer.Requests();
    EXPECT_EQ(requests[0].packet, packet);
    EXPECT_EQ(ReadU32(&requests[1].packet[26]), 5u);
}

TEST_F(RequestManagerTest, SplitAndMergedRepliesAreAssembled)
{
    CTestPeer peer([](CTestPeer& p, const PeerRequest& request) {
        const Bytes reply = WireTest::MakeReply(request.sequence, request.command, 301, Bytes(4, 0));
        if (ReadU32(&request.packet[26]) == 1) {
            p.Send(Bytes(reply.begin(), reply.begin() + 1));
            Sleep(30);
            p.Send(Bytes(reply.begin() + 1, reply.begin() + 16));
            Sleep(30);
            p.Send(Bytes(reply.begin() + 16, reply.end()));
        }
    });
    CRequestManager manager;
    ASSERT_TRUE(manager.Start({"127.0.0.1"}, {peer.Port()}, false));
    Bytes split = BuildListFolder(1);
    EXPECT_EQ(manager.SendAndWait(&split, 0, 3000, 0), 301);
    EXPECT_EQ(split.size(), 4u);

    // Two replies in one chunk: the peer answers the second request with
    // both replies at once.
    Bytes a = BuildListFolder(2);
    Bytes b = BuildListFolder(3);
    const uint32_t seq_a = PacketSequence(a);
    const uint32_t seq_b = PacketSequence(b);
    auto first = std::async(std::launch::async, [&] { return manager.SendAndWait(&a, 0, 3000, 0); });
    auto second = std::async(std::launch::async, [&] { return manager.SendAndWait(&b, 0, 3000, 0); });
    ASSERT_TRUE(peer.WaitForRequests(3, 3000));
    Bytes both = WireTest::MakeReply(seq_a, CmdListFolder, 301, Bytes(4, 1));
    const Bytes reply_b = WireTest::MakeReply(seq_b, CmdListFolder, 301, Bytes(4, 2));
    both.insert(both.end(), reply_b.begin(), reply_b.end());
    peer.Send(both);
    EXPECT_EQ(first.get(), 301);
    EXPECT_EQ(second.get(), 301);
    EXPECT_EQ(a, Bytes(4, 1));
    EXPECT_EQ(b, Bytes(4, 2));
}

TEST_F(RequestManagerTest, ReplyOnANewConnectionIsNotDelivered)
{
    std::atomic<int> seen{0};
    CTestPeer peer([&](CTestPeer&, const PeerRequest&) { ++seen; });
    CRequestManager manager;
    ASSERT_TRUE(manager.Start({"127.0.0.1"}, {peer.Port()}, false));
    Bytes a = BuildListFolder(7);
    Bytes b = BuildListFolder(8);
    const uint32_t seq_a = PacketSequence(a);
    const uint32_t seq_b = PacketSequence(b);
    auto first = std::async(std::launch::async, [&] { return manager.SendAndWait(&a, 0, 1500, 0); });
    auto second = std::async(std::launch::async, [&] { return manager.SendAndWait(&b, 0, 1500, 0); });
    ASSERT_TRUE(peer.WaitForRequests(2, 3000));
    peer.Drop();
    ASSERT_TRUE(peer.WaitForConnections(2, 5000));
    Bytes replies = WireTest::MakeReply(seq_a, CmdListFolder, 301, {});
    const Bytes reply_b = WireTest::MakeReply(seq_b, CmdListFolder, 301, {});
    replies.insert(replies.end(), reply_b.begin(), reply_b.end());
    peer.Send(replies);
    const int results[] = {first.get(), second.get()};
    // The lost link wakes one waiter; the other runs into its timeout. No
    // reply of the new connection reaches either.
    EXPECT_TRUE(results[0] == 0 || results[1] == 0) << results[0] << " " << results[1];
    EXPECT_LE(results[0], 0);
    EXPECT_LE(results[1], 0);
}

TEST_F(RequestManagerTest, TimeoutCountsFromTheLastReceipt)
{
    CTestPeer peer(Ignore);
    CRequestManager manager;
    ASSERT_TRUE(manager.Start({"127.0.0.1"}, {peer.Port()}, false));
    std::atomic<bool> feeding{true};
    std::thread feeder([&] {
        // Replies that match nothing keep the connection receiving.
        while (feeding.load()) {
            peer.Send(WireTest::MakeReply(0xFFFFFF, CmdListFolder, 301, {}));
            Sleep(100);
        }
    });
    Bytes packet = BuildListFolder(9);
    const DWORD start = GetTickCount();
    auto waiting = std::async(std::launch::async, [&] { return manager.SendAndWait(&packet, 0, 1000, 0); });
    EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(2000)), std::future_status::timeout);
    feeding.store(false);
    feeder.join();
    EXPECT_EQ(waiting.get(), 0);
    EXPECT_GE(GetTickCount() - start, 2000u);
}

TEST_F(RequestManagerTest, TenthTimeoutInARowRestartsTheConnections)
{
    CTestPeer peer(Ignore);
    SetServerForTesting("127.0.0.1", {peer.Port()});
    ASSERT_TRUE(StartMainConnection());
    ASSERT_TRUE(peer.WaitForConnections(1, 3000));
    for (int i = 1; i <= 9; ++i) {
        Bytes packet = BuildListFolder(i);
        ASSERT_EQ(MainConnection().SendAndWait(&packet, 0, 100, 0), 0) << i;
    }
    Bytes tenth = BuildListFolder(10);
    EXPECT_EQ(MainConnection().SendAndWait(&tenth, 0, 100, 0), -1);
    EXPECT_TRUE(peer.WaitForConnections(2, 5000));
    EXPECT_TRUE(MainConnection().IsRunning());

    Bytes eleventh = BuildListFolder(11);
    EXPECT_EQ(MainConnection().SendAndWait(&eleventh, 0, 100, 0), -1);
    EXPECT_TRUE(peer.WaitForConnections(3, 5000));
}

TEST_F(RequestManagerTest, IncompatibleVersionIsReportedAndNotMatched)
{
    static std::atomic<int> asked{0};
    static std::atomic<LPARAM> notice{0};
    asked = 0;
    SessionHooks hooks;
    hooks.post_notice = [](WPARAM, LPARAM lparam) { notice = lparam; };
    hooks.ask_for_new_version = [] {
        ++asked;
        return false;
    };
    SetSessionHooks(hooks);
    CTestPeer peer([](CTestPeer& p, const PeerRequest& request) {
        p.Send(WireTest::MakeReply(request.sequence, request.command, 301, {}, 0, 2));
    });
    CRequestManager manager;
    ASSERT_TRUE(manager.Start({"127.0.0.1"}, {peer.Port()}, false));
    Bytes packet = BuildListFolder(1);
    EXPECT_EQ(manager.SendAndWait(&packet, 0, 1000, 0), 0);
    const DWORD deadline = GetTickCount() + 5000;
    while (asked.load() == 0 && GetTickCount() < deadline)
        Sleep(10);
    EXPECT_EQ(asked.load(), 1);
    EXPECT_EQ(notice.load(), Helper::TE_INCOMPATIBLE);
}

TEST_F(RequestManagerTest, StopWakesEveryWaiterWithMinusOne)
{
    CTestPeer peer(Ignore);
    CRequestManager manager;
    ASSERT_TRUE(manager.Start({"127.0.0.1"}, {peer.Port()}, false));
    Bytes a = BuildListFolder(1);
    Bytes b = BuildLookupEntry(1, "b");
    auto first = std::async(std::launch::async, [&] { return manager.SendAndWait(&a, 0, 20000, 0); });
    auto second = std::async(std::launch::async, [&] { return manager.SendAndWait(&b, 0, 20000, 0); });
    ASSERT_TRUE(peer.WaitForRequests(2, 3000));
    manager.Stop();
    EXPECT_EQ(first.get(), -1);
    EXPECT_EQ(second.get(), -1);
}

TEST_F(RequestManagerTest, StopEventHoldsRequestsOffUntilReset)
{
    CTestPeer peer(Ignore);
    CRequestManager manager;
    ASSERT_TRUE(manager.Start({"127.0.0.1"}, {peer.Port()}, false));
    Bytes waiting_packet = BuildListFolder(1);
    auto waiting = std::async(std::launch::async, [&] { return manager.SendAndWait(&waiting_packet, 0, 20000, 0); });
    ASSERT_TRUE(peer.WaitForRequests(1, 3000));
    manager.SetStopEvent();
    EXPECT_EQ(waiting.get(), -1);
    Bytes refused = BuildListFolder(2);
    EXPECT_EQ(manager.SendAndWait(&refused, 0, 20000, 0), 0);
    manager.ResetStopEvent();
    Bytes accepted = BuildListFolder(3);
    EXPECT_EQ(manager.SendAndWait(&accepted, 0, 100, 0), 0);
    EXPECT_TRUE(peer.WaitForRequests(2, 3000));
}

TEST_F(RequestManagerTest, StopDoesNotWaitForAConnectInProgress)
{
    // An address of a documentation network: its connect either fails at
    // once or hangs until the system's connect timeout.
    CLinkChannel channel;
    ASSERT_TRUE(channel.Configure({"192.0.2.123"}, {80}, false, 0));
    Sleep(200);
    const DWORD start = GetTickCount();
    channel.Stop();
    EXPECT_LT(GetTickCount() - start, 1000u);
    EXPECT_TRUE(channel.IsStopped());
}

TEST_F(RequestManagerTest, LostMainLinkMovesTheApplicationOffline)
{
    NetTest::CTestAppHost host;
    host.AllowOffline();
    CTestPeer peer(Ignore);
    SetServerForTesting("127.0.0.1", {peer.Port()});
    ASSERT_TRUE(StartMainConnection());
    ASSERT_TRUE(peer.WaitForConnections(1, 3000));
    host.SetState(Helper::AppState::Synced);
    peer.Drop();
    const DWORD deadline = GetTickCount() + 15000;
    while (host.Refreshed().empty() && GetTickCount() < deadline)
        Sleep(20);
    ASSERT_EQ(host.Refreshed().size(), 1u);
    EXPECT_EQ(host.Refreshed()[0], Helper::AppState::Synced);
    EXPECT_EQ(host.GetState(), Helper::AppState::Offline);
}

}  // namespace
}  // namespace Net
