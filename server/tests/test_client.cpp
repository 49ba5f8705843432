#include "test_client.h"

#include "crypto.h"
#include "log.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace Tessel {

bool TestClient::Connect(uint16_t port, const char* source)
{
    Close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        return false;
    if (source) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        if (::inet_pton(AF_INET, source, &local.sin_addr) != 1 ||
            ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            Close();
            return false;
        }
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        Close();
        return false;
    }
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return true;
}

void TestClient::Close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    pending_.clear();
}

bool TestClient::SendRaw(const void* data, size_t length)
{
    const auto* p = static_cast<const uint8_t*>(data);
    while (length > 0) {
        const ssize_t n = ::send(fd_, p, length, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool TestClient::SendRaw(const Bytes& bytes) { return SendRaw(bytes.data(), bytes.size()); }

namespace {

// Reads more bytes into `buffer`; false on close, error or timeout.
bool ReadMore(int fd, Bytes& buffer, int timeout_ms)
{
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0)
        return false;
    uint8_t chunk[65536];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0)
        return false;
    buffer.insert(buffer.end(), chunk, chunk + n);
    return true;
}

uint32_t U32At(const Bytes& b, size_t offset)
{
    PayloadReader in(b.data() + offset, 4);
    return in.U32();
}

}  // namespace

bool TestClient::ReadReply(ReplyView& reply, int timeout_ms)
{
    Bytes packet;
    return ReadPacket(packet, timeout_ms) && ParseReply(packet.data(), packet.size(), reply);
}

bool TestClient::ReadPacket(Bytes& packet, int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    auto remaining = [&] {
        return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    deadline - std::chrono::steady_clock::now())
                                    .count());
    };
    while (pending_.size() < kReplyHeaderSize)
        if (remaining() <= 0 || !ReadMore(fd_, pending_, remaining()))
            return false;
    const uint32_t total = U32At(pending_, 8);
    if (total < kReplyHeaderSize || total > 128u * 1024 * 1024)
        return false;
    while (pending_.size() < total)
        if (remaining() <= 0 || !ReadMore(fd_, pending_, remaining()))
            return false;
    packet.assign(pending_.begin(), pending_.begin() + total);
    pending_.erase(pending_.begin(), pending_.begin() + total);
    return true;
}

bool TestClient::WaitClosed(int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                .count());
        if (left <= 0)
            return false;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, left) <= 0)
            return false;
        uint8_t chunk[4096];
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0)
            return true;
    }
}

int TestClient::Exchange(uint16_t command, const Bytes& payload, Bytes* reply_payload)
{
    ++sequence_;
    if (!SendRaw(BuildRequest(sequence_, command, payload)))
        return 0;
    ReplyView reply;
    if (!ReadReply(reply) || reply.sequence != sequence_ || reply.command != command)
        return 0;
    if (reply_payload)
        *reply_payload = std::move(reply.payload);
    return reply.result;
}

int TestClient::SignOn(const std::string& user, const std::string& password, SessionReply* session)
{
    return SignOnDigest(user, Md5Hex(password), session);
}

int TestClient::SignOnDigest(const std::string& user, const std::string& digest, SessionReply* session)
{
    PayloadWriter out;
    out.U8(static_cast<uint8_t>(user.size()));
    out.U8(static_cast<uint8_t>(digest.size()));
    out.U32(0);
    out.Text(user);
    out.Text(digest);
    Bytes reply;
    const int result = Exchange(CmdSignOn, out.Take(), &reply);
    if (result == ResSignedOn && session) {
        if (reply.size() != kSessionInfoSize)
            return 0;
        PayloadReader in(reply.data(), reply.size());
        session->user_id = in.U32();
        session->key = in.Text(kSessionKeySize);
        for (uint8_t& b : session->address)
            b = in.U8();
    }
    return result;
}

int TestClient::SignOff(uint32_t user_id, const std::string& key)
{
    PayloadWriter out;
    out.U32(user_id);
    out.Fixed(key, kSessionKeySize);
    return Exchange(CmdSignOff, out.Take());
}

