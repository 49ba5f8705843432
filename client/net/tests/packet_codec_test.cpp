#include "client/net/packet_codec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/tests/wire_builders.h"

namespace Net {
namespace {

TEST(PacketCodecTest, EveryCommandHasItsLayoutAndLength)
{
    const char key[32] = {'k'};
    const char md5[32] = {'d'};
    const int32_t ids[3] = {4, 5, 6};

    const Bytes off = BuildSignOff(77, key);
    ASSERT_EQ(off.size(), 62u);
    EXPECT_EQ(ReadU16(&off[20]), CmdSignOff);
    EXPECT_EQ(ReadU32(&off[26]), 77u);
    EXPECT_EQ(off[30], 'k');
    EXPECT_EQ(BuildAccountInfo(1, key).size(), 62u);

    const Bytes list = BuildListFolder(9);
    ASSERT_EQ(list.size(), 34u);
    EXPECT_EQ(ReadU32(&list[26]), 9u);
    EXPECT_EQ(ReadU32(&list[30]), 0u);

    const Bytes rename = BuildRenameEntry(12, "old", "newer");
    ASSERT_EQ(rename.size(), 34u + 3 + 5);
    EXPECT_EQ(ReadU32(&rename[26]), 12u);
    EXPECT_EQ(ReadU16(&rename[30]), 3);
    EXPECT_EQ(ReadU16(&rename[32]), 5);
    EXPECT_EQ(std::string(rename.begin() + 34, rename.end()), "oldnewer");

    const Bytes del = BuildDeleteEntries(3, ids, 3);
    ASSERT_EQ(del.size(), 34u + 12);
    EXPECT_EQ(ReadU32(&del[30]), 3u);
    EXPECT_EQ(ReadU32(&del[42]), 6u);

    const Bytes create = BuildCreateFolder(8, "\xe6\x96\x87");
    ASSERT_EQ(create.size(), 35u);
    EXPECT_EQ(ReadU16(&create[20]), CmdCreateFolder);
    EXPECT_EQ(ReadU16(&create[30]), 3);
    const Bytes lookup = BuildLookupEntry(8, "x");
    EXPECT_EQ(lookup.size(), 33u);
    EXPECT_EQ(ReadU16(&lookup[20]), CmdLookupEntry);

    const Bytes begin = BuildBeginUpload(21, 0x100000005ull, md5, "f.txt");
    ASSERT_EQ(begin.size(), 77u);
    EXPECT_EQ(ReadU16(&begin[26]), 5);
    EXPECT_EQ(ReadU32(&begin[28]), 21u);
    EXPECT_EQ(ReadU64(&begin[32]), 0x100000005ull);
    EXPECT_EQ(begin[40], 'd');
    EXPECT_EQ(std::string(begin.begin() + 72, begin.end()), "f.txt");

    const Bytes block = BuildUploadBlock(key, 65536, 32768);
    ASSERT_EQ(block.size(), 70u);
    EXPECT_EQ(ReadU64(&block[58]), 65536u);
    EXPECT_EQ(ReadU32(&block[66]), 32768u);
    EXPECT_EQ(BuildFinishUpload(key).size(), 58u);

    for (const Bytes* packet : {&off, &list, &rename, &del, &create, &begin, &block})
        EXPECT_EQ(ReadU32(&(*packet)[12]), PacketChecksum(packet->data() + 16, packet->size() - 16));
}

TEST(PacketCodecTest, EmptyOrOversizedTextBuildsNothing)
{
    const uint8_t address[4] = {};
    const char md5[32] = {};
    EXPECT_TRUE(BuildSignOn("", "d", address).empty());
    EXPECT_TRUE(BuildSignOn(std::string(256, 'u'), "d", address).empty());
    // A name that fills its one-byte length field goes whole.
    const Bytes longest = BuildSignOn(std::string(255, 'u'), "d", address);
    ASSERT_EQ(longest.size(), 32u + 255 + 1);
    EXPECT_EQ(longest[26], 255);
    EXPECT_EQ(longest[32 + 254], 'u');
    EXPECT_EQ(longest.back(), 'd');
    EXPECT_TRUE(BuildCreateFolder(1, "").empty());
    EXPECT_TRUE(BuildLookupEntry(1, std::string(70000, 'n')).empty());
    EXPECT_TRUE(BuildRenameEntry(1, "a", "").empty());
    EXPECT_TRUE(BuildBeginUpload(1, 1, md5, "").empty());
    EXPECT_TRUE(BuildDeleteEntries(1, nullptr, 1).empty());
}

// Requests are held to the bound of replies: as many ids as fit go in one
// request, one more builds nothing instead of a packet the bound refuses.
TEST(PacketCodecTest, ADeleteCarriesAsManyIdsAsARequestHolds)
{
    const uint32_t most = static_cast<uint32_t>((kMaxReplyLength - 34) / 4);
    std::vector<int32_t> ids(most + 1, 9);
    ids[most - 1] = 77;
    const Bytes full = BuildDeleteEntries(2, ids.data(), most);
    ASSERT_EQ(full.size(), 34u + size_t{4} * most);
    EXPECT_EQ(ReadU32(&full[30]), most);
    EXPECT_EQ(ReadU32(&full[full.size() - 4]), 77u);
    EXPECT_TRUE(BuildDeleteEntries(2, ids.data(), most + 1).empty());
    EXPECT_TRUE(BuildDeleteEntries(2, ids.data(), 0).empty());
}

TEST(PacketCodecTest, FixedPayloadsNeedTheirExactLength)
{
    Bytes session(40, 0);
    WriteU32(&session[0], 1234);
    std::memset(&session[4], 'K', 32);
    session[36] = 192;
    session[39] = 9;
    SessionInfo info;
    ASSERT_TRUE(DecodeSessionInfo(session, &info));
    EXPECT_EQ(info.user_id, 1234u);
    EXPECT_EQ(info.session_key[31], 'K');
    EXPECT_EQ(info.public_address[0], 192);
    EXPECT_EQ(info.public_address[3], 9);
    session.pop_back();
    EXPECT_FALSE(DecodeSessionInfo(session, &info));

    Bytes space(24, 0);
    WriteU64(&space[0], 1000);
    WriteU64(&space[8], 400);
    AccountSpace account;
    ASSERT_TRUE(DecodeAccountSpace(space, &account));
    EXPECT_EQ(account.total, 1000u);
    EXPECT_EQ(account.free, 400u);
    space.resize(16);
    EXPECT_FALSE(DecodeAccountSpace(space, &account));

    Bytes ticket(38, 0);
    std::memset(&ticket[0], 'T', 32);
    WriteU16(&ticket[32], 7700);
    const uint8_t wire_address[4] = {0x0A, 0x01, 0xA8, 0xC0};
    std::memcpy(&ticket[34], wire_address, 4);
    UploadTicket granted;
    ASSERT_TRUE(DecodeUploadTicket(ticket, &granted));
    EXPECT_EQ(granted.port, 7700);
    EXPECT_EQ(FormatTicketAddress(granted.address), "192.168.1.10");
    ticket.push_back(0);
    EXPECT_FALSE(DecodeUploadTicket(ticket, &granted));

    Bytes created(8, 0);
    WriteU32(&created[0], 40);
    WriteU32(&created[4], 41);
    int32_t id = 0;
    EXPECT_TRUE(DecodeCreatedFolder(created, 40, &id));
    EXPECT_EQ(id, 41);
    EXPECT_FALSE(DecodeCreatedFolder(created, 39, &id));
    created.push_back(0);
    EXPECT_FALSE(DecodeCreatedFolder(created, 40, &id));
}

TEST(PacketCodecTest, ListingDecodesRecordsInOrder)
{
    WireTest::RecordFields file;
    file.id = 11;
    file.parent_id = 3;
    file.kind = 1;
    file.update_time = 99;
    file.size = 123456789012ull;
    file.name = "report.txt";
    file.address = "http://h/x?k=";
    WireTest::RecordFields folder;
    folder.id = 12;
    folder.parent_id = 3;
    folder.name = "\xe6\x96\x87\xe4\xbb\xb6";
    const Bytes payload = WireTest::MakeListing({file, folder});

    std::vector<EntryRecord> records;
    ASSERT_TRUE(DecodeFolderList(payload, &records));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].id, 11);
    EXPECT_EQ(records[0].parent_id, 3);
    EXPECT_EQ(records[0].kind, 1u);
    EXPECT_EQ(records[0].update_time, 99);
    EXPECT_EQ(records[0].size, 123456789012ull);
    EXPECT_EQ(records[0].name, "report.txt");
    EXPECT_EQ(records[0].address, "http://h/x?k=");
    EXPECT_EQ(std::string(records[0].md5, 32), file.md5);
    EXPECT_EQ(records[1].kind, 0u);
    EXPECT_EQ(records[1].name, folder.name);

