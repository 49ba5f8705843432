#include "http_transport.h"

#include "log.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace Tessel {
namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// A blocking stream over a connection's socket (non-blocking underneath)
// that first hands out what the header phase read already. Every wait for
// the peer is bounded by the stall limit.
class SocketStream : public httplib::Stream {
public:
    SocketStream(int fd, std::string buffered, std::chrono::seconds stall)
        : fd_(fd), buffer_(std::move(buffered)), stall_ms_(static_cast<int>(stall.count() * 1000))
    {
    }

    bool is_readable() const override { return start_ < buffer_.size() || Wait(POLLIN, 0); }
    bool is_writable() const override { return Wait(POLLOUT, stall_ms_); }

    ssize_t read(char* ptr, size_t size) override
    {
        if (start_ == buffer_.size() && !Fill())
            return -1;
        const size_t count = std::min(size, buffer_.size() - start_);
        std::memcpy(ptr, buffer_.data() + start_, count);
        start_ += count;
        return static_cast<ssize_t>(count);
    }

    ssize_t write(const char* ptr, size_t size) override
    {
        size_t sent = 0;
        while (sent < size) {
            const ssize_t n = ::send(fd_, ptr + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                sent += static_cast<size_t>(n);
            } else if ((n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) ||
                       !Wait(POLLOUT, stall_ms_)) {
                broken_ = true;
                return -1;
            }
        }
        return static_cast<ssize_t>(sent);
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override { Name(::getpeername, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { Name(::getsockname, ip, port); }
    socket_t socket() const override { return fd_; }

    bool broken() const { return broken_; }
    // What was read beyond the request just answered.
    std::string TakeBuffered() { return buffer_.substr(start_); }

private:
    bool Wait(short events, int milliseconds) const
    {
        pollfd p{fd_, events, 0};
        int ready = 0;
        do
            ready = ::poll(&p, 1, milliseconds);
        while (ready < 0 && errno == EINTR);
        return ready > 0 && (p.revents & events) != 0;
    }

    bool Fill()
    {
        buffer_.clear();
        start_ = 0;
        char chunk[16384];
        for (;;) {
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n > 0) {
                buffer_.assign(chunk, static_cast<size_t>(n));
                return true;
            }
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) || !Wait(POLLIN, stall_ms_)) {
                broken_ = true;
                return false;
            }
        }
    }

    template <class Getter>
    void Name(Getter get, std::string& ip, int& port) const
    {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        ip.clear();
        port = 0;
        if (get(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        char text[INET6_ADDRSTRLEN] = {};
        if (address.ss_family == AF_INET) {
            const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
            ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
            port = ntohs(v4->sin_port);
        } else if (address.ss_family == AF_INET6) {
            const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
            ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
            port = ntohs(v6->sin6_port);
        }
        ip = text;
    }

    const int fd_;
    std::string buffer_;
    size_t start_ = 0;
    const int stall_ms_;
    bool broken_ = false;
};

}  // namespace

class HttpConnection : public std::enable_shared_from_this<HttpConnection> {
public:
    HttpConnection(HttpTransport& transport, tcp::socket socket, std::unique_ptr<AddressGate::Admission> admission)
        : transport_(transport), socket_(std::move(socket)), timer_(socket_.get_executor()),
          admission_(std::move(admission))
    {
    }

    void Start() { WaitForRequest(); }

    // From any thread: wakes whatever waits on the socket, so that the
    // connection ends.
    void Interrupt()
    {
        std::lock_guard<std::mutex> lock(close_mutex_);
        if (!closed_)
            ::shutdown(socket_.native_handle(), SHUT_RDWR);
    }

private:
    const HttpLimits& limits() const { return transport_.limits_; }

    bool HeaderComplete() const { return buffer_.find("\r\n\r\n") != std::string::npos; }

    // On the asio thread: reads until a whole header is buffered.
    void WaitForRequest()
    {
        if (HeaderComplete()) {
            Dispatch();
            return;
        }
        if (buffer_.size() > limits().max_header_bytes) {
            Close();
            return;
        }
        const auto deadline =
            buffer_.empty() ? Clock::now() + limits().idle_timeout : first_byte_ + limits().header_timeout;
        const uint64_t generation = ++timer_generation_;
        timer_.expires_at(deadline);
        timer_.async_wait([self = shared_from_this(), generation](const std::error_code& ec) {
            if (!ec && generation == self->timer_generation_)
                self->Close();
        });
        socket_.async_read_some(asio::buffer(chunk_), [self = shared_from_this()](const std::error_code& ec, size_t n) {
            self->OnRead(ec, n);
        });
    }

