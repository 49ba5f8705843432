#include "client/net/packet_assembler.h"

#include <gtest/gtest.h>

#include "common/tests/wire_builders.h"

namespace Net {
namespace {

using Outcome = CPacketAssembler::Outcome;

// Feeds one chunk whole, collecting every outcome and reply.
struct Collector {
    CPacketAssembler assembler;
    std::vector<Outcome> outcomes;
    std::vector<Reply> replies;

    void Feed(const Bytes& chunk, uint64_t tag = 1)
    {
        size_t at = 0;
        while (at < chunk.size()) {
            size_t used = 0;
            const Outcome outcome = assembler.Feed(chunk.data() + at, chunk.size() - at, tag, &used);
            outcomes.push_back(outcome);
            if (outcome == Outcome::Complete)
                replies.push_back(assembler.TakeReply());
            at += used;
        }
    }
};

TEST(PacketAssemblerTest, ReplySplitIntoOneFifteenAndTheRest)
{
    const Bytes reply = WireTest::MakeReply(3, CmdAccountInfo, 201, Bytes(24, 1));
    Collector c;
    c.Feed(Bytes(reply.begin(), reply.begin() + 1));
    c.Feed(Bytes(reply.begin() + 1, reply.begin() + 16));
    EXPECT_TRUE(c.replies.empty());
    c.Feed(Bytes(reply.begin() + 16, reply.end()));
    ASSERT_EQ(c.replies.size(), 1u);
    EXPECT_EQ(c.replies[0].sequence, 3u);
    EXPECT_EQ(c.replies[0].payload.size(), 24u);
}

TEST(PacketAssemblerTest, TwoRepliesInOneChunkAreBothDelivered)
{
    Bytes both = WireTest::MakeReply(4, CmdLookupEntry, 315, Bytes(60, 0));
    const Bytes second = WireTest::MakeReply(5, CmdListFolder, 301, Bytes(4, 0));
    both.insert(both.end(), second.begin(), second.end());
    Collector c;
    c.Feed(both);
    ASSERT_EQ(c.replies.size(), 2u);
    EXPECT_EQ(c.replies[0].sequence, 4u);
    EXPECT_EQ(c.replies[1].sequence, 5u);
    EXPECT_EQ(c.assembler.Gathered(), 0u);
}

TEST(PacketAssemblerTest, ChunkOfAnotherConnectionDiscardsPartialAndItself)
{
    const Bytes reply = WireTest::MakeReply(6, CmdListFolder, 301, Bytes(4, 0));
    Collector c;
    c.Feed(Bytes(reply.begin(), reply.begin() + 20), 1);
    c.Feed(Bytes(reply.begin() + 20, reply.end()), 2);
    EXPECT_TRUE(c.replies.empty());
    EXPECT_EQ(c.outcomes.back(), Outcome::Discarded);
    EXPECT_EQ(c.assembler.Gathered(), 0u);
    c.Feed(reply, 2);
    ASSERT_EQ(c.replies.size(), 1u);
    EXPECT_EQ(c.assembler.ReplyTag(), 2u);
}

TEST(PacketAssemblerTest, BadChecksumAndIncompatibleVersionAreDiscarded)
{
    Bytes corrupt = WireTest::MakeReply(7, CmdListFolder, 301, Bytes(4, 0));
    corrupt.back() ^= 0x40;
    Collector c;
    c.Feed(corrupt);
    EXPECT_TRUE(c.replies.empty());
    EXPECT_EQ(c.outcomes.back(), Outcome::Discarded);

    Collector v;
    v.Feed(WireTest::MakeReply(8, CmdListFolder, 301, Bytes(4, 0), 0, 2));
    EXPECT_EQ(v.outcomes.front(), Outcome::Incompatible);
    EXPECT_TRUE(v.replies.empty());
}

TEST(PacketAssemblerTest, OversizedAnnouncementIsDiscardedWithoutAllocating)
{
    Bytes header = WireTest::MakeReply(9, CmdListFolder, 301, Bytes{});
    WriteU32(&header[8], kMaxReplyLength + 1);
    Collector c;
    c.Feed(Bytes(header.begin(), header.begin() + 16));
    EXPECT_EQ(c.outcomes.back(), Outcome::Discarded);
    EXPECT_EQ(c.assembler.Gathered(), 0u);
}

}  // namespace
}  // namespace Net
