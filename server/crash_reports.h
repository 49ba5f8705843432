// Crash reports of the clients: POST /crash-reports on the HTTP server,
// authorized with one fixed account (HTTP Basic), a multipart/form-data
// body with the fields "version" (text), "log", "dump" and up to 16 "file"s.
// Each report is stored in a folder of its own under
// DATA_DIR/crash-reports; `tessel-server crash-reports DATA_DIR` lists them.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace httplib {
class Server;
}

namespace Tessel {

struct CrashReportConfig {
    std::string account;   // defaults: the fixed account the clients are built with
    std::string password;
    uint64_t max_report_bytes = 64ull << 20;  // one request body
    uint64_t max_total_bytes = 1ull << 30;    // everything stored
    CrashReportConfig();
};

// The serve options of crash reporting, for the command line's checks and usage.
bool IsCrashReportOption(const std::string& name);
extern const char* const kCrashReportUsage;
// Takes the crash-report options out of the serve options; false (with
// the reason) for a bad value.
bool ParseCrashReportOptions(const std::map<std::string, std::string>& options, CrashReportConfig& config,
                             std::string& error);

// What report.txt of a stored report says.
struct CrashReportInfo {
    std::string id;
    std::string received;  // UTC, ISO 8601
    std::string from;      // the sender's address
    std::string version;
    uint64_t bytes = 0;
    std::string files;     // stored file names, separated by blanks
};

// The folder of stored reports and the bytes they take.
class CrashReportStore {
public:
    // Creates DATA_DIR/crash-reports when missing and removes uploads that a
    // stop cut short.
    static std::unique_ptr<CrashReportStore> Open(const std::string& data_dir, std::string& error);
    // Reads the stored reports, sorted by id (the time they came).
    static bool List(const std::string& data_dir, std::vector<CrashReportInfo>& reports, std::string& error);

    const std::string& dir() const { return dir_; }
    std::string IncomingDir() const { return dir_ + "/.incoming"; }
    // Sets aside room for an upload; false when the store would grow past limit.
    bool Reserve(uint64_t bytes, uint64_t limit);
    // Gives back a reservation; stored bytes (0 for a dropped upload) count from now on.
    void Settle(uint64_t reserved, uint64_t stored);

private:
    explicit CrashReportStore(std::string dir) : dir_(std::move(dir)) {}

    std::string dir_;
    std::mutex lock_;
    uint64_t stored_ = 0;
    uint64_t reserved_ = 0;
};

class CrashReportService {
public:
    explicit CrashReportService(CrashReportConfig config) : config_(std::move(config)) {}
    bool Open(const std::string& data_dir, std::string& error);
    // Adds the endpoint; before the server starts listening.
    void Register(httplib::Server& server);

private:
    CrashReportConfig config_;
    std::unique_ptr<CrashReportStore> store_;
};

// tessel-server crash-reports DATA_DIR: one line per stored report.
int ListCrashReports(const std::vector<std::string>& positional);

}  // namespace Tessel
