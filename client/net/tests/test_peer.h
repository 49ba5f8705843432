// A scriptable server for the connection tests: listens on loopback,
// accepts one connection at a time, reads whole requests (an upload block's
// raw bytes with its header) and hands each to a script that answers with
// chosen bytes, waits, or drops the connection.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "client/net/packet_codec.h"
#include "common/win_handle.h"

namespace NetTest {

using namespace Net;

struct PeerRequest {
    int connection = 0;  // 1 for the first accepted connection
    uint32_t sequence = 0;
    uint16_t command = 0;
    Bytes packet;  // the whole request packet
    Bytes block;   // the raw bytes that follow an upload block header
};

class CTestPeer {
public:
    // Called on the peer's thread for every request.
    using Script = std::function<void(CTestPeer& peer, const PeerRequest& request)>;

    // Listens on 127.0.0.1:port (0 picks a free port). Listening() tells
    // whether the port could be taken.
    explicit CTestPeer(Script script, uint16_t port = 0);
    ~CTestPeer();
    CTestPeer(const CTestPeer&) = delete;
    CTestPeer& operator=(const CTestPeer&) = delete;

    bool Listening() const { return listener_.Valid(); }
    uint16_t Port() const { return port_; }

    // To the current connection; usable from the script and from the test.
    void Send(const Bytes& bytes);
    // The reply echoing the request's sequence and command.
    void Answer(const PeerRequest& request, uint16_t result, const Bytes& payload = {});
    // Resets the current connection.
    void Drop();

    int Connections();
    std::vector<PeerRequest> Requests();
    // Waits until at least count requests came, up to the deadline.
    bool WaitForRequests(size_t count, DWORD milliseconds);
    bool WaitForConnections(int count, DWORD milliseconds);

private:
    void Serve();
    void ServeConnection(SOCKET connection, int index);
    bool ReadExactly(SOCKET connection, uint8_t* buffer, size_t length);

    Script script_;
    Helper::CSocketHandle listener_;
    uint16_t port_ = 0;
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable changed_;
    SOCKET current_ = INVALID_SOCKET;
    int connections_ = 0;
    std::vector<PeerRequest> requests_;
    bool ending_ = false;
    std::vector<uint8_t> buffered_;  // read ahead on the peer's thread
    size_t buffered_at_ = 0;
};

// A port on loopback where nothing listens (taken and given back).
uint16_t UnusedPort();

}  // namespace NetTest
