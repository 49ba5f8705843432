#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "client/sync/sync_engine.h"
#include "client/sync/tests/sync_test_support.h"
#include "common/file_sync_state.h"

namespace {

using namespace Sync;
using SyncTest::FileSpec;
using SyncTest::FolderSpec;

struct Queued {
    int32_t kind;
    std::wstring path;
    int32_t server_id;
};

class FolderScanTest : public SyncTest::EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        StartEngine(false);
    }

    std::vector<Queued> Queue()
    {
        std::vector<Queued> queued;
        engine_->VisitQueue([&](const ISyncAction& action) {
            queued.push_back({action.kind, action.local_path, action.server.id});
        });
        return queued;
    }

    void Record(const SyncEntry& entry, const wchar_t* key) { ASSERT_TRUE(Table().Add(&entry, key)); }

    SyncEntry Recorded(const wchar_t* key)
    {
        SyncEntry copy;
        EXPECT_TRUE(Table().Find(key, &copy)) << "no record";
        return copy;
    }
};

TEST_F(FolderScanTest, RecordedIdWinsOverTheName)
{
    SyncTest::WriteBytes(root_ / L"report.txt", "v1");
    SyncEntry record = SyncTest::FileRecord(17, L"report.txt", "v1", 5);
    Record(record, L"report.txt");
    ListFolderAs(0, {FileSpec(20, 0, "report.txt", "v2", 9), FileSpec(17, 0, "report.txt", "v1", 7)});

    EXPECT_EQ(engine_->ScanFolder(nullptr), ScanResult::Changed);
    // The local item is decided first, against entry 17. The other entry of
    // the same name is left over, but its path already has an action in the
    // queue, so it waits for a later pass instead of recording over it.
    const std::vector<Queued> queued = Queue();
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(queued[0].kind, KindVersionInfo);
    EXPECT_EQ(queued[0].path, root_ / L"report.txt");
    EXPECT_EQ(queued[0].server_id, 17);
    EXPECT_EQ(Recorded(L"report.txt").id, 17);
}

TEST_F(FolderScanTest, ItemWithAQueuedActionIsNotDecidedAgain)
{
    // A local deletion of a synced file: the scan queues the server-side
    // delete. A second pass while it waits must not add a download of the
    // entry that is about to go.
    SyncEntry record = SyncTest::FileRecord(31, L"gone.txt", "v1", 5);
    Record(record, L"gone.txt");
    ListFolderAs(0, {FileSpec(31, 0, "gone.txt", "v1", 5)});
    EXPECT_EQ(engine_->ScanFolder(nullptr), ScanResult::Changed);
    EXPECT_EQ(engine_->ScanFolder(nullptr), ScanResult::Agreed);
    const std::vector<Queued> queued = Queue();
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(queued[0].kind, KindUpload);
}

TEST_F(FolderScanTest, NameMatchesWithoutRegardToCaseWhenThereIsNoId)
{
    SyncTest::WriteBytes(root_ / L"Photo.JPG", "pixels");
    ListFolderAs(0, {FileSpec(40, 0, "photo.jpg", "pixels", 3)});
    EXPECT_EQ(engine_->ScanFolder(nullptr), ScanResult::Changed);
    const std::vector<Queued> queued = Queue();
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(queued[0].server_id, 40);
    // A new record, kept as not synced until its action runs.
    EXPECT_EQ(Recorded(L"Photo.JPG").state, uint32_t(Helper::NotSynced));
}

TEST_F(FolderScanTest, ListingThatNoLongerFitsEndsTheScan)
{
    SyncTest::WriteBytes(root_ / L"a.txt", "a");
    ListFolderAs(0, {FileSpec(50, 99, "a.txt", "a", 3)});
    EXPECT_EQ(engine_->ScanFolder(nullptr), ScanResult::Undecided);
    EXPECT_TRUE(Queue().empty());
    EXPECT_FALSE(Table().Find(L"a.txt"));
}

