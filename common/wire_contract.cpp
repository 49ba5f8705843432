#include "common/wire_contract.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace Wire {

namespace {

constexpr size_t kMaxStringLength = 0xFFFF;

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

bool IsAsciiAlnum(uint8_t c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// A folder carries no digest; a file's is letters and digits only.
bool Md5FitsKind(const uint8_t* md5, uint32_t kind)
{
    if (kind == 0)
        return md5[0] == 0;
    return std::all_of(md5, md5 + kDigestSize, IsAsciiAlnum);
}

void AppendU16(uint16_t value, Bytes* out)
{
    uint8_t bytes[2];
    WriteU16(bytes, value);
    out->insert(out->end(), bytes, bytes + 2);
}

void AppendU32(uint32_t value, Bytes* out)
{
    uint8_t bytes[4];
    WriteU32(bytes, value);
    out->insert(out->end(), bytes, bytes + 4);
}

}  // namespace

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

uint32_t PacketChecksum(const uint8_t* data, size_t length)
{
    static const std::array<uint32_t, 256> table = MakeCrcTable();
    uint32_t crc = 0;
    for (size_t i = 0; i < length; ++i)
        crc = (crc >> 8) ^ table[(crc ^ data[i]) & 0xFF];
    return crc;
}

Bytes BuildPacket(const PacketHeader& header, const uint8_t* payload, size_t length)
{
    const bool request = header.kind == kKindRequest;
    const size_t header_size = request ? kRequestHeaderSize : kReplyHeaderSize;
    Bytes packet(header_size + length, 0);
    uint8_t* p = packet.data();
    WriteU32(p, kPacketMagic);
    p[kVersionHighOffset] = header.version_high;
    p[kVersionLowOffset] = header.version_low;
    p[kKindOffset] = header.kind;
    WriteU32(p + kTotalLengthOffset, static_cast<uint32_t>(packet.size()));
    WriteU32(p + kSequenceOffset, header.sequence);
    WriteU16(p + kCommandOffset, header.command);
    if (request) {
        WriteU32(p + kRequestPayloadLengthOffset, static_cast<uint32_t>(length));
    } else {
        WriteU16(p + kResultOffset, header.result);
        WriteU32(p + kReplyPayloadLengthOffset, static_cast<uint32_t>(length));
    }
    if (length != 0)
        std::memcpy(p + header_size, payload, length);
    SealPacket(&packet);
    return packet;
}

void SealPacket(Bytes* packet)
{
    if (packet->size() >= kChecksumStart)
        WriteU32(packet->data() + kChecksumOffset,
                 PacketChecksum(packet->data() + kChecksumStart, packet->size() - kChecksumStart));
}

ReplyHeaderCheck CheckReplyHeader(const uint8_t* first16, uint32_t max_total, uint32_t* total_length)
{
    if (ReadU32(first16) != kPacketMagic)
        return ReplyHeaderCheck::Malformed;
    if (first16[kVersionHighOffset] != kVersionHigh || first16[kVersionLowOffset] != kVersionLow)
        return ReplyHeaderCheck::Incompatible;
    const uint8_t kind = first16[kKindOffset];
    const uint32_t total = ReadU32(first16 + kTotalLengthOffset);
    if ((kind != kKindReply && kind != kKindReplyAlternate) || first16[kReservedOffset] != 0 ||
        total < kReplyHeaderSize || total > max_total)
        return ReplyHeaderCheck::Malformed;
    *total_length = total;
    return ReplyHeaderCheck::Valid;
}

bool OpenReply(const uint8_t* packet, size_t length, Reply* reply)
{
    if (length < kReplyHeaderSize || ReadU32(packet + kTotalLengthOffset) != length)
        return false;
    if (PacketChecksum(packet + kChecksumStart, length - kChecksumStart) != ReadU32(packet + kChecksumOffset))
        return false;
    const uint32_t payload_length = ReadU32(packet + kReplyPayloadLengthOffset);
    if (payload_length > length - kReplyHeaderSize)
        return false;
    reply->sequence = ReadU32(packet + kSequenceOffset);
    reply->command = ReadU16(packet + kCommandOffset);
    reply->result = ReadU16(packet + kResultOffset);
    reply->payload.assign(packet + kReplyHeaderSize, packet + kReplyHeaderSize + payload_length);
    return true;
}

void AppendEntryRecord(const EntryRecord& record, Bytes* out)
{
    const size_t address_length = std::min(record.address.size(), kMaxStringLength);
    const size_t name_length = std::min(record.name.size(), kMaxStringLength);
    AppendU32(static_cast<uint32_t>(record.id), out);
    AppendU32(static_cast<uint32_t>(record.parent_id), out);
    AppendU32(record.kind, out);
    AppendU32(static_cast<uint32_t>(record.update_time), out);
    out->insert(out->end(), record.md5, record.md5 + kDigestSize);
    AppendU32(static_cast<uint32_t>(record.size), out);
    AppendU32(static_cast<uint32_t>(record.size >> 32), out);
    AppendU16(static_cast<uint16_t>(name_length), out);
    AppendU16(static_cast<uint16_t>(address_length), out);
    out->insert(out->end(), record.address.begin(), record.address.begin() + address_length);
    out->insert(out->end(), record.name.begin(), record.name.begin() + name_length);
}

EntryRecordRead ReadEntryRecord(const uint8_t* data, size_t length, size_t* used, EntryRecord* out)
{
    *used = 0;
    if (length < kEntryRecordFixedSize)
        return EntryRecordRead::Short;
    EntryRecord record;
    record.id = static_cast<int32_t>(ReadU32(data));
    record.parent_id = static_cast<int32_t>(ReadU32(data + 4));
    record.kind = ReadU32(data + 8);
    if (record.id <= 0 || record.parent_id < 0 || record.kind > 1 || !Md5FitsKind(data + 16, record.kind))
        return EntryRecordRead::Rejected;
    record.update_time = static_cast<int32_t>(ReadU32(data + 12));
    std::memcpy(record.md5, data + 16, kDigestSize);
    record.size = ReadU64(data + 48);
    const size_t name_length = ReadU16(data + 56);
    const size_t address_length = ReadU16(data + 58);

    // A string cut short by the end of the data ends this record there; a
    // record without its complete name is of no use.
    const size_t address_end = kEntryRecordFixedSize + address_length;
    if (address_end > length || address_end + name_length > length) {
        *used = length;
        return EntryRecordRead::Cut;
    }
    record.address.assign(reinterpret_cast<const char*>(data + kEntryRecordFixedSize), address_length);
    record.name.assign(reinterpret_cast<const char*>(data + address_end), name_length);
    *used = address_end + name_length;
    *out = std::move(record);
    return EntryRecordRead::Complete;
}

}  // namespace Wire
