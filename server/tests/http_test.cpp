// Downloads and static files over HTTP.
#include "crypto.h"
#include "http_ranges.h"
#include "test_client.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <fstream>
#include <thread>

namespace Tessel {
namespace {

std::string PathOf(const std::string& address)
{
    const size_t slash = address.find('/', std::string("http://").size());
    return slash == std::string::npos ? address : address.substr(slash);
}

class HttpTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server_.ok());
        ASSERT_TRUE(sync_.Connect(server_.sync_port()));
        ASSERT_EQ(sync_.SignOn("demo", "demo123", &session_), ResSignedOn);
    }

    httplib::Result Get(const std::string& path)
    {
        httplib::Client client("127.0.0.1", server_.http_port());
        return client.Get(path);
    }

    TestServer server_;
    TestClient sync_;
    SessionReply session_;
};

TEST_F(HttpTest, ServesTheCurrentContentToItsOwnersKey)
{
    std::string content(300000, 'q');
    content[1234] = 'x';
    ASSERT_EQ(UploadFile(sync_, server_.data_port(), 0, "big.dat", content), ResUploadComplete);
    EntryRecord entry;
    ASSERT_EQ(sync_.LookupEntry(0, "big.dat", &entry), ResEntryFound);
    auto res = Get(PathOf(entry.address) + session_.key);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, content);

    ASSERT_EQ(UploadFile(sync_, server_.data_port(), 0, "big.dat", "replaced"), ResUploadComplete);
    res = Get(PathOf(entry.address) + session_.key);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, "replaced") << "the same address serves the current content";
}

TEST_F(HttpTest, RefusesWrongExpiredAndForeignKeys)
{
    ASSERT_EQ(UploadFile(sync_, server_.data_port(), 0, "secret.txt", "secret"), ResUploadComplete);
    EntryRecord entry;
    ASSERT_EQ(sync_.LookupEntry(0, "secret.txt", &entry), ResEntryFound);
    const std::string path = PathOf(entry.address);

    auto res = Get(path + std::string(32, 'A'));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);
    res = Get(path);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);

    TestClient other;
    ASSERT_TRUE(other.Connect(server_.sync_port()));
    SessionReply foreign;
    ASSERT_EQ(other.SignOn("small", "small123", &foreign), ResSignedOn);
    res = Get(path + foreign.key);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 404) << "another account's key finds no such file";

    ASSERT_EQ(sync_.SignOff(session_.user_id, session_.key), ResSignedOff);
    res = Get(path + session_.key);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403) << "a signed-off key";
}

TEST_F(HttpTest, KeysEndWithAPasswordChange)
{
    ASSERT_EQ(UploadFile(sync_, server_.data_port(), 0, "mine.txt", "mine"), ResUploadComplete);
    EntryRecord entry;
    ASSERT_EQ(sync_.LookupEntry(0, "mine.txt", &entry), ResEntryFound);
    auto res = Get(PathOf(entry.address) + session_.key);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    AccountChange change;
    change.password_digest = Md5Hex("changed");
    ASSERT_EQ(server_.app().store().UpdateAccount("demo", change), StoreStatus::Ok);
    res = Get(PathOf(entry.address) + session_.key);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);
}

TEST_F(HttpTest, RangesAreMergedAndNeverMakeTheReplyLargerThanTheContent)
{
    std::string content(100000, '\0');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>('a' + i % 26);
    ASSERT_EQ(UploadFile(sync_, server_.data_port(), 0, "ranged.txt", content), ResUploadComplete);
    EntryRecord entry;
    ASSERT_EQ(sync_.LookupEntry(0, "ranged.txt", &entry), ResEntryFound);
    const std::string path = PathOf(entry.address) + session_.key;
    httplib::Client client("127.0.0.1", server_.http_port());
    auto get = [&](const std::string& range) { return client.Get(path, httplib::Headers{{"Range", range}}); };

    auto res = get("bytes=5-9");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 206);
    EXPECT_EQ(res->body, content.substr(5, 5));
    EXPECT_EQ(res->get_header_value("Content-Range"), "bytes 5-9/100000");
    res = get("bytes=0-,0-");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 206);
    EXPECT_EQ(res->body, content) << "one part, the two ranges merged";
    EXPECT_EQ(res->get_header_value("Content-Range"), "bytes 0-99999/100000");
    res = get("bytes=0-9, 10-19");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, content.substr(0, 20));
    res = get("bytes=-10");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, content.substr(content.size() - 10));

    std::string many = "bytes=";
    for (int i = 0; i < 900; ++i)
        many += (i ? "," : "") + std::to_string(i) + "-";
    res = get(many);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << "too many ranges: the whole content, once";
    EXPECT_EQ(res->body.size(), content.size());
    res = get("bytes=0-9,20-29");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << "ranges that stay apart: the whole content";
    EXPECT_EQ(res->body, content);
    res = get("bytes=200000-");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 416);
    EXPECT_EQ(res->get_header_value("Content-Range"), "bytes */100000");
}

