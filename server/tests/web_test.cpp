// The web pages against a real server: registration, recovery, sessions,
// the rules every request must pass, and the file changes as the sync
// clients see them.
#include "cli.h"
#include "crypto.h"
#include "test_client.h"
#include "web_client.h"
#include "web_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

namespace Tessel {
namespace {

std::string RecoveryCodeOf(const std::string& page) { return Between(page, "<p class=\"code\">", "</p>"); }

class WebTest : public ::testing::Test {
protected:
    // Many registrations and sign-ins come from one address here.
    virtual ServerConfig Config()
    {
        ServerConfig config;
        config.web.sign_in = config.web.registration = config.web.recovery = RateLimit{1000, std::chrono::seconds(60)};
        return config;
    }
    void SetUp() override
    {
        server_ = std::make_unique<TestServer>(Config());
        ASSERT_TRUE(server_->ok());
    }
    Store& store() { return server_->app().store(); }
    uint16_t port() const { return server_->http_port(); }
    int64_t AccountId(const std::string& name)
    {
        AccountRecord account;
        EXPECT_TRUE(store().FindAccount(name, account)) << name;
        return account.id;
    }
    int SyncSignOn(const std::string& user, const std::string& password)
    {
        TestClient sync;
        return sync.Connect(server_->sync_port()) ? sync.SignOn(user, password) : 0;
    }
    httplib::Result Register(WebClient& web, const std::string& user, const std::string& password,
                             const std::string& confirm = "")
    {
        web.Get("/register");
        return web.Post("/register",
                        {{"user", user}, {"password", password}, {"confirm", confirm.empty() ? password : confirm}});
    }
    // The names in the account's folder, sorted.
    std::vector<std::string> Names(const std::string& user, int64_t folder = kRootFolder)
    {
        std::vector<EntryRow> rows;
        EXPECT_EQ(store().ListFolder(AccountId(user), folder, rows), StoreStatus::Ok);
        std::vector<std::string> names;
        for (const EntryRow& row : rows)
            names.push_back(row.name);
        std::sort(names.begin(), names.end());
        return names;
    }
    EntryRow Entry(const std::string& user, int64_t parent, const std::string& name)
    {
        EntryRow row;
        EXPECT_EQ(store().Lookup(AccountId(user), parent, name, row), StoreStatus::Ok) << name;
        return row;
    }
    std::vector<std::string> Leftovers()
    {
        std::vector<std::string> names;
        for (const auto& item : std::filesystem::directory_iterator(server_->dir() + "/data/uploads"))
            names.push_back(item.path().filename().string());
        return names;
    }

    std::unique_ptr<TestServer> server_;
};

TEST_F(WebTest, RegistrationAppliesTheClientsLengthRules)
{
    WebClient web(port());
    const std::pair<std::string, std::string> refused[] = {
        {"ab", "secret1"},          {"sixteen-chars-xx", "secret1"}, {"abc", "12345"},
        {"abc", std::string(21, 'p')},
    };
    for (const auto& item : refused) {
        auto res = Register(web, item.first, item.second);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 400) << item.first << " / " << item.second;
        AccountRecord account;
        EXPECT_FALSE(store().FindAccount(item.first, account));
    }
    auto res = Register(web, "ab", "secret1");
    EXPECT_NE(Flash(res->body).find("用户名须为3到15个字符"), std::string::npos);
    res = Register(web, "abc", "12345");
    EXPECT_NE(Flash(res->body).find("密码须为6到20个字符"), std::string::npos);
    res = Register(web, "abc", "secret1", "secret2");
    EXPECT_EQ(res->status, 400);
    EXPECT_NE(Flash(res->body).find("两次输入的密码不一致"), std::string::npos);

    for (const std::string& user : {std::string("abc"), std::string("fifteen-chars-x"), std::string("网盘用户")}) {
        res = Register(web, user, user == "abc" ? "123456" : std::string(20, 'p'));
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 200) << user;
    }
    EXPECT_EQ(SyncSignOn("abc", "123456"), ResSignedOn);
    EXPECT_EQ(SyncSignOn("网盘用户", std::string(20, 'p')), ResSignedOn);
}

