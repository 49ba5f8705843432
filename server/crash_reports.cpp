#include "crash_reports.h"

#include "cli.h"
#include "crypto.h"
#include "log.h"

#include "common/utf.h"
#include "deployment.h"

#include <httplib.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>

namespace fs = std::filesystem;

namespace Tessel {

namespace {

constexpr size_t kMaxVersionBytes = 256;
constexpr size_t kMaxAttachedFiles = 16;
constexpr size_t kMaxStoredNameBytes = 100;
constexpr size_t kMaxAuthorizationBytes = 1024;
constexpr char kReportsFolder[] = "/crash-reports";
constexpr char kInfoFile[] = "report.txt";

std::optional<std::string> DecodeBase64(std::string_view text)
{
    if (text.empty() || text.size() % 4 != 0 || text.size() > kMaxAuthorizationBytes)
        return std::nullopt;
    std::string out(text.size() / 4 * 3, '\0');
    const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                       reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (length < 0)
        return std::nullopt;
    // The decoder counts the padding as zero bytes.
    size_t padding = 0;
    while (padding < 2 && text[text.size() - 1 - padding] == '=')
        ++padding;
    out.resize(static_cast<size_t>(length) - padding);
    return out;
}

bool IsAuthorized(const httplib::Request& req, const CrashReportConfig& config)
{
    const std::string header = req.get_header_value("Authorization");
    constexpr std::string_view kScheme = "Basic ";
    if (header.compare(0, kScheme.size(), kScheme) != 0)
        return false;
    const auto pair = DecodeBase64(std::string_view(header).substr(kScheme.size()));
    const std::string expected = config.account + ":" + config.password;
    return pair && pair->size() == expected.size() && CRYPTO_memcmp(pair->data(), expected.data(), expected.size()) == 0;
}

std::optional<uint64_t> ContentLength(const httplib::Request& req)
{
    if (!req.has_header("Content-Length") || req.has_header("Transfer-Encoding"))
        return std::nullopt;
    const std::string text = req.get_header_value("Content-Length");
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return std::stoull(text);
}

// A file name of the sender made harmless: no folders, no leading dot,
// letters, digits and "._-" only, bounded in length.
std::string SafeFileName(const std::string& name)
{
    const size_t slash = name.find_last_of("/\\");
    std::string safe = slash == std::string::npos ? name : name.substr(slash + 1);
    if (safe.size() > kMaxStoredNameBytes)
        safe.erase(0, safe.size() - kMaxStoredNameBytes);
    for (char& c : safe) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                           c == '_' || c == '-';
        if (!plain)
            c = '_';
    }
    if (safe.empty() || safe[0] == '.')
        safe.insert(0, "file");
    return safe;
}

bool IsPrintableUtf8(const std::string& text)
{
    if (!Helper::IsValidUtf8(text))
        return false;
    for (const char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return false;
    }
    return true;
}

std::string UtcStamp(const char* format)
{
    const std::time_t now = std::time(nullptr);
    std::tm utc {};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof(text), format, &utc);
    return text;
}

void Refuse(httplib::Response& res, int status, const std::string& why, const httplib::Request& req)
{
    // What is left of the body is not read; the client learns not to send
    // more on this connection.
    res.status = status;
    res.set_header("Connection", "close");
    res.set_content(why + "\n", "text/plain");
    LogLine("http " + req.remote_addr + " POST " + req.path + " refused with " + std::to_string(status) + ": " + why);
}

uint64_t TreeBytes(const fs::path& dir)
{
    uint64_t bytes = 0;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file(ec))
            bytes += it->file_size(ec);
    }
    return bytes;
}

}  // namespace

namespace {

// One report as it comes in: written into a folder of its own under
// .incoming, moved into place only once the whole body was read and found
// sound, removed otherwise.
class ReportUpload {
public:
    ReportUpload(CrashReportStore& store, uint64_t reserved) : store_(store), reserved_(reserved) {}
    ~ReportUpload()
    {
        CloseFile();
        std::error_code ec;
        if (!committed_ && !dir_.empty())
            fs::remove_all(dir_, ec);
        store_.Settle(reserved_, committed_ ? bytes_ : 0);
    }
    ReportUpload(const ReportUpload&) = delete;
    ReportUpload& operator=(const ReportUpload&) = delete;

