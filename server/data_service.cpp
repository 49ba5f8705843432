#include "data_service.h"

#include "crypto.h"
#include "log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Tessel {
namespace {

class FileHandle {
public:
    FileHandle() = default;
    ~FileHandle() { Reset(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    void Reset(int fd = -1)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }
    int get() const { return fd_; }

private:
    int fd_ = -1;
};

bool WriteAll(int fd, const uint8_t* data, size_t length, uint64_t offset)
{
    while (length > 0) {
        const ssize_t n = ::pwrite(fd, data, length, static_cast<off_t>(offset));
        if (n <= 0)
            return false;
        data += n;
        length -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

class DataConnection : public ConnectionHandler {
public:
    DataConnection(DataService& service, const PeerInfo& peer) : service_(service), peer_(peer) {}

    Outcome OnPacket(const RequestHeader& header, const uint8_t* payload) override
    {
        header_ = header;
        PayloadReader in(payload, header.payload_length);
        switch (header.command) {
        case CmdUploadBlock:
            return BlockHeader(in);
        case CmdFinishUpload:
            return Finish(in);
        default:
            return Refuse(ResUnknownCommand, "unknown command");
        }
    }

    Outcome OnRaw(const uint8_t* data, size_t length) override
    {
        const auto state = service_.TicketStateOf(block_token_);
        std::lock_guard<std::mutex> lock(state->mutex);
        if (!OpenTicket(block_token_, state))
            return Refuse(ResTicketInvalid, "unknown or expired ticket");
        struct stat st {};
        if (::fstat(file_.get(), &st) != 0)
            return Refuse(ResServerError, "cannot read part file");
        const uint64_t received = static_cast<uint64_t>(st.st_size);
        if (block_offset_ > received || block_offset_ + length > ticket_.size)
            return Refuse(ResTicketInvalid, "block at " + std::to_string(block_offset_) + " does not fit");
        if (block_offset_ < received) {
            // A block sent again after a lost reply replaces what followed it.
            if (::ftruncate(file_.get(), static_cast<off_t>(block_offset_)) != 0)
                return Refuse(ResServerError, "cannot truncate part file");
            if (hashed_ > block_offset_)
                hash_valid_ = false;
        }
        if (!WriteAll(file_.get(), data, length, block_offset_))
            return Refuse(ResServerError, "cannot write part file");
        if (hash_valid_ && hashed_ == block_offset_) {
            md5_.Update(data, length);
            hashed_ += length;
        } else {
            hash_valid_ = false;
        }
        return Reply(ResBlockAccepted);
    }

private:
    Outcome Reply(uint16_t result)
    {
        Outcome outcome;
        outcome.reply = BuildReply(header_.sequence, header_.command, result, {});
        return outcome;
    }

    Outcome Refuse(uint16_t result, const std::string& why)
    {
        LogLine("data " + peer_.peer_text + " command " + std::to_string(header_.command) + " refused with " +
                std::to_string(result) + ": " + why);
        return Reply(result);
    }

    Outcome BlockHeader(PayloadReader& in)
    {
        block_token_ = in.Text(kTokenSize);
        block_offset_ = in.U64();
        const uint32_t length = in.U32();
        if (!in.ok() || in.remaining() != 0)
            return Refuse(ResMalformed, "malformed block header");
        if (length == 0 || length > kMaxBlockLength) {
            // The raw bytes cannot be skipped safely, so the link goes.
            Outcome outcome = Refuse(ResTicketInvalid, "block length " + std::to_string(length));
            outcome.close = true;
            return outcome;
        }
        Outcome outcome;
        outcome.raw_follow = length;
        return outcome;
    }

    // Makes the connection's open part file that of the token. Called with
    // the ticket's state locked.
    bool OpenTicket(const std::string& token, const std::shared_ptr<DataService::TicketState>& state)
    {
        if (file_.get() >= 0 && ticket_.token == token && state_ == state && !state->ended &&
            !service_.store().TicketExpired(ticket_))
            return true;
        file_.Reset();
        ticket_ = TicketRow{};
        state_ = state;
        if (state->ended || service_.store().FindTicket(token, ticket_) != StoreStatus::Ok)
            return false;
        const std::string path = service_.store().PartPath(token);
        file_.Reset(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        if (file_.get() < 0)
            return false;
        md5_.Reset();
        hashed_ = 0;
        struct stat st {};
        hash_valid_ = ::fstat(file_.get(), &st) == 0 && st.st_size == 0;
        return true;
    }

    Outcome Finish(PayloadReader& in)
    {
        const std::string token = in.Text(kTokenSize);
        if (!in.ok() || in.remaining() != 0)
            return Refuse(ResMalformed, "malformed finish");
        const auto state = service_.TicketStateOf(token);
        std::lock_guard<std::mutex> lock(state->mutex);
        if (!OpenTicket(token, state))
            return Refuse(ResTicketInvalid, "unknown or expired ticket");
        struct stat st {};
        if (::fstat(file_.get(), &st) != 0)
            return Refuse(ResServerError, "cannot read part file");
        if (static_cast<uint64_t>(st.st_size) != ticket_.size)
            return Refuse(ResUploadMismatch, "received " + std::to_string(st.st_size) + " of " +
                                                 std::to_string(ticket_.size) + " bytes");
        std::string digest;
        if (hash_valid_ && hashed_ == ticket_.size) {
            digest = md5_.Hex();
        } else if (!FileMd5(service_.store().PartPath(token), digest)) {
            return Refuse(ResServerError, "cannot read part file");
        }
        const TicketRow ticket = ticket_;
        file_.Reset();
        ticket_ = TicketRow{};
        if (digest != ticket.md5) {
            // The content is not what was announced; the client starts over.
            state->ended = true;
            service_.store().DropTicket(token);
            return Refuse(ResUploadMismatch, "MD5 " + digest + " instead of " + ticket.md5);
        }
        EntryRow entry;
        switch (const StoreStatus status = service_.store().CommitUpload(ticket, entry)) {
        case StoreStatus::Ok:
            state->ended = true;
            LogLine("data " + peer_.peer_text + " stored " + ticket.name + " (" + std::to_string(ticket.size) +
                    " bytes)");
            return Reply(ResUploadComplete);
        case StoreStatus::NotFound:
            state->ended = true;
            return Refuse(ResTicketInvalid, "ticket gone");
        case StoreStatus::Error:
            return Refuse(ResServerError, "cannot commit the upload");
        default:
            state->ended = true;
            service_.store().DropTicket(token);
            return Refuse(status == StoreStatus::NoSpace ? ResNoSpace : ResUploadRefused,
                          "the file no longer fits its folder or quota");
        }
    }

    DataService& service_;
    PeerInfo peer_;
    RequestHeader header_;
    std::string block_token_;
    uint64_t block_offset_ = 0;
    TicketRow ticket_;
    std::shared_ptr<DataService::TicketState> state_;
    FileHandle file_;
    Md5 md5_;
    uint64_t hashed_ = 0;
    bool hash_valid_ = false;
};

}  // namespace

std::shared_ptr<DataService::TicketState> DataService::TicketStateOf(const std::string& token)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto& slot = states_[token];
    if (auto existing = slot.lock())
        return existing;
    if (states_.size() > 1024) {
        for (auto it = states_.begin(); it != states_.end();)
            it = it->second.expired() ? states_.erase(it) : std::next(it);
    }
    auto created = std::make_shared<TicketState>();
    states_[token] = created;
    return created;
}

std::unique_ptr<ConnectionHandler> DataService::Connect(const PeerInfo& peer)
{
    return std::make_unique<DataConnection>(*this, peer);
}

}  // namespace Tessel