TEST_F(WebTest, RegistrationExplainsNamesTheServerRefuses)
{
    WebClient web(port());
    for (const char* user : {"a/b", "a:b", "ab?", "abc.", "abc ", " abc", "CON", "lpt1.txt", "a\tb"}) {
        auto res = Register(web, user, "secret1");
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 400) << user;
        EXPECT_NE(Flash(res->body).find("用户名不能包含"), std::string::npos) << user;
    }
    auto res = Register(web, "DEMO", "secret1");
    EXPECT_EQ(res->status, 409) << "names compare without regard to case";
    EXPECT_NE(Flash(res->body).find("该用户名已被注册"), std::string::npos);
    EXPECT_EQ(SyncSignOn("demo", "demo123"), ResSignedOn) << "the existing account is untouched";
}

TEST_F(WebTest, RegistrationFollowsTheOperatorsSettings)
{
    std::string error;
    auto settings_store = WebStore::Open(server_->dir() + "/data", error);
    ASSERT_TRUE(settings_store) << error;
    WebSettings settings;
    settings.default_quota = 5ull << 20;
    ASSERT_TRUE(settings_store->WriteSettings(settings));
    WebClient web(port());
    auto res = Register(web, "quota5", "secret1");
    ASSERT_EQ(res->status, 200);
    EXPECT_NE(res->body.find("5.0 MB"), std::string::npos);
    AccountRecord account;
    ASSERT_TRUE(store().FindAccount("quota5", account));
    EXPECT_EQ(account.quota, 5ull << 20);

    settings.registration_open = false;
    ASSERT_TRUE(settings_store->WriteSettings(settings));
    res = web.Get("/register");
    EXPECT_NE(res->body.find("暂不开放注册"), std::string::npos);
    EXPECT_EQ(res->body.find("name=\"password\""), std::string::npos);
    res = Register(web, "closed", "secret1");
    EXPECT_EQ(res->status, 403);
    EXPECT_FALSE(store().FindAccount("closed", account));
}

TEST_F(WebTest, RecoveryCodeSetsANewPasswordOnceAndEndsTheOldCredential)
{
    WebClient web(port());
    auto res = Register(web, "forgetful", "oldpass1");
    ASSERT_EQ(res->status, 200);
    const std::string code = RecoveryCodeOf(res->body);
    ASSERT_FALSE(code.empty());
    WebClient signed_in(port());
    ASSERT_TRUE(signed_in.SignIn("forgetful", "oldpass1"));

    web.Get("/password");
    const FormFields wrong = {{"user", "forgetful"}, {"code", "ABCDE-FGHJK-LMNPQ-RSTUV"},
                              {"password", "newpass1"}, {"confirm", "newpass1"}};
    res = web.Post("/password", wrong);
    EXPECT_EQ(res->status, 403);
    EXPECT_NE(Flash(res->body).find("用户名或恢复码错误"), std::string::npos);
    EXPECT_EQ(SyncSignOn("forgetful", "oldpass1"), ResSignedOn);

    FormFields right = wrong;
    right["code"] = code;
    res = web.Post("/password", right);
    ASSERT_EQ(res->status, 200);
    const std::string new_code = RecoveryCodeOf(res->body);
    EXPECT_FALSE(new_code.empty());
    EXPECT_NE(new_code, code);
    EXPECT_EQ(SyncSignOn("forgetful", "oldpass1"), ResWrongPassword) << "the old credential is refused at once";
    EXPECT_EQ(SyncSignOn("forgetful", "newpass1"), ResSignedOn);

    res = signed_in.Get("/files");
    EXPECT_NE(res->body.find("action=\"/files/signin\""), std::string::npos) << "the browser signed in before is out";
    EXPECT_NE(Flash(res->body).find("密码已经更改"), std::string::npos);

    web.Get("/password");
    right["password"] = right["confirm"] = "another1";
    res = web.Post("/password", right);
    EXPECT_EQ(res->status, 403) << "a code serves once";
    right["code"] = new_code;
    res = web.Post("/password", right);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(SyncSignOn("forgetful", "another1"), ResSignedOn);
}

