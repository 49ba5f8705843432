#include "packet_server.h"

#include <algorithm>
#include <cstring>

namespace Tessel {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

class PacketConnection : public std::enable_shared_from_this<PacketConnection> {
public:
    PacketConnection(tcp::socket socket, std::string server, IdleLimits idle, const ConnectionCounter& total,
                     std::unique_ptr<AddressGate::Admission> admission)
        : socket_(std::move(socket)), timer_(socket_.get_executor()), pause_(socket_.get_executor()),
          server_(std::move(server)), idle_(idle), total_(total), admission_(std::move(admission))
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
        peer.address = remote.address().to_string();
        peer.peer_text = peer.address + ":" + std::to_string(remote.port());
        peer_ = peer.peer_text;
        socket_.set_option(tcp::no_delay(true), ec);
        handler_ = factory(peer);
        LogLine(server_ + " " + peer_ + " connected");
        Touch();
        WatchIdle();
        Process();
    }

    void Touch() { last_activity_ = Clock::now(); }

    std::chrono::seconds IdleLimit() const
    {
        return total_.Crowded() ? std::min(idle_.idle, idle_.crowded) : idle_.idle;
    }

    // Wakes at least once per crowded limit, so that a crowd is noticed in
    // time.
    void WatchIdle()
    {
        timer_.expires_at(std::min(last_activity_ + IdleLimit(), Clock::now() + idle_.crowded));
        timer_.async_wait([self = shared_from_this()](const std::error_code& ec) {
            if (ec || self->closed_)
                return;
            if (Clock::now() - self->last_activity_ >= self->IdleLimit()) {
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
        pause_.cancel();
        socket_.shutdown(tcp::socket::shutdown_both, ec);
        socket_.close(ec);
        LogLine(server_ + " " + peer_ + " disconnected (" + why + ")");
    }

    void Fail(const std::string& why)
    {
        LogLine(server_ + " " + peer_ + " request refused: " + why);
        Shutdown(why);
    }

    size_t Buffered() const { return end_ - start_; }

    // Works through what is buffered: whole requests, and the raw block that
    // follows an upload block header; reads more when something is missing.
    void Process()
    {
        while (!closed_ && !ProcessOne()) {
        }
    }

    // Handles or starts reading toward the next item; false when a dropped
    // request leaves the next one to look at right away.
    bool ProcessOne()
    {
        if (raw_needed_ > 0) {
            if (Buffered() < raw_needed_) {
                ReadMore(raw_needed_);
                return true;
            }
            const uint8_t* raw = buffer_.data() + start_;
            const size_t length = raw_needed_;
            start_ += length;
            raw_needed_ = 0;
            Handle(handler_->OnRaw(raw, length));
            return true;
        }
        if (Buffered() < kRequestHeaderSize) {
            ReadMore(kRequestHeaderSize);
            return true;
        }
        const uint8_t* header = buffer_.data() + start_;
        switch (ParseRequestHeader(header, request_)) {
        case HeaderCheck::Valid:
            break;
        case HeaderCheck::BadMagic:
            Fail("bad magic");
            return true;
        case HeaderCheck::BadVersion:
            Fail("unsupported version");
            return true;
        case HeaderCheck::BadKind:
            Fail("not a request");
            return true;
        case HeaderCheck::BadLength:
            Fail("bad length");
            return true;
        }
        if (Buffered() < request_.total_length) {
            ReadMore(request_.total_length);
            return true;
        }
        start_ += request_.total_length;
        if (!ChecksumMatches(header, request_.total_length)) {
            // The framing is intact, so only this request is dropped.
            LogLine(server_ + " " + peer_ + " request refused: checksum mismatch (command " +
                    std::to_string(request_.command) + ")");
            return false;
        }
        Dispatch(header + kRequestHeaderSize);
        return true;
    }

    void Dispatch(const uint8_t* payload)
    {
        Outcome outcome = handler_->OnPacket(request_, payload);
        if (outcome.again && payload != held_payload_.data())
            held_payload_.assign(payload, payload + request_.payload_length);
        Handle(std::move(outcome));
    }

    void Pause(Outcome outcome)
    {
        const auto pause = outcome.pause;
        outcome.pause = std::chrono::milliseconds(0);
        pause_.expires_after(pause);
        pause_.async_wait([self = shared_from_this(), outcome](const std::error_code& ec) {
            if (ec || self->closed_)
                return;
            self->Touch();
            if (outcome.again)
                self->Dispatch(self->held_payload_.data());
            else
                self->Handle(outcome);
        });
    }

    // Reads until at least `needed` bytes are buffered.
    void ReadMore(size_t needed)
    {
        if (start_ > 0) {
            std::memmove(buffer_.data(), buffer_.data() + start_, Buffered());
            end_ -= start_;
            start_ = 0;
        }
        if (buffer_.size() < needed)
            buffer_.resize(needed);
        socket_.async_read_some(asio::buffer(buffer_.data() + end_, buffer_.size() - end_),
                                [self = shared_from_this(), needed](const std::error_code& ec, size_t n) {
                                    if (ec) {
                                        self->Shutdown(ec == asio::error::eof
                                                           ? (self->Buffered() ? "peer closed mid-request"
                                                                               : "peer closed")
                                                           : ec.message());
                                        return;
                                    }
                                    self->Touch();
                                    self->end_ += n;
                                    if (self->Buffered() < needed)
                                        self->ReadMore(needed);
                                    else
                                        self->Process();
                                });
    }

    void Handle(Outcome outcome)
    {
        if (closed_)
            return;
        if (outcome.pause.count() > 0) {
            Pause(std::move(outcome));
            return;
        }
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
        if (outcome.close) {
            Shutdown("refused");
            return;
        }
        raw_needed_ = outcome.raw_follow;
        Process();
    }

    tcp::socket socket_;
    asio::steady_timer timer_;
    asio::steady_timer pause_;
    std::string server_;
    std::string peer_;
    const IdleLimits idle_;
    const ConnectionCounter& total_;
    std::unique_ptr<AddressGate::Admission> admission_;
    Clock::time_point last_activity_;
    std::unique_ptr<ConnectionHandler> handler_;
    RequestHeader request_;
    Bytes held_payload_;  // the request handed over again after a pause
    Bytes buffer_ = Bytes(64 * 1024);
    size_t start_ = 0;  // unprocessed bytes are buffer_[start_, end_)
    size_t end_ = 0;
    size_t raw_needed_ = 0;
    Bytes reply_;
    bool closed_ = false;
};

PacketServer::PacketServer(asio::io_context& io, std::string name, HandlerFactory factory, IdleLimits idle,
                           AddressGate& gate)
    : io_(io), name_(std::move(name)), factory_(std::move(factory)), idle_(idle), gate_(gate), acceptor_(io),
      backoff_(io)
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
                backoff_.Failed(name_, ec, [this] {
                    if (acceptor_.is_open())
                        Accept();
                });
            return;
        }
        backoff_.Succeeded();
        Admit(std::move(socket));
        Accept();
    });
}

void PacketServer::Admit(tcp::socket socket)
{
    auto admission = gate_.AdmitSocket(socket, name_);
    if (!admission)
        return;
    auto connection =
        std::make_shared<PacketConnection>(std::move(socket), name_, idle_, gate_.total(), std::move(admission));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_)
            return;
        for (auto it = connections_.begin(); it != connections_.end();)
            it = it->expired() ? connections_.erase(it) : std::next(it);
        connections_.insert(connection);
    }
    connection->Begin(factory_);
}

void PacketServer::Stop()
{
    std::error_code ec;
    acceptor_.close(ec);
    backoff_.Cancel();
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    for (auto& weak : connections_)
        if (auto connection = weak.lock())
            connection->Close();
    connections_.clear();
}

}  // namespace Tessel
