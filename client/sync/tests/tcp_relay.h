// A TCP relay for the transfer tests: listens on one loopback address and
// passes every connection on to the same port of another, keeping what the
// client sent and able to cut a connection after a number of bytes in
// either direction.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/win_handle.h"

namespace SyncTest {

class CTcpRelay {
public:
    CTcpRelay(const char* listen_host, const char* target_host, uint16_t port);
    ~CTcpRelay();
    CTcpRelay(const CTcpRelay&) = delete;
    CTcpRelay& operator=(const CTcpRelay&) = delete;

    bool Listening() const { return listener_.Valid(); }

    // Every later connection is reset once this many bytes went that way;
    // 0 lets everything through.
    void CutUpstreamAfter(uint64_t bytes) { cut_upstream_ = bytes; }
    void CutDownstreamAfter(uint64_t bytes) { cut_downstream_ = bytes; }

    int Connections();
    // What the client sent on each connection, in order.
    std::vector<std::string> Upstream();
    void Forget();

private:
    struct Link;
    void Accept();
    void Pump(std::shared_ptr<Link> link, bool upstream);

    Helper::CSocketHandle listener_;
    sockaddr_in target_{};
    std::thread acceptor_;
    std::atomic<bool> ending_{false};
    std::atomic<uint64_t> cut_upstream_{0};
    std::atomic<uint64_t> cut_downstream_{0};
    std::mutex lock_;
    std::vector<std::shared_ptr<Link>> links_;
    std::vector<std::thread> pumps_;
};

}  // namespace SyncTest