TEST_F(WebTest, OperatorResetsAPasswordAndIssuesACode)
{
    testing::internal::CaptureStdout();
    ASSERT_EQ(RunCommandLine({"reset-password", server_->dir() + "/data", "DEMO"}), 0);
    const std::string printed = testing::internal::GetCapturedStdout();
    const std::string password = Between(printed, "password: ", "\n");
    const std::string code = Between(printed, "recovery code: ", "\n");
    ASSERT_EQ(password.size(), 12u) << printed;
    ASSERT_EQ(code.size(), 23u) << printed;
    EXPECT_EQ(SyncSignOn("demo", "demo123"), ResWrongPassword);
    EXPECT_EQ(SyncSignOn("demo", password), ResSignedOn);
    WebClient web(port());
    web.Get("/password");
    auto res = web.Post("/password",
                        {{"user", "demo"}, {"code", code}, {"password", "chosen1"}, {"confirm", "chosen1"}});
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(SyncSignOn("demo", "chosen1"), ResSignedOn);
    EXPECT_EQ(RunCommandLine({"reset-password", server_->dir() + "/data", "nobody"}), 1);
}

TEST_F(WebTest, SignInChecksThePasswordAndTheFrozenFlag)
{
    WebClient web(port());
    EXPECT_FALSE(web.SignIn("demo", "wrong-password"));
    auto res = web.Post("/files/signin", {{"user", "nobody"}, {"password", "demo123"}});
    EXPECT_EQ(res->status, 403);
    EXPECT_NE(Flash(res->body).find("用户名或密码错误，请重新输入"), std::string::npos);
    res = web.Post("/files/signin", {{"user", "frozen"}, {"password", "frozen123"}});
    EXPECT_EQ(res->status, 403);
    EXPECT_NE(Flash(res->body).find("您的帐户已被冻结"), std::string::npos);
    res = web.Post("/files/signin", {{"user", "frozen"}, {"password", "wrong"}});
    EXPECT_EQ(Flash(res->body).find("冻结"), std::string::npos) << "only the right password learns of the freeze";

    ASSERT_TRUE(web.SignIn("Demo", "demo123")) << "user names ignore letter case";
    res = web.Get("/files");
    EXPECT_NE(res->body.find("action=\"/files/upload\""), std::string::npos);
    AccountChange freeze;
    freeze.frozen = true;
    ASSERT_EQ(store().UpdateAccount("demo", freeze), StoreStatus::Ok);
    res = web.Get("/files");
    EXPECT_NE(Flash(res->body).find("您的帐户已被冻结"), std::string::npos) << "a session ends when its account freezes";
    EXPECT_EQ(res->body.find("action=\"/files/upload\""), std::string::npos);
}

TEST_F(WebTest, SessionCookiesAreHttpOnlyAndEndWithSignOut)
{
    WebClient web(port());
    ASSERT_TRUE(web.SignIn("demo", "demo123"));
    bool seen = false;
    for (const std::string& cookie : web.set_cookies()) {
        if (cookie.rfind("tessel_session=", 0) == 0) {
            seen = true;
            EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
            EXPECT_NE(cookie.find("SameSite=Lax"), std::string::npos);
        }
    }
    EXPECT_TRUE(seen);
    const std::string session = web.cookie("tessel_session");
    web.Get("/files");
    auto res = web.Post("/files/signout", {});
    EXPECT_EQ(res->status, 303);
    EXPECT_TRUE(web.cookie("tessel_session").empty());
    WebClient replay(port());
    replay.set_cookie("tessel_session", session);
    res = replay.Get("/files");
    EXPECT_NE(res->body.find("action=\"/files/signin\""), std::string::npos) << "a signed-out session is gone";
}

class WebSessionTimeoutTest : public WebTest {
protected:
    ServerConfig Config() override
    {
        ServerConfig config = WebTest::Config();
        config.web.session_idle = std::chrono::seconds(2);
        return config;
    }
};

