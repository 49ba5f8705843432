#include "sync_service.h"

#include "log.h"
#include "names.h"

#include <asio/ip/address_v4.hpp>

namespace Tessel {
namespace {

Bytes Payload(PayloadWriter& writer) { return writer.Take(); }

Outcome Reply(const RequestHeader& request, uint16_t result, Bytes payload = {})
{
    Outcome outcome;
    outcome.reply = BuildReply(request.sequence, request.command, result, payload);
    return outcome;
}

uint16_t Refusal(StoreStatus status, uint16_t fallback)
{
    return status == StoreStatus::Error ? static_cast<uint16_t>(ResServerError) : fallback;
}

class SyncConnection : public ConnectionHandler {
public:
    SyncConnection(SyncService& service, const PeerInfo& peer) : service_(service), peer_(peer) {}

    Outcome OnPacket(const RequestHeader& header, const uint8_t* payload) override
    {
        PayloadReader in(payload, header.payload_length);
        switch (header.command) {
        case CmdSignOn:
            return SignOn(header, in);
        case CmdSignOff:
            return SignOff(header, in);
        case CmdAccountInfo:
            return AccountInfo(header, in);
        case CmdListFolder:
        case CmdRenameEntry:
        case CmdDeleteEntries:
        case CmdCreateFolder:
        case CmdLookupEntry:
        case CmdBeginUpload:
            return WithSession(header, in);
        default:
            return Refuse(header, ResUnknownCommand, "unknown command");
        }
    }

    Outcome OnRaw(const uint8_t*, size_t) override
    {
        Outcome outcome;
        outcome.close = true;
        return outcome;
    }

private:
    Outcome Refuse(const RequestHeader& header, uint16_t result, const std::string& why)
    {
        LogLine("sync " + peer_.peer_text + " command " + std::to_string(header.command) + " refused with " +
                std::to_string(result) + ": " + why);
        return Reply(header, result);
    }

    // A connection acts for at most one session, the one it signed on last;
    // a new sign-on, successful or not, ends the one before.
    void EndOwnSession()
    {
        if (session_)
            service_.sessions().End(session_->user_id, session_->key);
        session_.reset();
    }

    Outcome SignOn(const RequestHeader& header, PayloadReader& in)
    {
        EndOwnSession();
        const uint8_t name_length = in.U8();
        const uint8_t digest_length = in.U8();
        in.U32();  // the client's own idea of its address; the socket's peer address is used instead
        const std::string name = in.Text(name_length);
        const std::string digest = in.Text(digest_length);
        const std::string account_key = FoldName(name);
        if (!waited_for_turn_) {
            const auto now = SignOnGuard::Clock::now();
            const auto turn = service_.guard().Turn(peer_.address, account_key, now);
            if (!turn)
                return TurnAway();
            if (*turn > now)
                return WaitForTurn(*turn - now);
        }
        waited_for_turn_ = false;
        if (!in.ok() || in.remaining() != 0 || !IsValidUserName(name) || !IsHexDigest(digest))
            return SignOnFailed(header, ResBadSignOn, account_key, "malformed sign-on");
        AccountRecord account;
        if (!service_.store().FindAccount(name, account))
            return SignOnFailed(header, ResUnknownUser, account_key, "unknown user");
        if (!VerifyPasswordDigest(digest, account.password))
            return SignOnFailed(header, ResWrongPassword, account_key, "wrong password for " + account.name);
        if (account.frozen)
            return Refuse(header, ResAccountFrozen, "account frozen: " + account.name);
        session_ = service_.sessions().Create(static_cast<uint32_t>(account.id), account.credential_generation);
        PayloadWriter out;
        out.U32(session_->user_id);
        out.Fixed(session_->key, kSessionKeySize);
        for (int shift = 24; shift >= 0; shift -= 8)
            out.U8(static_cast<uint8_t>(peer_.peer_address >> shift));
        LogLine("sync " + peer_.peer_text + " signed on as " + account.name);
        return Reply(header, ResSignedOn, Payload(out));
    }

