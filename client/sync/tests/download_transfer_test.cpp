// Downloads of server changes against the reference server, and the
// checks on what the server names.
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

TEST_F(TransferTest, ServerFileDownloadsIntoPlace)
{
    const std::string bytes = Pattern(200000, 2);
    const int32_t id = PutServerFile(L"photo.jpg", bytes);
    CEffectLog effects(*engine_);
    StartEngine();

    ASSERT_TRUE(WaitFor([&] { return RecordedAs(L"photo.jpg", Helper::Synced); }));
    EXPECT_EQ(Testing::ReadFileBytes(root_ / L"photo.jpg"), bytes);
    EXPECT_FALSE(Testing::FileExists(root_ / L"photo.jpg.tavo"));
    SyncEntry record;
    ASSERT_TRUE(Recorded(L"photo.jpg", &record));
    EXPECT_EQ(record.id, id);
    EXPECT_EQ(record.size, bytes.size());
    EXPECT_EQ(record.local_modified, SyncTest::WriteTime(root_ / L"photo.jpg"));
    EXPECT_GE(http_relay_->Connections(), 1) << "the contents came over HTTP";
    uint64_t moved = 0;
    EXPECT_TRUE(WaitFor([&] { return effects.Saw(SyncEffect::Downloaded, L"photo.jpg", L"", &moved); }));
    EXPECT_EQ(moved, bytes.size());
}

TEST_F(TransferTest, RenameAndDeleteOnTheServerReachTheDisk)
{
    const std::string first = Pattern(5000, 3);
    const std::string second = Pattern(6000, 4);
    const int32_t first_id = PutServerFile(L"a.txt", first);
    const int32_t second_id = PutServerFile(L"gone.txt", second);
    StartEngine();
    ASSERT_TRUE(WaitFor([&] {
        return RecordedAs(L"a.txt", Helper::Synced) && RecordedAs(L"gone.txt", Helper::Synced);
    }));
    const int fetches = http_relay_->Connections();
    CEffectLog effects(*engine_);

    const int renamed = Net::RenameEntry(L"a.txt", first_id, L"b.txt");
    ASSERT_TRUE(renamed == Net::ResRenamed || renamed == Net::ResNameUnchanged) << renamed;
    ASSERT_EQ(Net::DeleteEntries(1, 0, &second_id), Net::ResDeleted);

    ASSERT_TRUE(WaitFor([&] {
        return RecordedAs(L"b.txt", Helper::Synced) && !Testing::FileExists(root_ / L"gone.txt");
    }));
    EXPECT_EQ(Testing::ReadFileBytes(root_ / L"b.txt"), first);
    EXPECT_FALSE(Testing::FileExists(root_ / L"a.txt"));
    EXPECT_FALSE(Recorded(L"a.txt"));
    EXPECT_FALSE(Recorded(L"gone.txt"));
    EXPECT_EQ(http_relay_->Connections(), fetches) << "a rename fetches nothing";
    EXPECT_TRUE(WaitFor([&] {
        return effects.Saw(SyncEffect::RenamedHere, L"b.txt", L"a.txt") &&
               effects.Saw(SyncEffect::DeletedHere, L"gone.txt");
    }));
}

// Another computer renames a synced file onto the name of a file made here
// and never synced: the new file is not taken for the server's copy. The
// name is in conflict with each side's contents kept, and the old name goes
// here as it went on the server.
TEST_F(TransferTest, ServerRenameOntoANewLocalFileKeepsBothContents)
{
    const std::string synced = Pattern(5000, 50);
    const int32_t id = PutServerFile(L"a.txt", synced);
    StartEngine();
    ASSERT_TRUE(WaitFor([&] { return RecordedAs(L"a.txt", Helper::Synced); }));
    engine_->Stop(INFINITE);

    const int renamed = Net::RenameEntry(L"a.txt", id, L"b.txt");
    ASSERT_EQ(renamed, Net::ResRenamed);
    const std::string fresh = Pattern(6000, 51);
    WriteBytes(root_ / L"b.txt", fresh);
    StartEngine();

    ASSERT_TRUE(WaitFor([&] { return !Testing::FileExists(root_ / L"a.txt") && engine_->QueueLength() == 0; }));
    EXPECT_EQ(Md5Of(Testing::ReadFileBytes(root_ / L"b.txt")), Md5Of(fresh)) << "the new file is kept";
    EXPECT_TRUE(ServerHolds(L"b.txt", synced)) << "and so is the server's";
    EXPECT_TRUE(RecordedAs(L"b.txt", Helper::Conflict));
    EXPECT_FALSE(Recorded(L"a.txt"));

    // The conflict stands: later passes change nothing on either side.
    engine_->Stop(INFINITE);
    StartEngine(false);
    EXPECT_EQ(engine_->ScanFolder(nullptr), ScanResult::Agreed);
    EXPECT_EQ(engine_->QueueLength(), 0u);
    EXPECT_EQ(Md5Of(Testing::ReadFileBytes(root_ / L"b.txt")), Md5Of(fresh));
}