// The waits are the expiry under test.
TEST_F(WebSessionTimeoutTest, SessionsInUseStayAndUnusedOnesExpire)
{
    WebClient web(port());
    ASSERT_TRUE(web.SignIn("demo", "demo123"));
    for (int i = 0; i < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        auto res = web.Get("/files");
        EXPECT_NE(res->body.find("action=\"/files/upload\""), std::string::npos) << "used within the idle time";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(3100));
    auto res = web.Get("/files");
    EXPECT_NE(Flash(res->body).find("登录已过期"), std::string::npos);
    EXPECT_EQ(res->body.find("action=\"/files/upload\""), std::string::npos);
}

TEST_F(WebTest, ChangesWithoutTheTokenAreRefused)
{
    WebClient web(port());
    ASSERT_TRUE(web.SignIn("demo", "demo123"));
    web.Get("/files");
    ASSERT_EQ(web.Post("/files/mkdir", {{"folder", "0"}, {"name", "kept"}})->status, 303);
    const std::string id = std::to_string(Entry("demo", 0, "kept").id);
    const std::pair<std::string, FormFields> changes[] = {
        {"/files/mkdir", {{"folder", "0"}, {"name", "forged"}}},
        {"/files/rename", {{"id", id}, {"name", "forged"}}},
        {"/files/move", {{"id", id}, {"target", "0"}}},
        {"/files/delete", {{"id", id}}},
        {"/files/signout", {}},
    };
    WebClient other(port());
    ASSERT_TRUE(other.SignIn("small", "small123"));
    other.Get("/files");
    for (const auto& change : changes) {
        for (const std::string& token : {std::string(), std::string(32, 'A'), other.token()}) {
            FormFields fields = change.second;
            fields["token"] = token;
            auto res = web.Post(change.first, fields);
            ASSERT_TRUE(res);
            EXPECT_EQ(res->status, 403) << change.first << " with token '" << token << "'";
        }
    }
    web.set_token(std::string(32, 'B'));
    EXPECT_EQ(web.Upload(0, {{"forged.txt", "x"}})->status, 403);
    EXPECT_EQ(Names("demo"), std::vector<std::string>{"kept"});

    WebClient anonymous(port());
    anonymous.Get("/register");
    auto res = anonymous.Post("/register", {{"token", ""}, {"user", "forger"}, {"password", "secret1"}});
    EXPECT_EQ(res->status, 403);
    WebClient cookieless(port());
    cookieless.set_token(anonymous.token());
    res = cookieless.Post("/files/signin", {{"user", "demo"}, {"password", "demo123"}});
    EXPECT_EQ(res->status, 403) << "a token without its cookie";
    EXPECT_TRUE(cookieless.cookie("tessel_session").empty());
}

TEST_F(WebTest, EntriesOfOtherAccountsAreOutOfReach)
{
    TestClient sync;
    ASSERT_TRUE(sync.Connect(server_->sync_port()));
    ASSERT_EQ(sync.SignOn("small", "small123"), ResSignedOn);
    int32_t folder = 0;
    ASSERT_EQ(sync.CreateFolder(0, "theirs", &folder), ResFolderCreated);
    ASSERT_EQ(UploadFile(sync, server_->data_port(), folder, "secret.txt", "their secret"), ResUploadComplete);
    const std::string file = std::to_string(Entry("small", folder, "secret.txt").id);
    const std::string theirs = std::to_string(folder);

    WebClient web(port());
    ASSERT_TRUE(web.SignIn("demo", "demo123"));
    web.Get("/files");
    ASSERT_EQ(web.Post("/files/mkdir", {{"folder", "0"}, {"name", "mine"}})->status, 303);
    const std::string mine = std::to_string(Entry("demo", 0, "mine").id);
    for (const std::string& path : {"/files/download?id=" + file, "/files/entry?id=" + file,
                                    "/files?folder=" + theirs, "/files/entry?id=" + theirs}) {
        auto res = web.Get(path);
        EXPECT_EQ(res->status, 404) << path;
        EXPECT_EQ(res->body.find("their secret"), std::string::npos);
    }
    web.Get("/files");
    const std::pair<std::string, FormFields> changes[] = {
        {"/files/rename", {{"id", file}, {"name", "taken.txt"}}},
        {"/files/delete", {{"id", theirs}}},
        {"/files/move", {{"id", file}, {"target", mine}}},
        {"/files/move", {{"id", mine}, {"target", theirs}}},
        {"/files/mkdir", {{"folder", theirs}, {"name", "intruder"}}},
    };
    for (const auto& change : changes) {
        auto res = web.Post(change.first, change.second);
        const bool refused = res->status == 404 || Flash(web.Get("/files")->body).find("没有这个") != std::string::npos;
        EXPECT_TRUE(refused) << change.first;
    }
    EXPECT_EQ(web.Upload(folder, {{"intruder.txt", "x"}})->status, 404);
    EXPECT_EQ(Names("small", folder), std::vector<std::string>{"secret.txt"});
    EXPECT_EQ(Names("small"), std::vector<std::string>{"theirs"});
    EXPECT_EQ(Names("demo"), std::vector<std::string>{"mine"});
}

