#include "client/sync/reconcile.h"

#include <gtest/gtest.h>

#include <cstring>

#include "client/sync/file_utils.h"
#include "client/sync/tests/sync_test_support.h"
#include "common/file_sync_state.h"
#include "common/md5.h"

namespace {

using namespace Sync;
using Testing::CTempFolder;

constexpr uint64_t kBig = 1ull << 40;

class ReconcileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Helper::BindMd5());
        SyncTest::SetSpace(kBig, kBig);
    }
    CTempFolder folder_;
};

// One decision: what the disk holds (null: missing), what the server holds
// (null: absent) and what the record says (null: absent).
struct Row {
    const char* what;
    const char* local;
    const char* server;
    int32_t server_time;
    const char* record;
    int32_t record_time;
    uint32_t state;
    int32_t expected;
    uint64_t total = kBig;
    uint64_t free = kBig;
    int32_t record_id = 10;
    bool written_since_recorded = false;
    bool no_local_time = false;
};

int32_t DecideRow(const CTempFolder& folder, const Row& row)
{
    const std::wstring path = folder / L"doc.txt";
    Helper::DeletePath(path.c_str());
    WIN32_FIND_DATAW local = SyncTest::MissingAt(path);
    if (row.local != nullptr) {
        SyncTest::WriteBytes(path, row.local);
        local = SyncTest::LocalAt(path);
    }
    ServerEntry server;
    if (row.server != nullptr)
        server = SyncTest::ServerOf(SyncTest::FileRecord(10, L"doc.txt", row.server, row.server_time));
    SyncEntry record;
    if (row.record != nullptr) {
        record = SyncTest::FileRecord(row.record_id, L"doc.txt", row.record, row.record_time, row.state);
        if (row.local != nullptr && !row.no_local_time)
            record.local_modified = LocalTime(local) - (row.written_since_recorded ? 10000000 : 0);
    } else {
        record.state = row.state;
    }
    SyncTest::SetSpace(row.total, row.free);
    std::unique_ptr<SyncDecision> decision = Decide(local, server, nullptr, record);
    return decision ? decision->kind : -1;
}

void RunTable(const CTempFolder& folder, const std::vector<Row>& rows)
{
    for (const Row& row : rows)
        EXPECT_EQ(DecideRow(folder, row), row.expected) << row.what;
}

TEST_F(ReconcileTest, SyncedRules)
{
    using namespace Helper;
    RunTable(folder_, {
        {"no space figures yet", "v1", "v1", 5, "v1", 5, Synced, KindNone, 0, 0},
        {"larger than the free space", "v1", "v1", 5, "v1", 5, Synced, KindError, kBig, 1},
        {"account full: no free space left at all", "v2", "v1", 5, "v1", 5, Synced, KindError, kBig, 0},
        {"account full, an empty file still fits", "", nullptr, 0, nullptr, 0, Synced, KindUpload, kBig, 0},
        {"larger than the whole space", "v1", "v1", 5, "v1", 5, Synced, KindError, 1, kBig},
        {"server newer, local already equal", "v2", "v2", 6, "v1", 5, Synced, KindVersionInfo},
        {"server newer, local unchanged", "v1", "v2", 6, "v1", 5, Synced, KindDownload},
        {"server newer, local changed too", "v3", "v2", 6, "v1", 5, Synced, KindConflict},
        {"server newer, local deleted", nullptr, "v2", 6, "v1", 5, Synced, KindDownload},
        {"nothing changed", "v1", "v1", 5, "v1", 5, Synced, KindNone},
        {"record stale, both sides agree", "v1", "v1", 5, "old", 5, Synced, KindVersionInfo},
        {"local edit", "v3", "v1", 5, "v1", 5, Synced, KindUpload},
        {"local deletion", nullptr, "v1", 5, "v1", 5, Synced, KindUpload},
        {"server time older but present", "v1", "v1", 3, "v1", 5, Synced, KindVersionInfo},
        {"server time older, its copy differs from the local file", "v1", "v0", 3, "v1", 5, Synced,
         KindVersionInfo},
        {"local file as recorded, server differs under the same stamp", "v1", "v2", 5, "v1", 5, Synced,
         KindVersionInfo},
        {"server deleted, local unchanged", "v1", nullptr, 0, "v1", 5, Synced, KindDownload},
        {"server deleted, local changed", "v3", nullptr, 0, "v1", 5, Synced, KindUpload},
        {"gone on both sides", nullptr, nullptr, 0, "v1", 5, Synced, KindVersionInfo},
        {"new local file", "new", nullptr, 0, nullptr, 0, Synced, KindUpload},
    });
}