TEST_F(FolderScanTest, MisfitServerOnlyEntryEndsWithWhatWasSeen)
{
    ListFolderAs(0, {FileSpec(50, 99, "remote.txt", "r", 3)});
    EXPECT_EQ(engine_->ScanFolder(nullptr), ScanResult::Agreed);
    EXPECT_FALSE(Table().Find(L"remote.txt"));
}

TEST_F(FolderScanTest, FailedListingCountsAsUnfinished)
{
    FailListing(0, 302);
    EXPECT_EQ(engine_->ScanFolder(nullptr), ScanResult::Undecided);
    EXPECT_EQ(RequestCount(Net::CmdListFolder), 1);
}

TEST_F(FolderScanTest, FolderWithoutRecordOrAFileIsNotListed)
{
    SyncTest::MakeFolder(root_ / L"unknown");
    EXPECT_EQ(engine_->ScanFolder((root_ / L"unknown").c_str()), ScanResult::Undecided);
    SyncTest::WriteBytes(root_ / L"file.txt", "f");
    Record(SyncTest::FileRecord(3, L"file.txt", "f", 1), L"file.txt");
    EXPECT_EQ(engine_->ScanFolder((root_ / L"file.txt").c_str()), ScanResult::Undecided);
    EXPECT_EQ(RequestCount(Net::CmdListFolder), 0);
}

TEST_F(FolderScanTest, UnchangedFoldersAreEnteredAndNothingIsQueued)
{
    SyncTest::MakeFolder(root_ / L"Sub");
    SyncTest::WriteBytes(root_ / L"Sub\\inner.txt", "in");
    SyncTest::WriteBytes(root_ / L"top.txt", "top");
    Record(SyncTest::FolderRecord(30, L"Sub", 2), L"Sub");
    SyncEntry top = SyncTest::FileRecord(31, L"top.txt", "top", 4);
    top.local_modified = SyncTest::WriteTime(root_ / L"top.txt");
    Record(top, L"top.txt");
    SyncEntry inner = SyncTest::FileRecord(32, L"inner.txt", "in", 6);
    inner.parent_id = 30;
    Record(inner, L"Sub\\inner.txt");
    ListFolderAs(0, {FolderSpec(30, 0, "Sub", 2), FileSpec(31, 0, "top.txt", "top", 4)});
    ListFolderAs(30, {FileSpec(32, 30, "inner.txt", "in", 6)});

    EXPECT_EQ(engine_->ScanFolder(nullptr), ScanResult::Agreed);
    EXPECT_EQ(RequestCount(Net::CmdListFolder), 2);
    EXPECT_TRUE(Queue().empty());
    EXPECT_EQ(Recorded(L"Sub\\inner.txt").state, uint32_t(Helper::Synced));
}

TEST_F(FolderScanTest, FailedListingOfASubfolderLeavesThePassUndecided)
{
    // Whoever waits for agreement must learn that a folder below went
    // unseen, not take the pass for one that only queued work.
    SyncTest::MakeFolder(root_ / L"Sub");
    Record(SyncTest::FolderRecord(30, L"Sub", 2), L"Sub");
    ListFolderAs(0, {FolderSpec(30, 0, "Sub", 2)});
    FailListing(30, 302);

    EXPECT_EQ(engine_->ScanFolder(nullptr), ScanResult::Undecided);
    EXPECT_EQ(RequestCount(Net::CmdListFolder), 2);
    EXPECT_TRUE(Queue().empty());
}

TEST_F(FolderScanTest, ServerOnlyItemsAreRecordedForDownload)
{
    ListFolderAs(0, {FolderSpec(60, 0, "New", 3), FileSpec(61, 0, "fresh.txt", "f", 3)});
    EXPECT_EQ(engine_->ScanFolder(nullptr), ScanResult::Changed);
    const std::vector<Queued> queued = Queue();
    ASSERT_EQ(queued.size(), 2u);
    EXPECT_EQ(queued[0].kind, KindDownload);
    EXPECT_EQ(queued[0].path, root_ / L"New");
    EXPECT_EQ(queued[1].kind, KindDownload);
    const SyncEntry folder = Recorded(L"New");
    EXPECT_EQ(folder.id, 60);
    EXPECT_EQ(folder.state, uint32_t(Helper::NotSynced));
    EXPECT_EQ(Recorded(L"fresh.txt").id, 61);
}

