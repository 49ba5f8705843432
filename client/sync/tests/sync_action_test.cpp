#include "client/sync/sync_action.h"

#include <gtest/gtest.h>

#include <cstring>

#include "client/sync/reconcile.h"
#include "client/sync/record_actions.h"
#include "client/sync/tests/sync_test_support.h"
#include "common/file_sync_state.h"

namespace {

using namespace Sync;

class SyncActionTest : public SyncTest::EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        StartEngine(false);
    }

    std::unique_ptr<SyncDecision> MakeDecision(int32_t kind, const std::wstring& path, bool local_present,
                                               const SyncEntry* server, const SyncEntry* entry)
    {
        auto decision = std::make_unique<SyncDecision>();
        decision->kind = kind;
        decision->local = local_present ? SyncTest::LocalAt(path) : SyncTest::MissingAt(path);
        if (server != nullptr)
            decision->server = SyncTest::ServerOf(*server);
        if (entry != nullptr)
            decision->entry = *entry;
        return decision;
    }

    SyncEntry Recorded(const wchar_t* key)
    {
        SyncEntry copy;
        EXPECT_TRUE(Table().Find(key, &copy)) << "no record";
        return copy;
    }
};

TEST_F(SyncActionTest, KindNoneLeavesTheTableAlone)
{
    const std::wstring path = root_ / L"a.txt";
    SyncTest::WriteBytes(path, "a");
    EXPECT_EQ(CreateAction(MakeDecision(KindNone, path, true, nullptr, nullptr), engine_.get()), nullptr);
    EXPECT_FALSE(Table().Find(L"a.txt"));
    EXPECT_EQ(CreateAction(nullptr, engine_.get()), nullptr);
    EXPECT_EQ(CreateAction(MakeDecision(KindVersionInfo, path, true, nullptr, nullptr), nullptr), nullptr);
    EXPECT_FALSE(Table().Find(L"a.txt"));
}

TEST_F(SyncActionTest, NewItemIsRecordedAsNotSynced)
{
    const std::wstring path = root_ / L"new.txt";
    SyncTest::WriteBytes(path, "fresh");
    std::unique_ptr<ISyncAction> action =
        CreateAction(MakeDecision(KindUpload, path, true, nullptr, nullptr), engine_.get());
    ASSERT_NE(action, nullptr);
    EXPECT_EQ(action->kind, KindUpload);
    const SyncEntry record = Recorded(L"new.txt");
    EXPECT_EQ(record.state, uint32_t(Helper::NotSynced));
    EXPECT_EQ(record.id, -1);
    EXPECT_EQ(record.is_file, 1u);
    EXPECT_EQ(record.size, 5u);
    EXPECT_EQ(record.local_modified, SyncTest::WriteTime(path));
}

TEST_F(SyncActionTest, ExistingRecordTakesTheServerViewAndTheOutcome)
{
    const std::wstring path = root_ / L"doc.txt";
    SyncTest::WriteBytes(path, "local");
    const SyncEntry old_record = SyncTest::FileRecord(7, L"doc.txt", "old", 3);
    ASSERT_TRUE(Table().Add(&old_record, L"doc.txt"));
    const SyncEntry server = SyncTest::FileRecord(7, L"doc.txt", "server", 9);

    std::unique_ptr<ISyncAction> action =
        CreateAction(MakeDecision(KindConflict, path, true, &server, &old_record), engine_.get());
    ASSERT_NE(action, nullptr);
    EXPECT_EQ(action->kind, KindConflict);
    EXPECT_EQ(std::wstring(action->local_path), path);
    // Recorded at once, before the action runs.
    SyncEntry record = Recorded(L"doc.txt");
    EXPECT_EQ(record.state, uint32_t(Helper::Conflict));
    EXPECT_EQ(record.update_time, 9);
    EXPECT_EQ(record.size, 5u);  // the local size wins over the server's

    CreateAction(MakeDecision(KindError, path, true, &server, &old_record), engine_.get());
    EXPECT_EQ(Recorded(L"doc.txt").state, uint32_t(Helper::Error));
    CreateAction(MakeDecision(KindDownload, path, true, &server, &old_record), engine_.get());
    EXPECT_EQ(Recorded(L"doc.txt").state, uint32_t(Helper::Syncing));
}

TEST_F(SyncActionTest, UploadOfAnEditRecordsTheLocalContentsSoARestartSendsThemOn)
{
    const std::wstring path = root_ / L"doc.txt";
    SyncTest::WriteBytes(path, "the edit, longer than the server's copy");
    const SyncEntry old_record = SyncTest::FileRecord(7, L"doc.txt", "old", 3);
    ASSERT_TRUE(Table().Add(&old_record, L"doc.txt"));

    ASSERT_NE(CreateAction(MakeDecision(KindUpload, path, true, &old_record, &old_record), engine_.get()), nullptr);
    SyncEntry record = Recorded(L"doc.txt");
    EXPECT_EQ(std::string(record.md5, kDigestLength), SyncTest::Md5Of("the edit, longer than the server's copy"));

    // The client stops before the upload ran; the next start finds the
    // record Syncing and the server unchanged.
    std::unique_ptr<SyncDecision> again =
        Decide(SyncTest::LocalAt(path), SyncTest::ServerOf(old_record), engine_.get(), record);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->kind, KindUpload) << "the edit is sent, not overwritten by the server's copy";
}

