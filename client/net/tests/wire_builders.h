// Reply bytes as a server would send them, for the tests.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "client/net/packet_codec.h"

namespace Net::Wire {

inline void Reseal(Bytes* packet)
{
    WriteU32(&(*packet)[12], PacketChecksum(packet->data() + 16, packet->size() - 16));
}

inline Bytes MakeReply(uint32_t sequence, uint16_t command, uint16_t result, const Bytes& payload,
                       uint8_t version_high = 0, uint8_t version_low = 1, uint8_t kind = 2)
{
    Bytes packet(kReplyHeaderSize + payload.size(), 0);
    WriteU32(&packet[0], kPacketMagic);
    packet[4] = version_high;
    packet[5] = version_low;
    packet[6] = kind;
    WriteU32(&packet[8], static_cast<uint32_t>(packet.size()));
    WriteU32(&packet[16], sequence);
    WriteU16(&packet[20], command);
    WriteU16(&packet[22], result);
    WriteU32(&packet[24], static_cast<uint32_t>(payload.size()));
    if (!payload.empty())
        std::memcpy(&packet[kReplyHeaderSize], payload.data(), payload.size());
    Reseal(&packet);
    return packet;
}

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

inline Bytes MakeRecord(const RecordFields& fields)
{
    Bytes record(kEntryRecordFixedSize, 0);
    WriteU32(&record[0], static_cast<uint32_t>(fields.id));
    WriteU32(&record[4], static_cast<uint32_t>(fields.parent_id));
    WriteU32(&record[8], fields.kind);
    WriteU32(&record[12], static_cast<uint32_t>(fields.update_time));
    // Folders keep the md5 field zero unless a test gives one.
    if (fields.kind != 0 || fields.md5 != RecordFields{}.md5)
        std::memcpy(&record[16], fields.md5.data(), fields.md5.size() < 32 ? fields.md5.size() : 32);
    WriteU64(&record[48], fields.size);
    WriteU16(&record[56], static_cast<uint16_t>(fields.name.size()));
    WriteU16(&record[58], static_cast<uint16_t>(fields.address.size()));
    record.insert(record.end(), fields.address.begin(), fields.address.end());
    record.insert(record.end(), fields.name.begin(), fields.name.end());
    return record;
}

inline Bytes MakeListing(const std::vector<RecordFields>& records)
{
    Bytes payload(4, 0);
    WriteU32(&payload[0], static_cast<uint32_t>(records.size()));
    for (const RecordFields& fields : records) {
        const Bytes record = MakeRecord(fields);
        payload.insert(payload.end(), record.begin(), record.end());
    }
    return payload;
}

}  // namespace Net::Wire
