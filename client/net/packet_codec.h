// The client's side of the sync protocol: the request packets it builds and
// the reply payloads it accepts, on the shared wire contract. Needs no
// platform headers, so it also builds natively for the sanitizer and fuzz
// runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/wire_contract.h"

namespace Net {

// The wire contract (common/wire_contract.h) is the connection layer's
// vocabulary: its constants, commands, results and records are Net's too.
using namespace Wire;

// Replies announcing more than this are refused before anything is allocated.
constexpr uint32_t kMaxReplyLength = 64u * 1024u * 1024u;
// Longest name or address the client accepts (its conversion buffers hold
// 260 bytes with the terminator).
constexpr size_t kMaxEntryString = 259;

// Timeouts of the replies, in milliseconds.
constexpr uint32_t kSessionTimeout = 10000;
constexpr uint32_t kEntryTimeout = 20000;

// The process-wide request sequence: the first call gives 1.
uint32_t NextSequence();

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

inline uint32_t PacketSequence(const Bytes& packet)
{
    return packet.size() >= kSequenceOffset + 4 ? ReadU32(&packet[kSequenceOffset]) : 0;
}
inline uint16_t PacketCommand(const Bytes& packet)
{
    return packet.size() >= kCommandOffset + 2 ? ReadU16(&packet[kCommandOffset]) : 0;
}

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
