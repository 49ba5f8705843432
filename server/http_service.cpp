#include "http_service.h"

#include "log.h"

#include <httplib.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <vector>

namespace Tessel {
namespace {

struct OpenFile {
    explicit OpenFile(int descriptor) : fd(descriptor) {}
    ~OpenFile()
    {
        if (fd >= 0)
            ::close(fd);
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    int fd;
};

void Fail(httplib::Response& res, int status, const std::string& why, const httplib::Request& req)
{
    res.status = status;
    res.set_content(why + "\n", "text/plain");
    LogLine("http " + req.remote_addr + " " + req.method + " " + req.path + " refused with " +
            std::to_string(status) + ": " + why);
}

}  // namespace

HttpService::HttpService(Store& store, SessionTable& sessions)
    : store_(store), sessions_(sessions), server_(std::make_unique<httplib::Server>())
{
}

HttpService::~HttpService() { Stop(); }

bool HttpService::Start(const std::string& address, uint16_t port, const std::string& static_dir, std::string& error)
{
    server_->Get(R"(/d/(\d{1,10}))", [this](const httplib::Request& req, httplib::Response& res) {
        const std::string key = req.get_param_value("key");
        const auto session = sessions_.FindByKey(key);
        if (!session) {
            Fail(res, 403, "unknown or expired session key", req);
            return;
        }
        const int64_t id = std::stoll(req.matches[1]);
        EntryRow entry;
        if (store_.GetEntry(session->user_id, id, entry) != StoreStatus::Ok || !entry.is_file) {
            Fail(res, 404, "no such file", req);
            return;
        }
        // Opened now: a later replacement of the content does not cut this
        // transfer short.
        auto file = std::make_shared<OpenFile>(::open(store_.ObjectPath(entry.object).c_str(), O_RDONLY | O_CLOEXEC));
        struct stat st {};
        if (file->fd < 0 || ::fstat(file->fd, &st) != 0 || static_cast<uint64_t>(st.st_size) != entry.size) {
            Fail(res, 500, "content missing", req);
            return;
        }
        res.set_content_provider(static_cast<size_t>(entry.size), "application/octet-stream",
                                 [file](size_t offset, size_t length, httplib::DataSink& sink) {
                                     std::vector<char> buffer(std::min<size_t>(length, 65536));
                                     const ssize_t n = ::pread(file->fd, buffer.data(), buffer.size(),
                                                               static_cast<off_t>(offset));
                                     if (n <= 0)
                                         return false;
                                     return sink.write(buffer.data(), static_cast<size_t>(n));
                                 });
    });
    if (!static_dir.empty() && !server_->set_mount_point("/static", static_dir)) {
        error = "cannot serve " + static_dir;
        return false;
    }
    server_->set_logger([](const httplib::Request& req, const httplib::Response& res) {
        if (res.status >= 400 && req.path.rfind("/d/", 0) != 0)
            LogLine("http " + req.remote_addr + " " + req.method + " " + req.path + " answered " +
                    std::to_string(res.status));
    });
    if (port == 0) {
        const int bound = server_->bind_to_any_port(address);
        if (bound <= 0) {
            error = "cannot listen for HTTP on " + address;
            return false;
        }
        port_ = static_cast<uint16_t>(bound);
    } else {
        if (!server_->bind_to_port(address, port)) {
            error = "cannot listen for HTTP on " + address + ":" + std::to_string(port);
            return false;
        }
        port_ = port;
    }
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // A stop before the listener runs would be lost, so Start returns only
    // once it runs.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!server_->is_running() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

void HttpService::Stop()
{
    if (thread_.joinable()) {
        server_->stop();
        thread_.join();
    }
}

}  // namespace Tessel
