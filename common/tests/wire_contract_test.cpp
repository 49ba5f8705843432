#include "common/wire_contract.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/tests/wire_builders.h"

namespace Wire {
namespace {

constexpr uint32_t kMaxTotal = 1u << 20;

TEST(WireContract, ChecksumStartsAtZeroWithoutFinalInversion)
{
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(PacketChecksum(abc, 3), 0xCA6598D0u);
    EXPECT_EQ(PacketChecksum(abc, 0), 0u);
}

TEST(WireContract, ReplyHeaderChecks)
{
    uint32_t total = 0;
    Bytes reply = WireTest::MakeReply(5, CmdListFolder, 301, Bytes{1, 2, 3, 4});
    EXPECT_EQ(CheckReplyHeader(reply.data(), kMaxTotal, &total), ReplyHeaderCheck::Valid);
    EXPECT_EQ(total, 32u);

    Bytes kind3 = reply;
    kind3[6] = 3;
    EXPECT_EQ(CheckReplyHeader(kind3.data(), kMaxTotal, &total), ReplyHeaderCheck::Valid);

    Bytes version = reply;
    version[5] = 2;
    EXPECT_EQ(CheckReplyHeader(version.data(), kMaxTotal, &total), ReplyHeaderCheck::Incompatible);
    version[4] = 1;
    version[5] = 1;
    EXPECT_EQ(CheckReplyHeader(version.data(), kMaxTotal, &total), ReplyHeaderCheck::Incompatible);

    Bytes bad = reply;
    bad[6] = 1;
    EXPECT_EQ(CheckReplyHeader(bad.data(), kMaxTotal, &total), ReplyHeaderCheck::Malformed);
    bad = reply;
    bad[7] = 1;
    EXPECT_EQ(CheckReplyHeader(bad.data(), kMaxTotal, &total), ReplyHeaderCheck::Malformed);
    bad = reply;
    WriteU32(&bad[8], 27);
    EXPECT_EQ(CheckReplyHeader(bad.data(), kMaxTotal, &total), ReplyHeaderCheck::Malformed);
    WriteU32(&bad[8], kMaxTotal + 1);
    EXPECT_EQ(CheckReplyHeader(bad.data(), kMaxTotal, &total), ReplyHeaderCheck::Malformed);
    bad = reply;
    bad[0] = 0;
    EXPECT_EQ(CheckReplyHeader(bad.data(), kMaxTotal, &total), ReplyHeaderCheck::Malformed);
}

TEST(WireContract, OpenReplyChecksChecksumAndPayloadLength)
{
    Reply reply;
    Bytes packet = WireTest::MakeReply(9, CmdLookupEntry, 315, Bytes{7, 8});
    ASSERT_TRUE(OpenReply(packet.data(), packet.size(), &reply));
    EXPECT_EQ(reply.sequence, 9u);
    EXPECT_EQ(reply.command, CmdLookupEntry);
    EXPECT_EQ(reply.result, 315);
    EXPECT_EQ(reply.payload, (Bytes{7, 8}));

    Bytes corrupt = packet;
    corrupt[29] ^= 1;
    EXPECT_FALSE(OpenReply(corrupt.data(), corrupt.size(), &reply));

    // The checksum leaves the total length out: a buffer of another length
    // than the header announces is refused on the length alone.
    for (uint32_t announced : {uint32_t(packet.size() - 1), uint32_t(packet.size() + 1)}) {
        Bytes other_length = packet;
        WriteU32(&other_length[kTotalLengthOffset], announced);
        EXPECT_FALSE(OpenReply(other_length.data(), other_length.size(), &reply)) << announced;
    }
    Bytes longer_buffer = packet;
    longer_buffer.push_back(0);
    EXPECT_FALSE(OpenReply(longer_buffer.data(), longer_buffer.size(), &reply));

    Bytes long_payload = packet;
    WriteU32(&long_payload[24], 3);
    SealPacket(&long_payload);
    EXPECT_FALSE(OpenReply(long_payload.data(), long_payload.size(), &reply));

    Bytes short_payload = packet;
    WriteU32(&short_payload[24], 1);
    SealPacket(&short_payload);
    ASSERT_TRUE(OpenReply(short_payload.data(), short_payload.size(), &reply));
    EXPECT_EQ(reply.payload, (Bytes{7}));
}

TEST(WireContract, PacketsCarryTheirHeaderFieldsAndSeal)
{
    PacketHeader header;
    header.sequence = 41;
    header.command = CmdListFolder;
    const Bytes request = BuildPacket(header, Bytes(8, 0));
    ASSERT_EQ(request.size(), kRequestHeaderSize + 8);
    EXPECT_EQ(ReadU32(&request[0]), kPacketMagic);
    EXPECT_EQ(request[kKindOffset], kKindRequest);
    EXPECT_EQ(ReadU32(&request[kTotalLengthOffset]), 34u);
    EXPECT_EQ(ReadU32(&request[kSequenceOffset]), 41u);
    EXPECT_EQ(ReadU16(&request[kCommandOffset]), CmdListFolder);
    EXPECT_EQ(ReadU32(&request[kRequestPayloadLengthOffset]), 8u);
    EXPECT_EQ(ReadU32(&request[kChecksumOffset]), PacketChecksum(&request[kChecksumStart], 34 - kChecksumStart));

    const Bytes reply = WireTest::MakeReply(41, CmdListFolder, ResFolderListed, Bytes{1, 2});
    ASSERT_EQ(reply.size(), kReplyHeaderSize + 2);
    EXPECT_EQ(reply[kKindOffset], kKindReply);
    EXPECT_EQ(ReadU16(&reply[kResultOffset]), ResFolderListed);
    EXPECT_EQ(ReadU32(&reply[kReplyPayloadLengthOffset]), 2u);
}

TEST(WireContract, EntryRecordsReadBackAsWritten)
{
    EntryRecord file;
    file.id = 5;
    file.kind = 1;
    file.update_time = -3;
    std::memcpy(file.md5, "0123456789abcdef0123456789ABCDEF", kDigestSize);
    file.size = 1ull << 33;
    file.address = "http://127.0.0.1/d/5?key=";
    file.name = "\xe6\x8a\xa5.txt";
    Bytes bytes;
    AppendEntryRecord(file, &bytes);
    ASSERT_EQ(bytes.size(), kEntryRecordFixedSize + file.address.size() + file.name.size());

    EntryRecord back;
    size_t used = 0;
    ASSERT_EQ(ReadEntryRecord(bytes.data(), bytes.size(), &used, &back), EntryRecordRead::Complete);
    EXPECT_EQ(used, bytes.size());
    EXPECT_EQ(back.id, 5);
    EXPECT_EQ(back.update_time, -3);
    EXPECT_EQ(std::string(back.md5, kDigestSize), std::string(file.md5, kDigestSize));
    EXPECT_EQ(back.size, file.size);
    EXPECT_EQ(back.address, file.address);
    EXPECT_EQ(back.name, file.name);

    EXPECT_EQ(ReadEntryRecord(bytes.data(), kEntryRecordFixedSize - 1, &used, &back), EntryRecordRead::Short);
    EXPECT_EQ(used, 0u);
    EXPECT_EQ(ReadEntryRecord(bytes.data(), bytes.size() - 1, &used, &back), EntryRecordRead::Cut);
    EXPECT_EQ(used, bytes.size() - 1);
    Bytes folder_with_digest = bytes;
    WriteU32(&folder_with_digest[8], 0);
    EXPECT_EQ(ReadEntryRecord(folder_with_digest.data(), folder_with_digest.size(), &used, &back),
              EntryRecordRead::Rejected);
}

}  // namespace
}  // namespace Wire
