// The client's own packet codec against the server: every command built by
// the client's builders and every reply decoded by the client's decoders.
#include "client/net/packet_codec.h"

#include "crypto.h"
#include "test_client.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace Tessel {
namespace {

class ClientCodecTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server_.ok());
        ASSERT_TRUE(link_.Connect(server_.sync_port()));
    }

    // Sends a client-built packet and opens the reply the client's way.
    bool Exchange(TestClient& link, const Net::Bytes& packet, Net::Reply& reply)
    {
        if (packet.empty() || !link.SendRaw(packet.data(), packet.size()))
            return false;
        Bytes bytes;
        if (!link.ReadPacket(bytes))
            return false;
        uint32_t total = 0;
        if (Net::CheckReplyHeader(bytes.data(), Net::kMaxReplyLength, &total) != Net::ReplyHeaderCheck::Valid ||
            total != bytes.size())
            return false;
        return Net::OpenReply(bytes.data(), bytes.size(), &reply) && reply.sequence == Net::PacketSequence(packet) &&
               reply.command == Net::PacketCommand(packet);
    }

    TestServer server_;
    TestClient link_;
};

TEST_F(ClientCodecTest, EveryCommandRoundTrips)
{
    const uint8_t local[4] = {127, 0, 0, 1};
    Net::Reply reply;
    ASSERT_TRUE(Exchange(link_, Net::BuildSignOn("demo", Md5Hex("demo123"), local), reply));
    ASSERT_EQ(reply.result, Net::ResSignedOn);
    Net::SessionInfo session;
    ASSERT_TRUE(Net::DecodeSessionInfo(reply.payload, &session));
    EXPECT_EQ(session.public_address[0], 127);

    ASSERT_TRUE(Exchange(link_, Net::BuildAccountInfo(session.user_id, session.session_key), reply));
    ASSERT_EQ(reply.result, Net::ResAccountSpace);
    Net::AccountSpace space;
    ASSERT_TRUE(Net::DecodeAccountSpace(reply.payload, &space));
    EXPECT_EQ(space.total, 1ull << 30);

    ASSERT_TRUE(Exchange(link_, Net::BuildCreateFolder(0, "文档"), reply));
    ASSERT_EQ(reply.result, Net::ResFolderCreated);
    int32_t folder = 0;
    ASSERT_TRUE(Net::DecodeCreatedFolder(reply.payload, 0, &folder));
    ASSERT_TRUE(Exchange(link_, Net::BuildCreateFolder(0, "文档"), reply));
    EXPECT_EQ(reply.result, Net::ResFolderExists);

    const std::string content(70000, 'k');
    const std::string md5 = Md5Hex(content);
    ASSERT_TRUE(Exchange(link_, Net::BuildBeginUpload(folder, content.size(), md5.c_str(), "报告.txt"), reply));
    ASSERT_EQ(reply.result, Net::ResTicketGranted);
    Net::UploadTicket ticket;
    ASSERT_TRUE(Net::DecodeUploadTicket(reply.payload, &ticket));
    EXPECT_EQ(Net::FormatTicketAddress(ticket.address), "127.0.0.1");
    TestClient data;
    ASSERT_TRUE(data.Connect(ticket.port));
    for (size_t offset = 0; offset < content.size(); offset += 32768) {
        const size_t n = std::min<size_t>(32768, content.size() - offset);
        const Net::Bytes header = Net::BuildUploadBlock(ticket.token, offset, static_cast<uint32_t>(n));
        ASSERT_TRUE(data.SendRaw(header.data(), header.size()));
        Net::Bytes block(content.begin() + offset, content.begin() + offset + n);
        ASSERT_TRUE(data.SendRaw(block.data(), block.size()));
        Bytes bytes;
        ASSERT_TRUE(data.ReadPacket(bytes));
        ASSERT_TRUE(Net::OpenReply(bytes.data(), bytes.size(), &reply));
        EXPECT_EQ(reply.sequence, Net::PacketSequence(header));
        EXPECT_EQ(reply.command, Net::CmdUploadBlock);
        ASSERT_EQ(reply.result, Net::ResBlockAccepted);
    }
    ASSERT_TRUE(Exchange(data, Net::BuildFinishUpload(ticket.token), reply));
    ASSERT_EQ(reply.result, Net::ResUploadComplete);
    ASSERT_TRUE(Exchange(link_, Net::BuildBeginUpload(0, content.size(), md5.c_str(), "copy.txt"), reply));
    EXPECT_EQ(reply.result, Net::ResContentKnown);

    ASSERT_TRUE(Exchange(link_, Net::BuildListFolder(folder), reply));
    ASSERT_EQ(reply.result, Net::ResFolderListed);
    std::vector<Net::EntryRecord> records;
    ASSERT_TRUE(Net::DecodeFolderList(reply.payload, &records));
    ASSERT_EQ(records.size(), 1u) << "no record is dropped as unsafe";
    EXPECT_EQ(records[0].name, "报告.txt");
    EXPECT_EQ(records[0].kind, 1u);
    EXPECT_EQ(std::string(records[0].md5, 32), md5);

    ASSERT_TRUE(Exchange(link_, Net::BuildLookupEntry(0, "文档"), reply));
    ASSERT_EQ(reply.result, Net::ResEntryFound);
    Net::EntryRecord found;
    ASSERT_TRUE(Net::DecodeLookupReply(reply.payload, &found));
    EXPECT_EQ(found.id, folder);

    ASSERT_TRUE(Exchange(link_, Net::BuildRenameEntry(folder, "文档", "Docs"), reply));
    EXPECT_EQ(reply.result, Net::ResRenamed);
    const int32_t ids[] = {folder};
    ASSERT_TRUE(Exchange(link_, Net::BuildDeleteEntries(0, ids, 1), reply));
    EXPECT_EQ(reply.result, Net::ResDeleted);
    ASSERT_TRUE(Exchange(link_, Net::BuildSignOff(session.user_id, session.session_key), reply));
}

}  // namespace
}  // namespace Tessel
