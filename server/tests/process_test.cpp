// The real executable: command line, signals, a kill in the middle of the
// work and a restart, and the test fixture script.
#include "crypto.h"
#include "test_client.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace Tessel {
namespace {

int RunProcess(const std::vector<std::string>& args, pid_t* background = nullptr, const std::string& log = "")
{
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (!log.empty())
        posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1;
    if (background) {
        *background = pid;
        return 0;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Polls until the log announces the ports; 0 when the process ends or the
// deadline passes.
uint16_t WaitListening(pid_t pid, const std::string& log, const char* what)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string text = ReadFile(log);
        const size_t at = text.find("listening: ");
        if (at != std::string::npos) {
            const size_t key = text.find(what, at);
            if (key != std::string::npos) {
                size_t p = key + std::strlen(what);
                return static_cast<uint16_t>(std::atoi(text.c_str() + p));
            }
        }
        if (waitpid(pid, nullptr, WNOHANG) == pid)
            return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 0;
}

int WaitExit(pid_t pid)
{
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

class ProcessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = MakeTempDir("tessel-process");
        ASSERT_FALSE(dir_.empty());
        data_ = dir_ + "/data";
        ASSERT_EQ(RunProcess({kBinary, "init", data_}), 0);
        ASSERT_EQ(RunProcess({kBinary, "add-account", data_, "demo", "demo123", "1G"}), 0);
    }

    void TearDown() override
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        RemoveTree(dir_);
    }

    void Serve()
    {
        std::vector<std::string> args = {kBinary, "serve", data_, "--sync-port", std::to_string(sync_),
                                         "--data-port", std::to_string(data_port_), "--http-port",
                                         std::to_string(http_)};
        ASSERT_EQ(RunProcess(args, &pid_, dir_ + "/server.log"), 0);
        ReadPorts();
    }

    // The ports the started server announces in its log.
    void ReadPorts()
    {
        const std::string log = dir_ + "/server.log";
        sync_ = WaitListening(pid_, log, "sync 127.0.0.1:");
        ASSERT_NE(sync_, 0) << ReadFile(log);
        data_port_ = WaitListening(pid_, log, "data ");
        http_ = WaitListening(pid_, log, "http ");
    }

    const std::string kBinary = TESSEL_SERVER_BINARY;
    std::string dir_;
    std::string data_;
    pid_t pid_ = -1;
    uint16_t sync_ = 0;
    uint16_t data_port_ = 0;
    uint16_t http_ = 0;
};

TEST_F(ProcessTest, CommandLineRefusesBadInput)
{
    EXPECT_EQ(RunProcess({kBinary}), 2);
    EXPECT_EQ(RunProcess({kBinary, "bogus"}), 2);
    EXPECT_EQ(RunProcess({kBinary, "add-account", data_, "x", "pw", "lots"}), 2);
    EXPECT_EQ(RunProcess({kBinary, "add-account", data_, "demo", "other", "1G"}), 1) << "exists";
    EXPECT_EQ(RunProcess({kBinary, "add-account", data_, std::string(40, 'u'), "pw", "1G"}), 2);
    EXPECT_EQ(RunProcess({kBinary, "serve", data_, "--sync-port", "70000"}), 2);
    EXPECT_EQ(RunProcess({kBinary, "serve", data_, "--no-such-option", "1"}), 2);
    EXPECT_EQ(RunProcess({kBinary, "serve", dir_ + "/nothing"}), 1);
    EXPECT_EQ(RunProcess({kBinary, "set-account", data_, "nobody", "--quota", "1G"}), 1);
    EXPECT_EQ(RunProcess({kBinary, "tree", data_}), 2);
    EXPECT_EQ(RunProcess({kBinary, "tree", data_, "nobody"}), 1);
}