    EXPECT_TRUE(DecodeFolderList(WireTest::MakeListing({}), &records));
    EXPECT_TRUE(records.empty());
    EXPECT_FALSE(DecodeFolderList(Bytes{1, 0, 0}, &records));
}

TEST(PacketCodecTest, OneBrokenRuleRefusesTheWholeListing)
{
    WireTest::RecordFields good;
    good.name = "good";
    auto refused = [&](WireTest::RecordFields bad) {
        std::vector<EntryRecord> records;
        return !DecodeFolderList(WireTest::MakeListing({good, bad}), &records) && records.empty();
    };
    WireTest::RecordFields kind2 = good;
    kind2.kind = 2;
    EXPECT_TRUE(refused(kind2));
    WireTest::RecordFields hyphen = good;
    hyphen.kind = 1;
    hyphen.md5[10] = '-';
    EXPECT_TRUE(refused(hyphen));
    WireTest::RecordFields folder_md5 = good;
    folder_md5.kind = 0;
    folder_md5.md5 = std::string(32, 'a');
    EXPECT_TRUE(refused(folder_md5));
    WireTest::RecordFields zero_id = good;
    zero_id.id = 0;
    EXPECT_TRUE(refused(zero_id));
    WireTest::RecordFields negative_parent = good;
    negative_parent.parent_id = -1;
    EXPECT_TRUE(refused(negative_parent));
}