TEST_F(SyncActionTest, UploadDecidedAgainKeepsItsTicketOnlyForTheSameContents)
{
    const std::wstring path = root_ / L"video.bin";
    SyncTest::WriteBytes(path, "the contents the ticket was taken for");
    const SyncEntry server = SyncTest::FileRecord(7, L"video.bin", "old", 3);
    SyncEntry interrupted = SyncTest::FileRecord(7, L"video.bin", "the contents the ticket was taken for", 3,
                                                 Helper::Syncing);
    interrupted.local_modified = SyncTest::WriteTime(path);
    interrupted.upload_address = 0x7f000001;
    interrupted.upload_port = 7700;
    interrupted.upload_offset = 32768;
    memset(interrupted.upload_token, 'k', sizeof interrupted.upload_token);
    ASSERT_TRUE(Table().Add(&interrupted, L"video.bin"));

    CreateAction(MakeDecision(KindUpload, path, true, &server, &interrupted), engine_.get());
    SyncEntry record = Recorded(L"video.bin");
    EXPECT_EQ(record.upload_address, 0x7f000001u);
    EXPECT_EQ(record.upload_port, 7700);
    EXPECT_EQ(record.upload_offset, 32768u);

    SyncTest::WriteBytes(path, "other contents of another length");
    CreateAction(MakeDecision(KindUpload, path, true, &server, &interrupted), engine_.get());
    record = Recorded(L"video.bin");
    EXPECT_EQ(record.upload_address, 0u) << "a ticket for other contents is given up";
    EXPECT_EQ(record.upload_offset, 0u);
}

TEST_F(SyncActionTest, ItemGoneOnBothSidesLosesItsRecord)
{
    const std::wstring path = root_ / L"gone.txt";
    const SyncEntry old_record = SyncTest::FileRecord(7, L"gone.txt", "old", 3);
    ASSERT_TRUE(Table().Add(&old_record, L"gone.txt"));
    EXPECT_EQ(CreateAction(MakeDecision(KindVersionInfo, path, false, nullptr, &old_record), engine_.get()), nullptr);
    EXPECT_FALSE(Table().Find(L"gone.txt"));
}

TEST_F(SyncActionTest, HugeFileSizeIsRecordedWhole)
{
    const std::wstring path = root_ / L"huge.bin";
    auto decision = std::make_unique<SyncDecision>();
    decision->kind = KindError;
    decision->local = SyncTest::MissingAt(path);
    decision->local.dwFileAttributes = FILE_ATTRIBUTE_ARCHIVE;
    decision->local.nFileSizeHigh = 0;
    decision->local.nFileSizeLow = 0xC0000000u;
    const SyncEntry existing = SyncTest::FileRecord(8, L"huge.bin", "", 1);
    ASSERT_TRUE(Table().Add(&existing, L"huge.bin"));
    decision->entry = existing;
    ASSERT_NE(CreateAction(std::move(decision), engine_.get()), nullptr);
    EXPECT_EQ(Recorded(L"huge.bin").size, 3221225472ull);
}

TEST_F(SyncActionTest, RecordActionsWriteTheirStates)
{
    const std::wstring path = root_ / L"doc.txt";
    SyncTest::WriteBytes(path, "same");
    const SyncEntry old_record = SyncTest::FileRecord(7, L"doc.txt", "same", 3);
    ASSERT_TRUE(Table().Add(&old_record, L"doc.txt"));
    const SyncEntry server = SyncTest::FileRecord(7, L"doc.txt", "same", 12);

    std::unique_ptr<ISyncAction> action =
        CreateAction(MakeDecision(KindVersionInfo, path, true, &server, &old_record), engine_.get());
    ASSERT_NE(action, nullptr);
    EXPECT_EQ(Recorded(L"doc.txt").state, uint32_t(Helper::Syncing));
    EXPECT_TRUE(action->Execute(engine_.get()));
    SyncEntry record = Recorded(L"doc.txt");
    EXPECT_EQ(record.state, uint32_t(Helper::Synced));
    EXPECT_EQ(record.update_time, 12);

    action = CreateAction(MakeDecision(KindConflict, path, true, &server, &record), engine_.get());
    ASSERT_NE(action, nullptr);
    EXPECT_TRUE(action->Execute(engine_.get()));
    EXPECT_EQ(Recorded(L"doc.txt").state, uint32_t(Helper::Conflict));
    EXPECT_FALSE(action->Execute(nullptr));

    // Agreement about an item the server no longer has removes its record.
    action = CreateAction(MakeDecision(KindVersionInfo, path, true, nullptr, &record), engine_.get());
    ASSERT_NE(action, nullptr);
    EXPECT_TRUE(action->Execute(engine_.get()));
    EXPECT_FALSE(Table().Find(L"doc.txt"));
}

TEST_F(SyncActionTest, ConflictedFolderIsStillScanned)
{
    const std::wstring folder = root_ / L"Docs";
    SyncTest::MakeFolder(folder);
    SyncTest::WriteBytes(folder + L"\\inside.txt", "in");
    const SyncEntry record = SyncTest::FolderRecord(30, L"Docs", 1);
    ASSERT_TRUE(Table().Add(&record, L"Docs"));
    ListFolderAs(30, {});

    std::unique_ptr<ISyncAction> action =
        CreateAction(MakeDecision(KindConflict, folder, true, &record, &record), engine_.get());
    ASSERT_NE(action, nullptr);
    EXPECT_TRUE(action->Execute(engine_.get()));
    EXPECT_EQ(RequestCount(Net::CmdListFolder), 1);
    // The new file inside got its own record.
    EXPECT_EQ(Recorded(L"Docs\\inside.txt").state, uint32_t(Helper::NotSynced));
}

}  // namespace
