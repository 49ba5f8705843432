#include "protocol.h"

#include <cstring>

namespace Tessel {
namespace {

void PutU16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void PutU32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t GetU32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool IsAsciiAlnum(uint8_t c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

Bytes BuildPacket(size_t header_size, uint8_t kind, uint32_t sequence, uint16_t command,
                  const uint16_t* result, const Bytes& payload)
{
    Bytes packet(header_size + payload.size(), 0);
    uint8_t* p = packet.data();
    PutU32(p, kPacketMagic);
    p[4] = 0;
    p[5] = 1;
    p[6] = kind;
    p[7] = 0;
    PutU32(p + 8, static_cast<uint32_t>(packet.size()));
    PutU32(p + 16, sequence);
    PutU16(p + 20, command);
    if (result) {
        PutU16(p + 22, *result);
        PutU32(p + 24, static_cast<uint32_t>(payload.size()));
    } else {
        PutU32(p + 22, static_cast<uint32_t>(payload.size()));
    }
    if (!payload.empty())
        std::memcpy(p + header_size, payload.data(), payload.size());
    PutU32(p + 12, PacketChecksum(p + kChecksumStart, packet.size() - kChecksumStart));
    return packet;
}

}  // namespace

HeaderCheck ParseRequestHeader(const uint8_t* header, RequestHeader& out)
{
    if (GetU32(header) != kPacketMagic)
        return HeaderCheck::BadMagic;
    if (header[4] != 0 || header[5] != 1)
        return HeaderCheck::BadVersion;
    if (header[6] != kKindRequest || header[7] != 0)
        return HeaderCheck::BadKind;
    out.total_length = GetU32(header + 8);
    out.checksum = GetU32(header + 12);
    out.sequence = GetU32(header + 16);
    out.command = GetU16(header + 20);
    out.payload_length = GetU32(header + 22);
    if (out.total_length < kRequestHeaderSize || out.total_length > kMaxRequestLength ||
        out.payload_length != out.total_length - kRequestHeaderSize)
        return HeaderCheck::BadLength;
    return HeaderCheck::Valid;
}

bool ChecksumMatches(const uint8_t* packet, size_t length)
{
    if (length < kChecksumStart)
        return false;
    return GetU32(packet + 12) == PacketChecksum(packet + kChecksumStart, length - kChecksumStart);
}

Bytes BuildReply(uint32_t sequence, uint16_t command, uint16_t result, const Bytes& payload)
{
    return BuildPacket(kReplyHeaderSize, kKindReply, sequence, command, &result, payload);
}

Bytes BuildRequest(uint32_t sequence, uint16_t command, const Bytes& payload)
{
    return BuildPacket(kRequestHeaderSize, kKindRequest, sequence, command, nullptr, payload);
}

bool ParseReply(const uint8_t* packet, size_t length, ReplyView& out)
{
    if (length < kReplyHeaderSize || GetU32(packet) != kPacketMagic || packet[4] != 0 ||
        packet[5] != 1 || (packet[6] != 2 && packet[6] != 3) || packet[7] != 0)
        return false;
    const uint32_t total = GetU32(packet + 8);
    const uint32_t payload_length = GetU32(packet + 24);
    if (total != length || payload_length > total - kReplyHeaderSize || !ChecksumMatches(packet, length))
        return false;
    out.sequence = GetU32(packet + 16);
    out.command = GetU16(packet + 20);
    out.result = GetU16(packet + 22);
    out.payload.assign(packet + kReplyHeaderSize, packet + kReplyHeaderSize + payload_length);
    return true;
}

void PayloadWriter::U16(uint16_t v)
{
    uint8_t b[2];
    PutU16(b, v);
    Raw(b, 2);
}

void PayloadWriter::U32(uint32_t v)
{
    uint8_t b[4];
    PutU32(b, v);
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

uint8_t PayloadReader::U8()
{
    const uint8_t* p = nullptr;
    return Take(1, p) ? p[0] : 0;
}

uint16_t PayloadReader::U16()
{
    const uint8_t* p = nullptr;
    return Take(2, p) ? GetU16(p) : 0;
}

uint32_t PayloadReader::U32()
{
    const uint8_t* p = nullptr;
    return Take(4, p) ? GetU32(p) : 0;
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

void AppendEntryRecord(PayloadWriter& out, const EntryRecord& record)
{
    out.U32(static_cast<uint32_t>(record.id));
    out.U32(static_cast<uint32_t>(record.parent_id));
    out.U32(record.is_file ? 1 : 0);
    out.U32(record.update_time);
    out.Fixed(record.is_file ? record.md5 : std::string_view(), kDigestSize);
    out.U64(record.is_file ? record.size : 0);
    const std::string_view address = record.is_file ? std::string_view(record.address) : std::string_view();
    out.U16(static_cast<uint16_t>(record.name.size()));
    out.U16(static_cast<uint16_t>(address.size()));
    out.Text(address);
    out.Text(record.name);
}

bool ReadEntryRecord(PayloadReader& in, EntryRecord& out)
{
    out.id = in.I32();
    out.parent_id = in.I32();
    const uint32_t kind = in.U32();
    out.update_time = in.U32();
    const std::string md5 = in.Text(kDigestSize);
    out.size = in.U64();
    const uint16_t name_length = in.U16();
    const uint16_t address_length = in.U16();
    if (!in.ok() || out.id <= 0 || out.parent_id < 0 || kind > 1)
        return false;
    out.is_file = kind == 1;
    if (out.is_file) {
        for (char c : md5)
            if (!IsAsciiAlnum(static_cast<uint8_t>(c)))
                return false;
        out.md5 = md5;
    } else {
        if (md5[0] != 0)
            return false;
        out.md5.clear();
    }
    out.address = in.Text(address_length);
    out.name = in.Text(name_length);
    return in.ok();
}

}  // namespace Tessel