TEST_F(WebTest, NamesAreShownAsText)
{
    ASSERT_EQ(store().AddAccount("<b>bold</b>", Md5Hex("secret1"), 1 << 20, false), StoreStatus::Ok);
    WebClient web(port());
    ASSERT_TRUE(web.SignIn("<b>bold</b>", "secret1"));
    web.Get("/files");
    ASSERT_EQ(web.Post("/files/mkdir", {{"folder", "0"}, {"name", "&lt;script&gt;'x'"}})->status, 303);
    ASSERT_EQ(web.Upload(0, {{"a&b'c.txt", "text"}})->status, 303);
    auto res = web.Get("/files");
    EXPECT_NE(res->body.find("&lt;b&gt;bold&lt;/b&gt;"), std::string::npos);
    EXPECT_EQ(res->body.find("<b>bold</b>"), std::string::npos);
    EXPECT_NE(res->body.find("&amp;lt;script&amp;gt;&#39;x&#39;"), std::string::npos);
    EXPECT_NE(res->body.find("a&amp;b&#39;c.txt"), std::string::npos);
    EXPECT_EQ(res->body.find("a&b'c"), std::string::npos);
    const EntryRow file = Entry("<b>bold</b>", 0, "a&b'c.txt");
    res = web.Get("/files/download?id=" + std::to_string(file.id));
    // The test's HTTP library decodes escapes in header values; the
    // encoding itself is checked in the text tests.
    EXPECT_EQ(res->get_header_value("Content-Disposition").rfind("attachment; filename=\"a&b'c.txt\";", 0), 0u);
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/octet-stream");
    EXPECT_EQ(res->body, "text");
    EXPECT_NE(res->get_header_value("Content-Security-Policy").find("default-src 'none'"), std::string::npos);
}

class WebRateLimitTest : public WebTest {
protected:
    ServerConfig Config() override
    {
        ServerConfig config;
        config.web.sign_in = RateLimit{3, std::chrono::seconds(600)};
        config.web.registration = RateLimit{2, std::chrono::seconds(600)};
        return config;
    }
};

TEST_F(WebRateLimitTest, AttemptsBeyondTheLimitAreRefused)
{
    WebClient web(port());
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(web.SignIn("demo", "guess" + std::to_string(i)));
    web.Get("/files");
    auto res = web.Post("/files/signin", {{"user", "demo"}, {"password", "demo123"}});
    EXPECT_EQ(res->status, 429) << "even the right password waits";
    EXPECT_NE(res->body.find("尝试次数过多"), std::string::npos);
    EXPECT_EQ(Register(web, "first1", "secret1")->status, 200);
    EXPECT_EQ(Register(web, "x", "secret1")->status, 400);
    EXPECT_EQ(Register(web, "second", "secret1")->status, 429);
    AccountRecord account;
    EXPECT_FALSE(store().FindAccount("second", account));
}