    bool Begin();
    bool StartPart(const httplib::MultipartFormData& part);
    bool Append(const char* data, size_t length);
    bool Commit(const std::string& from, std::string& id);
    int status() const { return status_; }
    const std::string& error() const { return error_; }

private:
    bool Fail(int status, const std::string& why)
    {
        if (status_ == 0) {
            status_ = status;
            error_ = why;
        }
        return false;
    }
    bool OpenFile(const std::string& name);
    bool CloseFile();
    std::string FreeAttachmentName(const std::string& filename) const;
    bool WriteInfo(const std::string& from) const;

    CrashReportStore& store_;
    uint64_t reserved_;
    fs::path dir_;
    int fd_ = -1;
    bool in_version_ = false;
    std::string version_;
    int versions_ = 0;
    int logs_ = 0;
    int dumps_ = 0;
    size_t attachments_ = 0;
    std::vector<std::string> files_;
    uint64_t bytes_ = 0;
    int status_ = 0;
    std::string error_;
    bool committed_ = false;
};

bool ReportUpload::Begin()
{
    std::error_code ec;
    dir_ = fs::path(store_.IncomingDir()) / RandomToken(16);
    if (!fs::create_directories(dir_ / "files", ec))
        return Fail(500, "cannot store the report");
    return true;
}

bool ReportUpload::OpenFile(const std::string& name)
{
    fd_ = ::open((dir_ / name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0640);
    if (fd_ < 0)
        return Fail(500, "cannot store the report");
    files_.push_back(name);
    return true;
}

bool ReportUpload::CloseFile()
{
    in_version_ = false;
    if (fd_ < 0)
        return true;
    const bool closed = ::close(fd_) == 0;
    fd_ = -1;
    return closed || Fail(500, "cannot store the report");
}

std::string ReportUpload::FreeAttachmentName(const std::string& filename) const
{
    const std::string safe = SafeFileName(filename);
    std::string name = "files/" + safe;
    for (int n = 2; std::find(files_.begin(), files_.end(), name) != files_.end(); ++n)
        name = "files/" + std::to_string(n) + "-" + safe;
    return name;
}

bool ReportUpload::StartPart(const httplib::MultipartFormData& part)
{
    if (!CloseFile())
        return false;
    if (part.name == "version") {
        in_version_ = ++versions_ == 1;
        return in_version_ || Fail(400, "more than one version");
    }
    if (part.name == "log")
        return ++logs_ == 1 ? OpenFile("crash.log") : Fail(400, "more than one log");
    if (part.name == "dump")
        return ++dumps_ == 1 ? OpenFile("crash.dmp") : Fail(400, "more than one dump");
    if (part.name != "file")
        return Fail(400, "unknown form field");
    if (++attachments_ > kMaxAttachedFiles)
        return Fail(400, "more than " + std::to_string(kMaxAttachedFiles) + " attached files");
    return OpenFile(FreeAttachmentName(part.filename));
}

bool ReportUpload::Append(const char* data, size_t length)
{
    if (!in_version_ && fd_ < 0)
        return Fail(400, "content outside a form field");
    if (in_version_) {
        if (version_.size() + length > kMaxVersionBytes)
            return Fail(400, "version longer than " + std::to_string(kMaxVersionBytes) + " bytes");
        version_.append(data, length);
        return true;
    }
    while (length > 0) {
        const ssize_t written = ::write(fd_, data, length);
        if (written <= 0)
            return Fail(507, "cannot store the report");
        data += written;
        length -= static_cast<size_t>(written);
        bytes_ += static_cast<uint64_t>(written);
    }
    return true;
}

bool ReportUpload::WriteInfo(const std::string& from) const
{
    std::string files;
    for (const std::string& name : files_)
        files += (files.empty() ? "" : " ") + name;
    std::ofstream info(dir_ / kInfoFile, std::ios::binary | std::ios::trunc);
    info << "received: " << UtcStamp("%Y-%m-%dT%H:%M:%SZ") << "\nfrom: " << from << "\nversion: " << version_
         << "\nbytes: " << bytes_ << "\nfiles: " << files << "\n";
    info.close();
    return static_cast<bool>(info);
}

bool ReportUpload::Commit(const std::string& from, std::string& id)
{
    if (!CloseFile())
        return false;
    if (logs_ == 0)
        return Fail(400, "no log");
    if (!IsPrintableUtf8(version_))
        return Fail(400, "version is not printable UTF-8");
    if (!WriteInfo(from))
        return Fail(507, "cannot store the report");
    // Ids sort by arrival; the random tail keeps two in the same second apart.
    for (int attempt = 0; attempt < 3 && !committed_; ++attempt) {
        id = UtcStamp("%Y%m%d-%H%M%S-") + RandomToken(6);
        std::error_code ec;
        fs::rename(dir_, fs::path(store_.dir()) / id, ec);
        committed_ = !ec;
    }
    return committed_ || Fail(500, "cannot store the report");
}

}  // namespace

CrashReportConfig::CrashReportConfig() : account(TAVO_CRASH_REPORT_ACCOUNT), password(TAVO_CRASH_REPORT_PASSWORD) {}

const char* const kCrashReportUsage =
    "                      [--crash-account NAME] [--crash-password PASSWORD]\n"
    "                      [--crash-max-size SIZE] [--crash-max-total SIZE]\n";

bool IsCrashReportOption(const std::string& name)
{
    return name == "--crash-account" || name == "--crash-password" || name == "--crash-max-size" ||
           name == "--crash-max-total";
}

bool ParseCrashReportOptions(const std::map<std::string, std::string>& options, CrashReportConfig& config,
                             std::string& error)
{
    if (options.count("--crash-account")) {
        config.account = options.at("--crash-account");
        // Basic authorization ends the account at the first colon.
        if (config.account.empty() || config.account.find(':') != std::string::npos || !IsPrintableUtf8(config.account)) {
            error = "bad --crash-account";
            return false;
        }
    }
    if (options.count("--crash-password")) {
        config.password = options.at("--crash-password");
        if (config.password.empty() || !IsPrintableUtf8(config.password)) {
            error = "bad --crash-password";
            return false;
        }
    }
    for (const auto& [name, limit] : {std::pair<const char*, uint64_t*>{"--crash-max-size", &config.max_report_bytes},
                                      std::pair<const char*, uint64_t*>{"--crash-max-total", &config.max_total_bytes}}) {
        if (!options.count(name))
            continue;
        const auto size = ParseSize(options.at(name));
        if (!size || *size == 0) {
            error = std::string("bad ") + name;
            return false;
        }
        *limit = *size;
    }
    return true;
}

std::unique_ptr<CrashReportStore> CrashReportStore::Open(const std::string& data_dir, std::string& error)
{
    std::unique_ptr<CrashReportStore> store(new CrashReportStore(data_dir + kReportsFolder));
    std::error_code ec;
    fs::remove_all(store->IncomingDir(), ec);
    fs::create_directories(store->IncomingDir(), ec);
    if (ec) {
        error = "cannot create " + store->IncomingDir() + ": " + ec.message();
        return nullptr;
    }
    store->stored_ = TreeBytes(store->dir_);
    return store;
}

bool CrashReportStore::Reserve(uint64_t bytes, uint64_t limit)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (stored_ + reserved_ + bytes > limit)
        return false;
    reserved_ += bytes;
    return true;
}

