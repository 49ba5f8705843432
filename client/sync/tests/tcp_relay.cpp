#include "client/sync/tests/tcp_relay.h"

#include <ws2tcpip.h>

namespace SyncTest {

struct CTcpRelay::Link {
    Helper::CSocketHandle client;
    Helper::CSocketHandle server;
    std::mutex lock;
    std::string upstream;

    // A reset rather than an orderly end, as a dropped line looks.
    void Reset()
    {
        const LINGER hard{1, 0};
        setsockopt(client.Get(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
        shutdown(client.Get(), SD_BOTH);
        shutdown(server.Get(), SD_BOTH);
    }
};

namespace {

sockaddr_in Address(const char* host, uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, host, &address.sin_addr);
    return address;
}

bool Readable(SOCKET socket, int milliseconds)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(socket, &set);
    timeval wait{0, milliseconds * 1000};
    return select(0, &set, nullptr, nullptr, &wait) > 0;
}

}  // namespace

CTcpRelay::CTcpRelay(const char* listen_host, const char* target_host, uint16_t port)
    : target_(Address(target_host, port))
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    listener_.Reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    const sockaddr_in address = Address(listen_host, port);
    if (bind(listener_.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_.Get(), 8) != 0) {
        listener_.Reset();
        return;
    }
    acceptor_ = std::thread([this] { Accept(); });
}

CTcpRelay::~CTcpRelay()
{
    ending_ = true;
    if (acceptor_.joinable())
        acceptor_.join();
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (auto& link : links_)
            link->Reset();
    }
    for (auto& pump : pumps_)
        pump.join();
    listener_.Reset();
    WSACleanup();
}

void CTcpRelay::Accept()
{
    while (!ending_) {
        if (!Readable(listener_.Get(), 20))
            continue;
        const SOCKET client = accept(listener_.Get(), nullptr, nullptr);
        if (client == INVALID_SOCKET)
            continue;
        auto link = std::make_shared<Link>();
        link->client.Reset(client);
        link->server.Reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        if (connect(link->server.Get(), reinterpret_cast<const sockaddr*>(&target_), sizeof target_) != 0) {
            link->Reset();
            continue;
        }
        std::lock_guard<std::mutex> hold(lock_);
        links_.push_back(link);
        pumps_.emplace_back([this, link] { Pump(link, true); });
        pumps_.emplace_back([this, link] { Pump(link, false); });
    }
}

void CTcpRelay::Pump(std::shared_ptr<Link> link, bool upstream)
{
    const SOCKET from = upstream ? link->client.Get() : link->server.Get();
    const SOCKET to = upstream ? link->server.Get() : link->client.Get();
    const uint64_t cut = upstream ? cut_upstream_.load() : cut_downstream_.load();
    uint64_t passed = 0;
    char buffer[16384];
    while (!ending_) {
        if (!Readable(from, 20))
            continue;
        int count = recv(from, buffer, sizeof buffer, 0);
        if (count <= 0)
            break;
        if (cut != 0 && passed + static_cast<uint64_t>(count) >= cut)
            count = static_cast<int>(cut - passed);
        if (count > 0 && send(to, buffer, count, 0) != count)
            break;
        passed += static_cast<uint64_t>(count);
        if (upstream) {
            std::lock_guard<std::mutex> hold(link->lock);
            link->upstream.append(buffer, static_cast<size_t>(count));
        }
        if (cut != 0 && passed >= cut) {
            link->Reset();
            break;
        }
    }
    shutdown(to, SD_SEND);
}

int CTcpRelay::Connections()
{
    std::lock_guard<std::mutex> hold(lock_);
    return static_cast<int>(links_.size());
}

std::vector<std::string> CTcpRelay::Upstream()
{
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<std::string> sent;
    for (auto& link : links_) {
        std::lock_guard<std::mutex> hold_link(link->lock);
        sent.push_back(link->upstream);
    }
    return sent;
}

void CTcpRelay::Forget()
{
    std::lock_guard<std::mutex> hold(lock_);
    for (auto& link : links_)
        link->Reset();
    links_.clear();
}

}  // namespace SyncTest