TEST_F(WebTest, FileChangesAreOrdinaryChangesOfTheTree)
{
    WebClient web(port());
    ASSERT_TRUE(web.SignIn("demo", "demo123"));
    web.Get("/files");
    ASSERT_EQ(web.Post("/files/mkdir", {{"folder", "0"}, {"name", "文档"}})->status, 303);
    const EntryRow docs = Entry("demo", 0, "文档");
    ASSERT_EQ(web.Upload(docs.id, {{"one.txt", "first"}, {"two.txt", std::string(200000, 't')}})->status, 303);
    EXPECT_EQ(Flash(web.Get("/files?folder=" + std::to_string(docs.id))->body), "已上传one.txt、two.txt");
    const EntryRow one = Entry("demo", docs.id, "one.txt");
    EXPECT_EQ(one.md5, Md5Hex("first"));
    web.Upload(0, {{"文档", "a file where a folder is"}});
    EXPECT_EQ(Flash(web.Get("/files")->body), "未能上传：文档（已有同名的文件夹）");

    ASSERT_EQ(web.Post("/files/rename", {{"id", std::to_string(one.id)}, {"name", "renamed.txt"}})->status, 303);
    const EntryRow renamed = Entry("demo", docs.id, "renamed.txt");
    EXPECT_EQ(renamed.id, one.id);
    EXPECT_GT(renamed.update_time, one.update_time) << "a rename is a change the clients notice";
    ASSERT_EQ(web.Post("/files/move", {{"id", std::to_string(one.id)}, {"target", "0"}})->status, 303);
    const EntryRow moved = Entry("demo", 0, "renamed.txt");
    EXPECT_GT(moved.update_time, renamed.update_time);
    EXPECT_EQ(Names("demo", docs.id), std::vector<std::string>{"two.txt"});
    web.Post("/files/move", {{"id", std::to_string(docs.id)}, {"target", std::to_string(docs.id)}});
    EXPECT_NE(Flash(web.Get("/files")->body).find("不能把文件夹移动到它自己"), std::string::npos);

    ASSERT_EQ(web.Upload(0, {{"renamed.txt", "replaced"}})->status, 303);
    EXPECT_EQ(Entry("demo", 0, "renamed.txt").id, one.id) << "an upload over a file keeps its id";
    ASSERT_EQ(web.Post("/files/delete", {{"id", std::to_string(docs.id)}})->status, 303);
    EXPECT_EQ(Names("demo"), std::vector<std::string>{"renamed.txt"});

    TestClient sync;
    ASSERT_TRUE(sync.Connect(server_->sync_port()));
    SpaceReply space;
    SessionReply session;
    ASSERT_EQ(sync.SignOn("demo", "demo123", &session), ResSignedOn);
    ASSERT_EQ(sync.AccountInfo(session.user_id, session.key, &space), ResAccountSpace);
    EXPECT_EQ(space.used, 8u) << "deleted contents no longer count";
}

TEST_F(WebTest, UploadsBeyondTheQuotaLeaveNothingBehind)
{
    WebClient web(port());
    ASSERT_TRUE(web.SignIn("small", "small123"));
    web.Get("/files");
    auto res = web.Upload(0, {{"fits.bin", std::string(60 * 1024, 'a')}, {"big.bin", std::string(60 * 1024, 'b')}});
    ASSERT_EQ(res->status, 303);
    EXPECT_EQ(Flash(web.Get("/files")->body), "未能上传：big.bin（空间不足）；已上传fits.bin");
    EXPECT_EQ(Names("small"), std::vector<std::string>{"fits.bin"});
    res = web.Upload(0, {{"fits.bin", std::string(90 * 1024, 'c')}});
    EXPECT_EQ(Flash(web.Get("/files")->body), "已上传fits.bin") << "the replaced file's size counts as free";
    EXPECT_TRUE(Leftovers().empty());
}

