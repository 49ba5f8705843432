// The HTTP server: file contents under /d/<id>?key=<session key>, and a
// directory of static files (update manifests and packages) under /static/.
#pragma once

#include "sessions.h"
#include "store.h"

#include <memory>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace Tessel {

class HttpService {
public:
    HttpService(Store& store, SessionTable& sessions);
    ~HttpService();
    HttpService(const HttpService&) = delete;
    HttpService& operator=(const HttpService&) = delete;

    // Binds (port 0 = any free port) and serves on a thread of its own.
    bool Start(const std::string& address, uint16_t port, const std::string& static_dir, std::string& error);
    void Stop();
    uint16_t port() const { return port_; }
    // For adding routes before Start.
    httplib::Server& router() { return *server_; }

private:
    Store& store_;
    SessionTable& sessions_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    uint16_t port_ = 0;
};

}  // namespace Tessel
