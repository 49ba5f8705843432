#include "http_service.h"

#include "http_ranges.h"
#include "log.h"

#include <httplib.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace Tessel {

namespace {

const char* const kDownloads = "/d/";

}  // namespace

// The routes of cpp-httplib, run on requests the transport read.
class HttpRouter : public httplib::Server {
public:
    // The library streams content only while its listening socket is set;
    // here it never listens, and a descriptor of no use stands in.
    HttpRouter() : stand_in_(::open("/dev/null", O_RDONLY | O_CLOEXEC)) { svr_sock_ = stand_in_; }
    ~HttpRouter() override
    {
        if (stand_in_ >= 0)
            ::close(stand_in_);
    }
    HttpRouter(const HttpRouter&) = delete;
    HttpRouter& operator=(const HttpRouter&) = delete;

    bool Answer(httplib::Stream& stream, bool last, bool& closed)
    {
        // Ranges are answered by the download route alone, merged and
        // bounded; never by the library, whose multipart replies grow with
        // the ranges asked for. Everything else is sent whole.
        return process_request(stream, last, closed, [](httplib::Request& req) {
            req.ranges.clear();
            if (req.path.rfind(kDownloads, 0) != 0)
                req.headers.erase("Range");
        });
    }

private:
    const int stand_in_;
};

namespace {

constexpr size_t kMaxRanges = 8;

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

HttpService::HttpService(Store& store, SessionTable& sessions, const HttpLimits& limits, AddressGate& gate)
    : store_(store), sessions_(sessions), limits_(limits), router_(std::make_unique<HttpRouter>()),
      transport_(limits, gate, [this](httplib::Stream& stream, bool last, bool& closed) {
          return router_->Answer(stream, last, closed);
      })
{
}

HttpService::~HttpService() { Stop(); }

void HttpService::Download(const httplib::Request& req, httplib::Response& res)
{
    const auto session = sessions_.FindByKey(req.get_param_value("key"));
    if (!session) {
        Fail(res, 403, "unknown or expired session key", req);
        return;
    }
    EntryRow entry;
    if (store_.GetEntry(session->user_id, std::stoll(req.matches[1]), entry) != StoreStatus::Ok || !entry.is_file) {
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
    const std::string size = std::to_string(entry.size);
    ByteRange part{0, entry.size ? entry.size - 1 : 0};
    const RangeAnswer answer = req.has_header("Range")
                                   ? AnswerRange(req.get_header_value("Range"), entry.size, kMaxRanges, part)
                                   : RangeAnswer::Whole;
    if (answer == RangeAnswer::Unsatisfiable) {
        res.status = 416;
        res.set_header("Content-Range", "bytes */" + size);
        return;
    }
    uint64_t offset = 0;
    uint64_t length = entry.size;
    if (answer == RangeAnswer::Part) {
        res.status = 206;
        res.set_header("Content-Range",
                       "bytes " + std::to_string(part.first) + "-" + std::to_string(part.last) + "/" + size);
        offset = part.first;
        length = part.last - part.first + 1;
    }
    res.set_content_provider(static_cast<size_t>(length), "application/octet-stream",
                             [file, offset](size_t at, size_t count, httplib::DataSink& sink) {
                                 std::vector<char> buffer(std::min<size_t>(count, 65536));
                                 const ssize_t n = ::pread(file->fd, buffer.data(), buffer.size(),
                                                           static_cast<off_t>(offset + at));
                                 if (n <= 0)
                                     return false;
                                 return sink.write(buffer.data(), static_cast<size_t>(n));
                             });
}

httplib::Server& HttpService::routes()
{
    return *router_;
}

bool HttpService::Start(const std::string& address, uint16_t port, const std::string& static_dir, std::string& error)
{
    router_->Get(R"(/d/(\d{1,10}))",
                 [this](const httplib::Request& req, httplib::Response& res) { Download(req, res); });
    if (!static_dir.empty() && !router_->set_mount_point("/static", static_dir)) {
        error = "cannot serve " + static_dir;
        return false;
    }
    // What the replies announce about keeping the connection.
    router_->set_keep_alive_timeout(limits_.idle_timeout.count());
    router_->set_keep_alive_max_count(limits_.max_requests);
    router_->set_logger([](const httplib::Request& req, const httplib::Response& res) {
        if (res.status >= 400 && req.path.rfind("/d/", 0) != 0)
            LogLine("http " + req.remote_addr + " " + req.method + " " + req.path + " answered " +
                    std::to_string(res.status));
    });
    return transport_.Listen(address, port, error);
}

void HttpService::Stop() { transport_.Stop(); }

}  // namespace Tessel
