#include "cli.h"
#include "crypto.h"
#include "names.h"
#include "protocol.h"

#include <gtest/gtest.h>

namespace Tessel {
namespace {

TEST(RequestHeader, AcceptsWhatTheClientBuildsAndRejectsTheRest)
{
    Bytes packet = BuildRequest(7, CmdListFolder, Bytes(8, 0));
    RequestHeader header;
    ASSERT_EQ(ParseRequestHeader(packet.data(), header), HeaderCheck::Valid);
    EXPECT_EQ(header.total_length, 34u);
    EXPECT_EQ(header.sequence, 7u);
    EXPECT_EQ(header.command, CmdListFolder);
    EXPECT_TRUE(ChecksumMatches(packet.data(), packet.size()));

    Bytes bad = packet;
    bad[0] ^= 1;
    EXPECT_EQ(ParseRequestHeader(bad.data(), header), HeaderCheck::BadMagic);
    bad = packet;
    bad[5] = 2;
    EXPECT_EQ(ParseRequestHeader(bad.data(), header), HeaderCheck::BadVersion);
    bad = packet;
    bad[6] = 2;
    EXPECT_EQ(ParseRequestHeader(bad.data(), header), HeaderCheck::BadKind);
    bad = packet;
    bad[22] = 9;  // payload length no longer total - 26
    EXPECT_EQ(ParseRequestHeader(bad.data(), header), HeaderCheck::BadLength);
    bad = packet;
    bad[8] = 20;  // shorter than a header
    EXPECT_EQ(ParseRequestHeader(bad.data(), header), HeaderCheck::BadLength);
    bad = packet;
    bad[30] ^= 0xFF;
    EXPECT_FALSE(ChecksumMatches(bad.data(), bad.size()));
}

TEST(Reply, CarriesSequenceCommandAndResult)
{
    const Bytes reply = BuildReply(99, CmdLookupEntry, ResEntryFound, Bytes{1, 2, 3});
    ASSERT_EQ(reply.size(), 31u);
    EXPECT_EQ(reply[6], 2);
    ReplyView view;
    ASSERT_TRUE(ParseReply(reply.data(), reply.size(), view));
    EXPECT_EQ(view.sequence, 99u);
    EXPECT_EQ(view.command, CmdLookupEntry);
    EXPECT_EQ(view.result, ResEntryFound);
    EXPECT_EQ(view.payload, (Bytes{1, 2, 3}));
}

TEST(EntryRecordCodec, FileAndFolderRecordsDecodeAsTheClientDoes)
{
    PayloadWriter out;
    EntryRecord file;
    file.id = 5;
    file.parent_id = 0;
    file.is_file = true;
    file.update_time = 9;
    file.md5 = "0123456789abcdef0123456789abcdef";
    file.size = 1ull << 33;
    file.name = "报告.txt";
    file.address = "http://127.0.0.1:8765/d/5?key=";
    EntryRecord folder;
    folder.id = 6;
    folder.name = "docs";
    folder.address = "ignored for folders";
    AppendEntryRecord(out, file);
    AppendEntryRecord(out, folder);
    Bytes bytes = out.Take();
    EXPECT_EQ(bytes.size(), 60 + file.name.size() + file.address.size() + 60 + 4);
    EXPECT_EQ(bytes[60 + file.address.size() + file.name.size() + 16], 0) << "a folder's md5 starts with 0";

    PayloadReader in(bytes.data(), bytes.size());
    EntryRecord a, b;
    ASSERT_TRUE(ReadEntryRecord(in, a));
    ASSERT_TRUE(ReadEntryRecord(in, b));
    EXPECT_EQ(a.name, file.name);
    EXPECT_EQ(a.address, file.address);
    EXPECT_EQ(a.size, file.size);
    EXPECT_FALSE(b.is_file);
    EXPECT_TRUE(b.address.empty());
    EXPECT_EQ(in.remaining(), 0u);
}

TEST(Names, RefusesWhatWindowsCannotHoldOrTheClientDrops)
{
    for (const char* good : {"a", "报告.docx", "x y", ".hidden", "con2", "COM0", "a.tavox"})
        EXPECT_TRUE(IsValidEntryName(good)) << good;
    const std::string bad_utf8("\xC0\xAF", 2);
    for (const std::string& bad :
         {std::string(), std::string("."), std::string(".."), std::string("a/b"), std::string("a\\b"),
          std::string("a<b"), std::string("a>b"), std::string("a:b"), std::string("a\"b"), std::string("a|b"),
          std::string("a?b"), std::string("a*b"), std::string("a\tb"), std::string("a\0b", 3), std::string("trail."),
          std::string("trail "), std::string("CON"), std::string("nul.txt"), std::string("Lpt1"),
          std::string("x.TAVO"), bad_utf8, std::string(256, 'a')})
        EXPECT_FALSE(IsValidEntryName(bad)) << bad;
    EXPECT_TRUE(IsValidEntryName(std::string(255, 'a')));
}

TEST(Names, FoldingIgnoresLetterCaseBeyondAscii)
{
    EXPECT_EQ(FoldName("Report.TXT"), FoldName("report.txt"));
    EXPECT_EQ(FoldName("ÄRGER"), FoldName("ärger"));
    EXPECT_EQ(FoldName("ПРИВЕТ"), FoldName("привет"));
    EXPECT_NE(FoldName("a"), FoldName("b"));
}

TEST(Names, UserNamesAndDigests)
{
    EXPECT_TRUE(IsValidUserName("demo"));
    EXPECT_FALSE(IsValidUserName(""));
    EXPECT_FALSE(IsValidUserName(std::string(32, 'u')));
    EXPECT_FALSE(IsValidUserName("a\nb"));
    EXPECT_TRUE(IsHexDigest(Md5Hex("x")));
    EXPECT_FALSE(IsHexDigest("0123456789abcdef0123456789abcdeg"));
}

TEST(Crypto, Md5AndPasswordHashes)
{
    EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Hex("demo123"), "62cc2d8b4bf2d8728120d052163a77df");
    const PasswordHash stored = HashPasswordDigest(Md5Hex("secret"));
    EXPECT_EQ(stored.hash.find(Md5Hex("secret")), std::string::npos);
    EXPECT_TRUE(VerifyPasswordDigest(Md5Hex("secret"), stored));
    EXPECT_TRUE(VerifyPasswordDigest(LowerAscii(Md5Hex("secret")), stored));
    EXPECT_FALSE(VerifyPasswordDigest(Md5Hex("Secret"), stored));
    const std::string token = RandomToken(32);
    EXPECT_EQ(token.size(), 32u);
    EXPECT_NE(token, RandomToken(32));
}

TEST(CommandLine, Sizes)
{
    EXPECT_EQ(ParseSize("1024"), 1024u);
    EXPECT_EQ(ParseSize("64K"), 65536u);
    EXPECT_EQ(ParseSize("10MiB"), 10u << 20);
    EXPECT_EQ(ParseSize("1G"), 1u << 30);
    EXPECT_EQ(ParseSize("2TB"), 2ull << 40);
    EXPECT_FALSE(ParseSize(""));
    EXPECT_FALSE(ParseSize("12X"));
    EXPECT_FALSE(ParseSize("-1"));
    EXPECT_FALSE(ParseSize("99999999999T"));
}

}  // namespace
}  // namespace Tessel
