// Local renames, deletions and new folders reaching the reference server,
// and what a deletion keeps of what this computer never saw.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
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

TEST_F(TransferTest, RenameAndDeleteOnDiskReachTheServer)
{
    const std::string bytes = Pattern(7000, 5);
    const std::string other = Pattern(8000, 6);
    WriteBytes(root_ / L"draft.txt", bytes);
    WriteBytes(root_ / L"old.txt", other);
    // Only the changes reported below decide about the two files.
    StartEngine(true, 120000);
    ASSERT_TRUE(WaitFor([&] {
        return SyncedWithId(L"draft.txt") && SyncedWithId(L"old.txt");
    }));
    Net::RemoteEntry before;
    ASSERT_TRUE(OnServer(L"draft.txt", &before));
    const size_t streams = data_relay_->Upstream().size();
    CEffectLog effects(*engine_);

    ASSERT_TRUE(MoveFileW((root_ / L"draft.txt").c_str(), (root_ / L"final.txt").c_str()));
    engine_->OnPathChanged(L"draft.txt", PathRenamed, L"final.txt");
    ASSERT_TRUE(DeleteFileW((root_ / L"old.txt").c_str()));
    engine_->OnPathChanged(L"old.txt", PathRemoved, nullptr);

    ASSERT_TRUE(WaitFor([&] { return OnServer(L"final.txt") && !OnServer(L"old.txt"); }));
    Net::RemoteEntry after;
    ASSERT_TRUE(OnServer(L"final.txt", &after));
    EXPECT_EQ(after.entry.id, before.entry.id) << "renamed, not uploaded again";
    EXPECT_FALSE(OnServer(L"draft.txt"));
    ASSERT_TRUE(WaitFor([&] { return Recorded(L"final.txt") && !Recorded(L"draft.txt") && !Recorded(L"old.txt"); }));
    EXPECT_EQ(data_relay_->Upstream().size(), streams) << "no contents were sent";
    // Told as what they were, not as uploads.
    EXPECT_TRUE(WaitFor([&] {
        return effects.Saw(SyncEffect::RenamedOnServer, L"final.txt", L"draft.txt") &&
               effects.Saw(SyncEffect::DeletedOnServer, L"old.txt");
    }));
}

TEST_F(TransferTest, DeletionOfAnItemGoneFromBothSidesEnds)
{
    SyncEntry record;
    ASSERT_NO_FATAL_FAILURE(SyncThenStop(L"twice.txt", Pattern(3000, 23), &record));
    ASSERT_EQ(Net::DeleteEntries(1, 0, &record.id), Net::ResDeleted);
    ASSERT_TRUE(DeleteFileW((root_ / L"twice.txt").c_str()));
    StartEngine(false);

    std::unique_ptr<ISyncAction> action = ActionOnRecord(KindUpload, record, SyncTest::MissingAt(root_ / L"twice.txt"));
    ASSERT_NE(action, nullptr);
    EXPECT_TRUE(action->Execute(engine_.get())) << "the server's refusal means the entry is gone";
    EXPECT_FALSE(Recorded(L"twice.txt"));
}

TEST_F(TransferTest, RenameOfAnEntryDeletedOnTheServerLeavesItToBeUploadedAnew)
{
    SyncEntry record;
    ASSERT_NO_FATAL_FAILURE(SyncThenStop(L"before.txt", Pattern(3000, 26), &record));
    ASSERT_EQ(Net::DeleteEntries(1, 0, &record.id), Net::ResDeleted);
    ASSERT_TRUE(MoveFileW((root_ / L"before.txt").c_str(), (root_ / L"after.txt").c_str()));
    StartEngine(false);

    std::unique_ptr<ISyncAction> action = ActionOnRecord(KindUpload, record, SyncTest::LocalAt(root_ / L"after.txt"));
    ASSERT_NE(action, nullptr);
    EXPECT_TRUE(action->Execute(engine_.get())) << "not retried for ever";
    EXPECT_FALSE(Recorded(L"after.txt")) << "a new item for the next scan";
    EXPECT_FALSE(OnServer(L"after.txt"));
}

TEST_F(TransferTest, NewFolderWithThreeFilesIsCreatedAndUploaded)
{
    SyncTest::MakeFolder(root_ / L"docs");
    const std::string files[3] = {Pattern(1000, 7), Pattern(40000, 8), Pattern(70000, 9)};
    const wchar_t* names[3] = {L"one.txt", L"two.txt", L"three.txt"};
    for (int i = 0; i < 3; ++i)
        WriteBytes(root_ / (std::wstring(L"docs\\") + names[i]), files[i]);
    StartEngine();

    ASSERT_TRUE(WaitFor([&] {
        for (const wchar_t* name : names)
            if (!RecordedAs((std::wstring(L"docs\\") + name).c_str(), Helper::Synced))
                return false;
        return true;
    }));
    Net::RemoteEntry folder;
    ASSERT_TRUE(OnServer(L"docs", &folder));
    EXPECT_EQ(folder.entry.is_file, 0u);
    SyncEntry record;
    ASSERT_TRUE(Recorded(L"docs", &record));
    EXPECT_EQ(record.id, folder.entry.id);
    EXPECT_EQ(record.state, uint32_t(Helper::Synced));
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(ServerHolds(names[i], files[i], folder.entry.id)) << i;
}

