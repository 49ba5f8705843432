#include "client/net/tests/test_peer.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "client/net/common_socket.h"
#include "common/tests/wire_builders.h"

namespace NetTest {

using namespace Net;

namespace {

// The test programs are the process here: Windows Sockets runs for their
// whole life, as the client's static start-up gives it.
const CSocketsStartup g_sockets;

constexpr long kPollMicroseconds = 20000;

bool Readable(SOCKET socket)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(socket, &set);
    timeval limit{0, kPollMicroseconds};
    return select(0, &set, nullptr, nullptr, &limit) > 0;
}

void HardClose(SOCKET socket)
{
    linger hard{1, 0};
    setsockopt(socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
    closesocket(socket);
}

}  // namespace

CTestPeer::CTestPeer(Script script, uint16_t port) : script_(std::move(script))
{
    listener_.Reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    int length = sizeof address;
    if (bind(listener_.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_.Get(), 8) != 0 ||
        getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        listener_.Reset();
        return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

CTestPeer::~CTestPeer()
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        ending_ = true;
    }
    if (thread_.joinable())
        thread_.join();
}

void CTestPeer::Serve()
{
    int index = 0;
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (ending_)
                return;
        }
        if (!Readable(listener_.Get()))
            continue;
        const SOCKET connection = accept(listener_.Get(), nullptr, nullptr);
        if (connection == INVALID_SOCKET)
            continue;
        const char no_delay = 1;
        setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &no_delay, sizeof no_delay);
        {
            std::lock_guard<std::mutex> hold(lock_);
            current_ = connection;
            connections_ = ++index;
        }
        changed_.notify_all();
        ServeConnection(connection, index);
        std::lock_guard<std::mutex> hold(lock_);
        if (current_ == connection) {
            HardClose(connection);
            current_ = INVALID_SOCKET;
        }
    }
}

bool CTestPeer::ReadExactly(SOCKET connection, uint8_t* buffer, size_t length)
{
    size_t got = 0;
    while (got < length) {
        if (buffered_.empty()) {
            {
                std::lock_guard<std::mutex> hold(lock_);
                if (ending_ || current_ != connection)
                    return false;
            }
            char chunk[65536];
            const int n = recv(connection, chunk, sizeof chunk, 0);
            if (n == SOCKET_ERROR && WSAGetLastError() == WSAETIMEDOUT)
                continue;
            if (n <= 0)
                return false;
            buffered_.assign(chunk, chunk + n);
            buffered_at_ = 0;
        }
        const size_t take = std::min(length - got, buffered_.size() - buffered_at_);
        std::memcpy(buffer + got, buffered_.data() + buffered_at_, take);
        got += take;
        buffered_at_ += take;
        if (buffered_at_ == buffered_.size())
            buffered_.clear();
    }
    return true;
}

void CTestPeer::ServeConnection(SOCKET connection, int index)
{
    buffered_.clear();
    // Reads give up now and then to look whether the peer is ending.
    const DWORD read_limit = 50;
    setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&read_limit), sizeof read_limit);
    for (;;) {
        PeerRequest request;
        request.connection = index;
        request.packet.resize(kRequestHeaderSize);
        if (!ReadExactly(connection, request.packet.data(), kRequestHeaderSize))
            return;
        const uint32_t total = ReadU32(&request.packet[8]);
        if (total < kRequestHeaderSize || total > kMaxReplyLength)
            return;
        request.packet.resize(total);
        if (!ReadExactly(connection, request.packet.data() + kRequestHeaderSize, total - kRequestHeaderSize))
            return;
        request.sequence = ReadU32(&request.packet[16]);
        request.command = ReadU16(&request.packet[20]);
        if (request.command == CmdUploadBlock && total >= 70) {
            request.block.resize(ReadU32(&request.packet[66]));
            if (!ReadExactly(connection, request.block.data(), request.block.size()))
                return;
        }
        {
            std::lock_guard<std::mutex> hold(lock_);
            requests_.push_back(request);
        }
        changed_.notify_all();
        if (script_)
            script_(*this, request);
    }
}

void CTestPeer::Send(const Bytes& bytes)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (current_ != INVALID_SOCKET && !bytes.empty())
        send(current_, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0);
}

void CTestPeer::Answer(const PeerRequest& request, uint16_t result, const Bytes& payload)
{
    Send(WireTest::MakeReply(request.sequence, request.command, result, payload));
}

void CTestPeer::Drop()
{
    std::lock_guard<std::mutex> hold(lock_);
    if (current_ != INVALID_SOCKET)
        HardClose(current_);
    current_ = INVALID_SOCKET;
}

int CTestPeer::Connections()
{
    std::lock_guard<std::mutex> hold(lock_);
    return connections_;
}

std::vector<PeerRequest> CTestPeer::Requests()
{
    std::lock_guard<std::mutex> hold(lock_);
    return requests_;
}

bool CTestPeer::WaitForRequests(size_t count, DWORD milliseconds)
{
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, std::chrono::milliseconds(milliseconds),
                             [&] { return requests_.size() >= count; });
}

bool CTestPeer::WaitForConnections(int count, DWORD milliseconds)
{
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, std::chrono::milliseconds(milliseconds),
                             [&] { return connections_ >= count; });
}

uint16_t UnusedPort()
{
    const Helper::CSocketHandle probe(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    bind(probe.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    getsockname(probe.Get(), reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

}  // namespace NetTest