int TestClient::AccountInfo(uint32_t user_id, const std::string& key, SpaceReply* space)
{
    PayloadWriter out;
    out.U32(user_id);
    out.Fixed(key, kSessionKeySize);
    Bytes reply;
    const int result = Exchange(CmdAccountInfo, out.Take(), &reply);
    if (result == ResAccountSpace && space) {
        if (reply.size() != kAccountSpaceSize)
            return 0;
        PayloadReader in(reply.data(), reply.size());
        space->total = in.U64();
        space->free = in.U64();
        space->used = in.U64();
    }
    return result;
}

int TestClient::ListFolder(int32_t folder, std::vector<EntryRecord>* entries)
{
    PayloadWriter out;
    out.U32(static_cast<uint32_t>(folder));
    out.U32(0);
    Bytes reply;
    const int result = Exchange(CmdListFolder, out.Take(), &reply);
    if (result == ResFolderListed && entries) {
        PayloadReader in(reply.data(), reply.size());
        const uint32_t count = in.U32();
        entries->clear();
        for (uint32_t i = 0; i < count; ++i) {
            EntryRecord record;
            if (!ReadEntryRecord(in, record))
                return 0;
            entries->push_back(record);
        }
        if (!in.ok() || in.remaining() != 0)
            return 0;
    }
    return result;
}

int TestClient::RenameEntry(int32_t id, const std::string& old_name, const std::string& new_name)
{
    PayloadWriter out;
    out.U32(static_cast<uint32_t>(id));
    out.U16(static_cast<uint16_t>(old_name.size()));
    out.U16(static_cast<uint16_t>(new_name.size()));
    out.Text(old_name);
    out.Text(new_name);
    return Exchange(CmdRenameEntry, out.Take());
}

int TestClient::DeleteEntries(int32_t parent, const std::vector<int32_t>& ids)
{
    PayloadWriter out;
    out.U32(static_cast<uint32_t>(parent));
    out.U32(static_cast<uint32_t>(ids.size()));
    for (int32_t id : ids)
        out.U32(static_cast<uint32_t>(id));
    return Exchange(CmdDeleteEntries, out.Take());
}

int TestClient::CreateFolder(int32_t parent, const std::string& name, int32_t* id)
{
    PayloadWriter out;
    out.U32(static_cast<uint32_t>(parent));
    out.U16(static_cast<uint16_t>(name.size()));
    out.Text(name);
    Bytes reply;
    const int result = Exchange(CmdCreateFolder, out.Take(), &reply);
    if ((result == ResFolderCreated || result == ResFolderExists) && id) {
        if (reply.size() != 8 || static_cast<int32_t>(U32At(reply, 0)) != parent)
            return 0;
        *id = static_cast<int32_t>(U32At(reply, 4));
    }
    return result;
}

int TestClient::LookupEntry(int32_t parent, const std::string& name, EntryRecord* entry)
{
    PayloadWriter out;
    out.U32(static_cast<uint32_t>(parent));
    out.U16(static_cast<uint16_t>(name.size()));
    out.Text(name);
    Bytes reply;
    const int result = Exchange(CmdLookupEntry, out.Take(), &reply);
    if (result == ResEntryFound && entry) {
        PayloadReader in(reply.data(), reply.size());
        if (!ReadEntryRecord(in, *entry))
            return 0;
    }
    return result;
}

int TestClient::BeginUpload(int32_t parent, const std::string& name, uint64_t size, const std::string& md5,
                            TicketReply* ticket)
{
    PayloadWriter out;
    out.U16(static_cast<uint16_t>(name.size()));
    out.U32(static_cast<uint32_t>(parent));
    out.U64(size);
    out.Fixed(md5, kDigestSize);
    out.Text(name);
    Bytes reply;
    const int result = Exchange(CmdBeginUpload, out.Take(), &reply);
    if (result == ResTicketGranted && ticket) {
        if (reply.size() != kUploadTicketSize)
            return 0;
        PayloadReader in(reply.data(), reply.size());
        ticket->token = in.Text(kTokenSize);
        ticket->port = in.U16();
        ticket->address = in.U32();
    }
    return result;
}