TEST_F(TransferTest, FolderDeletedOnTheServerKeepsWhatChangedHere)
{
    int32_t folder = 0;
    ASSERT_EQ(Net::CreateFolder(0, L"docs", &folder), Net::ResFolderCreated);
    PutServerFile(L"same.txt", Pattern(3000, 40), folder);
    PutServerFile(L"edited.txt", Pattern(3000, 41), folder);
    int32_t inner = 0;
    ASSERT_EQ(Net::CreateFolder(folder, L"old", &inner), Net::ResFolderCreated);
    PutServerFile(L"deep.txt", Pattern(3000, 42), inner);
    StartEngine();
    ASSERT_TRUE(WaitFor([&] {
        return RecordedAs(L"docs\\same.txt", Helper::Synced) && RecordedAs(L"docs\\edited.txt", Helper::Synced) &&
               RecordedAs(L"docs\\old\\deep.txt", Helper::Synced);
    }));
    engine_->Stop(INFINITE);

    const std::string edit = Pattern(4000, 43);
    const std::string fresh = Pattern(2000, 44);
    WriteBytes(root_ / L"docs\\edited.txt", edit);
    WriteBytes(root_ / L"docs\\new.txt", fresh);
    ASSERT_EQ(Net::DeleteEntries(1, 0, &folder), Net::ResDeleted);
    StartEngine();

    Net::RemoteEntry docs;
    ASSERT_TRUE(WaitFor([&] {
        return OnServer(L"docs", &docs) && ServerHolds(L"edited.txt", edit, docs.entry.id) &&
               ServerHolds(L"new.txt", fresh, docs.entry.id);
    })) << "what changed here went to the server again";
    EXPECT_EQ(Md5Of(Testing::ReadFileBytes(root_ / L"docs\\edited.txt")), Md5Of(edit));
    EXPECT_FALSE(Testing::FileExists(root_ / L"docs\\same.txt")) << "synced and unchanged: deleted with the folder";
    EXPECT_FALSE(Testing::FileExists(root_ / L"docs\\old"));
    EXPECT_FALSE(OnServer(L"same.txt", nullptr, docs.entry.id));
}

// The scans take a name that differs only in case for the same; a
// download that carries the server's form renames the file itself.
TEST_F(TransferTest, NameThatDiffersOnlyInLetterCaseIsTakenOver)
{
    const std::string bytes = Pattern(9000, 22);
    SyncEntry record;
    ASSERT_NO_FATAL_FAILURE(SyncThenStop(L"Report.TXT", bytes, &record));
    StartEngine(false);

    std::unique_ptr<ISyncAction> action =
        ActionOnRecord(KindDownload, record, SyncTest::LocalAt(root_ / L"Report.TXT"), L"report.txt");
    ASSERT_NE(action, nullptr);
    EXPECT_TRUE(action->Execute(engine_.get()));

    WIN32_FIND_DATAW found;
    ASSERT_TRUE(Helper::FindItem(&found, (root_ / L"report.txt").c_str()));
    EXPECT_STREQ(found.cFileName, L"report.txt");
    EXPECT_EQ(Testing::ReadFileBytes(root_ / L"report.txt"), bytes) << "the file itself, not deleted as another item";
    EXPECT_TRUE(RecordedAs(L"report.txt", Helper::Synced));
    ASSERT_TRUE(Recorded(L"report.txt", &record));
    EXPECT_EQ(record.name, L"report.txt") << "re-keyed";
    EXPECT_STREQ(record.path, L"report.txt");
    EXPECT_EQ(http_relay_->Connections(), 0);
}

// Another computer changes only the letter case of a name: the record takes
// the new name over, so that an edit here goes up under it instead of
// changing it back.
TEST_F(TransferTest, LetterCaseChangedOnTheServerIsKeptByLaterUploads)
{
    SyncEntry record;
    ASSERT_NO_FATAL_FAILURE(SyncThenStop(L"Notes.TXT", Pattern(3000, 65), &record));
    ASSERT_EQ(Net::RenameEntry(L"Notes.TXT", record.id, L"notes.txt"), Net::ResRenamed);
    Net::RemoteEntry renamed;
    ASSERT_TRUE(OnServer(L"notes.txt", &renamed));
    StartEngine();
    ASSERT_TRUE(WaitFor([&] {
        return Recorded(L"notes.txt", &record) && record.update_time == renamed.entry.update_time &&
               record.state == Helper::Synced;
    }));
    EXPECT_EQ(record.name, L"notes.txt");

    const std::string edit = Pattern(3500, 66);
    WriteBytes(root_ / L"Notes.TXT", edit);
    ASSERT_TRUE(WaitFor([&] { return ServerHolds(L"notes.txt", edit); }));
    std::vector<Net::RemoteEntry> listed;
    ASSERT_EQ(Net::ListFolder(0, &listed), Net::ResFolderListed);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].entry.name, L"notes.txt");
}

