// Uploads of file contents against the reference server: tickets,
// blocks, resumption and refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "client/net/request_manager.h"
#include "client/net/requests.h"
#include "client/net/session_values.h"
#include "client/sync/file_utils.h"
#include "client/sync/reconcile.h"
#include "client/sync/sync_download.h"
#include "client/sync/sync_engine.h"
#include "client/sync/sync_upload.h"
#include "client/sync/tests/transfer_test_support.h"
#include "client/sync/transfer_meter.h"
#include "client/sync/transfer_support.h"
#include "common/bounded_string.h"
#include "common/file_sync_state.h"
#include "common/md5.h"

namespace {

using namespace Sync;
using namespace SyncTest;

TEST_F(TransferTest, NewLocalFileUploadsWithTheSameSizeAndDigest)
{
    const std::string bytes = Pattern(300000, 1);
    WriteBytes(root_ / L"notes.bin", bytes);
    StartEngine();

    ASSERT_TRUE(WaitFor([&] { return SyncedWithId(L"notes.bin"); }));
    EXPECT_TRUE(ServerHolds(L"notes.bin", bytes));
    SyncEntry record;
    ASSERT_TRUE(Recorded(L"notes.bin", &record));
    Net::RemoteEntry found;
    ASSERT_TRUE(OnServer(L"notes.bin", &found));
    EXPECT_EQ(record.id, found.entry.id);
    EXPECT_EQ(record.update_time, found.entry.update_time);
    EXPECT_EQ(record.upload_address, 0u) << "the ticket is given up after the commit";
    EXPECT_EQ(record.upload_offset, 0u);
    // Every block went through the data connection, none twice.
    std::vector<uint64_t> offsets;
    for (const std::string& stream : data_relay_->Upstream())
        for (uint64_t offset : BlockOffsets(stream))
            offsets.push_back(offset);
    EXPECT_EQ(offsets.size(), (bytes.size() + 32767) / 32768);
}

TEST_F(TransferTest, BlocksOfEqualBytesOnTheirWayTogetherAllArrive)
{
    const std::string bytes(2 * 1024 * 1024 + 100, '\0');
    WriteBytes(root_ / L"disk.img", bytes);
    StartEngine();

    ASSERT_TRUE(WaitFor([&] { return SyncedWithId(L"disk.img"); }));
    EXPECT_TRUE(ServerHolds(L"disk.img", bytes));
    EXPECT_EQ(AllBlockOffsets(data_relay_->Upstream()).size(), (bytes.size() + 32767) / 32768)
        << "sent once, not started over after a refused commit";
}

TEST_F(TransferTest, FileChangedAfterItsDecisionIsSentWithItsNewDigest)
{
    const std::string before = Pattern(20000, 24);
    const std::string after = Pattern(30000, 25);
    WriteBytes(root_ / L"live.txt", before);
    StartEngine(false);
    auto decision = std::make_unique<SyncDecision>();
    decision->kind = KindUpload;
    decision->local = SyncTest::LocalAt(root_ / L"live.txt");
    memcpy(decision->digest, Md5Of(before).c_str(), kDigestLength + 1);
    std::unique_ptr<ISyncAction> action = CreateAction(std::move(decision), engine_.get());
    ASSERT_NE(action, nullptr);

    WriteBytes(root_ / L"live.txt", after);
    EXPECT_TRUE(action->Execute(engine_.get()));
    EXPECT_TRUE(ServerHolds(L"live.txt", after));
    EXPECT_TRUE(SyncedWithId(L"live.txt"));
}

TEST_F(TransferTest, FileLargerThanTheFreeSpaceIsAnError)
{
    SignOn(L"small", L"small123");
    ClearServerRoot();
    ASSERT_EQ(Net::AccountInfo(), Net::ResAccountSpace);
    WriteBytes(root_ / L"big.bin", Pattern(200 * 1024, 10));
    StartEngine();
    ASSERT_TRUE(WaitFor([&] { return RecordedAs(L"big.bin", Helper::Error); }));
    EXPECT_FALSE(OnServer(L"big.bin"));
}

TEST_F(TransferTest, RefusedTicketRecordsAnError)
{
    SignOn(L"small", L"small123");
    ClearServerRoot();
    // Space figures that let the decision through; the server refuses.
    SyncTest::SetSpace(1ull << 40, 1ull << 39);
    WriteBytes(root_ / L"huge.bin", Pattern(150 * 1024, 11));
    StartEngine();
    ASSERT_TRUE(WaitFor([&] { return RecordedAs(L"huge.bin", Helper::Error); }));
    EXPECT_FALSE(OnServer(L"huge.bin"));
    EXPECT_TRUE(data_relay_->Upstream().empty());
}

TEST_F(TransferTest, UploadResumesAtTheSavedOffsetAfterTheDataConnectionDropped)
{
    const std::string bytes = Pattern(3 * 1024 * 1024, 12);
    WriteBytes(root_ / L"video.bin", bytes);
    data_relay_->CutUpstreamAfter(1536 * 1024);
    StartEngine();

    ASSERT_TRUE(WaitFor([&] { return data_relay_->Connections() >= 2; }));
    data_relay_->CutUpstreamAfter(0);
    ASSERT_TRUE(WaitFor([&] { return RecordedAs(L"video.bin", Helper::Synced); }));
    EXPECT_TRUE(ServerHolds(L"video.bin", bytes));

    const std::vector<std::string> streams = data_relay_->Upstream();
    ASSERT_GE(streams.size(), 2u);
    const std::vector<uint64_t> first = BlockOffsets(streams[0]);
    const std::vector<uint64_t> second = AllBlockOffsets({streams.begin() + 1, streams.end()});
    ASSERT_FALSE(first.empty()) << Describe(streams);
    ASSERT_FALSE(second.empty()) << Describe(streams);
    EXPECT_EQ(first.front(), 0u);
    EXPECT_GT(second.front(), 0u) << "not started again from byte 0";
    EXPECT_EQ(second.front() % 32768, 0u);
    EXPECT_LE(second.front(), first.back()) << "nothing the server did not accept is skipped";
    EXPECT_GE(second.front() + kBlocksInFlight * 32768, first.back())
        << "resumed after the last accepted block, at most the blocks then on their way earlier";
}

TEST_F(TransferTest, UploadResumesAtTheStoredOffsetAfterARestart)
{
    const std::string bytes = Pattern(3 * 1024 * 1024, 13);
    WriteBytes(root_ / L"archive.bin", bytes);
    SetUploadLimit(1024);
    StartEngine();
    SyncEntry record;
    ASSERT_TRUE(WaitFor([&] { return Recorded(L"archive.bin", &record) && record.upload_offset >= 1048576; }));
    engine_->Stop(INFINITE);
    ASSERT_TRUE(Recorded(L"archive.bin", &record));
    const uint64_t stored = record.upload_offset;
    EXPECT_NE(record.upload_address, 0u) << "the ticket is kept for the next run";
    EXPECT_EQ(record.state, uint32_t(Helper::Syncing));
    const size_t blocks_before = AllBlockOffsets(data_relay_->Upstream()).size();

    SetUploadLimit(0);
    StartEngine();
    ASSERT_TRUE(WaitFor([&] { return RecordedAs(L"archive.bin", Helper::Synced); }));
    EXPECT_TRUE(ServerHolds(L"archive.bin", bytes));
    const std::vector<uint64_t> offsets = AllBlockOffsets(data_relay_->Upstream());
    ASSERT_GT(offsets.size(), blocks_before) << Describe(data_relay_->Upstream());
    EXPECT_EQ(offsets[blocks_before], stored) << "the first block after the restart";
}

TEST_F(TransferTest, EditInterruptedByARestartIsSentOnNotOverwritten)
{
    const std::string edit = Pattern(3 * 1024 * 1024, 31);
    SyncEntry record;
    ASSERT_NO_FATAL_FAILURE(StopMidUploadOfAnEdit(L"report.doc", Pattern(100000, 30), edit, &record));
    const uint64_t stored = record.upload_offset;
    const size_t blocks_before = AllBlockOffsets(data_relay_->Upstream()).size();

    SetUploadLimit(0);
    StartEngine();
    ASSERT_TRUE(WaitFor([&] { return RecordedAs(L"report.doc", Helper::Synced); }));
    EXPECT_EQ(Md5Of(Testing::ReadFileBytes(root_ / L"report.doc")), Md5Of(edit)) << "the edit is still on disk";
    EXPECT_TRUE(ServerHolds(L"report.doc", edit));
    const std::vector<uint64_t> offsets = AllBlockOffsets(data_relay_->Upstream());
    ASSERT_GT(offsets.size(), blocks_before) << Describe(data_relay_->Upstream());
    EXPECT_EQ(offsets[blocks_before], stored) << "resumed with the ticket it held";
}

// Another computer puts a newer version on the server while this one's
// upload of an edit stands interrupted by a restart: the edit is not
// resumed over it. Both versions stay, each where it was, and the item is
// in conflict.
TEST_F(TransferTest, UploadInterruptedByARestartNeverReplacesANewerServerVersion)
{
    const std::string edit = Pattern(3 * 1024 * 1024, 53);
    SyncEntry record;
    ASSERT_NO_FATAL_FAILURE(StopMidUploadOfAnEdit(L"report.doc", Pattern(100000, 52), edit, &record));

    const std::string other = Pattern(120000, 54);
    PutServerFile(L"report.doc", other);
    SetUploadLimit(0);
    StartEngine();

    ASSERT_TRUE(WaitFor([&] {
        return Recorded(L"report.doc", &record) && record.state != Helper::Syncing && engine_->QueueLength() == 0;
    }));
    EXPECT_TRUE(ServerHolds(L"report.doc", other)) << "the other computer's version stays on the server";
    EXPECT_EQ(Md5Of(Testing::ReadFileBytes(root_ / L"report.doc")), Md5Of(edit)) << "the edit stays on disk";
    EXPECT_EQ(record.state, uint32_t(Helper::Conflict));
    EXPECT_EQ(record.upload_address, 0u) << "the ticket is given up";
}

// The same while the engine runs on: the data connection drops, the newer
// version arrives before the next attempt, and the attempt stops short of
// sending the rest and of the commit.
TEST_F(TransferTest, UploadRetriedAfterADropNeverReplacesANewerServerVersion)
{
    SyncEntry record;
    ASSERT_NO_FATAL_FAILURE(SyncThenStop(L"plan.xls", Pattern(50000, 55), &record));
    StartEngine(false);
    const std::string edit = Pattern(3 * 1024 * 1024, 56);
    WriteBytes(root_ / L"plan.xls", edit);
    data_relay_->CutUpstreamAfter(1536 * 1024);
    std::unique_ptr<ISyncAction> action = ActionOnRecord(KindUpload, record, SyncTest::LocalAt(root_ / L"plan.xls"));
    ASSERT_NE(action, nullptr);
    EXPECT_FALSE(action->Execute(engine_.get())) << "cut off";
    ASSERT_TRUE(Recorded(L"plan.xls", &record));
    ASSERT_NE(record.upload_address, 0u);
    ASSERT_GT(record.upload_offset, 0u);

    data_relay_->CutUpstreamAfter(0);
    const std::string other = Pattern(70000, 57);
    PutServerFile(L"plan.xls", other);
    EXPECT_TRUE(action->Execute(engine_.get()));
    EXPECT_TRUE(ServerHolds(L"plan.xls", other));
    EXPECT_TRUE(AllBlockOffsets(data_relay_->Upstream()).empty()) << "nothing more was sent";
    EXPECT_EQ(Md5Of(Testing::ReadFileBytes(root_ / L"plan.xls")), Md5Of(edit));
    EXPECT_TRUE(RecordedAs(L"plan.xls", Helper::Conflict));
}

TEST_F(TransferTest, InvalidTicketStartsAgainFromByteZeroWithANewOne)
{
    const std::string bytes = Pattern(2 * 1024 * 1024, 18);
    WriteBytes(root_ / L"backup.bin", bytes);
    SetUploadLimit(1024);
    StartEngine();
    SyncEntry record;
    ASSERT_TRUE(WaitFor([&] { return Recorded(L"backup.bin", &record) && record.upload_offset >= 1048576; }));
    engine_->Stop(INFINITE);
    ASSERT_TRUE(Recorded(L"backup.bin", &record));
    const uint64_t stored = record.upload_offset;
    // A ticket the data server does not know, as after its expiry.
    memset(record.upload_token, 'z', sizeof record.upload_token);
    ASSERT_TRUE(engine_->Table()->Store(&record, L"backup.bin"));
    const size_t blocks_before = AllBlockOffsets(data_relay_->Upstream()).size();

    SetUploadLimit(0);
    StartEngine();
    ASSERT_TRUE(WaitFor([&] { return RecordedAs(L"backup.bin", Helper::Synced); }));
    EXPECT_TRUE(ServerHolds(L"backup.bin", bytes));
    const std::vector<uint64_t> offsets = AllBlockOffsets(data_relay_->Upstream());
    ASSERT_GT(offsets.size(), blocks_before + 1) << Describe(data_relay_->Upstream());
    EXPECT_EQ(offsets[blocks_before], stored) << "tried with the old ticket";
    // The blocks already on their way when the refusal came back are lost
    // with the old ticket; then the whole file goes with a new one.
    const auto restart = std::find(offsets.begin() + blocks_before, offsets.end(), 0u);
    ASSERT_NE(restart, offsets.end()) << "started again from byte 0";
    EXPECT_LE(restart - (offsets.begin() + blocks_before), static_cast<std::ptrdiff_t>(kBlocksInFlight));
    EXPECT_EQ(static_cast<size_t>(offsets.end() - restart), bytes.size() / 32768);
}

TEST_F(TransferTest, IdenticalContentIsCommittedWithoutSendingABlock)
{
    const std::string bytes = Pattern(100000, 15);
    PutServerFile(L"original.bin", bytes);
    WriteBytes(root_ / L"copy.bin", bytes);
    StartEngine();

    ASSERT_TRUE(WaitFor([&] { return RecordedAs(L"copy.bin", Helper::Synced); }));
    EXPECT_TRUE(ServerHolds(L"copy.bin", bytes));
    SyncEntry record;
    ASSERT_TRUE(Recorded(L"copy.bin", &record));
    Net::RemoteEntry found;
    ASSERT_TRUE(OnServer(L"copy.bin", &found));
    EXPECT_EQ(record.id, found.entry.id);
    for (const std::string& stream : data_relay_->Upstream())
        EXPECT_TRUE(BlockOffsets(stream).empty());
}

TEST_F(TransferTest, TemporaryFileIsNeverUploaded)
{
    WriteBytes(root_ / L"report.doc.tavo", Pattern(3000, 16));
    WriteBytes(root_ / L"letter.doc", Pattern(4000, 17));
    StartEngine();
    // A full scan passed the temporary file by.
    ASSERT_TRUE(WaitFor([&] { return RecordedAs(L"letter.doc", Helper::Synced); }));
    EXPECT_FALSE(Recorded(L"report.doc.tavo"));

    // Even an upload made for it on purpose sends nothing.
    auto decision = std::make_unique<SyncDecision>();
    decision->kind = KindUpload;
    decision->local = SyncTest::LocalAt(root_ / L"report.doc.tavo");
    std::unique_ptr<ISyncAction> action = CreateAction(std::move(decision), engine_.get());
    ASSERT_NE(action, nullptr);
    EXPECT_TRUE(action->Execute(engine_.get()));
    EXPECT_FALSE(OnServer(L"report.doc.tavo"));
    EXPECT_TRUE(Testing::FileExists(root_ / L"report.doc.tavo"));
    EXPECT_FALSE(Recorded(L"report.doc.tavo"));
}

// The server gives no connection a session it did not sign on for itself;
// the client signs on again by itself on every new main connection.
TEST_F(TransferTest, SyncGoesOnAfterTheMainConnectionDropped)
{
    std::map<std::string, std::string> env = ReadServerEnv();
    const auto sync_port = static_cast<uint16_t>(std::stoi(env["TESSEL_SYNC_PORT"]));
    SyncTest::CTcpRelay main_relay("127.0.0.3", "127.0.0.1", sync_port);
    ASSERT_TRUE(main_relay.Listening());
    Net::StopConnections();
    Net::SetServerForTesting("127.0.0.3", {sync_port});
    ASSERT_TRUE(Net::StartMainConnection());
    SignOn(L"demo", L"demo123");
    const Net::SessionInfo before = Net::CurrentSession();

    main_relay.Forget();
    const std::string bytes = Pattern(50000, 41);
    WriteBytes(root_ / L"after.bin", bytes);
    StartEngine();
    ASSERT_TRUE(WaitFor([&] { return SyncedWithId(L"after.bin"); }));
    EXPECT_TRUE(ServerHolds(L"after.bin", bytes));
    EXPECT_GE(main_relay.Connections(), 1) << "over a new connection";
    EXPECT_NE(std::string(before.session_key, 32), std::string(Net::CurrentSession().session_key, 32))
        << "under a new session";
    engine_->Stop(INFINITE);
    Net::StopConnections();
}

}  // namespace