TEST_F(ReconcileTest, PendingRules)
{
    using namespace Helper;
    for (uint32_t state : {uint32_t(NotSynced), uint32_t(Syncing)}) {
        RunTable(folder_, {
            {"no space figures yet", "v1", "v2", 6, "v1", 5, state, KindNone, 0, 0},
            {"does not fit", "v1", "v2", 6, "v1", 5, state, KindError, kBig, 1},
            {"account full", "v1", "v2", 6, "v1", 5, state, KindError, kBig, 0},
            {"agrees", "v2", "v2", 6, "v1", 5, state, KindVersionInfo},
            {"download under way: the record holds the server's contents", "v1", "v2", 6, "v2", 6, state,
             KindDownload},
            {"upload under way: the record holds the local contents", "v3", "v2", 6, "v3", 6, state, KindUpload},
            {"upload under way, another version came to the server", "v3", "v2", 7, "v3", 6, state, KindConflict},
            {"download under way, local written since", "v3", "v2", 6, "v2", 6, state, KindConflict, kBig, kBig,
             10, true},
            {"download of a deletion under way", nullptr, "v2", 6, "v2", 6, state, KindDownload},
            // A download of an item new here records no local time: a local
            // file there now was made since the download was decided.
            {"download of a new item under way, a local file made since", "v3", "v2", 6, "v2", 6, state,
             KindConflict, kBig, kBig, 10, false, true},
            {"differs, never uploaded", "v1", nullptr, 0, "v1", 0, state, KindUpload, kBig, kBig, -1},
            {"never uploaded, the server got one of its own", "v1", "v2", 6, "v1", 0, state, KindConflict, kBig,
             kBig, -1},
        });
    }
}

// Folders waiting for their first sync or for a transfer: a folder has no
// contents to compare, so its name and its place on the server decide.
TEST_F(ReconcileTest, PendingFolderRules)
{
    struct FolderRow {
        const char* what;
        bool local;
        const wchar_t* server_name;  // null: the server has none
        int32_t record_id;
        int32_t expected;
        bool server_file = false;
    };
    const FolderRow rows[] = {
        {"on the server under its name", true, L"Docs", 20, KindVersionInfo},
        {"renamed on the server", true, L"Papers", 20, KindDownload},
        {"gone here, on the server", false, L"Docs", 20, KindDownload},
        {"not on the server yet", true, nullptr, -1, KindUpload},
        {"not on the server yet, a file of its name is", true, L"Docs", -1, KindConflict, true},
    };
    const std::wstring path = folder_ / L"Docs";
    for (uint32_t state : {uint32_t(Helper::NotSynced), uint32_t(Helper::Syncing)}) {
        for (const FolderRow& row : rows) {
            RemoveDirectoryW(path.c_str());
            WIN32_FIND_DATAW local = SyncTest::MissingAt(path);
            if (row.local) {
                SyncTest::MakeFolder(path);
                local = SyncTest::LocalAt(path);
            }
            ServerEntry server;
            if (row.server_name != nullptr)
                server = SyncTest::ServerOf(row.server_file ? SyncTest::FileRecord(20, row.server_name, "f", 6)
                                                            : SyncTest::FolderRecord(20, row.server_name, 6));
            // A folder never created on the server has no update stamp yet.
            const SyncEntry record = SyncTest::FolderRecord(row.record_id, L"Docs", row.record_id > 0 ? 6 : 0, state);
            std::unique_ptr<SyncDecision> decision = Decide(local, server, nullptr, record);
            ASSERT_TRUE(decision) << row.what;
            EXPECT_EQ(decision->kind, row.expected) << row.what << ", state " << state;
        }
    }
}

