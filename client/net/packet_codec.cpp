#include "client/net/packet_codec.h"

#include <array>
#include <atomic>
#include <cstring>

#include "common/utf.h"

namespace Net {

namespace {

constexpr uint8_t kVersionHigh = 0;
constexpr uint8_t kVersionLow = 1;
constexpr uint8_t kKindRequest = 1;
constexpr uint32_t kMaxRequestLength = kMaxReplyLength;

std::array<uint32_t, 256> MakeCrcTable()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
        table[i] = c;
    }
    return table;
}

std::atomic<uint32_t> g_sequence{0};

// Allocates a zeroed packet of the given total length and writes its header.
Bytes NewRequest(Command command, size_t total)
{
    if (total > kMaxRequestLength)
        return {};
    Bytes packet(total, 0);
    WriteU32(&packet[0], kPacketMagic);
    packet[4] = kVersionHigh;
    packet[5] = kVersionLow;
    packet[6] = kKindRequest;
    packet[7] = 0;
    WriteU32(&packet[8], static_cast<uint32_t>(total));
    WriteU32(&packet[16], NextSequence());
    WriteU16(&packet[20], command);
    WriteU32(&packet[22], static_cast<uint32_t>(total - kRequestHeaderSize));
    return packet;
}

// The checksum is written last, once the payload is in place.
Bytes Seal(Bytes packet)
{
    if (!packet.empty())
        WriteU32(&packet[12], PacketChecksum(&packet[kChecksumStart], packet.size() - kChecksumStart));
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

bool IsAsciiAlnum(uint8_t c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool Md5FitsKind(const uint8_t* md5, uint32_t kind)
{
    if (kind == 0)
        return md5[0] == 0;
    for (size_t i = 0; i < kDigestSize; ++i)
        if (!IsAsciiAlnum(md5[i]))
            return false;
    return true;
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

uint32_t PacketChecksum(const uint8_t* data, size_t length)
{
    static const std::array<uint32_t, 256> table = MakeCrcTable();
    uint32_t crc = 0;
    for (size_t i = 0; i < length; ++i)
        crc = (crc >> 8) ^ table[(crc ^ data[i]) & 0xFF];
    return crc;
}

uint32_t NextSequence()
{
    return g_sequence.fetch_add(1) + 1;
}

void WriteU16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void WriteU32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void WriteU64(uint8_t* p, uint64_t v)
{
    WriteU32(p, static_cast<uint32_t>(v));
    WriteU32(p + 4, static_cast<uint32_t>(v >> 32));
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

HeaderCheck CheckReplyHeader(const uint8_t* first16, uint32_t* total_length)
{
    if (ReadU32(first16) != kPacketMagic)
        return HeaderCheck::Malformed;
    if (first16[4] != kVersionHigh || first16[5] != kVersionLow)
        return HeaderCheck::Incompatible;
    const uint8_t kind = first16[6];
    const uint32_t total = ReadU32(first16 + 8);
    if ((kind != 2 && kind != 3) || first16[7] != 0 || total < kReplyHeaderSize || total > kMaxReplyLength)
        return HeaderCheck::Malformed;
    *total_length = total;
    return HeaderCheck::Valid;
}

bool OpenReply(const uint8_t* packet, size_t length, Reply* reply)
{
    if (length < kReplyHeaderSize || ReadU32(packet + 8) != length)
        return false;
    if (PacketChecksum(packet + kChecksumStart, length - kChecksumStart) != ReadU32(packet + 12))
        return false;
    const uint32_t payload_length = ReadU32(packet + 24);
    if (payload_length > length - kReplyHeaderSize)
        return false;
    reply->sequence = ReadU32(packet + 16);
    reply->command = ReadU16(packet + 20);
    reply->result = ReadU16(packet + 22);
    reply->payload.assign(packet + kReplyHeaderSize, packet + kReplyHeaderSize + payload_length);
    return true;
}

bool DecodeSessionInfo(const Bytes& payload, SessionInfo* out)
{
    if (payload.size() != 40)
        return false;
    out->user_id = ReadU32(&payload[0]);
    std::memcpy(out->session_key, &payload[4], kSessionKeySize);
    std::memcpy(out->public_address, &payload[36], 4);
    return true;
}

bool DecodeAccountSpace(const Bytes& payload, AccountSpace* out)
{
    if (payload.size() != 24)
        return false;
    out->total = ReadU64(&payload[0]);
    out->free = ReadU64(&payload[8]);
    std::memcpy(out->unused, &payload[16], sizeof out->unused);
    return true;
}

bool DecodeUploadTicket(const Bytes& payload, UploadTicket* out)
{
    if (payload.size() != 38)
        return false;
    std::memcpy(out->token, &payload[0], kTokenSize);
    out->port = ReadU16(&payload[32]);
    out->address = ReadU32(&payload[34]);
    return true;
}

bool DecodeCreatedFolder(const Bytes& payload, int32_t parent_id, int32_t* new_id)
{
    if (payload.size() != 8 || static_cast<int32_t>(ReadU32(&payload[0])) != parent_id)
        return false;
    *new_id = static_cast<int32_t>(ReadU32(&payload[4]));
    return true;
}

RecordCheck DecodeEntryRecord(const uint8_t* data, size_t length, size_t* used, EntryRecord* out)
{
    *used = 0;
    if (length < kEntryRecordFixedSize)
        return RecordCheck::Short;
    EntryRecord record;
    record.id = static_cast<int32_t>(ReadU32(data));
    record.parent_id = static_cast<int32_t>(ReadU32(data + 4));
    record.kind = ReadU32(data + 8);
    if (record.id <= 0 || record.parent_id < 0 || record.kind > 1 || !Md5FitsKind(data + 16, record.kind))
        return RecordCheck::Rejected;
    record.update_time = static_cast<int32_t>(ReadU32(data + 12));
    std::memcpy(record.md5, data + 16, kDigestSize);
    record.size = ReadU64(data + 48);
    const size_t name_length = ReadU16(data + 56);
    const size_t address_length = ReadU16(data + 58);

    // A string cut short by the end of the payload ends this record there;
    // a record without its complete name is of no use.
    size_t at = kEntryRecordFixedSize;
    const size_t address_end = at + address_length;
    if (address_end > length) {
        *used = length;
        return RecordCheck::Dropped;
    }
    record.address.assign(reinterpret_cast<const char*>(data + at), address_length);
    at = address_end;
    if (at + name_length > length) {
        *used = length;
        return RecordCheck::Dropped;
    }
    record.name.assign(reinterpret_cast<const char*>(data + at), name_length);
    *used = at + name_length;
    if (address_length > kMaxEntryString || !IsSafeEntryName(record.name))
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
