#include "client/net/packet_codec.h"

#include <atomic>
#include <cstring>

#include "common/utf.h"

namespace Net {

namespace {

constexpr uint32_t kMaxRequestLength = kMaxReplyLength;

std::atomic<uint32_t> g_sequence{0};

// A request of the given total length with its header written and a zeroed
// payload, which the builder fills in at the request's offsets.
Bytes NewRequest(Command command, size_t total)
{
    if (total > kMaxRequestLength)
        return {};
    PacketHeader header;
    header.sequence = NextSequence();
    header.command = command;
    return BuildPacket(header, Bytes(total - kRequestHeaderSize, 0));
}

// The checksum is written last, once the payload is in place.
Bytes Seal(Bytes packet)
{
    SealPacket(&packet);
    return packet;
}

void Put(Bytes& packet, size_t offset, std::string_view text)
{
    if (!text.empty())
        std::memcpy(&packet[offset], text.data(), text.size());
}

void Put(Bytes& packet, size_t offset, const char* bytes, size_t length)
{
    std::memcpy(&packet[offset], bytes, length);
}

bool IsForbiddenNameByte(uint8_t c)
{
    if (c < 0x20 || c == 0x7F)
        return true;
    switch (c) {
    case '\\': case '/': case '<': case '>': case ':': case '"': case '|': case '?': case '*':
        return true;
    default:
        return false;
    }
}

}  // namespace

uint32_t NextSequence()
{
    return g_sequence.fetch_add(1) + 1;
}

Bytes BuildSignOn(std::string_view user_name, std::string_view digest, const uint8_t local_address[4])
{
    if (user_name.empty() || digest.empty() || user_name.size() > 0xFF || digest.size() > 0xFF)
        return {};
    Bytes packet = NewRequest(CmdSignOn, 32 + user_name.size() + digest.size());
    packet[26] = static_cast<uint8_t>(user_name.size());
    packet[27] = static_cast<uint8_t>(digest.size());
    std::memcpy(&packet[28], local_address, 4);
    Put(packet, 32, user_name);
    Put(packet, 32 + user_name.size(), digest);
    return Seal(std::move(packet));
}

namespace {

Bytes BuildSessionRequest(Command command, uint32_t user_id, const char session_key[kSessionKeySize])
{
    Bytes packet = NewRequest(command, 62);
    WriteU32(&packet[26], user_id);
    Put(packet, 30, session_key, kSessionKeySize);
    return Seal(std::move(packet));
}

Bytes BuildNamedRequest(Command command, int32_t parent_id, std::string_view name)
{
    if (name.empty() || name.size() > 0xFFFF)
        return {};
    Bytes packet = NewRequest(command, 32 + name.size());
    if (packet.empty())
        return {};
    WriteU32(&packet[26], static_cast<uint32_t>(parent_id));
    WriteU16(&packet[30], static_cast<uint16_t>(name.size()));
    Put(packet, 32, name);
    return Seal(std::move(packet));
}

}  // namespace

Bytes BuildSignOff(uint32_t user_id, const char session_key[kSessionKeySize])
{
    return BuildSessionRequest(CmdSignOff, user_id, session_key);
}

Bytes BuildAccountInfo(uint32_t user_id, const char session_key[kSessionKeySize])
{
    return BuildSessionRequest(CmdAccountInfo, user_id, session_key);
}

Bytes BuildListFolder(int32_t folder_id)
{
    Bytes packet = NewRequest(CmdListFolder, 34);
    WriteU32(&packet[26], static_cast<uint32_t>(folder_id));
    return Seal(std::move(packet));
}

Bytes BuildRenameEntry(int32_t entry_id, std::string_view old_name, std::string_view new_name)
{
    if (old_name.empty() || new_name.empty() || old_name.size() > 0xFFFF || new_name.size() > 0xFFFF)
        return {};
    Bytes packet = NewRequest(CmdRenameEntry, 34 + old_name.size() + new_name.size());
    WriteU32(&packet[26], static_cast<uint32_t>(entry_id));
    WriteU16(&packet[30], static_cast<uint16_t>(old_name.size()));
    WriteU16(&packet[32], static_cast<uint16_t>(new_name.size()));
    Put(packet, 34, old_name);
    Put(packet, 34 + old_name.size(), new_name);
    return Seal(std::move(packet));
}

Bytes BuildDeleteEntries(int32_t parent_id, const int32_t* ids, uint32_t count)
{
    if (ids == nullptr || count == 0 || count > (kMaxRequestLength - 34) / 4)
        return {};
    Bytes packet = NewRequest(CmdDeleteEntries, 34 + size_t{4} * count);
    WriteU32(&packet[26], static_cast<uint32_t>(parent_id));
    WriteU32(&packet[30], count);
    for (uint32_t i = 0; i < count; ++i)
        WriteU32(&packet[34 + size_t{4} * i], static_cast<uint32_t>(ids[i]));
    return Seal(std::move(packet));
}

Bytes BuildCreateFolder(int32_t parent_id, std::string_view name)
{
    return BuildNamedRequest(CmdCreateFolder, parent_id, name);
}

Bytes BuildLookupEntry(int32_t parent_id, std::string_view name)
{
    return BuildNamedRequest(CmdLookupEntry, parent_id, name);
}

Bytes BuildBeginUpload(int32_t parent_id, uint64_t size, const char md5[kDigestSize], std::string_view name)
{
    if (name.empty() || name.size() > 0xFFFF)
        return {};
    Bytes packet = NewRequest(CmdBeginUpload, 72 + name.size());
    WriteU16(&packet[26], static_cast<uint16_t>(name.size()));
    WriteU32(&packet[28], static_cast<uint32_t>(parent_id));
    WriteU64(&packet[32], size);
    Put(packet, 40, md5, kDigestSize);
    Put(packet, 72, name);
    return Seal(std::move(packet));
}

Bytes BuildUploadBlock(const char token[kTokenSize], uint64_t offset, uint32_t length)
{
    Bytes packet = NewRequest(CmdUploadBlock, 70);
    Put(packet, 26, token, kTokenSize);
    WriteU64(&packet[58], offset);
    WriteU32(&packet[66], length);
    return Seal(std::move(packet));
}

Bytes BuildFinishUpload(const char token[kTokenSize])
{
    Bytes packet = NewRequest(CmdFinishUpload, 58);
    Put(packet, 26, token, kTokenSize);
    return Seal(std::move(packet));
}

bool DecodeSessionInfo(const Bytes& payload, SessionInfo* out)
{
    if (payload.size() != kSessionInfoSize)
        return false;
    out->user_id = ReadU32(&payload[0]);
    std::memcpy(out->session_key, &payload[4], kSessionKeySize);
    std::memcpy(out->public_address, &payload[36], 4);
    return true;
}

bool DecodeAccountSpace(const Bytes& payload, AccountSpace* out)
{
    if (payload.size() != kAccountSpaceSize)
        return false;
    out->total = ReadU64(&payload[0]);
    out->free = ReadU64(&payload[8]);
    std::memcpy(out->unused, &payload[16], sizeof out->unused);
    return true;
}

bool DecodeUploadTicket(const Bytes& payload, UploadTicket* out)
{
    if (payload.size() != kUploadTicketSize)
        return false;
    std::memcpy(out->token, &payload[0], kTokenSize);
    out->port = ReadU16(&payload[32]);
    out->address = ReadU32(&payload[34]);
    return true;
}

bool DecodeCreatedFolder(const Bytes& payload, int32_t parent_id, int32_t* new_id)
{
    if (payload.size() != kCreatedFolderSize || static_cast<int32_t>(ReadU32(&payload[0])) != parent_id)
        return false;
    *new_id = static_cast<int32_t>(ReadU32(&payload[4]));
    return true;
}

RecordCheck DecodeEntryRecord(const uint8_t* data, size_t length, size_t* used, EntryRecord* out)
{
    EntryRecord record;
    switch (ReadEntryRecord(data, length, used, &record)) {
    case EntryRecordRead::Short:
        return RecordCheck::Short;
    case EntryRecordRead::Rejected:
        return RecordCheck::Rejected;
    case EntryRecordRead::Cut:
        return RecordCheck::Dropped;
    case EntryRecordRead::Complete:
        break;
    }
    if (record.address.size() > kMaxEntryString || !IsSafeEntryName(record.name))
        return RecordCheck::Dropped;
    *out = std::move(record);
    return RecordCheck::Accepted;
}

bool DecodeFolderList(const Bytes& payload, std::vector<EntryRecord>* records)
{
    records->clear();
    if (payload.size() < 4)
        return false;
    const uint32_t count = ReadU32(&payload[0]);
    size_t at = 4;
    for (uint32_t i = 0; i < count && at < payload.size(); ++i) {
        EntryRecord record;
        size_t used = 0;
        const RecordCheck check = DecodeEntryRecord(&payload[at], payload.size() - at, &used, &record);
        if (check == RecordCheck::Rejected) {
            records->clear();
            return false;
        }
        if (check == RecordCheck::Short)
            break;
        if (check == RecordCheck::Accepted)
            records->push_back(std::move(record));
        at += used;
    }
    return true;
}

bool DecodeLookupReply(const Bytes& payload, EntryRecord* record)
{
    size_t used = 0;
    return !payload.empty() &&
           DecodeEntryRecord(payload.data(), payload.size(), &used, record) == RecordCheck::Accepted;
}

bool IsSafeEntryName(std::string_view utf8)
{
    if (utf8.empty() || utf8.size() > kMaxEntryString || utf8 == "." || utf8 == "..")
        return false;
    for (size_t i = 0; i < utf8.size(); ++i) {
        const uint8_t c = static_cast<uint8_t>(utf8[i]);
        if (IsForbiddenNameByte(c))
            return false;
        // C1 control characters, U+0080 to U+009F.
        if (c == 0xC2 && i + 1 < utf8.size() && static_cast<uint8_t>(utf8[i + 1]) <= 0x9F)
            return false;
    }
    return Helper::IsValidUtf8(utf8);
}

std::string FormatTicketAddress(uint32_t address)
{
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        if (!text.empty())
            text += '.';
        text += std::to_string((address >> shift) & 0xFF);
    }
    return text;
}

}  // namespace Net
