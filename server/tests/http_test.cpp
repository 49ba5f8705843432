// Downloads and static files over HTTP.
#include "crypto.h"
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
