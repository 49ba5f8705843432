// The crash-report endpoint: who may send, what is refused before the body
// is read, what a stored report looks like, and the operator's listing.
#include "crash_reports.h"
#include "crashrpt/report_format.h"
#include "deployment.h"
#include "test_client.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace Tessel {
namespace {

constexpr char kAccount[] = "reporter";
constexpr char kPassword[] = "s3cret:with colon";

std::string ReadAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Sends raw bytes and returns everything the server answers until it
// closes the connection (or ten seconds pass).
std::string RawExchange(uint16_t port, const std::string& request)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::recv(fd, buffer, sizeof(buffer), 0)) > 0)
            answer.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return answer;
}

int StatusOf(const std::string& answer)
{
    return answer.size() > 12 && answer.compare(0, 9, "HTTP/1.1 ") == 0 ? std::stoi(answer.substr(9, 3)) : 0;
}

// A request head announcing a body that never comes: an answer other than
// the one for a body cut short shows that the server did not wait for it.
std::string Head(const std::string& authorization, const std::string& content_type, const std::string& length)
{
    std::string head = "POST /crash-reports HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    if (!authorization.empty())
        head += "Authorization: " + authorization + "\r\n";
    if (!content_type.empty())
        head += "Content-Type: " + content_type + "\r\n";
    head += length.empty() ? "Transfer-Encoding: chunked\r\n" : "Content-Length: " + length + "\r\n";
    return head + "\r\n";
}

class CrashReportTest : public ::testing::Test {
protected:
    static ServerConfig Config(uint64_t max_report = 1 << 20, uint64_t max_total = 8 << 20)
    {
        ServerConfig config;
        config.crash_reports.account = kAccount;
        config.crash_reports.password = kPassword;
        config.crash_reports.max_report_bytes = max_report;
        config.crash_reports.max_total_bytes = max_total;
        return config;
    }

    void SetUp() override { ASSERT_TRUE(server_.ok()); }

    httplib::Result Post(const httplib::MultipartFormDataItems& items, const std::string& password = kPassword)
    {
        httplib::Client client("127.0.0.1", server_.http_port());
        client.set_basic_auth(kAccount, password.c_str());
        return client.Post("/crash-reports", items);
    }

    fs::path ReportsDir() const { return fs::path(server_.dir()) / "data" / "crash-reports"; }

    std::vector<std::string> StoredIds() const
    {
        std::vector<std::string> ids;
        for (const auto& entry : fs::directory_iterator(ReportsDir())) {
            const std::string name = entry.path().filename().string();
            if (name[0] != '.')
                ids.push_back(name);
        }
        return ids;
    }

    bool IncomingIsEmpty() const { return fs::is_empty(ReportsDir() / ".incoming"); }

    TestServer server_{Config()};
};

const httplib::MultipartFormDataItems kReport = {
    {"version", "v1.0.0.1(1)/2024_05_01/10_30_00_123", "", ""},
    {"log", "Version: v1\n\n\n\nUserID: 0\nUserIP: 0.0.0.0", "crash.log", "application/octet-stream"},
    {"dump", std::string("MDMP\0\0binary", 12), "crash.dmp", "application/octet-stream"},
};

TEST_F(CrashReportTest, StoresEachReportInAFolderOfItsOwn)
{
    httplib::MultipartFormDataItems items = kReport;
    items.push_back({"file", "<state/>", "demo.user_cfg", "application/octet-stream"});
    items.push_back({"file", "second", "demo.user_cfg", "application/octet-stream"});
    items.push_back({"file", "escape", "../../.hidden", "application/octet-stream"});
    auto res = Post(items);
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 201) << res->body;

    const std::vector<std::string> ids = StoredIds();
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_EQ(res->body, ids[0] + "\n");
    const fs::path report = ReportsDir() / ids[0];
    EXPECT_EQ(ReadAll(report / "crash.dmp"), std::string("MDMP\0\0binary", 12));
    EXPECT_EQ(ReadAll(report / "crash.log"), "Version: v1\n\n\n\nUserID: 0\nUserIP: 0.0.0.0");
    EXPECT_EQ(ReadAll(report / "files" / "demo.user_cfg"), "<state/>");
    EXPECT_EQ(ReadAll(report / "files" / "2-demo.user_cfg"), "second") << "a second file of the same name";
    EXPECT_EQ(ReadAll(report / "files" / "file.hidden"), "escape") << "no folders, no hidden names";
    EXPECT_TRUE(IncomingIsEmpty());

    std::vector<CrashReportInfo> listed;
    std::string error;
    ASSERT_TRUE(CrashReportStore::List(server_.dir() + "/data", listed, error)) << error;
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].id, ids[0]);
    EXPECT_EQ(listed[0].from, "127.0.0.1");
    EXPECT_EQ(listed[0].version, "v1.0.0.1(1)/2024_05_01/10_30_00_123");
    uint64_t bytes = 0;
    for (const auto& item : items)
        bytes += item.filename.empty() ? 0 : item.content.size();
    EXPECT_EQ(listed[0].bytes, bytes) << "the stored files, version and info left out";
    EXPECT_EQ(listed[0].files, "crash.log crash.dmp files/demo.user_cfg files/2-demo.user_cfg files/file.hidden");
    EXPECT_EQ(listed[0].received.size(), 20u) << listed[0].received;
}

