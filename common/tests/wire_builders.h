// Packets and payloads as a server sends them, built on the wire contract
// for the tests of every side (client codec, connection layer, engine).
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "common/wire_contract.h"

namespace WireTest {

using Wire::Bytes;

inline Bytes MakeReply(uint32_t sequence, uint16_t command, uint16_t result, const Bytes& payload,
                       uint8_t version_high = Wire::kVersionHigh, uint8_t version_low = Wire::kVersionLow,
                       uint8_t kind = Wire::kKindReply)
{
    Wire::PacketHeader header;
    header.version_high = version_high;
    header.version_low = version_low;
    header.kind = kind;
    header.sequence = sequence;
    header.command = command;
    header.result = result;
    return Wire::BuildPacket(header, payload);
}

// One entry as a test describes it; the defaults make a valid folder.
struct RecordFields {
    int32_t id = 7;
    int32_t parent_id = 1;
    uint32_t kind = 0;
    int32_t update_time = 5;
    std::string md5 = "0123456789abcdefABCDEF0123456789";
    uint64_t size = 0;
    std::string address;
    std::string name = "name";
};

inline Wire::EntryRecord ToRecord(const RecordFields& fields)
{
    Wire::EntryRecord record;
    record.id = fields.id;
    record.parent_id = fields.parent_id;
    record.kind = fields.kind;
    record.update_time = fields.update_time;
    // Folders keep the md5 field zero unless a test gives one.
    if (fields.kind != 0 || fields.md5 != RecordFields{}.md5)
        std::memcpy(record.md5, fields.md5.data(), std::min(fields.md5.size(), Wire::kDigestSize));
    record.size = fields.size;
    record.address = fields.address;
    record.name = fields.name;
    return record;
}

inline Bytes MakeRecord(const RecordFields& fields)
{
    Bytes bytes;
    Wire::AppendEntryRecord(ToRecord(fields), &bytes);
    return bytes;
}

// A listing payload: the count, then the records.
inline Bytes MakeListing(const std::vector<RecordFields>& records)
{
    Bytes payload(4, 0);
    Wire::WriteU32(&payload[0], static_cast<uint32_t>(records.size()));
    for (const RecordFields& fields : records)
        Wire::AppendEntryRecord(ToRecord(fields), &payload);
    return payload;
}

}  // namespace WireTest