TEST_F(ProcessTest, StopsCleanlyOnSigterm)
{
    ASSERT_EQ(RunProcess({kBinary, "set-account", data_, "demo", "--password", "changed", "--quota", "2G"}), 0);
    Serve();
    TestClient client;
    ASSERT_TRUE(client.Connect(sync_));
    EXPECT_EQ(client.SignOn("demo", "demo123"), ResWrongPassword);
    SessionReply session;
    ASSERT_EQ(client.SignOn("demo", "changed", &session), ResSignedOn);
    SpaceReply space;
    ASSERT_EQ(client.AccountInfo(session.user_id, session.key, &space), ResAccountSpace);
    EXPECT_EQ(space.total, 2ull << 30);
    EXPECT_EQ(RunProcess({kBinary, "tree", data_, "demo"}), 0) << "reads beside the serving process";
    ASSERT_EQ(kill(pid_, SIGTERM), 0);
    EXPECT_EQ(WaitExit(pid_), 0);
    pid_ = -1;
    const std::string log = ReadFile(dir_ + "/server.log");
    EXPECT_NE(log.find("connected"), std::string::npos);
    EXPECT_NE(log.find("refused with 103"), std::string::npos) << "failed requests are logged";
    EXPECT_NE(log.find("stopping on SIGTERM"), std::string::npos);
}

TEST_F(ProcessTest, AKilledServerKeepsCommittedFilesAndShowsNoHalfFiles)
{
    Serve();
    std::string committed(500000, 'c');
    committed[777] = 'd';
    std::string partial(300000, 'p');
    TicketReply ticket;
    {
        TestClient sync;
        ASSERT_TRUE(sync.Connect(sync_));
        ASSERT_EQ(sync.SignOn("demo", "demo123"), ResSignedOn);
        ASSERT_EQ(UploadFile(sync, data_port_, 0, "committed.bin", committed), ResUploadComplete);
        ASSERT_EQ(sync.BeginUpload(0, "partial.bin", partial.size(), Md5Hex(partial), &ticket), ResTicketGranted);
        TestClient data;
        ASSERT_TRUE(data.Connect(data_port_));
        for (size_t offset = 0; offset < 5 * 32768; offset += 32768)
            ASSERT_EQ(data.UploadBlock(ticket.token, offset, partial.substr(offset, 32768)), ResBlockAccepted);
        ASSERT_EQ(kill(pid_, SIGKILL), 0);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    Serve();
    TestClient sync;
    ASSERT_TRUE(sync.Connect(sync_));
    SessionReply session;
    ASSERT_EQ(sync.SignOn("demo", "demo123", &session), ResSignedOn);
    std::vector<EntryRecord> root;
    ASSERT_EQ(sync.ListFolder(0, &root), ResFolderListed);
    ASSERT_EQ(root.size(), 1u) << "the uncommitted upload is not visible";
    EXPECT_EQ(root[0].name, "committed.bin");
    httplib::Client http("127.0.0.1", http_);
    const std::string address = root[0].address;
    auto res = http.Get(address.substr(address.find("/d/")) + session.key);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, committed);

    // The interrupted upload resumes where it stopped.
    TestClient data;
    ASSERT_TRUE(data.Connect(data_port_));
    for (size_t offset = 5 * 32768; offset < partial.size(); offset += 32768)
        ASSERT_EQ(data.UploadBlock(ticket.token, offset, partial.substr(offset, 32768)), ResBlockAccepted);
    ASSERT_EQ(data.FinishUpload(ticket.token), ResUploadComplete);
    EXPECT_EQ(sync.LookupEntry(0, "partial.bin"), ResEntryFound);
    for (const auto& item : std::filesystem::recursive_directory_iterator(data_ + "/objects")) {
        if (item.is_regular_file()) {
            EXPECT_EQ(item.path().filename().string().size(), 32u) << "only complete contents under their MD5";
        }
    }
}

// A server whose data lives on a small file system of its own: a tmpfs
// mounted in a mount namespace of the server's process alone.
class DiskFullTest : public ProcessTest {
protected:
    void SetUp() override
    {
        if (RunProcess({"/usr/bin/unshare", "-rm", "/bin/true"}) != 0)
            GTEST_SKIP() << "no user and mount namespaces on this system";
        dir_ = MakeTempDir("tessel-diskfull");
        ASSERT_FALSE(dir_.empty());
        const std::string disk = dir_ + "/disk";
        std::filesystem::create_directory(disk);
        const std::string script = "mount -t tmpfs -o size=2m tmpfs " + disk + " && " + kBinary + " init " + disk +
                                   "/data && " + kBinary + " add-account " + disk + "/data demo demo123 1G && exec " +
                                   kBinary + " serve " + disk +
                                   "/data --sync-port 0 --data-port 0 --http-port 0 --disk-reserve 256K";
        ASSERT_EQ(RunProcess({"/usr/bin/unshare", "-rm", "/bin/sh", "-c", script}, &pid_, dir_ + "/server.log"), 0);
        ReadPorts();
    }
};