TEST_F(CrashReportTest, RefusesAWrongOrMissingAccountWithoutReadingTheBody)
{
    const std::string form = "multipart/form-data; boundary=B";
    for (const std::string& authorization :
         {std::string(), CrashRpt::BasicAuthorization(kAccount, "wrong"), CrashRpt::BasicAuthorization("other", kPassword),
          CrashRpt::BasicAuthorization(kAccount, std::string(kPassword) + "x"), std::string("Basic !!!!"),
          std::string("Basic"), std::string("Bearer abc")}) {
        const std::string answer = RawExchange(server_.http_port(), Head(authorization, form, "1000"));
        EXPECT_EQ(StatusOf(answer), 401) << authorization << "\n" << answer;
        EXPECT_NE(answer.find("WWW-Authenticate: Basic"), std::string::npos) << answer;
    }
    auto res = Post(kReport, "wrong");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 401);
    EXPECT_TRUE(StoredIds().empty());
}

TEST_F(CrashReportTest, RefusesOversizeUnannouncedAndNonFormBodiesUpFront)
{
    const std::string auth = CrashRpt::BasicAuthorization(kAccount, kPassword);
    const std::string form = "multipart/form-data; boundary=B";
    EXPECT_EQ(StatusOf(RawExchange(server_.http_port(), Head(auth, form, std::to_string((1 << 20) + 1)))), 413);
    EXPECT_EQ(StatusOf(RawExchange(server_.http_port(), Head(auth, form, "99999999999999999999"))), 411);
    EXPECT_EQ(StatusOf(RawExchange(server_.http_port(), Head(auth, form, ""))), 411) << "chunked";
    EXPECT_EQ(StatusOf(RawExchange(server_.http_port(), Head(auth, "application/octet-stream", "10"))), 415);
    EXPECT_TRUE(StoredIds().empty());
    EXPECT_TRUE(IncomingIsEmpty());
}

TEST_F(CrashReportTest, RefusesMalformedFormsAndKeepsNothingOfThem)
{
    const auto with = [](httplib::MultipartFormDataItems items, const httplib::MultipartFormData& extra) {
        items.push_back(extra);
        return items;
    };
    httplib::MultipartFormDataItems too_many = kReport;
    for (int i = 0; i < 17; ++i)
        too_many.push_back({"file", "x", "f" + std::to_string(i), ""});
    const std::vector<httplib::MultipartFormDataItems> bad = {
        {kReport[0], kReport[2]},                                        // no log
        with(kReport, {"log", "again", "crash.log", ""}),                // two logs
        with(kReport, {"dump", "again", "crash.dmp", ""}),               // two dumps
        with(kReport, {"version", "again", "", ""}),                     // two versions
        with(kReport, {"secret", "x", "", ""}),                          // unknown field
        {{"version", std::string(257, 'v'), "", ""}, kReport[1]},        // version too long
        {{"version", "line\nbreak", "", ""}, kReport[1]},                // not printable
        {{"version", "\xff\xfe", "", ""}, kReport[1]},                   // not UTF-8
        too_many,
    };
    for (size_t i = 0; i < bad.size(); ++i) {
        auto res = Post(bad[i]);
        ASSERT_TRUE(res) << i;
        EXPECT_EQ(res->status, 400) << i << ": " << res->body;
    }
    const std::string auth = CrashRpt::BasicAuthorization(kAccount, kPassword);
    const std::string body = "--B\r\nContent-Disposition: form-data; name=\"log\"; filename=\"crash.log\"\r\n\r\ncut";
    const std::string head = Head(auth, "multipart/form-data; boundary=B", std::to_string(body.size()));
    EXPECT_EQ(StatusOf(RawExchange(server_.http_port(), head + body)), 400) << "a body that ends inside a part";
    EXPECT_TRUE(StoredIds().empty());
    EXPECT_TRUE(IncomingIsEmpty());
}

