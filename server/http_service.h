// The HTTP server: file contents under /d/<id>?key=<session key>, and a
// directory of static files (update manifests and packages) under /static/.
// cpp-httplib routes the requests; the connections are the transport's.
#pragma once

#include "http_transport.h"
#include "sessions.h"
#include "store.h"

#include <memory>
#include <string>

namespace httplib {
class Request;
class Response;
class Server;
}

namespace Tessel {

class HttpRouter;

class HttpService {
public:
    HttpService(Store& store, SessionTable& sessions, const HttpLimits& limits, AddressGate& gate);
    ~HttpService();
    HttpService(const HttpService&) = delete;
    HttpService& operator=(const HttpService&) = delete;

    // Binds (port 0 = any free port) and serves.
    bool Start(const std::string& address, uint16_t port, const std::string& static_dir, std::string& error);
    void Stop();
    uint16_t port() const { return transport_.port(); }
    // Where other services add their endpoints, before Start.
    httplib::Server& routes();

private:
    void Download(const httplib::Request& req, httplib::Response& res);

    Store& store_;
    SessionTable& sessions_;
    const HttpLimits limits_;
    std::unique_ptr<HttpRouter> router_;
    HttpTransport transport_;
};

}  // namespace Tessel