TEST_F(TransferTest, ServerFolderIsCreatedAndItsContentsFetched)
{
    int32_t folder = 0;
    ASSERT_EQ(Net::CreateFolder(0, L"pics", &folder), Net::ResFolderCreated);
    const std::string bytes = Pattern(50000, 19);
    PutServerFile(L"cat.png", bytes, folder);
    StartEngine();

    ASSERT_TRUE(WaitFor([&] { return RecordedAs(L"pics\\cat.png", Helper::Synced); }));
    EXPECT_EQ(Testing::ReadFileBytes(root_ / L"pics\\cat.png"), bytes);
    SyncEntry record;
    ASSERT_TRUE(Recorded(L"pics", &record));
    EXPECT_EQ(record.id, folder);
    EXPECT_EQ(record.is_file, 0u);
    EXPECT_EQ(record.state, uint32_t(Helper::Synced));
}

TEST_F(TransferTest, CompleteTemporaryFileIsPutInPlaceWithoutAFetch)
{
    const std::string whole = Pattern(120000, 20);
    const std::string other = Pattern(90000, 21);
    PutServerFile(L"done.bin", whole);
    PutServerFile(L"half.bin", other);
    WriteBytes(root_ / L"done.bin.tavo", whole);
    WriteBytes(root_ / L"half.bin.tavo", other.substr(0, other.size() / 2));
    StartEngine();

    ASSERT_TRUE(WaitFor([&] {
        return RecordedAs(L"done.bin", Helper::Synced) && RecordedAs(L"half.bin", Helper::Synced);
    }));
    EXPECT_EQ(Testing::ReadFileBytes(root_ / L"done.bin"), whole);
    EXPECT_EQ(Testing::ReadFileBytes(root_ / L"half.bin"), other);
    EXPECT_FALSE(Testing::FileExists(root_ / L"done.bin.tavo"));
    EXPECT_FALSE(Testing::FileExists(root_ / L"half.bin.tavo"));
    EXPECT_EQ(http_relay_->Connections(), 1) << "only the incomplete one is fetched";
}

TEST_F(TransferTest, InterruptedDownloadNeverLeavesAPartialFileUnderTheRealName)
{
    const std::string bytes = Pattern(2 * 1024 * 1024, 14);
    PutServerFile(L"movie.bin", bytes);
    http_relay_->CutDownstreamAfter(1024 * 1024);
    StartEngine();

    // Each attempt takes a connection of its own; a second one means the
    // first attempt ended.
    ASSERT_TRUE(WaitFor([&] { return http_relay_->Connections() >= 2; }));
    EXPECT_FALSE(Testing::FileExists(root_ / L"movie.bin"));
    EXPECT_TRUE(RecordedAs(L"movie.bin", Helper::Syncing));

    http_relay_->CutDownstreamAfter(0);
    ASSERT_TRUE(WaitFor([&] { return RecordedAs(L"movie.bin", Helper::Synced); }));
    EXPECT_EQ(Testing::ReadFileBytes(root_ / L"movie.bin"), bytes);
    EXPECT_FALSE(Testing::FileExists(root_ / L"movie.bin.tavo"));
}

// Bytes that do not match the server's size or digest are refused, and the
// temporary file that holds them goes: nothing of them stays in the folder.
TEST_F(TransferTest, RefusedDownloadLeavesNoTemporaryFile)
{
    const std::string bytes = Pattern(80000, 64);
    PutServerFile(L"data.bin", bytes);
    Net::RemoteEntry listed;
    ASSERT_TRUE(OnServer(L"data.bin", &listed));
    StartEngine(false);

    const std::string other_md5 = Md5Of("other contents");
    for (int bad_size = 0; bad_size < 2; ++bad_size) {
        auto decision = std::make_unique<SyncDecision>();
        decision->kind = KindDownload;
        static_cast<SyncEntry&>(decision->server) = listed.entry;
        decision->server.url = listed.url;
        if (bad_size)
            decision->server.size += 1;
        else
            memcpy(decision->server.md5, other_md5.data(), kDigestLength);
        decision->local = SyncTest::MissingAt(root_ / L"data.bin");
        std::unique_ptr<ISyncAction> action = CreateAction(std::move(decision), engine_.get());
        ASSERT_NE(action, nullptr);
        EXPECT_FALSE(action->Execute(engine_.get())) << bad_size;
        EXPECT_FALSE(Testing::FileExists(root_ / L"data.bin")) << bad_size;
        EXPECT_FALSE(Testing::FileExists(root_ / L"data.bin.tavo")) << bad_size;
    }
    EXPECT_GE(http_relay_->Connections(), 1) << "the bytes were fetched";
}

