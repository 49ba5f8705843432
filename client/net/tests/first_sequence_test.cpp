// Alone in its executable, so that it sees the process's first request.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "client/net/packet_codec.h"

namespace Net {
namespace {

TEST(FirstSequenceTest, FirstRequestCarriesSequenceOneAndTwoLetterSignOnIs66Bytes)
{
    const uint8_t address[4] = {10, 0, 0, 7};
    const Bytes packet = BuildSignOn("ab", std::string(32, 'f'), address);
    ASSERT_EQ(packet.size(), 66u);
    EXPECT_EQ(ReadU32(&packet[0]), kPacketMagic);
    EXPECT_EQ(packet[0], 0x02);
    EXPECT_EQ(packet[3], 0x05);
    EXPECT_EQ(packet[4], 0);
    EXPECT_EQ(packet[5], 1);
    EXPECT_EQ(packet[6], 1);
    EXPECT_EQ(packet[7], 0);
    EXPECT_EQ(ReadU32(&packet[8]), 66u);
    EXPECT_EQ(ReadU32(&packet[16]), 1u);
    EXPECT_EQ(ReadU16(&packet[20]), CmdSignOn);
    EXPECT_EQ(ReadU32(&packet[22]), 40u);
    EXPECT_EQ(packet[26], 2);
    EXPECT_EQ(packet[27], 32);
    EXPECT_EQ(0, std::memcmp(&packet[28], address, 4));
    EXPECT_EQ(std::string(packet.begin() + 32, packet.begin() + 34), "ab");
    EXPECT_EQ(ReadU32(&packet[12]), PacketChecksum(&packet[16], packet.size() - 16));

    const Bytes next = BuildListFolder(5);
    EXPECT_EQ(PacketSequence(next), 2u);
}

}  // namespace
}  // namespace Net
