// Local renames, deletions and new folders reaching the reference server,
// and what a deletion keeps of what this computer never saw.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "client/net/request_manager.h"
#include "client/net/requests.h"
#include "client/net/session_values.h"
#include "client/state/dir_watcher.h"
#include "client/sync/dir_syncer.h"
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

// Hands the folder watcher's reports to the test's engine, as the syncer
// does to the process's one.
class CEngineListener : public IPathChangeListener {
public:
    explicit CEngineListener(CSyncEngine* engine) : engine_(engine) {}
    void OnPathChanged(int kind, const wchar_t* name, DWORD name_bytes, const wchar_t* new_name,
                       DWORD new_name_bytes) override
    {
        ForwardPathChange(*engine_, kind, name, name_bytes, new_name, new_name_bytes);
    }

private:
    CSyncEngine* engine_;
};

// One batch of the folder watcher holding a single change record.
void DeliverAlone(DWORD action, const std::wstring& name, IPathChangeListener* listener)
{
    alignas(DWORD) BYTE buffer[CDirWatcher::kBufferSize] = {};
    auto* record = reinterpret_cast<FILE_NOTIFY_INFORMATION*>(buffer);
    record->Action = action;
    record->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    memcpy(record->FileName, name.data(), record->FileNameLength);
    DeliverChanges(buffer, static_cast<DWORD>(offsetof(FILE_NOTIFY_INFORMATION, FileName) + record->FileNameLength),
                   listener);
}

// Synced files of equal size, the first of which the test renames; the
// scans are far apart, so only the watcher's reports can tell the engine.
class RenameHalfTest : public TransferTest {
protected:
    void SyncTwoFiles()
    {
        WriteBytes(root_ / L"draft.txt", Pattern(40000, 70));
        WriteBytes(root_ / L"other.txt", Pattern(40000, 71));
        StartEngine(true, 120000);
        ASSERT_TRUE(WaitFor([&] { return SyncedWithId(L"draft.txt") && SyncedWithId(L"other.txt"); }));
        ASSERT_TRUE(OnServer(L"draft.txt", &before_));
        streams_ = data_relay_->Upstream().size();
    }

    // The server renamed the entry, kept its id and got no contents.
    void ExpectRenamedOnServer(const wchar_t* from, const wchar_t* to)
    {
        ASSERT_TRUE(WaitFor([&] { return OnServer(to) && !OnServer(from); }));
        Net::RemoteEntry after;
        ASSERT_TRUE(OnServer(to, &after));
        EXPECT_EQ(after.entry.id, before_.entry.id) << "renamed, not uploaded again";
        EXPECT_EQ(data_relay_->Upstream().size(), streams_) << "no contents were sent";
        EXPECT_TRUE(WaitFor([&] { return SyncedWithId(to) && !Recorded(from); }));
        EXPECT_TRUE(OnServer(L"other.txt"));
    }

    Net::RemoteEntry before_;
    size_t streams_ = 0;
};

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

namespace {

// Wine's folder watcher reports the old name of a rename and loses the new
// one: the engine finds the new name in the folder at once, and the rename
// reaches the server as a rename.
TEST_F(RenameHalfTest, RenameSeenByTheFolderWatcherTravelsAsARename)
{
    ASSERT_NO_FATAL_FAILURE(SyncTwoFiles());
    CDirWatcher watcher;
    ASSERT_TRUE(watcher.Start());
    ASSERT_TRUE(watcher.Watch(new CEngineListener(engine_.get()), root_.Path().c_str()));
    ASSERT_TRUE(MoveFileW((root_ / L"draft.txt").c_str(), (root_ / L"final.txt").c_str()));
    ExpectRenamedOnServer(L"draft.txt", L"final.txt");
    watcher.Stop();
}

// Either half alone, as Windows too can deliver them when its buffer runs
// over: the engine pairs it with the other name in the folder by contents.
TEST_F(RenameHalfTest, RenameHalfThatArrivesAloneTravelsAsARename)
{
    ASSERT_NO_FATAL_FAILURE(SyncTwoFiles());
    CEngineListener listener(engine_.get());
    ASSERT_TRUE(MoveFileW((root_ / L"draft.txt").c_str(), (root_ / L"middle.txt").c_str()));
    DeliverAlone(FILE_ACTION_RENAMED_OLD_NAME, L"draft.txt", &listener);
    ExpectRenamedOnServer(L"draft.txt", L"middle.txt");

    ASSERT_TRUE(MoveFileW((root_ / L"middle.txt").c_str(), (root_ / L"final.txt").c_str()));
    DeliverAlone(FILE_ACTION_RENAMED_NEW_NAME, L"final.txt", &listener);
    ExpectRenamedOnServer(L"middle.txt", L"final.txt");
}

}  // namespace
