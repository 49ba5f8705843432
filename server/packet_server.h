// TCP listener for the packet protocol. Each connection reads one request
// at a time (header, payload, and for upload blocks the raw bytes that
// follow), hands it to its ConnectionHandler and writes the reply on the
// same connection. Framing faults close the connection; idle connections
// are closed after a timeout, a shorter one while the server is crowded.
// Connections beyond the limits of an AddressGate are closed at once.
#pragma once

#include "connection_gate.h"
#include "log.h"
#include "protocol.h"

#include <asio.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace Tessel {

struct Outcome {
    Bytes reply;            // nothing is sent when empty
    uint32_t raw_follow = 0;  // raw bytes that follow this packet on the wire
    bool close = false;     // close the connection once the reply is out
    // The connection waits this long, reading nothing, before it goes on
    // with this outcome; with `again` it hands the same request to the
    // handler once more instead. No thread waits meanwhile.
    std::chrono::milliseconds pause{0};
    bool again = false;
};

struct PeerInfo {
    uint32_t peer_address = 0;   // IPv4, first octet in the high byte
    uint32_t local_address = 0;  // the address the peer reached us on
    std::string address;         // the peer's address alone, as text
    std::string peer_text;       // "a.b.c.d:port" for the log
};

class ConnectionHandler {
public:
    virtual ~ConnectionHandler() = default;
    virtual Outcome OnPacket(const RequestHeader& header, const uint8_t* payload) = 0;
    // The raw bytes announced by the previous outcome.
    virtual Outcome OnRaw(const uint8_t* data, size_t length) = 0;
};

using HandlerFactory = std::function<std::unique_ptr<ConnectionHandler>(const PeerInfo&)>;

struct IdleLimits {
    std::chrono::seconds idle{1800};
    // Applies instead while the server is crowded.
    std::chrono::seconds crowded{30};
};

class PacketConnection;

class PacketServer {
public:
    PacketServer(asio::io_context& io, std::string name, HandlerFactory factory, IdleLimits idle, AddressGate& gate);
    ~PacketServer();
    PacketServer(const PacketServer&) = delete;
    PacketServer& operator=(const PacketServer&) = delete;

    // Listens on the first port of the list that can be bound (0 = any free
    // port) and starts accepting.
    bool Listen(const std::string& address, const std::vector<uint16_t>& ports, std::string& error);
    uint16_t port() const { return port_; }
    const std::string& name() const { return name_; }
    // Stops accepting and closes every open connection. Called once the
    // threads running the io_context have ended.
    void Stop();

private:
    friend class PacketConnection;
    void Accept();
    void Admit(asio::ip::tcp::socket socket);

    asio::io_context& io_;
    std::string name_;
    HandlerFactory factory_;
    IdleLimits idle_;
    AddressGate& gate_;
    asio::ip::tcp::acceptor acceptor_;
    AcceptBackoff backoff_;
    uint16_t port_ = 0;
    std::mutex mutex_;
    std::set<std::weak_ptr<PacketConnection>, std::owner_less<std::weak_ptr<PacketConnection>>> connections_;
    bool stopped_ = false;
};

}  // namespace Tessel