TEST_F(WebTest, AnUploadCutShortCommitsNothing)
{
    WebClient web(port());
    ASSERT_TRUE(web.SignIn("demo", "demo123"));
    web.Get("/files");
    const std::string boundary = "----tessel-test";
    const std::string head = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"token\"\r\n\r\n" +
                             web.token() + "\r\n--" + boundary +
                             "\r\nContent-Disposition: form-data; name=\"folder\"\r\n\r\n0\r\n--" + boundary +
                             "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"cut.bin\"\r\n"
                             "Content-Type: application/octet-stream\r\n\r\n" + std::string(100000, 'x');
    // The announced length is never reached: the connection closes early.
    const std::string request = "POST /files/upload HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: tessel_session=" +
                                web.cookie("tessel_session") + "\r\nContent-Type: multipart/form-data; boundary=" +
                                boundary + "\r\nContent-Length: 500000\r\n\r\n" + head;
    const auto wait_for = [&](bool leftovers) {
        for (int i = 0; i < 500 && Leftovers().empty() == leftovers; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return Leftovers().empty() != leftovers;
    };
    {
        TestClient socket;
        ASSERT_TRUE(socket.Connect(port()));
        ASSERT_TRUE(socket.SendRaw(request.data(), request.size()));
        ASSERT_TRUE(wait_for(true)) << "the file is being received";
    }
    EXPECT_TRUE(wait_for(false)) << "the partial file is removed when the connection ends";
    EXPECT_TRUE(Names("demo").empty());
}

TEST_F(WebTest, FeedbackIsStoredAndListedForTheOperator)
{
    WebClient web(port());
    web.Get("/feedback");
    auto res = web.Post("/feedback", {{"message", "  "}, {"contact", ""}});
    EXPECT_EQ(res->status, 400);
    res = web.Post("/feedback", {{"message", "同步很快\n\x1b[31mred"}, {"contact", "me@example.org"}});
    ASSERT_EQ(res->status, 200);
    EXPECT_NE(res->body.find("感谢您的反馈"), std::string::npos);
    testing::internal::CaptureStdout();
    ASSERT_EQ(RunCommandLine({"feedback", server_->dir() + "/data"}), 0);
    const std::string listed = testing::internal::GetCapturedStdout();
    EXPECT_NE(listed.find("#1 "), std::string::npos) << listed;
    EXPECT_NE(listed.find("contact me@example.org"), std::string::npos);
    EXPECT_NE(listed.find("    同步很快\n    ?[31mred"), std::string::npos) << "control characters do not reach the terminal";
    testing::internal::CaptureStdout();
    ASSERT_EQ(RunCommandLine({"feedback", server_->dir() + "/data", "--after", "1"}), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(WebTest, OperatorSwitchesRegistrationAndSetsTheQuota)
{
    const std::string dir = server_->dir() + "/data";
    testing::internal::CaptureStdout();
    ASSERT_EQ(RunCommandLine({"registration", dir, "off", "--quota", "2G"}), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "registration off\ndefault quota 2147483648 (2.0 GB)\n");
    WebClient web(port());
    EXPECT_EQ(Register(web, "latecomer", "secret1")->status, 403);
    testing::internal::CaptureStdout();
    ASSERT_EQ(RunCommandLine({"registration", dir, "on"}), 0);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(Register(web, "latecomer", "secret1")->status, 200);
    AccountRecord account;
    ASSERT_TRUE(store().FindAccount("latecomer", account));
    EXPECT_EQ(account.quota, 2ull << 30);
    EXPECT_EQ(RunCommandLine({"registration", dir, "maybe"}), 2);
}

TEST_F(WebTest, PagesAndAssetsAnswer)
{
    WebClient web(port());
    for (const char* path : {"/", "/register", "/password", "/feedback", "/files"}) {
        auto res = web.Get(path);
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, 200) << path;
        EXPECT_EQ(res->get_header_value("Content-Type"), "text/html; charset=utf-8");
        EXPECT_EQ(res->get_header_value("X-Frame-Options"), "DENY");
    }
    EXPECT_NE(web.Get("/")->body.find("客户端安装程序尚未发布"), std::string::npos);
    EXPECT_EQ(web.Get("/assets/pages.js")->get_header_value("Content-Type"), "text/javascript; charset=utf-8");
    EXPECT_EQ(web.Get("/assets/style.css")->status, 200);
    EXPECT_EQ(web.Get("/assets/layout.html")->status, 404);
    EXPECT_EQ(web.Get("/files/download?id=1")->status, 303) << "signed out: to the sign-in page";
}

}  // namespace
}  // namespace Tessel