    Outcome SignOnFailed(const RequestHeader& header, uint16_t result, const std::string& account_key,
                         const std::string& why)
    {
        service_.guard().Failed(peer_.address, account_key, SignOnGuard::Clock::now());
        return Refuse(header, result, why);
    }

    // The connection reads nothing until the attempt's turn, then hands the
    // same sign-on over again.
    Outcome WaitForTurn(SignOnGuard::Clock::duration wait)
    {
        waited_for_turn_ = true;
        Outcome outcome;
        outcome.pause = std::chrono::ceil<std::chrono::milliseconds>(wait);
        outcome.again = true;
        return outcome;
    }

    Outcome TurnAway()
    {
        LogLine("sync " + peer_.peer_text + " sign-on turned away: too many failed sign-ons; connection closed");
        Outcome outcome;
        outcome.close = true;
        return outcome;
    }

    Outcome SignOff(const RequestHeader& header, PayloadReader& in)
    {
        const uint32_t user_id = in.U32();
        const std::string key = in.Text(kSessionKeySize);
        if (!in.ok() || in.remaining() != 0)
            return Refuse(header, ResMalformed, "malformed sign-off");
        // Whichever session it names, the connection is signed off.
        session_.reset();
        if (!service_.sessions().End(user_id, key))
            return Refuse(header, ResUnknownSession, "unknown session");
        return Reply(header, ResSignedOff);
    }

    Outcome AccountInfo(const RequestHeader& header, PayloadReader& in)
    {
        const uint32_t user_id = in.U32();
        const std::string key = in.Text(kSessionKeySize);
        if (!in.ok() || in.remaining() != 0)
            return Refuse(header, ResMalformed, "malformed account request");
        AccountRecord account;
        if (!service_.sessions().Find(user_id, key))
            return Refuse(header, ResAccountSessionUnknown, "unknown session");
        if (!service_.store().GetAccount(user_id, account))
            return Refuse(header, ResServerError, "account missing");
        PayloadWriter out;
        out.U64(account.quota);
        out.U64(account.Free());
        out.U64(account.used);
        return Reply(header, ResAccountSpace, Payload(out));
    }

    // The commands below act on the account of the session this connection
    // signed on itself; no other connection's session is ever used.
    Outcome WithSession(const RequestHeader& header, PayloadReader& in)
    {
        if (session_ && !service_.sessions().Find(session_->user_id, session_->key))
            session_.reset();
        if (!session_) {
            // No reply: the client would read any result of a lookup as "no
            // such entry" and act on it. A closed link only makes it retry.
            LogLine("sync " + peer_.peer_text + " command " + std::to_string(header.command) +
                    " refused: not signed on; connection closed");
            Outcome outcome;
            outcome.close = true;
            return outcome;
        }
        account_ = session_->user_id;
        switch (header.command) {
        case CmdListFolder:
            return ListFolder(header, in);
        case CmdRenameEntry:
            return Rename(header, in);
        case CmdDeleteEntries:
            return Delete(header, in);
        case CmdCreateFolder:
            return CreateFolder(header, in);
        case CmdLookupEntry:
            return Lookup(header, in);
        default:
            return BeginUpload(header, in);
        }
    }

    EntryRecord Record(const EntryRow& row) const
    {
        EntryRecord record;
        record.id = static_cast<int32_t>(row.id);
        record.parent_id = static_cast<int32_t>(row.parent_id);
        record.is_file = row.is_file;
        record.update_time = row.update_time;
        record.md5 = row.md5;
        record.size = row.size;
        record.name = row.name;
        if (row.is_file)
            record.address = service_.DownloadPrefix(peer_.local_address, row.id);
        return record;
    }

