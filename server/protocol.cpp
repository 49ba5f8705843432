#include "protocol.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace Tessel {

HeaderCheck ParseRequestHeader(const uint8_t* header, RequestHeader& out)
{
    if (ReadU32(header) != kPacketMagic)
        return HeaderCheck::BadMagic;
    if (header[kVersionHighOffset] != kVersionHigh || header[kVersionLowOffset] != kVersionLow)
        return HeaderCheck::BadVersion;
    if (header[kKindOffset] != kKindRequest || header[kReservedOffset] != 0)
        return HeaderCheck::BadKind;
    out.total_length = ReadU32(header + kTotalLengthOffset);
    out.checksum = ReadU32(header + kChecksumOffset);
    out.sequence = ReadU32(header + kSequenceOffset);
    out.command = ReadU16(header + kCommandOffset);
    out.payload_length = ReadU32(header + kRequestPayloadLengthOffset);
    if (out.total_length < kRequestHeaderSize || out.total_length > kMaxRequestLength ||
        out.payload_length != out.total_length - kRequestHeaderSize)
        return HeaderCheck::BadLength;
    return HeaderCheck::Valid;
}

bool ChecksumMatches(const uint8_t* packet, size_t length)
{
    if (length < kChecksumStart)
        return false;
    return ReadU32(packet + kChecksumOffset) == PacketChecksum(packet + kChecksumStart, length - kChecksumStart);
}

Bytes BuildReply(uint32_t sequence, uint16_t command, uint16_t result, const Bytes& payload)
{
    PacketHeader header;
    header.kind = kKindReply;
    header.sequence = sequence;
    header.command = command;
    header.result = result;
    return BuildPacket(header, payload);
}

Bytes BuildRequest(uint32_t sequence, uint16_t command, const Bytes& payload)
{
    PacketHeader header;
    header.sequence = sequence;
    header.command = command;
    return BuildPacket(header, payload);
}

bool ParseReply(const uint8_t* packet, size_t length, ReplyView& out)
{
    uint32_t total = 0;
    return length >= kReplyHeaderSize && CheckReplyHeader(packet, UINT32_MAX, &total) == ReplyHeaderCheck::Valid &&
           OpenReply(packet, length, &out);
}

void PayloadWriter::U16(uint16_t v)
{
    uint8_t b[2];
    WriteU16(b, v);
    Raw(b, 2);
}

void PayloadWriter::U32(uint32_t v)
{
    uint8_t b[4];
    WriteU32(b, v);
    Raw(b, 4);
}

void PayloadWriter::U64(uint64_t v)
{
    U32(static_cast<uint32_t>(v));
    U32(static_cast<uint32_t>(v >> 32));
}

void PayloadWriter::Raw(const void* data, size_t length)
{
    const auto* p = static_cast<const uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + length);
}

void PayloadWriter::Fixed(std::string_view text, size_t width)
{
    const size_t n = text.size() < width ? text.size() : width;
    Raw(text.data(), n);
    bytes_.insert(bytes_.end(), width - n, 0);
}

bool PayloadReader::Take(size_t n, const uint8_t*& out)
{
    if (!ok_ || n > length_ - offset_) {
        ok_ = false;
        return false;
    }
    out = data_ + offset_;
    offset_ += n;
    return true;
}

bool PayloadReader::Skip(size_t n)
{
    const uint8_t* skipped = nullptr;
    return Take(n, skipped);
}

uint8_t PayloadReader::U8()
{
    const uint8_t* p = nullptr;
    return Take(1, p) ? p[0] : 0;
}

uint16_t PayloadReader::U16()
{
    const uint8_t* p = nullptr;
    return Take(2, p) ? ReadU16(p) : 0;
}

uint32_t PayloadReader::U32()
{
    const uint8_t* p = nullptr;
    return Take(4, p) ? ReadU32(p) : 0;
}

uint64_t PayloadReader::U64()
{
    const uint64_t low = U32();
    const uint64_t high = U32();
    return low | (high << 32);
}

std::string PayloadReader::Text(size_t length)
{
    const uint8_t* p = nullptr;
    if (!Take(length, p))
        return {};
    return std::string(reinterpret_cast<const char*>(p), length);
}

// Folders go without digest, size and address.
void AppendEntryRecord(PayloadWriter& out, const EntryRecord& record)
{
    Wire::EntryRecord wire;
    wire.id = record.id;
    wire.parent_id = record.parent_id;
    wire.kind = record.is_file ? 1 : 0;
    wire.update_time = static_cast<int32_t>(record.update_time);
    if (record.is_file) {
        std::memcpy(wire.md5, record.md5.data(), std::min(record.md5.size(), kDigestSize));
        wire.size = record.size;
        wire.address = record.address;
    }
    wire.name = record.name;
    Wire::AppendEntryRecord(wire, &out.bytes());
}

bool ReadEntryRecord(PayloadReader& in, EntryRecord& out)
{
    Wire::EntryRecord wire;
    size_t used = 0;
    const bool read = in.ok() && Wire::ReadEntryRecord(in.Current(), in.remaining(), &used, &wire) ==
                                     Wire::EntryRecordRead::Complete;
    if (!read) {
        in.Skip(in.remaining() + 1);
        return false;
    }
    in.Skip(used);
    out.id = wire.id;
    out.parent_id = wire.parent_id;
    out.is_file = wire.kind == 1;
    out.update_time = static_cast<uint32_t>(wire.update_time);
    out.md5 = out.is_file ? std::string(wire.md5, kDigestSize) : std::string();
    out.size = wire.size;
    out.address = wire.address;
    out.name = wire.name;
    return true;
}

}  // namespace Tessel