TEST(PacketCodecTest, UnsafeNamesAreLeftOutAndTheRestStands)
{
    const char* unsafe[] = {"", ".", "..", "a\\b", "a/b", "a:b", "a*b", "a?b", "a\"b", "a<b", "a>b",
                            "a|b", "tab\there", "nl\n", "del\x7f", "c1\xc2\x80", "c1\xc2\x85", "c1\xc2\x9f",
                            "bad\xff", "\xc0\xaf"};
    for (const char* name : unsafe) {
        WireTest::RecordFields first;
        first.id = 1;
        first.name = "first";
        WireTest::RecordFields bad;
        bad.id = 2;
        bad.name = name;
        WireTest::RecordFields last;
        last.id = 3;
        last.name = "last";
        std::vector<EntryRecord> records;
        ASSERT_TRUE(DecodeFolderList(WireTest::MakeListing({first, bad, last}), &records)) << name;
        ASSERT_EQ(records.size(), 2u) << name;
        EXPECT_EQ(records[0].id, 1);
        EXPECT_EQ(records[1].id, 3);
        EntryRecord single;
        EXPECT_FALSE(DecodeLookupReply(WireTest::MakeRecord(bad), &single)) << name;
    }
    EXPECT_TRUE(IsSafeEntryName("...a"));
    EXPECT_TRUE(IsSafeEntryName("\xe4\xbd\xa0\xe5\xa5\xbd.doc"));
    EXPECT_TRUE(IsSafeEntryName("nbsp\xc2\xa0" "follows the C1 controls"));
    EXPECT_TRUE(IsSafeEntryName(std::string(259, 'n')));
    EXPECT_FALSE(IsSafeEntryName(std::string(260, 'n')));
}

TEST(PacketCodecTest, ShortTailsAndCutStrings)
{
    WireTest::RecordFields one;
    one.name = "one";
    Bytes payload = WireTest::MakeListing({one});
    WriteU32(&payload[0], 5);  // more announced than present
    payload.insert(payload.end(), 59, 0);
    std::vector<EntryRecord> records;
    ASSERT_TRUE(DecodeFolderList(payload, &records));
    ASSERT_EQ(records.size(), 1u);

    WireTest::RecordFields cut;
    cut.name = "a-long-name";
    Bytes cut_payload = WireTest::MakeListing({one, cut});
    cut_payload.resize(cut_payload.size() - 4);
    ASSERT_TRUE(DecodeFolderList(cut_payload, &records));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].name, "one");

    WireTest::RecordFields long_address = one;
    long_address.address = std::string(260, 'u');
    WireTest::RecordFields longest_address = one;
    longest_address.address = std::string(259, 'a');
    ASSERT_TRUE(DecodeFolderList(WireTest::MakeListing({long_address, longest_address}), &records));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].address, longest_address.address);

    EntryRecord record;
    EXPECT_FALSE(DecodeLookupReply(Bytes(59, 0), &record));
    ASSERT_TRUE(DecodeLookupReply(WireTest::MakeRecord(one), &record));
    EXPECT_EQ(record.name, "one");
}

TEST(PacketCodecTest, HugeAnnouncedCountAllocatesNothingExtra)
{
    WireTest::RecordFields one;
    one.name = "one";
    Bytes payload = WireTest::MakeListing({one});
    WriteU32(&payload[0], 0xFFFFFFFFu);
    std::vector<EntryRecord> records;
    ASSERT_TRUE(DecodeFolderList(payload, &records));
    EXPECT_EQ(records.size(), 1u);
}

}  // namespace
}  // namespace Net
