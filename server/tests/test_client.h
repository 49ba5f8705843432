// Test support: a blocking client that speaks the protocol the way the
// TavoTessel client does, and a server in a temporary data directory on
// free loopback ports.
#pragma once

#include "protocol.h"
#include "server_app.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace Tessel {

struct SessionReply {
    uint32_t user_id = 0;
    std::string key;
    uint8_t address[4] = {};
};

struct SpaceReply {
    uint64_t total = 0;
    uint64_t free = 0;
    uint64_t used = 0;
};

struct TicketReply {
    std::string token;
    uint16_t port = 0;
    uint32_t address = 0;
};

class TestClient {
public:
    TestClient() = default;
    ~TestClient() { Close(); }
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    // From the given loopback address (127.0.0.1 when none), so that tests
    // can play clients of many addresses.
    bool Connect(uint16_t port, const char* source = nullptr);
    void Close();
    bool SendRaw(const Bytes& bytes);
    bool SendRaw(const void* data, size_t length);
    // Reads one reply; false on timeout, close or a malformed reply.
    bool ReadReply(ReplyView& reply, int timeout_ms = 10000);
    // Reads the bytes of one reply packet as its header announces them.
    bool ReadPacket(Bytes& packet, int timeout_ms = 10000);
    // True when the server closes the connection within the time.
    bool WaitClosed(int timeout_ms);
    // Sends a request and reads its reply; the result code, or 0 without one.
    int Exchange(uint16_t command, const Bytes& payload, Bytes* reply_payload = nullptr);
    uint32_t last_sequence() const { return sequence_; }

    int SignOn(const std::string& user, const std::string& password, SessionReply* session = nullptr);
    int SignOnDigest(const std::string& user, const std::string& digest, SessionReply* session = nullptr);
    int SignOff(uint32_t user_id, const std::string& key);
    int AccountInfo(uint32_t user_id, const std::string& key, SpaceReply* space = nullptr);
    int ListFolder(int32_t folder, std::vector<EntryRecord>* entries = nullptr);
    int RenameEntry(int32_t id, const std::string& old_name, const std::string& new_name);
    int DeleteEntries(int32_t parent, const std::vector<int32_t>& ids);
    int CreateFolder(int32_t parent, const std::string& name, int32_t* id = nullptr);
    int LookupEntry(int32_t parent, const std::string& name, EntryRecord* entry = nullptr);
    int BeginUpload(int32_t parent, const std::string& name, uint64_t size, const std::string& md5,
                    TicketReply* ticket = nullptr);
    int UploadBlock(const std::string& token, uint64_t offset, const std::string& block);
    int FinishUpload(const std::string& token);

private:
    int fd_ = -1;
    uint32_t sequence_ = 0;
    Bytes pending_;
};

// Uploads a whole file through ticket and data server in 32 KiB blocks, as
// the client does; returns the last result (327 on success, or 329 when the
// content was known).
int UploadFile(TestClient& sync, uint16_t data_port, int32_t parent, const std::string& name,
               const std::string& content);

// Clients of the HTTP port that send their headers a byte every 100 ms (the
// first `tricklers`) or half a header and nothing more (the rest), from
// loopback addresses 127.0.<group>.1 to .<addresses>, until destroyed.
class SlowHttpClients {
public:
    SlowHttpClients(uint16_t port, int tricklers, int stalled, int group, int addresses);
    ~SlowHttpClients();
    SlowHttpClients(const SlowHttpClients&) = delete;
    SlowHttpClients& operator=(const SlowHttpClients&) = delete;
    TestClient& front() { return *clients_.front(); }
    TestClient& back() { return *clients_.back(); }

private:
    std::vector<std::unique_ptr<TestClient>> clients_;
    int tricklers_ = 0;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

std::string MakeTempDir(const std::string& prefix);
void RemoveTree(const std::string& path);

// A server on free loopback ports with the accounts the tests use:
// demo/demo123 (1 GiB), small/small123 (100 KiB), frozen/frozen123 (frozen).
class TestServer {
public:
    explicit TestServer(ServerConfig config = ServerConfig(), bool quiet = true);
    ~TestServer();
    bool ok() const { return started_; }
    ServerApp& app() { return *app_; }
    const std::string& dir() const { return dir_; }
    uint16_t sync_port() const { return app_->sync_port(); }
    uint16_t data_port() const { return app_->data_port(); }
    uint16_t http_port() const { return app_->http_port(); }
    // Stops and starts again on the same data directory and ports.
    bool Restart();

private:
    std::string dir_;
    ServerConfig config_;
    std::unique_ptr<ServerApp> app_;
    bool started_ = false;
};

}  // namespace Tessel
