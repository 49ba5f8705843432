#include "packet_server.h"

#include "log.h"

#include <array>

namespace Tessel {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

class PacketConnection : public std::enable_shared_from_this<PacketConnection> {
public:
    PacketConnection(tcp::socket socket, std::string server, std::chrono::seconds idle_timeout)
        : socket_(std::move(socket)), timer_(socket_.get_executor()), server_(std::move(server)),
          idle_timeout_(idle_timeout)
    {
    }

    void Begin(const HandlerFactory& factory)
    {
        auto self = shared_from_this();
        asio::dispatch(socket_.get_executor(), [self, &factory] { self->Start(factory); });
    }

    void Close()
    {
        auto self = shared_from_this();
        asio::post(socket_.get_executor(), [self] { self->Shutdown("closed by server"); });
    }

private:
    void Start(const HandlerFactory& factory)
    {
        std::error_code ec;
        const auto remote = socket_.remote_endpoint(ec);
        const auto local = socket_.local_endpoint(ec);
        PeerInfo peer;
        if (remote.address().is_v4())
            peer.peer_address = remote.address().to_v4().to_uint();
        if (local.address().is_v4())
            peer.local_address = local.address().to_v4().to_uint();
        peer.peer_text = remote.address().to_string() + ":" + std::to_string(remote.port());
        peer_ = peer.peer_text;
        socket_.set_option(tcp::no_delay(true), ec);
        handler_ = factory(peer);
        LogLine(server_ + " " + peer_ + " connected");
        Touch();
        WatchIdle();
        ReadHeader();
    }

    void Touch() { deadline_ = Clock::now() + idle_timeout_; }

    void WatchIdle()
    {
        timer_.expires_at(deadline_);
        timer_.async_wait([self = shared_from_this()](const std::error_code& ec) {
            if (ec || self->closed_)
                return;
            if (Clock::now() >= self->deadline_) {
                self->Shutdown("idle timeout");
                return;
            }
            self->WatchIdle();
        });
    }

    void Shutdown(const std::string& why)
    {
        if (closed_)
            return;
        closed_ = true;
        std::error_code ec;
        timer_.cancel();
        socket_.shutdown(tcp::socket::shutdown_both, ec);
        socket_.close(ec);
        LogLine(server_ + " " + peer_ + " disconnected (" + why + ")");
    }

    void Fail(const std::string& why)
    {
        LogLine(server_ + " " + peer_ + " request refused: " + why);
        Shutdown(why);
    }

    void ReadHeader()
    {
        asio::async_read(socket_, asio::buffer(header_),
                         [self = shared_from_this()](const std::error_code& ec, size_t) { self->OnHeader(ec); });
    }

    void OnHeader(const std::error_code& ec)
    {
        if (ec) {
            Shutdown(ec == asio::error::eof ? "peer closed" : ec.message());
            return;
        }
        Touch();
        switch (ParseRequestHeader(header_.data(), request_)) {
        case HeaderCheck::Valid:
            break;
        case HeaderCheck::BadMagic:
            Fail("bad magic");
            return;
        case HeaderCheck::BadVersion:
            Fail("unsupported version");
            return;
        case HeaderCheck::BadKind:
            Fail("not a request");
            return;
        case HeaderCheck::BadLength:
            Fail("bad length");
            return;
        }
        packet_.assign(header_.begin(), header_.end());
        packet_.resize(request_.total_length);
        asio::async_read(socket_, asio::buffer(packet_.data() + kRequestHeaderSize, request_.payload_length),
                         [self = shared_from_this()](const std::error_code& e, size_t) { self->OnPayload(e); });
    }

    void OnPayload(const std::error_code& ec)
    {
        if (ec) {
            Shutdown(ec == asio::error::eof ? "peer closed mid-request" : ec.message());
            return;
        }
        Touch();
        if (!ChecksumMatches(packet_.data(), packet_.size())) {
            // The framing is intact, so only this request is dropped.
            LogLine(server_ + " " + peer_ + " request refused: checksum mismatch (command " +
                    std::to_string(request_.command) + ")");
            ReadHeader();
            return;
        }
        Handle(handler_->OnPacket(request_, packet_.data() + kRequestHeaderSize));
    }