void CrashReportStore::Settle(uint64_t reserved, uint64_t stored)
{
    std::lock_guard<std::mutex> hold(lock_);
    reserved_ -= reserved;
    stored_ += stored;
}

bool CrashReportStore::List(const std::string& data_dir, std::vector<CrashReportInfo>& reports, std::string& error)
{
    const fs::path dir = data_dir + kReportsFolder;
    std::error_code ec;
    if (!fs::exists(dir, ec))
        return true;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string id = it->path().filename().string();
        if (id.empty() || id[0] == '.' || !it->is_directory(ec))
            continue;
        CrashReportInfo info;
        info.id = id;
        std::ifstream file(it->path() / kInfoFile);
        for (std::string line; std::getline(file, line);) {
            const size_t colon = line.find(": ");
            const std::string key = line.substr(0, colon);
            const std::string value = colon == std::string::npos ? "" : line.substr(colon + 2);
            if (key == "received")
                info.received = value;
            else if (key == "from")
                info.from = value;
            else if (key == "version")
                info.version = value;
            else if (key == "bytes")
                info.bytes = std::strtoull(value.c_str(), nullptr, 10);
            else if (key == "files")
                info.files = value;
        }
        reports.push_back(info);
    }
    if (ec) {
        error = "cannot read " + dir.string() + ": " + ec.message();
        return false;
    }
    std::sort(reports.begin(), reports.end(),
              [](const CrashReportInfo& a, const CrashReportInfo& b) { return a.id < b.id; });
    return true;
}