// Another computer adds to a folder while this one, stopped, has it
// deleted: what this computer knew goes, what it never saw stays on the
// server together with the folders that hold it, and comes back to disk.
// keep.txt keeps the sync folder from being empty, which would make the
// next start begin afresh from the server.
TEST_F(TransferTest, FolderDeletedLocallyKeepsWhatAnotherComputerPutInIt)
{
    int32_t folder = 0;
    int32_t sub = 0;
    ASSERT_EQ(Net::CreateFolder(0, L"r1", &folder), Net::ResFolderCreated);
    PutServerFile(L"keep.txt", Pattern(100, 37));
    ASSERT_EQ(Net::CreateFolder(folder, L"sub", &sub), Net::ResFolderCreated);
    PutServerFile(L"known.txt", Pattern(4000, 30), folder);
    PutServerFile(L"old.txt", Pattern(5000, 31), sub);
    StartEngine();
    ASSERT_TRUE(WaitFor([&] {
        return RecordedAs(L"keep.txt", Helper::Synced) && RecordedAs(L"r1\\known.txt", Helper::Synced) &&
               RecordedAs(L"r1\\sub\\old.txt", Helper::Synced);
    }));
    engine_->Stop(INFINITE);

    const std::string unseen = Pattern(6000, 32);
    PutServerFile(L"new.txt", unseen, sub);
    ASSERT_TRUE(Helper::DeletePath((root_ / L"r1").c_str()));
    StartEngine();

    ASSERT_TRUE(WaitFor([&] { return !OnServer(L"known.txt", nullptr, folder); }));
    EXPECT_FALSE(OnServer(L"old.txt", nullptr, sub));
    EXPECT_TRUE(ServerHolds(L"new.txt", unseen, sub));
    Net::RemoteEntry kept;
    ASSERT_TRUE(OnServer(L"r1", &kept));
    EXPECT_EQ(kept.entry.id, folder);
    ASSERT_TRUE(WaitFor([&] { return RecordedAs(L"r1\\sub\\new.txt", Helper::Synced); }));
    EXPECT_EQ(Testing::ReadFileBytes(root_ / L"r1\\sub\\new.txt"), unseen);
    EXPECT_FALSE(Testing::FileExists(root_ / L"r1\\known.txt"));
    EXPECT_FALSE(Testing::FileExists(root_ / L"r1\\sub\\old.txt"));
}

// A file another computer replaced after this one last saw it is news too.
TEST_F(TransferTest, FolderDeletedLocallyKeepsAFileChangedOnTheServer)
{
    int32_t folder = 0;
    ASSERT_EQ(Net::CreateFolder(0, L"r3", &folder), Net::ResFolderCreated);
    PutServerFile(L"keep.txt", Pattern(100, 37));
    PutServerFile(L"doc.txt", Pattern(3000, 33), folder);
    StartEngine();
    ASSERT_TRUE(WaitFor([&] {
        return RecordedAs(L"keep.txt", Helper::Synced) && RecordedAs(L"r3\\doc.txt", Helper::Synced);
    }));
    engine_->Stop(INFINITE);

    const std::string edited = Pattern(3500, 34);
    PutServerFile(L"doc.txt", edited, folder);
    ASSERT_TRUE(Helper::DeletePath((root_ / L"r3").c_str()));
    StartEngine();

    ASSERT_TRUE(WaitFor([&] { return Testing::ReadFileBytes(root_ / L"r3\\doc.txt") == edited; }));
    EXPECT_TRUE(WaitFor([&] { return RecordedAs(L"r3\\doc.txt", Helper::Synced); }));
    EXPECT_TRUE(ServerHolds(L"doc.txt", edited, folder));
}

TEST_F(TransferTest, FolderWhoseContentsWereAllKnownIsDeletedWhole)
{
    int32_t folder = 0;
    int32_t sub = 0;
    ASSERT_EQ(Net::CreateFolder(0, L"r2", &folder), Net::ResFolderCreated);
    PutServerFile(L"keep.txt", Pattern(100, 37));
    ASSERT_EQ(Net::CreateFolder(folder, L"sub", &sub), Net::ResFolderCreated);
    PutServerFile(L"a.txt", Pattern(2000, 35), folder);
    PutServerFile(L"b.txt", Pattern(2500, 36), sub);
    StartEngine();
    ASSERT_TRUE(WaitFor([&] {
        return RecordedAs(L"keep.txt", Helper::Synced) && RecordedAs(L"r2\\sub\\b.txt", Helper::Synced);
    }));
    engine_->Stop(INFINITE);

    ASSERT_TRUE(Helper::DeletePath((root_ / L"r2").c_str()));
    StartEngine();

    ASSERT_TRUE(WaitFor([&] { return !OnServer(L"r2") && !Recorded(L"r2"); }));
    std::vector<Net::RemoteEntry> listed;
    ASSERT_EQ(Net::ListFolder(0, &listed), Net::ResFolderListed);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].entry.name, L"keep.txt");
    EXPECT_FALSE(OnServer(L"a.txt", nullptr, folder));
    EXPECT_FALSE(Testing::FileExists(root_ / L"r2"));
}

}  // namespace