TEST_F(FolderScanTest, TemporaryFilesAreNeverScanned)
{
    SyncTest::WriteBytes(root_ / L"movie.avi.tavo", "partial");
    ListFolderAs(0, {});
    EXPECT_EQ(engine_->ScanFolder(nullptr), ScanResult::Agreed);
    EXPECT_FALSE(Table().Find(L"movie.avi.tavo"));
}

// A server that lists an entry named like a temporary file: the entry is
// passed over like any other unsafe name, and the synced file beside it is
// decided as if it were not listed.
TEST_F(FolderScanTest, ListedTemporaryFileNameIsPassedOver)
{
    SyncTest::WriteBytes(root_ / L"keep.txt", "kept");
    SyncEntry keep = SyncTest::FileRecord(70, L"keep.txt", "kept", 5);
    keep.local_modified = SyncTest::WriteTime(root_ / L"keep.txt");
    Record(keep, L"keep.txt");
    ListFolderAs(0, {FileSpec(70, 0, "keep.txt", "kept", 5), FileSpec(71, 0, "keep.txt.tavo", "kept", 6)});

    EXPECT_EQ(engine_->ScanFolder(nullptr), ScanResult::Agreed);
    EXPECT_TRUE(Queue().empty());
    EXPECT_FALSE(Table().Find(L"keep.txt.tavo"));
}

TEST_F(FolderScanTest, ChangedPathOfATemporaryFileIsIgnored)
{
    SyncTest::WriteBytes(root_ / L"x.bin.tavo", "partial");
    engine_->OnPathChanged(L"x.bin.tavo", PathAdded, nullptr);
    EXPECT_FALSE(Table().Find(L"x.bin.tavo"));
}

TEST_F(FolderScanTest, ChangedNewFileIsRecordedWithoutAskingTheServer)
{
    SyncTest::WriteBytes(root_ / L"new.txt", "n");
    engine_->OnPathChanged(L"new.txt", PathAdded, nullptr);
    EXPECT_EQ(Recorded(L"new.txt").state, uint32_t(Helper::NotSynced));
    EXPECT_EQ(RequestCount(Net::CmdLookupEntry), 0);
}

TEST_F(FolderScanTest, ChangeOfAnItemBeingSyncedIsIgnored)
{
    SyncTest::WriteBytes(root_ / L"busy.txt", "changed");
    SyncEntry record = SyncTest::FileRecord(7, L"busy.txt", "b", 2, Helper::Syncing);
    Record(record, L"busy.txt");
    engine_->OnPathChanged(L"busy.txt", PathModified, nullptr);
    EXPECT_TRUE(Queue().empty());
    EXPECT_EQ(Recorded(L"busy.txt").size, 1u);
}

TEST_F(FolderScanTest, ChangedConflictAsksTheServer)
{
    SyncTest::WriteBytes(root_ / L"both.txt", "server");
    Record(SyncTest::FileRecord(8, L"both.txt", "old", 2, Helper::Conflict), L"both.txt");
    LookupAs("both.txt", Net::ResEntryFound, FileSpec(8, 0, "both.txt", "server", 9));
    engine_->OnPathChanged(L"both.txt", PathModified, nullptr);
    EXPECT_EQ(RequestCount(Net::CmdLookupEntry), 1);
    const std::vector<Queued> queued = Queue();
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(queued[0].kind, KindVersionInfo);
    EXPECT_EQ(Recorded(L"both.txt").update_time, 9);
}

// A conflict whose file is deleted here after the other side deleted it
// too: nothing is left to sync, and the record goes.
TEST_F(FolderScanTest, ConflictGoneFromBothSidesIsForgotten)
{
    Record(SyncTest::FileRecord(8, L"gone.txt", "old", 2, Helper::Conflict), L"gone.txt");
    LookupAs("gone.txt", Net::ResEntryNotFound);
    engine_->OnPathChanged(L"gone.txt", PathRemoved, nullptr);
    EXPECT_EQ(RequestCount(Net::CmdLookupEntry), 1);
    EXPECT_TRUE(Queue().empty());
    EXPECT_FALSE(Table().Find(L"gone.txt"));
}