    void ReadRaw(uint32_t length)
    {
        raw_.resize(length);
        asio::async_read(socket_, asio::buffer(raw_), [self = shared_from_this()](const std::error_code& ec, size_t) {
            if (ec) {
                self->Shutdown(ec == asio::error::eof ? "peer closed mid-block" : ec.message());
                return;
            }
            self->Touch();
            self->Handle(self->handler_->OnRaw(self->raw_.data(), self->raw_.size()));
        });
    }

    void Handle(Outcome outcome)
    {
        if (closed_)
            return;
        if (outcome.reply.empty()) {
            Continue(outcome);
            return;
        }
        reply_ = std::move(outcome.reply);
        asio::async_write(socket_, asio::buffer(reply_),
                          [self = shared_from_this(), outcome](const std::error_code& ec, size_t) {
                              if (ec) {
                                  self->Shutdown(ec.message());
                                  return;
                              }
                              self->Touch();
                              self->Continue(outcome);
                          });
    }

    void Continue(const Outcome& outcome)
    {
        if (outcome.close)
            Shutdown("refused");
        else if (outcome.raw_follow > 0)
            ReadRaw(outcome.raw_follow);
        else
            ReadHeader();
    }

    tcp::socket socket_;
    asio::steady_timer timer_;
    std::string server_;
    std::string peer_;
    std::chrono::seconds idle_timeout_;
    Clock::time_point deadline_;
    std::unique_ptr<ConnectionHandler> handler_;
    std::array<uint8_t, kRequestHeaderSize> header_{};
    RequestHeader request_;
    Bytes packet_;
    Bytes raw_;
    Bytes reply_;
    bool closed_ = false;
};

PacketServer::PacketServer(asio::io_context& io, std::string name, HandlerFactory factory,
                           std::chrono::seconds idle_timeout)
    : io_(io), name_(std::move(name)), factory_(std::move(factory)), idle_timeout_(idle_timeout), acceptor_(io)
{
}

PacketServer::~PacketServer() { Stop(); }

bool PacketServer::Listen(const std::string& address, const std::vector<uint16_t>& ports, std::string& error)
{
    std::error_code ec;
    const auto ip = asio::ip::make_address(address, ec);
    if (ec) {
        error = "bad address " + address;
        return false;
    }
    for (uint16_t port : ports) {
        std::error_code e;
        acceptor_.close(e);
        acceptor_.open(ip.is_v4() ? tcp::v4() : tcp::v6(), e);
        if (e)
            continue;
        acceptor_.set_option(tcp::acceptor::reuse_address(true), e);
        acceptor_.bind(tcp::endpoint(ip, port), e);
        if (!e)
            acceptor_.listen(asio::socket_base::max_listen_connections, e);
        if (e) {
            error = name_ + ": cannot listen on " + address + ":" + std::to_string(port) + ": " + e.message();
            continue;
        }
        port_ = acceptor_.local_endpoint(e).port();
        Accept();
        return true;
    }
    acceptor_.close(ec);
    return false;
}

void PacketServer::Accept()
{
    acceptor_.async_accept(asio::make_strand(io_), [this](const std::error_code& ec, tcp::socket socket) {
        if (ec) {
            if (ec != asio::error::operation_aborted && acceptor_.is_open())
                Accept();
            return;
        }
        auto connection = std::make_shared<PacketConnection>(std::move(socket), name_, idle_timeout_);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopped_)
                return;
            for (auto it = connections_.begin(); it != connections_.end();)
                it = it->expired() ? connections_.erase(it) : std::next(it);
            connections_.insert(connection);
        }
        connection->Begin(factory_);
        Accept();
    });
}

void PacketServer::Stop()
{
    std::error_code ec;
    acceptor_.close(ec);
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    for (auto& weak : connections_)
        if (auto connection = weak.lock())
            connection->Close();
    connections_.clear();
}

}  // namespace Tessel
