#include "data_service.h"

#include "log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Tessel {
namespace {

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

bool PartSize(const DataService::TicketState& state, uint64_t& size)
{
    struct stat st {};
    if (::fstat(state.part, &st) != 0)
        return false;
    size = static_cast<uint64_t>(st.st_size);
    return true;
}

// Writes a block at an offset up to the bytes received; one sent again after
// a lost reply replaces what followed it. The MD5 follows every byte
// written in order and is given up at anything else.
bool WriteBlock(DataService::TicketState& state, const uint8_t* data, size_t length, uint64_t offset,
                uint64_t received)
{
    if (offset < received) {
        if (state.hashed > offset)
            state.hash_valid = false;
        if (::ftruncate(state.part, static_cast<off_t>(offset)) != 0) {
            state.hash_valid = false;
            return false;
        }
    }
    if (!WriteAll(state.part, data, length, offset)) {
        state.hash_valid = false;
        return false;
    }
    if (state.hash_valid && state.hashed == offset) {
        state.md5.Update(data, length);
        state.hashed += length;
    } else {
        state.hash_valid = false;
    }
    return true;
}

class DataConnection : public ConnectionHandler {
public:
    DataConnection(DataService& service, const PeerInfo& peer)
        : service_(service), peer_(peer), serial_(service.NextSerial())
    {
    }

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
        auto state = service_.TicketStateOf(block_token_);
        std::lock_guard<std::mutex> lock(state->mutex);
        std::string why;
        if (!Hold(state, block_token_, why))
            return Refuse(ResTicketInvalid, why);
        uint64_t received = 0;
        if (!PartSize(*state, received))
            return Refuse(ResServerError, "cannot read part file");
        if (block_offset_ > received || block_offset_ + length > state->ticket.size)
            return Refuse(ResTicketInvalid, "block at " + std::to_string(block_offset_) + " does not fit");
        if (!WriteBlock(*state, data, length, block_offset_, received))
            return Refuse(ResServerError, "cannot write part file");
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

    // Makes this connection the ticket's holder, opening the part file for a
    // state met for the first time. Called with the state locked.
    bool Hold(const std::shared_ptr<DataService::TicketState>& state, const std::string& token, std::string& why)
    {
        if (state == held_ && state->holder != serial_) {
            why = "ticket taken over by another connection";
            return false;
        }
        if (state->ended || (state->part >= 0 && service_.store().TicketExpired(state->ticket)) ||
            (state->part < 0 && !Open(*state, token))) {
            why = "unknown or expired ticket";
            return false;
        }
        state->holder = serial_;
        held_ = state;
        return true;
    }

    bool Open(DataService::TicketState& state, const std::string& token)
    {
        if (service_.store().FindTicket(token, state.ticket) != StoreStatus::Ok)
            return false;
        state.part = ::open(service_.store().PartPath(token).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        uint64_t size = 0;
        if (state.part >= 0 && !PartSize(state, size)) {
            ::close(state.part);
            state.part = -1;
        }
        if (state.part < 0)
            return false;
        // Bytes from before a restart are read again at the commit.
        state.md5.Reset();
        state.hashed = 0;
        state.hash_valid = size == 0;
        return true;
    }

    Outcome Finish(PayloadReader& in)
    {
        const std::string token = in.Text(kTokenSize);
        if (!in.ok() || in.remaining() != 0)
            return Refuse(ResMalformed, "malformed finish");
        auto state = service_.TicketStateOf(token);
        std::lock_guard<std::mutex> lock(state->mutex);
        std::string why;
        if (!Hold(state, token, why))
            return Refuse(ResTicketInvalid, why);
        uint64_t received = 0;
        if (!PartSize(*state, received))
            return Refuse(ResServerError, "cannot read part file");
        if (received != state->ticket.size)
            return Refuse(ResUploadMismatch, "received " + std::to_string(received) + " of " +
                                                 std::to_string(state->ticket.size) + " bytes");
        std::string digest;
        if (!Digest(*state, digest))
            return Refuse(ResServerError, "cannot read part file");
        if (digest != state->ticket.md5) {
            // The content is not what was announced; the client starts over.
            End(*state);
            service_.store().DropTicket(token);
            return Refuse(ResUploadMismatch, "MD5 " + digest + " instead of " + state->ticket.md5);
        }
        return Commit(*state);
    }

    // The MD5 of the part file's bytes as they are now: the one that
    // followed every write, or read from the file.
    bool Digest(DataService::TicketState& state, std::string& digest)
    {
        if (state.hash_valid && state.hashed == state.ticket.size) {
            digest = state.md5.Hex();
            state.hash_valid = false;
            return true;
        }
        return FileMd5(service_.store().PartPath(state.ticket.token), digest);
    }

    Outcome Commit(DataService::TicketState& state)
    {
        EntryRow entry;
        switch (const StoreStatus status = service_.store().CommitUpload(state.ticket, entry)) {
        case StoreStatus::Ok:
            End(state);
            LogLine("data " + peer_.peer_text + " stored " + state.ticket.name + " (" +
                    std::to_string(state.ticket.size) + " bytes)");
            return Reply(ResUploadComplete);
        case StoreStatus::NotFound:
            End(state);
            return Refuse(ResTicketInvalid, "ticket gone");
        case StoreStatus::Error:
            return Refuse(ResServerError, "cannot commit the upload");
        default:
            End(state);
            service_.store().DropTicket(state.ticket.token);
            return Refuse(status == StoreStatus::NoSpace ? ResNoSpace : ResUploadRefused,
                          "the file no longer fits its folder or quota");
        }
    }

    static void End(DataService::TicketState& state)
    {
        state.ended = true;
        if (state.part >= 0)
            ::close(state.part);
        state.part = -1;
    }

    DataService& service_;
    PeerInfo peer_;
    const uint64_t serial_;
    RequestHeader header_;
    std::string block_token_;
    uint64_t block_offset_ = 0;
    std::shared_ptr<DataService::TicketState> held_;
};

}  // namespace

DataService::TicketState::~TicketState()
{
    if (part >= 0)
        ::close(part);
}

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

bool DataService::TicketInUse(const std::string& token)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = states_.find(token);
    if (found == states_.end())
        return false;
    return !found->second.expired();
}

std::unique_ptr<ConnectionHandler> DataService::Connect(const PeerInfo& peer)
{
    return std::make_unique<DataConnection>(*this, peer);
}

}  // namespace Tessel
