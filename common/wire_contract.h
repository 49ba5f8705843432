// The sync protocol on the wire, as the client's codec, the reference
// server and every test that builds packets share it: the two packet
// headers and their checksum, the commands, the result codes (one name
// each), the fixed payload sizes and the 60-byte entry record. Integers are
// little-endian. Needs no platform headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Wire {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kPacketMagic = 0x05030702;
constexpr uint8_t kVersionHigh = 0;
constexpr uint8_t kVersionLow = 1;
constexpr uint8_t kKindRequest = 1;
constexpr uint8_t kKindReply = 2;
// A second reply kind, handled as a reply in every way.
constexpr uint8_t kKindReplyAlternate = 3;

// Requests: magic (4), version high and low (1 each), kind (1), reserved
// (1), total length (4), checksum (4), sequence (4), command (2), payload
// length (4). Replies put the result (2) where a request's payload length
// starts and follow it with theirs (4).
constexpr size_t kRequestHeaderSize = 26;
constexpr size_t kReplyHeaderSize = 28;
constexpr size_t kVersionHighOffset = 4;
constexpr size_t kVersionLowOffset = 5;
constexpr size_t kKindOffset = 6;
constexpr size_t kReservedOffset = 7;
constexpr size_t kTotalLengthOffset = 8;
constexpr size_t kChecksumOffset = 12;
constexpr size_t kSequenceOffset = 16;
constexpr size_t kCommandOffset = 20;
constexpr size_t kRequestPayloadLengthOffset = 22;
constexpr size_t kResultOffset = 22;
constexpr size_t kReplyPayloadLengthOffset = 24;
// The checksum covers the packet from here to its end.
constexpr size_t kChecksumStart = kSequenceOffset;

constexpr size_t kSessionKeySize = 32;
constexpr size_t kTokenSize = 32;
constexpr size_t kDigestSize = 32;
// Reply payloads of a fixed size.
constexpr size_t kSessionInfoSize = 40;
constexpr size_t kAccountSpaceSize = 24;
constexpr size_t kUploadTicketSize = 38;
constexpr size_t kCreatedFolderSize = 8;

enum Command : uint16_t {
    CmdSignOn = 101,
    CmdSignOff = 102,
    CmdAccountInfo = 201,
    CmdListFolder = 301,
    CmdRenameEntry = 302,
    CmdDeleteEntries = 303,
    CmdCreateFolder = 305,
    CmdLookupEntry = 308,
    CmdBeginUpload = 309,
    CmdUploadBlock = 310,
    CmdFinishUpload = 311,
};

// Every result code the server sends, by the command that gives it; the
// server's README tells what each means.
enum Result : uint16_t {
    // SignOn
    ResSignedOn = 101,
    ResUnknownUser = 102,
    ResWrongPassword = 103,
    ResAccountFrozen = 104,
    ResBadSignOn = 105,
    // SignOff
    ResSignedOff = 102,
    ResUnknownSession = 103,
    // AccountInfo
    ResAccountSpace = 201,
    ResAccountSessionUnknown = 202,
    // ListFolder, RenameEntry, DeleteEntries, CreateFolder, LookupEntry
    ResFolderListed = 301,
    ResNoSuchFolder = 302,
    ResFolderCreated = 303,
    ResNameUnchanged = 304,
    ResNoSuchEntry = 305,
    ResRenamed = 306,
    ResDeleted = 307,
    ResInvalidName = 308,
    ResNameTaken = 309,
    ResFolderFull = 310,
    ResFolderExists = 311,
    ResEntryFound = 315,
    ResEntryNotFound = 316,
    // BeginUpload, UploadBlock, FinishUpload
    ResTicketGranted = 317,
    ResNoSpace = 318,
    ResUploadRefused = 319,
    ResBlockAccepted = 324,
    ResTicketInvalid = 326,
    ResUploadComplete = 327,
    ResUploadMismatch = 328,
    ResContentKnown = 329,
    // Any command
    ResMalformed = 900,
    ResUnknownCommand = 901,
    ResServerError = 902,
};

inline uint16_t ReadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t ReadU32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t ReadU64(const uint8_t* p)
{
    return static_cast<uint64_t>(ReadU32(p)) | (static_cast<uint64_t>(ReadU32(p + 4)) << 32);
}
void WriteU16(uint8_t* p, uint16_t v);
void WriteU32(uint8_t* p, uint32_t v);
void WriteU64(uint8_t* p, uint64_t v);

// CRC-32 over the reflected polynomial 0xEDB88320 with the register
// starting at 0 and no final inversion.
uint32_t PacketChecksum(const uint8_t* data, size_t length);

// The header fields a sender chooses; lengths and checksum follow from the
// packet. Other versions and kinds are for tests of the receiving side.
struct PacketHeader {
    uint8_t version_high = kVersionHigh;
    uint8_t version_low = kVersionLow;
    uint8_t kind = kKindRequest;
    uint32_t sequence = 0;
    uint16_t command = 0;
    uint16_t result = 0;  // replies only
};
// Header and payload as one sealed packet; the header is a request's for
// kind 1 and a reply's for any other kind.
Bytes BuildPacket(const PacketHeader& header, const uint8_t* payload, size_t length);
inline Bytes BuildPacket(const PacketHeader& header, const Bytes& payload)
{
    return BuildPacket(header, payload.data(), payload.size());
}
// Writes the checksum of a packet whose other bytes are final.
void SealPacket(Bytes* packet);

// Verdict on the first 16 bytes of a reply.
enum class ReplyHeaderCheck {
    Valid,
    Incompatible,  // version bytes other than 0 and 1: a server of another protocol version
    Malformed,     // magic, kind, reserved byte, or a total length below 28 or above max_total
};
ReplyHeaderCheck CheckReplyHeader(const uint8_t* first16, uint32_t max_total, uint32_t* total_length);

// A complete reply whose length and checksum have been verified.
struct Reply {
    uint32_t sequence = 0;
    uint16_t command = 0;
    uint16_t result = 0;
    Bytes payload;
};
// Splits a complete reply packet (its first 16 bytes already checked);
// false when its total length is not the packet's, the payload length does
// not fit or the checksum does not match.
bool OpenReply(const uint8_t* packet, size_t length, Reply* reply);

// One entry of a listing or lookup: 60 fixed bytes (id 4, parent id 4, kind
// 4, update time 4, md5 32, size 8, name length 2, address length 2), then
// the download address and the name, both UTF-8.
constexpr size_t kEntryRecordFixedSize = 60;

struct EntryRecord {
    int32_t id = 0;
    int32_t parent_id = 0;
    uint32_t kind = 0;  // 0 folder, 1 file
    int32_t update_time = 0;
    char md5[kDigestSize] = {};  // a file's 32 letters or digits; a folder's first byte 0
    uint64_t size = 0;
    std::string address;
    std::string name;
};

// Appends the record as it is given, valid or not (tests build broken ones
// with it); strings longer than 65535 bytes are cut.
void AppendEntryRecord(const EntryRecord& record, Bytes* out);

enum class EntryRecordRead {
    Complete,
    Rejected,  // id not positive, parent id negative, kind above 1, or md5 against the kind
    Cut,       // a string runs past the end of the data: the data ends this record
    Short,     // fewer than 60 bytes: no record here
};
// Reads the record at data; *used tells where the next one starts (all of
// the data for a cut record, nothing for a short one).
EntryRecordRead ReadEntryRecord(const uint8_t* data, size_t length, size_t* used, EntryRecord* out);

}  // namespace Wire