    Outcome ListFolder(const RequestHeader& header, PayloadReader& in)
    {
        const int32_t folder = in.I32();
        in.U32();  // reserved, sent as 0
        if (!in.ok() || in.remaining() != 0)
            return Refuse(header, ResMalformed, "malformed listing request");
        std::vector<EntryRow> rows;
        const StoreStatus status = folder < 0 ? StoreStatus::NoSuchFolder
                                              : service_.store().ListFolder(account_, folder, rows);
        if (status != StoreStatus::Ok)
            return Refuse(header, Refusal(status, ResNoSuchFolder), "no folder " + std::to_string(folder));
        PayloadWriter out;
        out.U32(static_cast<uint32_t>(rows.size()));
        for (const EntryRow& row : rows)
            AppendEntryRecord(out, Record(row));
        return Reply(header, ResFolderListed, Payload(out));
    }

    Outcome Rename(const RequestHeader& header, PayloadReader& in)
    {
        const int32_t id = in.I32();
        const uint16_t old_length = in.U16();
        const uint16_t new_length = in.U16();
        in.Text(old_length);  // the client's recorded name; the id alone names the entry
        const std::string name = in.Text(new_length);
        if (!in.ok() || in.remaining() != 0)
            return Refuse(header, ResMalformed, "malformed rename");
        if (!IsValidEntryName(name))
            return Refuse(header, ResInvalidName, "invalid name");
        if (id <= 0)
            return Refuse(header, ResNoSuchEntry, "no entry " + std::to_string(id));
        EntryRow row;
        switch (const StoreStatus status = service_.store().Rename(account_, id, name, row)) {
        case StoreStatus::Ok:
            return Reply(header, ResRenamed);
        case StoreStatus::Unchanged:
            return Reply(header, ResNameUnchanged);
        case StoreStatus::NameTaken:
            return Refuse(header, ResNameTaken, "name taken");
        default:
            return Refuse(header, Refusal(status, ResNoSuchEntry), "no entry " + std::to_string(id));
        }
    }

    Outcome Delete(const RequestHeader& header, PayloadReader& in)
    {
        const int32_t parent = in.I32();
        const uint32_t count = in.U32();
        if (!in.ok() || in.remaining() != static_cast<uint64_t>(count) * 4)
            return Refuse(header, ResMalformed, "malformed delete");
        std::vector<int64_t> ids;
        ids.reserve(count);
        for (uint32_t i = 0; i < count; ++i) {
            const int32_t id = in.I32();
            if (id <= 0)
                return Refuse(header, ResNoSuchEntry, "no entry " + std::to_string(id));
            ids.push_back(id);
        }
        if (parent < 0)
            return Refuse(header, ResNoSuchFolder, "no folder " + std::to_string(parent));
        switch (const StoreStatus status = service_.store().Delete(account_, parent, ids)) {
        case StoreStatus::Ok:
            return Reply(header, ResDeleted);
        case StoreStatus::NoSuchFolder:
            return Refuse(header, ResNoSuchFolder, "no folder " + std::to_string(parent));
        default:
            return Refuse(header, Refusal(status, ResNoSuchEntry), "entry not in folder " + std::to_string(parent));
        }
    }

    Outcome CreateFolder(const RequestHeader& header, PayloadReader& in)
    {
        const int32_t parent = in.I32();
        const uint16_t length = in.U16();
        const std::string name = in.Text(length);
        if (!in.ok() || in.remaining() != 0)
            return Refuse(header, ResMalformed, "malformed folder creation");
        if (!IsValidEntryName(name))
            return Refuse(header, ResInvalidName, "invalid name");
        if (parent < 0)
            return Refuse(header, ResNoSuchFolder, "no folder " + std::to_string(parent));
        EntryRow row;
        const StoreStatus status = service_.store().CreateFolder(account_, parent, name, row);
        PayloadWriter out;
        out.U32(static_cast<uint32_t>(parent));
        out.U32(static_cast<uint32_t>(row.id));
        switch (status) {
        case StoreStatus::Ok:
            return Reply(header, ResFolderCreated, Payload(out));
        case StoreStatus::FolderExists:
            return Reply(header, ResFolderExists, Payload(out));
        case StoreStatus::NameTaken:
            return Refuse(header, ResNameTaken, "name taken by a file");
        case StoreStatus::FolderFull:
            return Refuse(header, ResFolderFull, "folder full");
        default:
            return Refuse(header, Refusal(status, ResNoSuchFolder), "no folder " + std::to_string(parent));
        }
    }