TEST_F(FolderScanTest, MovedItemIsDecidedWithItsOldRecordUnderTheNewPath)
{
    SyncTest::WriteBytes(root_ / L"new name.txt", "v1");
    SyncEntry record = SyncTest::FileRecord(7, L"old name.txt", "v1", 5);
    Record(record, L"old name.txt");
    engine_->OnPathChanged(L"old name.txt", PathRenamed, L"new name.txt");
    const SyncEntry moved = Recorded(L"new name.txt");
    EXPECT_EQ(moved.id, 7);
    EXPECT_EQ(moved.state, uint32_t(Helper::Syncing));
}

// Half of a rename alone, with no single file in the folder to pair it
// with: it counts for what it is, and what came into the folder is decided
// at once instead of at the next scan.
TEST_F(FolderScanTest, RenameHalfWithoutOneCounterpartCountsAlone)
{
    SyncEntry record = SyncTest::FileRecord(7, L"a.txt", "same", 5);
    Record(record, L"a.txt");
    SyncTest::WriteBytes(root_ / L"b.txt", "same");
    SyncTest::WriteBytes(root_ / L"c.txt", "same");
    engine_->OnPathChanged(L"a.txt", PathRenamedAway, nullptr);

    std::vector<std::wstring> paths;
    for (const Queued& queued : Queue()) {
        EXPECT_EQ(queued.kind, KindUpload);
        paths.push_back(queued.path);
    }
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::wstring>{root_ / L"a.txt", root_ / L"b.txt", root_ / L"c.txt"}));
    EXPECT_EQ(Recorded(L"a.txt").id, 7) << "a deletion on the server";
    EXPECT_EQ(Recorded(L"b.txt").state, uint32_t(Helper::NotSynced));
}

TEST_F(FolderScanTest, ResumeLooksUpInterruptedItems)
{
    SyncTest::WriteBytes(root_ / L"r.txt", "done");
    SyncEntry record = SyncTest::FileRecord(9, L"r.txt", "done", 2, Helper::Syncing);
    Record(record, L"r.txt");
    // Inside a folder the server has not got yet, nothing can be looked up.
    SyncTest::MakeFolder(root_ / L"NewDir");
    SyncTest::WriteBytes(root_ / L"NewDir\\c.txt", "c");
    Record(SyncTest::FolderRecord(-1, L"NewDir", 0, Helper::NotSynced), L"NewDir");
    Record(SyncTest::FileRecord(-1, L"c.txt", "c", 0, Helper::Syncing), L"NewDir\\c.txt");
    LookupAs("r.txt", Net::ResEntryFound, FileSpec(9, 0, "r.txt", "done", 6));

    EXPECT_TRUE(engine_->ResumeInterrupted());
    EXPECT_EQ(RequestCount(Net::CmdLookupEntry), 1);
    const std::vector<Queued> queued = Queue();
    ASSERT_EQ(queued.size(), 2u);
    EXPECT_EQ(queued[0].path, root_ / L"r.txt");
    EXPECT_EQ(queued[0].kind, KindVersionInfo);
    EXPECT_EQ(queued[1].path, root_ / L"NewDir\\c.txt");
    EXPECT_EQ(queued[1].kind, KindUpload);
}

TEST_F(FolderScanTest, StoppedEngineDoesNothing)
{
    engine_->Stop(0);
    EXPECT_EQ(engine_->ScanFolder(nullptr), ScanResult::Agreed);
    EXPECT_FALSE(engine_->ResumeInterrupted());
    SyncTest::WriteBytes(root_ / L"late.txt", "l");
    engine_->OnPathChanged(L"late.txt", PathAdded, nullptr);
    EXPECT_FALSE(Table().Find(L"late.txt"));
}

}  // namespace