int TestClient::UploadBlock(const std::string& token, uint64_t offset, const std::string& block)
{
    PayloadWriter out;
    out.Fixed(token, kTokenSize);
    out.U64(offset);
    out.U32(static_cast<uint32_t>(block.size()));
    ++sequence_;
    Bytes packet = BuildRequest(sequence_, CmdUploadBlock, out.Take());
    packet.insert(packet.end(), block.begin(), block.end());
    if (!SendRaw(packet))
        return 0;
    ReplyView reply;
    if (!ReadReply(reply) || reply.sequence != sequence_ || reply.command != CmdUploadBlock)
        return 0;
    return reply.result;
}

int TestClient::FinishUpload(const std::string& token)
{
    PayloadWriter out;
    out.Fixed(token, kTokenSize);
    return Exchange(CmdFinishUpload, out.Take());
}

int UploadFile(TestClient& sync, uint16_t data_port, int32_t parent, const std::string& name,
               const std::string& content)
{
    TicketReply ticket;
    const int begun = sync.BeginUpload(parent, name, content.size(), Md5Hex(content), &ticket);
    if (begun != ResTicketGranted)
        return begun;
    TestClient data;
    if (!data.Connect(data_port))
        return 0;
    for (size_t offset = 0; offset < content.size(); offset += 32768) {
        const int result = data.UploadBlock(ticket.token, offset, content.substr(offset, 32768));
        if (result != ResBlockAccepted)
            return result;
    }
    return data.FinishUpload(ticket.token);
}

SlowHttpClients::SlowHttpClients(uint16_t port, int tricklers, int stalled, int group, int addresses)
    : tricklers_(tricklers)
{
    const std::string half = "GET /d/1 HTTP/1.1\r\nHo";
    for (int i = 0; i < tricklers + stalled; ++i) {
        const std::string source = "127.0." + std::to_string(group) + "." + std::to_string(1 + i % addresses);
        clients_.push_back(std::make_unique<TestClient>());
        if (clients_.back()->Connect(port, source.c_str()) && i >= tricklers)
            clients_.back()->SendRaw(half.data(), half.size());
    }
    thread_ = std::thread([this] {
        const std::string request = "GET /d/1?key=x HTTP/1.1\r\nHost: slow\r\nX-Padding: ";
        for (size_t at = 0; !done_; ++at) {
            for (int i = 0; i < tricklers_; ++i)
                clients_[i]->SendRaw(&request[at % request.size()], 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
}

SlowHttpClients::~SlowHttpClients()
{
    done_ = true;
    thread_.join();
}

std::string MakeTempDir(const std::string& prefix)
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back(0);
    const char* made = ::mkdtemp(buffer.data());
    return made ? std::string(made) : std::string();
}

void RemoveTree(const std::string& path)
{
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

TestServer::TestServer(ServerConfig config, bool quiet) : config_(std::move(config))
{
    SetLogEnabled(!quiet);
    dir_ = MakeTempDir("tessel-server-test");
    std::string error;
    if (dir_.empty() || !Store::Initialize(dir_ + "/data", error))
        return;
    {
        Store::Options options;
        auto store = Store::Open(dir_ + "/data", options, error);
        if (!store || store->AddAccount("demo", Md5Hex("demo123"), 1ull << 30, false) != StoreStatus::Ok ||
            store->AddAccount("small", Md5Hex("small123"), 100 * 1024, false) != StoreStatus::Ok ||
            store->AddAccount("frozen", Md5Hex("frozen123"), 1ull << 30, true) != StoreStatus::Ok)
            return;
    }
    config_.data_dir = dir_ + "/data";
    config_.bind_address = "127.0.0.1";
    config_.sync_ports = {0};
    config_.data_port = 0;
    config_.http_port = 0;
    app_ = std::make_unique<ServerApp>();
    started_ = app_->Start(config_, error);
}

TestServer::~TestServer()
{
    app_.reset();
    RemoveTree(dir_);
}

bool TestServer::Restart()
{
    const uint16_t sync = sync_port();
    const uint16_t data = data_port();
    const uint16_t http = http_port();
    app_.reset();
    config_.sync_ports = {sync};
    config_.data_port = data;
    config_.http_port = http;
    app_ = std::make_unique<ServerApp>();
    std::string error;
    started_ = app_->Start(config_, error);
    return started_;
}

}  // namespace Tessel