    Outcome Lookup(const RequestHeader& header, PayloadReader& in)
    {
        const int32_t parent = in.I32();
        const uint16_t length = in.U16();
        const std::string name = in.Text(length);
        if (!in.ok() || in.remaining() != 0)
            return Refuse(header, ResMalformed, "malformed lookup");
        if (!IsValidEntryName(name))
            return Refuse(header, ResInvalidName, "invalid name");
        EntryRow row;
        const StoreStatus status =
            parent < 0 ? StoreStatus::NotFound : service_.store().Lookup(account_, parent, name, row);
        if (status != StoreStatus::Ok)
            return Reply(header, Refusal(status, ResEntryNotFound));
        PayloadWriter out;
        AppendEntryRecord(out, Record(row));
        return Reply(header, ResEntryFound, Payload(out));
    }

    Outcome BeginUpload(const RequestHeader& header, PayloadReader& in)
    {
        const uint16_t length = in.U16();
        const int32_t parent = in.I32();
        const uint64_t size = in.U64();
        const std::string md5 = in.Text(kDigestSize);
        const std::string name = in.Text(length);
        if (!in.ok() || in.remaining() != 0)
            return Refuse(header, ResMalformed, "malformed upload request");
        if (!IsValidEntryName(name) || !IsHexDigest(md5) || parent < 0)
            return Refuse(header, ResUploadRefused, "invalid name, digest or folder");
        TicketRow ticket;
        EntryRow entry;
        switch (const StoreStatus status =
                    service_.store().BeginUpload(account_, parent, name, size, LowerAscii(md5), ticket, entry)) {
        case StoreStatus::Ok: {
            PayloadWriter out;
            out.Fixed(ticket.token, kTokenSize);
            out.U16(service_.DataPort());
            out.U32(service_.DataAddress(peer_.local_address));
            return Reply(header, ResTicketGranted, Payload(out));
        }
        case StoreStatus::ContentKnown:
            return Reply(header, ResContentKnown);
        case StoreStatus::NoSpace:
            return Refuse(header, ResNoSpace, "no space for " + std::to_string(size) + " bytes");
        default:
            return Refuse(header, Refusal(status, ResUploadRefused), "upload refused");
        }
    }

    SyncService& service_;
    PeerInfo peer_;
    std::shared_ptr<const Session> session_;
    int64_t account_ = 0;
    bool waited_for_turn_ = false;
};

}  // namespace

std::unique_ptr<ConnectionHandler> SyncService::Connect(const PeerInfo& peer)
{
    return std::make_unique<SyncConnection>(*this, peer);
}

std::string SyncService::DownloadPrefix(uint32_t local_address, int64_t entry_id) const
{
    const std::string host = addressing_.public_host.empty()
                                 ? asio::ip::address_v4(local_address).to_string()
                                 : addressing_.public_host;
    return "http://" + host + ":" + std::to_string(addressing_.http_port.load()) + "/d/" + std::to_string(entry_id) +
           "?key=";
}

uint32_t SyncService::DataAddress(uint32_t local_address) const
{
    if (!addressing_.public_host.empty()) {
        std::error_code ec;
        const auto address = asio::ip::make_address_v4(addressing_.public_host, ec);
        if (!ec)
            return address.to_uint();
    }
    return local_address;
}

}  // namespace Tessel