// A server name that would leave the sync folder is refused before any
// path is formed from it.
TEST_F(TransferTest, ServerNameThatLeavesTheSyncFolderIsNeverWritten)
{
    StartEngine();
    // A name ending in ".tavo", in any letter case, would land on the
    // temporary file of another item.
    const wchar_t* names[] = {L"..", L"..\\escape.txt", L"x:y", L"a/b", L"item.txt.tavo", L"item.txt.TaVo"};
    for (const wchar_t* name : names) {
        auto decision = std::make_unique<SyncDecision>();
        decision->kind = KindDownload;
        decision->server.id = 900;
        decision->server.is_file = 1;
        decision->server.size = 3;
        decision->server.update_time = 5;
        decision->server.name = name;
        decision->server.url = L"http://127.0.0.2:1/d/900?key=";
        decision->local = SyncTest::MissingAt(root_ / L"item.txt");
        std::unique_ptr<ISyncAction> action = CreateAction(std::move(decision), engine_.get());
        ASSERT_NE(action, nullptr);
        EXPECT_TRUE(action->Execute(engine_.get())) << "refused for good";
        EXPECT_TRUE(RecordedAs(L"item.txt", Helper::Error));
    }
    EXPECT_FALSE(Testing::FileExists(root_ / L"..\\escape.txt"));
    EXPECT_FALSE(Testing::FileExists(root_ / L"item.txt"));
    EXPECT_FALSE(Testing::FileExists(root_ / L"item.txt.tavo"));
}

// A file beside a synced one, named like its download's temporary file but
// not a finished download of it (another program's, or a fetch cut short
// long ago), never decides against an edit of the synced file.
TEST_F(TransferTest, StrayTemporaryFileNeverReplacesAnEdit)
{
    const std::string synced = Pattern(4000, 60);
    PutServerFile(L"keep.txt", synced);
    StartEngine();
    ASSERT_TRUE(WaitFor([&] { return RecordedAs(L"keep.txt", Helper::Synced); }));
    engine_->Stop(INFINITE);

    const std::string stray = Pattern(1000, 61);
    const std::string edit = Pattern(4100, 62);
    WriteBytes(root_ / L"keep.txt.tavo", stray);
    WriteBytes(root_ / L"keep.txt", edit);
    StartEngine();
    ASSERT_TRUE(WaitFor([&] {
        return ServerHolds(L"keep.txt", edit) || Testing::ReadFileBytes(root_ / L"keep.txt") != edit;
    }));
    EXPECT_EQ(Md5Of(Testing::ReadFileBytes(root_ / L"keep.txt")), Md5Of(edit));
    EXPECT_TRUE(ServerHolds(L"keep.txt", edit));
    EXPECT_EQ(Md5Of(Testing::ReadFileBytes(root_ / L"keep.txt.tavo")), Md5Of(stray)) << "not the client's to remove";
}

TEST(TransferPaths, OnlyPlainNamesAndHttpAddressesAreAccepted)
{
    EXPECT_TRUE(IsSafeName(L"report.txt"));
    EXPECT_TRUE(IsSafeName(L"\x4E2D\x6587 name.txt"));
    for (const wchar_t* bad : {L"", L".", L"..", L"a\\b", L"a/b", L"c:", L"a*", L"a?", L"tab\t", L"<x>"})
        EXPECT_FALSE(IsSafeName(bad)) << bad;
    EXPECT_TRUE(IsSafeKey(L"docs\\one.txt"));
    EXPECT_FALSE(IsSafeKey(L"docs\\..\\..\\one.txt"));
    EXPECT_FALSE(IsSafeKey(L""));

    const char key[] = "0123456789abcdefABCDEF0123456789";
    std::wstring address;
    EXPECT_TRUE(BuildDownloadAddress(L"http://h:1/d/5?key=", key, &address));
    EXPECT_EQ(address, L"http://h:1/d/5?key=0123456789abcdefABCDEF0123456789");
    EXPECT_FALSE(BuildDownloadAddress(L"file:///C:/secret?key=", key, &address));
    EXPECT_FALSE(BuildDownloadAddress(L"http://h/d/5 x?key=", key, &address));
    const char bad_key[] = "0123456789abcdef#BCDEF0123456789";
    EXPECT_FALSE(BuildDownloadAddress(L"http://h:1/d/5?key=", bad_key, &address));
}

}  // namespace