bool CrashReportService::Open(const std::string& data_dir, std::string& error)
{
    store_ = CrashReportStore::Open(data_dir, error);
    return store_ != nullptr;
}

void CrashReportService::Register(httplib::Server& server)
{
    server.Post(kReportsFolder, [this](const httplib::Request& req, httplib::Response& res,
                                       const httplib::ContentReader& reader) {
        if (!IsAuthorized(req, config_)) {
            res.set_header("WWW-Authenticate", "Basic realm=\"crash-reports\"");
            return Refuse(res, 401, "wrong or missing crash-report account", req);
        }
        if (!req.is_multipart_form_data())
            return Refuse(res, 415, "not multipart/form-data", req);
        const auto length = ContentLength(req);
        if (!length)
            return Refuse(res, 411, "no Content-Length", req);
        if (*length > config_.max_report_bytes)
            return Refuse(res, 413, "larger than " + std::to_string(config_.max_report_bytes) + " bytes", req);
        if (!store_->Reserve(*length, config_.max_total_bytes))
            return Refuse(res, 507, "crash-report storage full", req);
        ReportUpload upload(*store_, *length);
        std::string id;
        const bool read =
            upload.Begin() && reader([&](const httplib::MultipartFormData& part) { return upload.StartPart(part); },
                                     [&](const char* data, size_t size) { return upload.Append(data, size); });
        if (!read || !upload.Commit(req.remote_addr, id))
            return Refuse(res, upload.status() ? upload.status() : 400,
                          upload.error().empty() ? "malformed body" : upload.error(), req);
        LogLine("crash report " + id + " from " + req.remote_addr + ": " + std::to_string(*length) + " bytes");
        res.status = 201;
        res.set_content(id + "\n", "text/plain");
    });
}

int ListCrashReports(const std::vector<std::string>& positional)
{
    if (positional.size() != 1) {
        std::fprintf(stderr, "tessel-server: crash-reports takes one data directory\n");
        return 2;
    }
    std::error_code ec;
    if (!fs::is_directory(positional[0], ec)) {
        std::fprintf(stderr, "tessel-server: %s is not a data directory\n", positional[0].c_str());
        return 1;
    }
    std::vector<CrashReportInfo> reports;
    std::string error;
    if (!CrashReportStore::List(positional[0], reports, error)) {
        std::fprintf(stderr, "tessel-server: %s\n", error.c_str());
        return 1;
    }
    for (const CrashReportInfo& info : reports)
        std::printf("%s\t%s\t%s\t%llu\t%s\t%s\n", info.id.c_str(), info.received.c_str(), info.from.c_str(),
                    static_cast<unsigned long long>(info.bytes), info.version.c_str(), info.files.c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace Tessel
