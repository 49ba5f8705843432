// Byte-level form of the sync protocol: request packets, reply headers and
// the reply payloads. Needs no platform headers, so it also builds natively
// for the sanitizer and fuzz runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Net {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kPacketMagic = 0x05030702;
constexpr size_t kRequestHeaderSize = 26;
constexpr size_t kReplyHeaderSize = 28;
constexpr size_t kChecksumStart = 16;
// Replies announcing more than this are refused before anything is allocated.
constexpr uint32_t kMaxReplyLength = 64u * 1024u * 1024u;
constexpr size_t kEntryRecordFixedSize = 60;
// Longest name or address the client accepts (its conversion buffers hold
// 260 bytes with the terminator).
constexpr size_t kMaxEntryString = 259;
constexpr size_t kSessionKeySize = 32;
constexpr size_t kTokenSize = 32;
constexpr size_t kDigestSize = 32;

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

// Result codes the client looks at.
enum Result : int {
    ResSignedOn = 101,
    ResAccountSpace = 201,
    ResFolderListed = 301,
    ResFolderCreated = 303,
    ResRenamed = 304,
    ResRenamedToo = 306,
    ResDeleted = 307,
    ResFolderExists = 311,
    ResEntryFound = 315,
    ResTicketGranted = 317,
    ResUploadRefused = 318,
    ResUploadRefusedToo = 319,
    ResBlockAccepted = 324,
    ResTicketInvalid = 326,
    ResUploadComplete = 327,
    ResContentKnown = 329,
};

// Timeouts of the replies, in milliseconds.
constexpr uint32_t kSessionTimeout = 10000;
constexpr uint32_t kEntryTimeout = 20000;

// CRC-32 over the reflected polynomial 0xEDB88320 with the register
// starting at 0 and no final inversion.
uint32_t PacketChecksum(const uint8_t* data, size_t length);

// The process-wide request sequence: the first call gives 1.
uint32_t NextSequence();

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

// Request packets. Strings are UTF-8; an empty name or a length that does
// not fit its field gives an empty packet. Each built packet takes the next
// sequence number.
Bytes BuildSignOn(std::string_view user_name, std::string_view digest, const uint8_t local_address[4]);
Bytes BuildSignOff(uint32_t user_id, const char session_key[kSessionKeySize]);
Bytes BuildAccountInfo(uint32_t user_id, const char session_key[kSessionKeySize]);
Bytes BuildListFolder(int32_t folder_id);
Bytes BuildRenameEntry(int32_t entry_id, std::string_view old_name, std::string_view new_name);
Bytes BuildDeleteEntries(int32_t parent_id, const int32_t* ids, uint32_t count);
Bytes BuildCreateFolder(int32_t parent_id, std::string_view name);
Bytes BuildLookupEntry(int32_t parent_id, std::string_view name);
Bytes BuildBeginUpload(int32_t parent_id, uint64_t size, const char md5[kDigestSize], std::string_view name);
Bytes BuildUploadBlock(const char token[kTokenSize], uint64_t offset, uint32_t length);
Bytes BuildFinishUpload(const char token[kTokenSize]);

inline uint32_t PacketSequence(const Bytes& packet) { return packet.size() >= 20 ? ReadU32(&packet[16]) : 0; }
inline uint16_t PacketCommand(const Bytes& packet) { return packet.size() >= 22 ? ReadU16(&packet[20]) : 0; }

// Verdict on the first 16 bytes of a reply.
enum class HeaderCheck {
    Valid,
    Incompatible,  // version bytes other than 0 and 1: a server this client cannot talk to
    Malformed,
};
HeaderCheck CheckReplyHeader(const uint8_t* first16, uint32_t* total_length);

// A complete reply whose header and checksum have been verified.
struct Reply {
    uint32_t sequence = 0;
    uint16_t command = 0;
    uint16_t result = 0;
    Bytes payload;
};
// Splits a complete reply packet; false when the payload length does not
// fit the packet or the checksum does not match.
bool OpenReply(const uint8_t* packet, size_t length, Reply* reply);

struct SessionInfo {
    uint32_t user_id = 0;
    char session_key[kSessionKeySize] = {};
    uint8_t public_address[4] = {};  // first octet first
};

struct AccountSpace {
    uint64_t total = 0;
    uint64_t free = 0;
    uint8_t unused[8] = {};
};

struct UploadTicket {
    char token[kTokenSize] = {};
    uint16_t port = 0;
    uint32_t address = 0;  // first octet in the most significant byte
};

// One entry as the server describes it, strings still in UTF-8.
struct EntryRecord {
    int32_t id = 0;
    int32_t parent_id = 0;
    uint32_t kind = 0;  // 0 folder, 1 file
    int32_t update_time = 0;
    char md5[kDigestSize] = {};
    uint64_t size = 0;
    std::string address;
    std::string name;
};

bool DecodeSessionInfo(const Bytes& payload, SessionInfo* out);
bool DecodeAccountSpace(const Bytes& payload, AccountSpace* out);
bool DecodeUploadTicket(const Bytes& payload, UploadTicket* out);
// The new folder's id from a 303 reply; false when the echoed parent differs.
bool DecodeCreatedFolder(const Bytes& payload, int32_t parent_id, int32_t* new_id);

// Outcome of decoding one record.
enum class RecordCheck {
    Accepted,
    Rejected,  // a field breaks a rule: the whole reply is refused
    Dropped,   // unusable name or address: only this record is left out
    Short,     // fewer than 60 bytes: no record here
};
// Decodes the record at data; *used tells where the next one starts.
RecordCheck DecodeEntryRecord(const uint8_t* data, size_t length, size_t* used, EntryRecord* out);

// A ListFolder payload: count, then the records back to back. False when
// the payload is shorter than 4 bytes or any record is rejected; dropped
// records and the zeroed tail of an over-announced count are left out.
bool DecodeFolderList(const Bytes& payload, std::vector<EntryRecord>* records);
// A LookupEntry payload: exactly one usable record.
bool DecodeLookupReply(const Bytes& payload, EntryRecord* record);

// A server-given name that may become a path component: non-empty, not "."
// or "..", valid UTF-8, at most 259 bytes, no separator, no character
// Windows forbids in file names and no control character.
bool IsSafeEntryName(std::string_view utf8);

// "%d.%d.%d.%d" from the most to the least significant byte.
std::string FormatTicketAddress(uint32_t address);

}  // namespace Net
