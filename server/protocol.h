// Server side of the packet protocol on the shared wire contract: request
// header validation, reply building, and the little-endian payload reader
// and writer. Pure byte handling, so the tests and the benchmark use the
// same code to play the client.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/wire_contract.h"

namespace Tessel {

// The wire contract (common/wire_contract.h) is the server's vocabulary as
// it is the client's: constants, commands, results and the entry record.
using namespace Wire;

// The largest request any command needs is a DeleteEntries with many ids;
// anything longer is not a request of this protocol.
constexpr uint32_t kMaxRequestLength = 1024 * 1024;
// Upload blocks are 32 KiB from the client; a little room for others.
constexpr uint32_t kMaxBlockLength = 1024 * 1024;

struct RequestHeader {
    uint32_t total_length = 0;
    uint32_t checksum = 0;
    uint32_t sequence = 0;
    uint16_t command = 0;
    uint32_t payload_length = 0;
};

enum class HeaderCheck {
    Valid,
    BadMagic,
    BadVersion,
    BadKind,
    BadLength,
};

// Checks the fixed fields of a 26-byte request header; the checksum needs
// the whole packet and is checked by ChecksumMatches.
HeaderCheck ParseRequestHeader(const uint8_t* header, RequestHeader& out);
bool ChecksumMatches(const uint8_t* packet, size_t length);

// Replies carry kind 2; the payload follows the 28-byte header.
Bytes BuildReply(uint32_t sequence, uint16_t command, uint16_t result, const Bytes& payload);
// Requests as the client builds them (tests and benchmark play the client).
Bytes BuildRequest(uint32_t sequence, uint16_t command, const Bytes& payload);

using ReplyView = Wire::Reply;
// Parses a complete reply packet; false when any field or the checksum is off.
bool ParseReply(const uint8_t* packet, size_t length, ReplyView& out);

class PayloadWriter {
public:
    void U8(uint8_t v) { bytes_.push_back(v); }
    void U16(uint16_t v);
    void U32(uint32_t v);
    void U64(uint64_t v);
    void Raw(const void* data, size_t length);
    void Text(std::string_view text) { Raw(text.data(), text.size()); }
    // Writes text into a fixed-width field, zero padded.
    void Fixed(std::string_view text, size_t width);
    Bytes& bytes() { return bytes_; }
    Bytes Take() { return std::move(bytes_); }

private:
    Bytes bytes_;
};

// Reads fields in order; any read past the end marks the reader failed and
// yields zeros, so a handler checks ok() once after reading everything.
class PayloadReader {
public:
    PayloadReader(const uint8_t* data, size_t length) : data_(data), length_(length) {}
    uint8_t U8();
    uint16_t U16();
    uint32_t U32();
    int32_t I32() { return static_cast<int32_t>(U32()); }
    uint64_t U64();
    std::string Text(size_t length);
    bool ok() const { return ok_; }
    size_t remaining() const { return length_ - offset_; }
    // The bytes not read yet, for readers of whole structures.
    const uint8_t* Current() const { return data_ + offset_; }
    // Passes over n bytes, or fails the reader when fewer are left.
    bool Skip(size_t n);

private:
    bool Take(size_t n, const uint8_t*& out);
    const uint8_t* data_;
    size_t length_;
    size_t offset_ = 0;
    bool ok_ = true;
};

// One server entry as the listings and lookups send it, in the server's
// terms; AppendEntryRecord puts it in the wire record's layout.
struct EntryRecord {
    int32_t id = 0;
    int32_t parent_id = 0;
    bool is_file = false;
    uint32_t update_time = 0;
    std::string md5;  // files only: 32 lower-case hexadecimal digits
    uint64_t size = 0;
    std::string name;
    std::string address;  // download address prefix; files only
};

void AppendEntryRecord(PayloadWriter& out, const EntryRecord& record);
// Decodes one record by the wire contract's rules; false when it breaks one
// or runs past the payload.
bool ReadEntryRecord(PayloadReader& in, EntryRecord& out);

}  // namespace Tessel