TEST_F(ReconcileTest, ErrorRules)
{
    using namespace Helper;
    RunTable(folder_, {
        {"still does not fit", "v1", "v2", 6, "v1", 5, Error, KindNone, kBig, 1},
        {"still does not fit, no figures", "v1", "v2", 6, "v1", 5, Error, KindNone, 0, 0},
        {"empty file without figures", "", nullptr, 0, "v1", 5, Error, KindUpload, 0, 0},
        {"server has none", "v1", nullptr, 0, "v1", 5, Error, KindUpload},
        {"agrees", "v2", "v2", 6, "v1", 5, Error, KindVersionInfo},
        {"server changed, local not", "v1", "v2", 6, "v1", 5, Error, KindDownload},
        {"both changed", "v3", "v2", 6, "v1", 5, Error, KindConflict},
        {"server changed, local deleted", nullptr, "v2", 6, "v1", 5, Error, KindDownload},
    });
}

TEST_F(ReconcileTest, ConflictRules)
{
    using namespace Helper;
    RunTable(folder_, {
        {"does not fit", "v3", "v2", 6, "v1", 5, Conflict, KindNone, kBig, 1},
        {"local deleted", nullptr, "v2", 6, "v1", 5, Conflict, KindDownload},
        {"local deleted, no figures", nullptr, "v2", 6, "v1", 5, Conflict, KindDownload, 0, 0},
        {"server deleted", "v3", nullptr, 0, "v1", 5, Conflict, KindUpload},
        {"sides agree again", "v2", "v2", 6, "v1", 5, Conflict, KindVersionInfo},
        {"gone on both sides", nullptr, nullptr, 0, "v1", 5, Conflict, KindDownload},
        {"conflict stands", "v3", "v2", 6, "v1", 5, Conflict, KindNone},
    });
}

TEST_F(ReconcileTest, UntrackedAndUnknownStates)
{
    EXPECT_EQ(DecideRow(folder_, {"untracked", "v3", "v2", 6, "v1", 5, Helper::Untracked, KindNone}), KindNone);
    EXPECT_EQ(DecideRow(folder_, {"unknown state", "v3", "v2", 6, "v1", 5, 6, -1}), -1);
}

// The record holds the server's contents and the local file differs: a
// temporary file with exactly those contents is a download that finished
// but was never put in place. Any other never decides against the local
// change.
TEST_F(ReconcileTest, OnlyAFinishedDownloadOfTheRecordIsPutInPlace)
{
    const std::wstring path = folder_ / L"doc.txt";
    const std::wstring temporary = path + L".tavo";
    const ServerEntry server = SyncTest::ServerOf(SyncTest::FileRecord(10, L"doc.txt", "server copy", 5));
    const SyncEntry record = SyncTest::FileRecord(10, L"doc.txt", "server copy", 5);
    auto decide = [&](const std::string& temporary_bytes, const SyncEntry& entry, const ServerEntry& view) {
        SyncTest::WriteBytes(path, "local edit");
        SyncTest::WriteBytes(temporary, temporary_bytes);
        std::unique_ptr<SyncDecision> decision = Decide(SyncTest::LocalAt(path), view, nullptr, entry);
        return decision ? decision->kind : -1;
    };

    EXPECT_EQ(decide("server copy", record, server), KindNone);
    EXPECT_FALSE(Testing::FileExists(temporary));
    Helper::DigestText digest;
    ASSERT_TRUE(Helper::FileDigest(path.c_str(), digest));
    EXPECT_EQ(std::string(digest), SyncTest::Md5Of("server copy"));

    // An unfinished fetch, a server that names other contents than the
    // record under the same stamp, and a new file with no server copy: the
    // local file goes up, the temporary file stays.
    EXPECT_EQ(decide("server c", record, server), KindUpload);
    EXPECT_EQ(decide("server copy", SyncTest::FileRecord(10, L"doc.txt", "old", 5), server), KindUpload);
    EXPECT_EQ(decide("server copy", SyncEntry(), ServerEntry()), KindUpload);
    EXPECT_EQ(Testing::ReadFileBytes(path), "local edit");
    EXPECT_TRUE(Testing::FileExists(temporary));
}

