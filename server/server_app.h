// The whole server in one object: store, sessions, the sync, data and HTTP
// services and the threads that run them. main() and the tests start it
// the same way.
#pragma once

#include "crash_reports.h"
#include "data_service.h"
#include "http_service.h"
#include "packet_server.h"
#include "sessions.h"
#include "sign_on_guard.h"
#include "store.h"
#include "sync_service.h"
#include "web_pages.h"

#include <asio.hpp>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace Tessel {

// The ports the client tries for the sync server, in its order.
std::vector<uint16_t> DefaultSyncPorts();

struct ServerConfig {
    std::string data_dir;
    std::string bind_address = "127.0.0.1";
    std::vector<uint16_t> sync_ports = DefaultSyncPorts();
    uint16_t data_port = 7700;
    uint16_t http_port = 8765;
    std::string static_dir;
    std::string public_host;
    std::chrono::seconds idle_timeout{1800};
    // Idle sync and data connections are closed after this instead while
    // more than three quarters of max_connections are open.
    std::chrono::seconds crowded_idle_timeout{30};
    // Open connections of all three servers together; 0: as many as the
    // process's descriptor limit allows.
    size_t max_connections = 0;
    // Sync and data connections from one address.
    size_t max_per_address = 64;
    HttpLimits http;
    SignOnLimits sign_on;
    std::chrono::seconds session_timeout{24 * 3600};
    int64_t ticket_lifetime_seconds = 7 * 24 * 3600;
    uint64_t disk_reserve = 16ull << 20;
    unsigned threads = 0;  // 0: one per processor, at least 2
    CrashReportConfig crash_reports;
    WebConfig web;
};

class ServerApp {
public:
    ServerApp() = default;
    ~ServerApp();
    ServerApp(const ServerApp&) = delete;
    ServerApp& operator=(const ServerApp&) = delete;

    bool Start(const ServerConfig& config, std::string& error);
    void Stop();

    uint16_t sync_port() const { return sync_ ? sync_->port() : 0; }
    uint16_t data_port() const { return data_ ? data_->port() : 0; }
    uint16_t http_port() const { return http_ ? http_->port() : 0; }
    Store& store() { return *store_; }

private:
    // Declared in the order of construction; the io_context goes before the
    // listeners and after the services its pending handlers still use.
    std::unique_ptr<Store> store_;
    std::unique_ptr<SessionTable> sessions_;
    std::unique_ptr<ConnectionCounter> connections_;
    std::unique_ptr<AddressGate> packet_gate_;
    std::unique_ptr<AddressGate> http_gate_;
    Addressing addressing_;
    std::unique_ptr<SyncService> sync_service_;
    std::unique_ptr<DataService> data_service_;
    std::unique_ptr<asio::io_context> io_;
    std::unique_ptr<PacketServer> data_;
    std::unique_ptr<PacketServer> sync_;
    std::unique_ptr<CrashReportService> crash_reports_;
    std::unique_ptr<WebPages> web_;
    std::unique_ptr<HttpService> http_;
    std::vector<std::thread> threads_;
    bool running_ = false;
};

}  // namespace Tessel