    void OnRead(const std::error_code& ec, size_t n)
    {
        ++timer_generation_;
        timer_.cancel();
        if (ec) {
            Close();
            return;
        }
        if (buffer_.empty())
            first_byte_ = Clock::now();
        buffer_.append(chunk_.data(), n);
        WaitForRequest();
    }

    void Dispatch()
    {
        ++timer_generation_;
        timer_.cancel();
        transport_.workers_.Submit([self = shared_from_this()] { self->ServeOnWorker(); });
    }

    // On a worker: one request, then back to the asio thread.
    void ServeOnWorker()
    {
        SocketStream stream(socket_.native_handle(), std::move(buffer_), limits().idle_timeout);
        bool closed = false;
        const bool last = ++served_ >= limits().max_requests;
        const bool answered = transport_.serve_(stream, last, closed);
        buffer_ = stream.TakeBuffered();
        const bool keep = answered && !closed && !last && !stream.broken();
        asio::post(socket_.get_executor(), [self = shared_from_this(), keep] {
            if (!keep) {
                self->Close();
                return;
            }
            self->first_byte_ = Clock::now();
            self->WaitForRequest();
        });
    }

    void Close()
    {
        std::lock_guard<std::mutex> lock(close_mutex_);
        if (closed_)
            return;
        closed_ = true;
        std::error_code ec;
        timer_.cancel();
        socket_.shutdown(tcp::socket::shutdown_both, ec);
        socket_.close(ec);
    }

    HttpTransport& transport_;
    tcp::socket socket_;
    asio::steady_timer timer_;
    uint64_t timer_generation_ = 0;
    std::unique_ptr<AddressGate::Admission> admission_;
    std::array<char, 4096> chunk_{};
    std::string buffer_;  // read, not yet answered
    Clock::time_point first_byte_{};
    unsigned served_ = 0;
    std::mutex close_mutex_;
    bool closed_ = false;
};

WorkerPool::WorkerPool(unsigned count)
{
    for (unsigned i = 0; i < count; ++i)
        threads_.emplace_back([this] { Run(); });
}

void WorkerPool::Submit(std::function<void()> job)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_)
            return;
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
}

void WorkerPool::Stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        jobs_.clear();
    }
    wake_.notify_all();
    for (auto& thread : threads_)
        thread.join();
    threads_.clear();
}

void WorkerPool::Run()
{
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (stopping_)
                return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job();
    }
}

HttpTransport::HttpTransport(const HttpLimits& limits, AddressGate& gate, Serve serve)
    : limits_(limits), gate_(gate), serve_(std::move(serve)), acceptor_(io_), backoff_(io_),
      workers_(limits.workers ? limits.workers : 1)
{
}

HttpTransport::~HttpTransport() { Stop(); }

bool HttpTransport::Listen(const std::string& address, uint16_t port, std::string& error)
{
    std::error_code ec;
    const auto ip = asio::ip::make_address(address, ec);
    if (!ec)
        acceptor_.open(ip.is_v4() ? tcp::v4() : tcp::v6(), ec);
    if (!ec)
        acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec)
        acceptor_.bind(tcp::endpoint(ip, port), ec);
    if (!ec)
        acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        error = "cannot listen for HTTP on " + address + ":" + std::to_string(port) + ": " + ec.message();
        return false;
    }
    port_ = acceptor_.local_endpoint(ec).port();
    Accept();
    thread_ = std::thread([this] { io_.run(); });
    return true;
}

void HttpTransport::Accept()
{
    acceptor_.async_accept([this](const std::error_code& ec, tcp::socket socket) {
        if (ec) {
            if (ec != asio::error::operation_aborted && acceptor_.is_open())
                backoff_.Failed("http", ec, [this] { Accept(); });
            return;
        }
        backoff_.Succeeded();
        auto admission = gate_.AdmitSocket(socket, "http");
        if (admission) {
            auto connection = std::make_shared<HttpConnection>(*this, std::move(socket), std::move(admission));
            {
                std::lock_guard<std::mutex> lock(mutex_);
                connections_.erase(std::remove_if(connections_.begin(), connections_.end(),
                                                  [](const auto& weak) { return weak.expired(); }),
                                   connections_.end());
                connections_.push_back(connection);
            }
            connection->Start();
        }
        Accept();
    });
}

void HttpTransport::Stop()
{
    asio::post(io_, [this] {
        std::error_code ec;
        acceptor_.close(ec);
    });
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_)
            return;
        stopping_ = true;
        for (auto& weak : connections_)
            if (auto connection = weak.lock())
                connection->Interrupt();
    }
    workers_.Stop();
    io_.stop();
    if (thread_.joinable())
        thread_.join();
    std::error_code ec;
    acceptor_.close(ec);
}

}  // namespace Tessel
