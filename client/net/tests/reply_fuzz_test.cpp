// Random mutations of valid replies through the assembler and every reply
// decoder, for a bounded time, under the sanitizers of the native build.
#include <gtest/gtest.h>

#include <chrono>
#include <random>

#include "client/net/packet_assembler.h"
#include "common/tests/wire_builders.h"

namespace Net {
namespace {

std::vector<Bytes> Seeds()
{
    WireTest::RecordFields file;
    file.kind = 1;
    file.name = "f.bin";
    file.address = "http://x/y";
    WireTest::RecordFields folder;
    folder.name = "dir";
    return {
        WireTest::MakeListing({file, folder, file}),
        WireTest::MakeRecord(file),
        Bytes(40, 'a'),
        Bytes(24, 3),
        Bytes(38, 9),
        Bytes(8, 0),
    };
}

void Mutate(Bytes* data, std::mt19937& random)
{
    const int edits = 1 + static_cast<int>(random() % 8);
    for (int i = 0; i < edits; ++i) {
        const uint32_t choice = random() % 5;
        if (choice == 0 && !data->empty()) {
            (*data)[random() % data->size()] = static_cast<uint8_t>(random());
        } else if (choice == 1 && !data->empty()) {
            data->resize(random() % data->size());
        } else if (choice == 2) {
            data->insert(data->begin() + (data->empty() ? 0 : random() % data->size()),
                         static_cast<uint8_t>(random()));
        } else if (choice == 3 && data->size() >= 4) {
            WriteU16(&(*data)[random() % (data->size() - 1)], static_cast<uint16_t>(random()));
        } else if (data->size() >= 4) {
            WriteU32(&(*data)[random() % (data->size() - 3)], static_cast<uint32_t>(random()));
        }
    }
}

void DecodeEverything(const Bytes& payload)
{
    std::vector<EntryRecord> records;
    if (DecodeFolderList(payload, &records)) {
        for (const EntryRecord& record : records)
            EXPECT_TRUE(IsSafeEntryName(record.name));
    }
    EntryRecord record;
    if (DecodeLookupReply(payload, &record)) {
        EXPECT_TRUE(IsSafeEntryName(record.name));
    }
    SessionInfo session;
    DecodeSessionInfo(payload, &session);
    AccountSpace space;
    DecodeAccountSpace(payload, &space);
    UploadTicket ticket;
    DecodeUploadTicket(payload, &ticket);
    int32_t id = 0;
    DecodeCreatedFolder(payload, 0, &id);
}

TEST(ReplyFuzzTest, MutatedRepliesNeverBreakTheDecoders)
{
    std::mt19937 random(20261207);
    const std::vector<Bytes> seeds = Seeds();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    CPacketAssembler assembler;
    uint64_t rounds = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        for (int batch = 0; batch < 200; ++batch, ++rounds) {
            Bytes payload = seeds[random() % seeds.size()];
            Mutate(&payload, random);
            DecodeEverything(payload);

            Bytes stream = WireTest::MakeReply(static_cast<uint32_t>(rounds), CmdListFolder, 301, payload);
            if (random() % 2)
                Mutate(&stream, random);
            size_t at = 0;
            while (at < stream.size()) {
                const size_t piece = 1 + random() % (stream.size() - at);
                size_t offset = 0;
                while (offset < piece) {
                    size_t used = 0;
                    const auto outcome =
                        assembler.Feed(&stream[at + offset], piece - offset, random() % 64 ? 1 : 2, &used);
                    if (outcome == CPacketAssembler::Outcome::Complete)
                        DecodeEverything(assembler.TakeReply().payload);
                    offset += used;
                }
                at += piece;
            }
        }
    }
    EXPECT_GT(rounds, 1000u);
}

}  // namespace
}  // namespace Net