TEST(HttpRanges, HeadersAreParsedStrictlyAndMerged)
{
    ByteRange part;
    EXPECT_EQ(AnswerRange("bytes=10-19", 100, 8, part), RangeAnswer::Part);
    EXPECT_EQ(part.first, 10u);
    EXPECT_EQ(part.last, 19u);
    EXPECT_EQ(AnswerRange("bytes=90-", 100, 8, part), RangeAnswer::Part);
    EXPECT_EQ(part.last, 99u);
    EXPECT_EQ(AnswerRange("bytes=-500", 100, 8, part), RangeAnswer::Part);
    EXPECT_EQ(part.first, 0u);
    EXPECT_EQ(AnswerRange("bytes=50-1000", 100, 8, part), RangeAnswer::Part);
    EXPECT_EQ(part.last, 99u);
    EXPECT_EQ(AnswerRange("bytes=0-4,3-8,9-9", 100, 8, part), RangeAnswer::Part);
    EXPECT_EQ(part.first, 0u);
    EXPECT_EQ(part.last, 9u);
    EXPECT_EQ(AnswerRange("bytes=100-", 100, 8, part), RangeAnswer::Unsatisfiable);
    EXPECT_EQ(AnswerRange("bytes=-0", 100, 8, part), RangeAnswer::Unsatisfiable);
    EXPECT_EQ(AnswerRange("bytes=0-", 0, 8, part), RangeAnswer::Unsatisfiable);
    for (const char* ignored : {"", "bytes=", "items=0-1", "bytes=5-2", "bytes=a-b", "bytes=1", "bytes=-",
                                "bytes=0-1,2-3,4-5,6-7,8-9,10-11,12-13,14-15,16-17",
                                "bytes=99999999999999999999-"})
        EXPECT_EQ(AnswerRange(ignored, 100, 8, part), RangeAnswer::Whole) << ignored;
}

TEST(HttpSessions, KeysExpireAfterTheSessionTimeout)
{
    ServerConfig config;
    config.session_timeout = std::chrono::seconds(1);
    TestServer server(config);
    ASSERT_TRUE(server.ok());
    TestClient sync;
    ASSERT_TRUE(sync.Connect(server.sync_port()));
    SessionReply session;
    ASSERT_EQ(sync.SignOn("demo", "demo123", &session), ResSignedOn);
    ASSERT_EQ(UploadFile(sync, server.data_port(), 0, "f", "x"), ResUploadComplete);
    EntryRecord entry;
    ASSERT_EQ(sync.LookupEntry(0, "f", &entry), ResEntryFound);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the expiry itself is under test
    httplib::Client client("127.0.0.1", server.http_port());
    auto res = client.Get(PathOf(entry.address) + session.key);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);
}

// Clients that send their headers a byte at a time, or half a header and
// nothing more, from many addresses, beside a normal download.
TEST(HttpSlowClients, TricklingAndStalledHeadersDoNotHoldUpADownload)
{
    ServerConfig config;
    config.http.header_timeout = std::chrono::seconds(2);
    TestServer server(config);
    ASSERT_TRUE(server.ok());
    TestClient sync;
    ASSERT_TRUE(sync.Connect(server.sync_port()));
    SessionReply session;
    ASSERT_EQ(sync.SignOn("demo", "demo123", &session), ResSignedOn);
    const std::string content(1 << 20, 'z');
    ASSERT_EQ(UploadFile(sync, server.data_port(), 0, "wanted.bin", content), ResUploadComplete);
    EntryRecord entry;
    ASSERT_EQ(sync.LookupEntry(0, "wanted.bin", &entry), ResEntryFound);

    SlowHttpClients slow(server.http_port(), 16, 200, 1, 27);
    httplib::Client client("127.0.0.1", server.http_port());
    client.set_read_timeout(std::chrono::seconds(10));
    auto res = client.Get(PathOf(entry.address) + session.key);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body.size(), content.size());
    EXPECT_TRUE(slow.front().WaitClosed(10000)) << "a header that takes too long ends its connection";
    EXPECT_TRUE(slow.back().WaitClosed(10000));
}

TEST(HttpStatic, ServesTheStaticDirectoryOnly)
{
    const std::string dir = MakeTempDir("tessel-static");
    {
        std::ofstream(dir + "/tessel.xml") << "<manifest/>";
    }
    ServerConfig config;
    config.static_dir = dir;
    TestServer server(config);
    ASSERT_TRUE(server.ok());
    httplib::Client client("127.0.0.1", server.http_port());
    auto res = client.Get("/static/tessel.xml");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, "<manifest/>");
    res = client.Get("/static/tessel.xml", httplib::Headers{{"Range", "bytes=0-0,0-"}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << "static files are sent whole";
    EXPECT_EQ(res->body, "<manifest/>");
    res = client.Get("/static/../data/tessel.db");
    ASSERT_TRUE(res);
    EXPECT_NE(res->status, 200);
    res = client.Get("/static/%2e%2e/%2e%2e/etc/passwd");
    ASSERT_TRUE(res);
    EXPECT_NE(res->status, 200);
    res = client.Get("/static/missing.xml");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 404);
    RemoveTree(dir);
}

}  // namespace
}  // namespace Tessel