// Runs the real executable; its stdout, and its exit code in *code.
std::string RunServerCommand(const std::string& arguments, int* code)
{
    std::string output;
    FILE* pipe = ::popen((std::string(TESSEL_SERVER_BINARY) + " " + arguments + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr)
        return output;
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0)
        output.append(buffer, n);
    const int status = ::pclose(pipe);
    *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return output;
}

TEST_F(CrashReportTest, TheOperatorListsTheStoredReports)
{
    auto res = Post(kReport);
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 201);
    int code = -1;
    const std::string listing = RunServerCommand("crash-reports " + server_.dir() + "/data", &code);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(listing.rfind(StoredIds()[0] + "\t", 0), 0u) << listing;
    EXPECT_NE(listing.find("\t127.0.0.1\t52\tv1.0.0.1(1)/2024_05_01/10_30_00_123\tcrash.log crash.dmp\n"),
              std::string::npos)
        << listing;
    RunServerCommand("crash-reports", &code);
    EXPECT_EQ(code, 2);
    RunServerCommand("serve " + server_.dir() + "/data --crash-max-size 0", &code);
    EXPECT_EQ(code, 2) << "a bad option stops the server before it starts";
}

TEST(CrashReportStorage, RefusesWhatWouldGrowTheStorePastItsLimitAndCountsAfterARestart)
{
    ServerConfig config;
    config.crash_reports.max_total_bytes = 3000;
    TestServer server(config);
    ASSERT_TRUE(server.ok());
    const auto post = [&server](size_t log_bytes) {
        httplib::Client client("127.0.0.1", server.http_port());
        client.set_basic_auth(TAVO_CRASH_REPORT_ACCOUNT, TAVO_CRASH_REPORT_PASSWORD);
        auto res = client.Post("/crash-reports", {{"log", std::string(log_bytes, 'l'), "crash.log", ""}});
        return res ? res->status : 0;
    };
    EXPECT_EQ(post(1000), 201) << "the defaults are the account the clients are built with";
    EXPECT_EQ(post(2500), 507);
    EXPECT_EQ(post(1000), 201);
    ASSERT_TRUE(server.Restart());
    EXPECT_EQ(post(1000), 507) << "the stored reports count after a restart";
}

TEST(CrashReportStorage, AStartRemovesUploadsAStopCutShort)
{
    ServerConfig config;
    TestServer server(config);
    ASSERT_TRUE(server.ok());
    const fs::path incoming = fs::path(server.dir()) / "data" / "crash-reports" / ".incoming";
    fs::create_directories(incoming / "cut" / "files");
    std::ofstream(incoming / "cut" / "crash.dmp") << "half";
    ASSERT_TRUE(server.Restart());
    EXPECT_TRUE(fs::is_empty(incoming));
}

TEST(CrashReportOptions, TakesTheAccountAndLimitsAndRefusesBadValues)
{
    CrashReportConfig config;
    std::string error;
    ASSERT_TRUE(ParseCrashReportOptions({{"--crash-account", "ops"},
                                         {"--crash-password", "pw"},
                                         {"--crash-max-size", "2M"},
                                         {"--crash-max-total", "1G"}},
                                        config, error));
    EXPECT_EQ(config.account, "ops");
    EXPECT_EQ(config.password, "pw");
    EXPECT_EQ(config.max_report_bytes, 2u << 20);
    EXPECT_EQ(config.max_total_bytes, 1u << 30);
    for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
             {"--crash-account", ""}, {"--crash-account", "a:b"}, {"--crash-account", "tab\t"},
             {"--crash-password", ""}, {"--crash-max-size", "0"}, {"--crash-max-total", "lots"}}) {
        CrashReportConfig untouched;
        EXPECT_FALSE(ParseCrashReportOptions({{name, value}}, untouched, error)) << name << "=" << value;
    }
}

}  // namespace
}  // namespace Tessel