TEST_F(DiskFullTest, AFailedCommitStaysResumableAndDeletesFreeSpace)
{
    TestClient sync;
    ASSERT_TRUE(sync.Connect(sync_));
    SessionReply session;
    ASSERT_EQ(sync.SignOn("demo", "demo123", &session), ResSignedOn);
    ASSERT_EQ(UploadFile(sync, data_port_, 0, "old.bin", std::string(600 * 1024, 'o')), ResUploadComplete);
    EntryRecord old;
    ASSERT_EQ(sync.LookupEntry(0, "old.bin", &old), ResEntryFound);

    // An upload whose bytes are all in, then a second one that fills the disk.
    const std::string late(20000, 'l');
    TicketReply ticket, filler;
    ASSERT_EQ(sync.BeginUpload(0, "late.bin", late.size(), Md5Hex(late), &ticket), ResTicketGranted);
    TestClient data;
    ASSERT_TRUE(data.Connect(data_port_));
    ASSERT_EQ(data.UploadBlock(ticket.token, 0, late), ResBlockAccepted);
    const std::string block(32768, 'f');
    ASSERT_EQ(sync.BeginUpload(0, "filler.bin", 4 << 20, Md5Hex("f"), &filler), ResTicketGranted);
    TestClient fill;
    ASSERT_TRUE(fill.Connect(data_port_));
    int result = ResBlockAccepted;
    for (uint64_t offset = 0; offset < (4u << 20) && result == ResBlockAccepted; offset += block.size())
        result = fill.UploadBlock(filler.token, offset, block);
    ASSERT_EQ(result, ResServerError) << "the disk is full";

    EXPECT_EQ(data.FinishUpload(ticket.token), ResServerError) << "no room to commit";
    EXPECT_EQ(sync.DeleteEntries(0, {old.id}), ResDeleted) << "deleting works on a full disk";
    EXPECT_EQ(data.FinishUpload(ticket.token), ResUploadComplete) << "the failed commit can be repeated";
    EntryRecord entry;
    ASSERT_EQ(sync.LookupEntry(0, "late.bin", &entry), ResEntryFound);
    httplib::Client http("127.0.0.1", http_);
    auto res = http.Get(entry.address.substr(entry.address.find("/d/")) + session.key);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, late);
}

TEST(Fixture, StartsAndStopsAServerWithTheTestAccounts)
{
    const std::string dir = MakeTempDir("tessel-fixture");
    const std::string script = TESSEL_FIXTURE_SCRIPT;
    const std::string env = std::string("TESSEL_SERVER_BINARY=") + TESSEL_SERVER_BINARY + " ";
    ASSERT_EQ(std::system((env + script + " start " + dir +
                           " --sync-port 0 --data-port 0 --http-port 0 >/dev/null")
                              .c_str()),
              0);
    const std::string ports = ReadFile(dir + "/server.env");
    const size_t at = ports.find("TESSEL_SYNC_PORT=");
    ASSERT_NE(at, std::string::npos);
    const auto sync_port = static_cast<uint16_t>(std::atoi(ports.c_str() + at + 17));
    {
        TestClient client;
        ASSERT_TRUE(client.Connect(sync_port));
        EXPECT_EQ(client.SignOn("demo", "demo123"), ResSignedOn);
        EXPECT_EQ(client.SignOn("small", "small123"), ResSignedOn);
        EXPECT_EQ(client.SignOn("frozen", "frozen123"), ResAccountFrozen);
    }
    EXPECT_EQ(std::system((script + " stop " + dir).c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists(dir + "/server.pid"));
    TestClient after;
    EXPECT_FALSE(after.Connect(sync_port));
    RemoveTree(dir);
}

}  // namespace
}  // namespace Tessel
