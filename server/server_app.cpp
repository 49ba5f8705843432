#include "server_app.h"

#include "log.h"

#include <algorithm>

namespace Tessel {

std::vector<uint16_t> DefaultSyncPorts()
{
    std::vector<uint16_t> ports;
    for (uint16_t port = 6666; port <= 7566; port += 100)
        ports.push_back(port);
    return ports;
}

ServerApp::~ServerApp() { Stop(); }

bool ServerApp::Start(const ServerConfig& config, std::string& error)
{
    Store::Options options;
    options.ticket_lifetime_seconds = config.ticket_lifetime_seconds;
    options.disk_reserve = config.disk_reserve;
    options.ticket_in_use = [this](const std::string& token) {
        return data_service_ && data_service_->TicketInUse(token);
    };
    store_ = Store::Open(config.data_dir, options, error);
    if (!store_)
        return false;
    Store& store = *store_;
    sessions_ = std::make_unique<SessionTable>(
        config.session_timeout, [&store](uint32_t user_id) { return store.CredentialGeneration(user_id); });
    const size_t allowed = ConnectionsTheDescriptorsAllow();
    connections_ = std::make_unique<ConnectionCounter>(
        config.max_connections ? std::min(config.max_connections, allowed) : std::min<size_t>(allowed, 10000));
    packet_gate_ = std::make_unique<AddressGate>(*connections_, config.max_per_address);
    http_gate_ = std::make_unique<AddressGate>(*connections_, config.http.per_address);
    addressing_.public_host = config.public_host;
    sync_service_ = std::make_unique<SyncService>(*store_, *sessions_, addressing_, config.sign_on);
    data_service_ = std::make_unique<DataService>(*store_);
    io_ = std::make_unique<asio::io_context>();

    http_ = std::make_unique<HttpService>(*store_, *sessions_, config.http, *http_gate_);
    crash_reports_ = std::make_unique<CrashReportService>(config.crash_reports);
    if (!crash_reports_->Open(config.data_dir, error))
        return false;
    crash_reports_->Register(http_->routes());
    web_ = std::make_unique<WebPages>(*store_, config.web, config.data_dir, config.static_dir);
    if (!web_->Open(error))
        return false;
    web_->Mount(http_->routes());
    if (!http_->Start(config.bind_address, config.http_port, config.static_dir, error))
        return false;
    addressing_.http_port = http_->port();

    const IdleLimits idle{config.idle_timeout, config.crowded_idle_timeout};
    data_ = std::make_unique<PacketServer>(
        *io_, "data", [this](const PeerInfo& peer) { return data_service_->Connect(peer); }, idle, *packet_gate_);
    if (!data_->Listen(config.bind_address, {config.data_port}, error))
        return false;
    addressing_.data_port = data_->port();

    sync_ = std::make_unique<PacketServer>(
        *io_, "sync", [this](const PeerInfo& peer) { return sync_service_->Connect(peer); }, idle, *packet_gate_);
    if (!sync_->Listen(config.bind_address, config.sync_ports, error))
        return false;

    unsigned count = config.threads ? config.threads : std::thread::hardware_concurrency();
    if (count < 2)
        count = 2;
    for (unsigned i = 0; i < count; ++i)
        threads_.emplace_back([this] { io_->run(); });
    running_ = true;
    LogLine("listening: sync " + config.bind_address + ":" + std::to_string(sync_port()) + ", data " +
            std::to_string(data_port()) + ", http " + std::to_string(http_port()));
    return true;
}

void ServerApp::Stop()
{
    if (http_)
        http_->Stop();
    if (io_)
        io_->stop();
    for (auto& thread : threads_)
        thread.join();
    threads_.clear();
    if (sync_)
        sync_->Stop();
    if (data_)
        data_->Stop();
    if (running_)
        LogLine("stopped");
    running_ = false;
}

}  // namespace Tessel
