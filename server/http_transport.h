// The connections of the HTTP server. They are accepted and their request
// headers read without holding a thread (one asio thread does it for all),
// within a time limit that runs from a request's first byte; only a request
// whose header is complete goes to one of a fixed number of workers, which
// runs the router on it over a blocking stream with stall limits. Clients
// that trickle or stall therefore hold no worker while they do; the limits
// per address and in total bound the connections they can hold.
#pragma once

#include "connection_gate.h"

#include <asio.hpp>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Stream;
}

namespace Tessel {

struct HttpLimits {
    unsigned workers = 32;
    size_t per_address = 8;
    // From a request's first byte to the end of its header.
    std::chrono::seconds header_timeout{10};
    // The wait for the next request, and any stall while a request is read
    // or answered.
    std::chrono::seconds idle_timeout{15};
    size_t max_header_bytes = 16384;
    unsigned max_requests = 100;  // per connection
};

// A fixed set of threads that run queued jobs in order.
class WorkerPool {
public:
    explicit WorkerPool(unsigned count);
    ~WorkerPool() { Stop(); }
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;
    void Submit(std::function<void()> job);
    // Runs what is running to its end; drops what waits.
    void Stop();

private:
    void Run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    bool stopping_ = false;
};

class HttpConnection;

class HttpTransport {
public:
    // Answers one request read from stream; `last` asks to close after it.
    // False, or `closed` set, ends the connection.
    using Serve = std::function<bool(httplib::Stream& stream, bool last, bool& closed)>;

    HttpTransport(const HttpLimits& limits, AddressGate& gate, Serve serve);
    ~HttpTransport();
    HttpTransport(const HttpTransport&) = delete;
    HttpTransport& operator=(const HttpTransport&) = delete;

    // Binds (port 0: any free port) and starts accepting.
    bool Listen(const std::string& address, uint16_t port, std::string& error);
    uint16_t port() const { return port_; }
    void Stop();

private:
    friend class HttpConnection;
    void Accept();

    const HttpLimits limits_;
    AddressGate& gate_;
    Serve serve_;
    asio::io_context io_;
    asio::ip::tcp::acceptor acceptor_;
    AcceptBackoff backoff_;
    WorkerPool workers_;
    std::thread thread_;
    uint16_t port_ = 0;
    std::mutex mutex_;
    std::vector<std::weak_ptr<HttpConnection>> connections_;
    bool stopping_ = false;
};

}  // namespace Tessel
