#include "client/net/common_socket.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "client/net/tests/test_peer.h"

namespace Net {
namespace {

using NetTest::CTestPeer;

// Accepts one connection and keeps it for the test to use directly.
class CRawPeer {
public:
    CRawPeer()
    {
        listener_.Reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof address;
        bind(listener_.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
        listen(listener_.Get(), 1);
        getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    uint16_t Port() const { return port_; }
    SOCKET Accept()
    {
        accepted_.Reset(accept(listener_.Get(), nullptr, nullptr));
        return accepted_.Get();
    }

private:
    Helper::CSocketHandle listener_;
    Helper::CSocketHandle accepted_;
    uint16_t port_ = 0;
};

bool RunsUnderWine()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

TEST(CommonSocketTest, ConnectsToDottedAddressAndFailsOnUnknownName)
{
    CRawPeer peer;
    CCommonSocket client;
    ASSERT_TRUE(client.Connect("127.0.0.1", peer.Port()));
    EXPECT_TRUE(client.IsConnected());
    EXPECT_NE(client.Handle(), INVALID_SOCKET);
    client.Close();

    EXPECT_FALSE(client.Connect("no-such-host.invalid", peer.Port()));
    EXPECT_EQ(client.Handle(), INVALID_SOCKET);
    EXPECT_FALSE(client.IsConnected());
    EXPECT_FALSE(client.Connect("127.0.0.1", NetTest::UnusedPort()));
    EXPECT_EQ(client.Handle(), INVALID_SOCKET);
}

TEST(CommonSocketTest, ReceivesAtMostOneBufferPerCall)
{
    CRawPeer peer;
    CCommonSocket client;
    ASSERT_TRUE(client.Connect("127.0.0.1", peer.Port()));
    const SOCKET server = peer.Accept();
    const std::string data(20000, 'x');
    ASSERT_EQ(send(server, data.data(), static_cast<int>(data.size()), 0), 20000);

    char buffer[kReceiveBufferSize];
    ASSERT_GT(client.WaitReadable(1000), 0);
    int total = 0;
    std::vector<int> sizes;
    while (total < 20000) {
        const int got = client.Receive(buffer);
        ASSERT_GT(got, 0);
        sizes.push_back(got);
        total += got;
    }
    for (int size : sizes)
        EXPECT_LE(size, kReceiveBufferSize);
    EXPECT_EQ(sizes.front(), kReceiveBufferSize);
    EXPECT_EQ(total, 20000);
    client.Close();
}

TEST(CommonSocketTest, PeerCloseGivesTheBytesBeforeAndLeavesNoSocket)
{
    CRawPeer peer;
    CCommonSocket client;
    ASSERT_TRUE(client.Connect("127.0.0.1", peer.Port()));
    const SOCKET server = peer.Accept();
    send(server, "hello", 5, 0);
    shutdown(server, SD_SEND);
    char buffer[kReceiveBufferSize];
    ASSERT_GT(client.WaitReadable(1000), 0);
    int total = 0;
    while (client.Handle() != INVALID_SOCKET) {
        const int got = client.Receive(buffer);
        if (got <= 0)
            break;
        total += got;
    }
    EXPECT_EQ(total, 5);
    EXPECT_EQ(client.Handle(), INVALID_SOCKET);
    EXPECT_LT(client.Receive(buffer), 0);
    EXPECT_LT(client.WaitReadable(0), 0);
    EXPECT_EQ(client.Send("x", 1), -1);
}

TEST(CommonSocketTest, SendsWholeBuffersAndCloseResetsThePeer)
{
    CRawPeer peer;
    CCommonSocket client;
    ASSERT_TRUE(client.Connect("127.0.0.1", peer.Port()));
    const SOCKET server = peer.Accept();
    EXPECT_EQ(client.Send("", 0), 0);
    EXPECT_EQ(client.Send("abc", 3), 3);
    char got[3];
    ASSERT_EQ(recv(server, got, 3, 0), 3);
    EXPECT_EQ(std::memcmp(got, "abc", 3), 0);

    client.Close();
    EXPECT_EQ(client.Handle(), INVALID_SOCKET);
    const int after = recv(server, got, 3, 0);
    const int error = WSAGetLastError();
    if (RunsUnderWine()) {
        // Wine closes the connection gracefully whatever the linger setting.
        EXPECT_LE(after, 0);
        return;
    }
    EXPECT_EQ(after, SOCKET_ERROR);
    EXPECT_EQ(error, WSAECONNRESET);
}

TEST(CommonSocketTest, WaitReadableTimesOutWithoutData)
{
    CRawPeer peer;
    CCommonSocket client;
    ASSERT_TRUE(client.Connect("127.0.0.1", peer.Port()));
    peer.Accept();
    EXPECT_EQ(client.WaitReadable(0), 0);
    client.Close();
}

TEST(CommonSocketTest, ErrorTexts)
{
    char text[kErrorTextSize];
    EXPECT_EQ(SocketErrorText(sizeof text, 12345, text), 12345);
    EXPECT_STREQ(text, "errno=12345:No error description");
    SocketErrorText(sizeof text, 10061, text);
    EXPECT_STREQ(text, "10061:Connection refused. ");
    SocketErrorText(sizeof text, 997, text);
    EXPECT_STREQ(text, "997:");
    SocketErrorText(sizeof text, 11004, text);
    EXPECT_STREQ(text, "11004:Valid name, no data record of requested type. ");
    char small[6];
    SocketErrorText(sizeof small, 10054, small);
    EXPECT_STREQ(small, "10054");
}

}  // namespace
}  // namespace Net