TEST_F(ReconcileTest, CompareToServerSteps)
{
    const std::wstring path = folder_ / L"Name.TXT";
    SyncTest::WriteBytes(path, "abc");
    const WIN32_FIND_DATAW local = SyncTest::LocalAt(path);
    ServerEntry server = SyncTest::ServerOf(SyncTest::FileRecord(3, L"name.txt", "abc", 1));
    char digest[kDigestLength + 1] = {};

    EXPECT_EQ(CompareToServer(&server, local, nullptr, true), CompareUndecidable);
    EXPECT_EQ(CompareToServer(&server, local, digest, true), CompareEqual);
    EXPECT_EQ(std::string(digest), SyncTest::Md5Of("abc"));

    // The digest is computed once per decision and then reused.
    std::memset(digest, 'f', kDigestLength);
    EXPECT_EQ(CompareToServer(&server, local, digest, false), CompareDifferent);

    char fresh[kDigestLength + 1] = {};
    server.name = L"other.txt";
    EXPECT_EQ(CompareToServer(&server, local, fresh, true), CompareDifferent);
    EXPECT_EQ(CompareToServer(&server, local, fresh, false), CompareEqual);
    server.name.clear();
    EXPECT_EQ(CompareToServer(&server, local, fresh, true), CompareUndecidable);

    server = SyncTest::ServerOf(SyncTest::FolderRecord(3, L"Name.TXT", 1));
    EXPECT_EQ(CompareToServer(&server, local, fresh, true), CompareDifferent);
    EXPECT_EQ(CompareToServer(nullptr, local, fresh, true), CompareDifferent);
    EXPECT_EQ(CompareToServer(nullptr, SyncTest::MissingAt(path), fresh, true), CompareEqual);
    EXPECT_EQ(CompareToServer(&server, SyncTest::MissingAt(path), fresh, true), CompareDifferent);
}

TEST_F(ReconcileTest, CompareToEntryLooksAtTheRecordedTime)
{
    const std::wstring path = folder_ / L"doc.txt";
    SyncTest::WriteBytes(path, "abc");
    const WIN32_FIND_DATAW local = SyncTest::LocalAt(path);
    SyncEntry record = SyncTest::FileRecord(3, L"doc.txt", "abc", 1);
    char digest[kDigestLength + 1] = {};
    EXPECT_EQ(CompareToEntry(&record, local, digest), CompareEqual);
    record.local_modified = LocalTime(local) + 1;
    char again[kDigestLength + 1] = {};
    EXPECT_EQ(CompareToEntry(&record, local, again), CompareDifferent);
    EXPECT_EQ(again[0], '\0');  // decided by the time, no digest read

    // Equal times do not spare the contents.
    record = SyncTest::FileRecord(3, L"doc.txt", "abd", 1);
    record.local_modified = LocalTime(local);
    EXPECT_EQ(CompareToEntry(&record, local, again), CompareDifferent);
}

TEST_F(ReconcileTest, FoldersCompareByTypeAndName)
{
    const std::wstring path = folder_ / L"Docs";
    SyncTest::MakeFolder(path);
    const WIN32_FIND_DATAW local = SyncTest::LocalAt(path);
    const ServerEntry server = SyncTest::ServerOf(SyncTest::FolderRecord(4, L"docs", 2));
    char digest[kDigestLength + 1] = {};
    EXPECT_EQ(CompareToServer(&server, local, digest, true), CompareEqual);
    EXPECT_EQ(digest[0], '\0');
    const ServerEntry file = SyncTest::ServerOf(SyncTest::FileRecord(4, L"Docs", "", 2));
    EXPECT_EQ(CompareToServer(&file, local, digest, true), CompareDifferent);
}

}  // namespace
