// The download and upload actions against the reference server on
// loopback. The server names 127.0.0.2 in its tickets and download
// addresses; relays there pass everything on to it and can watch or cut
// the data connections and the downloads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "client/net/request_manager.h"
#include "client/net/requests.h"
#include "client/net/session.h"
#include "client/net/session_values.h"
#include "client/shell/app_state.h"
#include "client/sync/file_utils.h"
#include "client/sync/reconcile.h"
#include "client/sync/sync_download.h"
#include "client/sync/sync_engine.h"
#include "client/sync/sync_upload.h"
#include "client/sync/tests/sync_test_support.h"
#include "client/sync/tests/tcp_relay.h"
#include "client/sync/transfer_meter.h"
#include "client/sync/transfer_support.h"
#include "common/bounded_string.h"
#include "common/file_sync_state.h"
#include "common/md5.h"

namespace {

using namespace Sync;
using SyncTest::Md5Of;
using SyncTest::WriteBytes;

constexpr DWORD kDeadline = 30000;

std::string Pattern(size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    uint32_t x = seed * 2654435761u + 7;
    for (char& c : bytes) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return bytes;
}

std::string ReadAll(const std::wstring& path)
{
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    char chunk[65536];
    DWORD count = 0;
    while (ReadFile(file, chunk, sizeof chunk, &count, nullptr) && count > 0)
        bytes.append(chunk, count);
    CloseHandle(file);
    return bytes;
}

bool WaitFor(const std::function<bool()>& done, DWORD milliseconds = kDeadline)
{
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > milliseconds)
            return false;
        Sleep(20);
    }
    return true;
}

// The block offsets of every upload block the client sent on one data
// connection, read from the bytes the relay passed on.
std::vector<uint64_t> BlockOffsets(const std::string& stream)
{
    std::vector<uint64_t> offsets;
    const auto* bytes = reinterpret_cast<const uint8_t*>(stream.data());
    size_t at = 0;
    while (at + Net::kRequestHeaderSize <= stream.size()) {
        const uint32_t total = Net::ReadU32(bytes + at + 8);
        const uint16_t command = Net::ReadU16(bytes + at + 20);
        if (total < Net::kRequestHeaderSize)
            break;
        size_t next = at + total;
        if (command == Net::CmdUploadBlock && at + 70 <= stream.size()) {
            offsets.push_back(Net::ReadU64(bytes + at + 58));
            next += Net::ReadU32(bytes + at + 66);
        }
        at = next;
    }
    return offsets;
}

std::vector<uint64_t> AllBlockOffsets(const std::vector<std::string>& streams)
{
    std::vector<uint64_t> offsets;
    for (const std::string& stream : streams)
        for (uint64_t offset : BlockOffsets(stream))
            offsets.push_back(offset);
    return offsets;
}

std::string Describe(const std::vector<std::string>& streams)
{
    std::string text;
    for (const std::string& stream : streams) {
        const std::vector<uint64_t> offsets = BlockOffsets(stream);
        text += "[" + std::to_string(stream.size()) + " bytes, " + std::to_string(offsets.size()) + " blocks";
        if (!offsets.empty())
            text += " " + std::to_string(offsets.front()) + ".." + std::to_string(offsets.back());
        text += "] ";
    }
    return text;
}

std::map<std::string, std::string> ReadServerEnv()
{
    std::wstring path = L"Z:";
    for (const char c : std::string(TAVO_TRANSFER_SERVER_DIR "/server.env"))
        path.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(c));
    std::map<std::string, std::string> values;
    std::string text = ReadAll(path);
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(at, end - at);
        const size_t equals = line.find('=');
        if (equals != std::string::npos)
            values[line.substr(0, equals)] = line.substr(equals + 1);
        at = end + 1;
    }
    return values;
}

class TransferTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::map<std::string, std::string> env = ReadServerEnv();
        ASSERT_EQ(env.count("TESSEL_SYNC_PORT"), 1u) << "the server fixture did not run";
        const auto sync_port = static_cast<uint16_t>(std::stoi(env["TESSEL_SYNC_PORT"]));
        data_relay_ = std::make_unique<SyncTest::CTcpRelay>("127.0.0.2", "127.0.0.1",
                                                             static_cast<uint16_t>(std::stoi(env["TESSEL_DATA_PORT"])));
        http_relay_ = std::make_unique<SyncTest::CTcpRelay>("127.0.0.2", "127.0.0.1",
                                                             static_cast<uint16_t>(std::stoi(env["TESSEL_HTTP_PORT"])));
        ASSERT_TRUE(data_relay_->Listening());
        ASSERT_TRUE(http_relay_->Listening());

        Net::SetServerForTesting("127.0.0.1", {sync_port});
        ASSERT_TRUE(Net::StartMainConnection());
        SignOn(L"demo", L"demo123");
        ClearServerRoot();

        static int counter = 0;
        wchar_t user[32];
        Helper::FormatBounded(user, 32, L"xfer%lu-%d", GetCurrentProcessId(), ++counter);
        Helper::CopyBounded(Helper::App().user_name, user);
        Helper::CopyBounded(Helper::App().sync_folder, root_.Path().c_str());
        engine_ = std::make_unique<CSyncEngine>();
    }

    void TearDown() override
    {
        engine_.reset();
        SetUploadLimit(0);
        SetDownloadLimit(0);
        Net::StopConnections();
        Net::SetServerForTesting({}, {});
        data_relay_.reset();
        http_relay_.reset();
    }

    void SignOn(const wchar_t* user, const wchar_t* password)
    {
        wchar_t digest[Helper::kMd5HexLength + 1] = {};
        ASSERT_TRUE(Net::MakePasswordDigest(password, digest, Helper::kMd5HexLength + 1));
        ASSERT_EQ(Net::SignOn(user, digest), Net::ResSignedOn);
        ASSERT_EQ(Net::AccountInfo(), Net::ResAccountSpace);
    }

    void ClearServerRoot()
    {
        std::vector<Net::RemoteEntry> entries;
        ASSERT_EQ(Net::ListFolder(0, &entries), Net::ResFolderListed);
        std::vector<int32_t> ids;
        for (const Net::RemoteEntry& remote : entries)
            ids.push_back(remote.entry.id);
        if (!ids.empty()) {
            ASSERT_EQ(Net::DeleteEntries(static_cast<uint32_t>(ids.size()), 0, ids.data()), Net::ResDeleted);
        }
    }

    // Without workers the test drives every action itself; a long scan
    // interval keeps the scanner out after its first pass.
    void StartEngine(bool workers = true, DWORD scan_interval_ms = 200)
    {
        EngineTiming timing;
        timing.workers = workers;
        timing.retry_delay_ms = 300;
        timing.step_ms = 10;
        timing.first_scan_interval_ms = scan_interval_ms;
        timing.longest_scan_interval_ms = 2 * scan_interval_ms;
        timing.offline_wait_ms = 50;
        engine_->SetTimingForTesting(timing);
        engine_->Start(root_.Path().c_str());
        ASSERT_TRUE(engine_->WaitUntilStarted(10000));
    }

    // Puts a file on the server the way another client of the account
    // would, outside the relays' records.
    int32_t PutServerFile(const wchar_t* name, const std::string& bytes, int32_t folder = 0)
    {
        const std::string md5 = Md5Of(bytes);
        Net::UploadTicket ticket;
        const int begun = Net::BeginUpload(md5.data(), name, folder, bytes.size(), &ticket);
        if (begun == Net::ResTicketGranted) {
            for (size_t at = 0; at < bytes.size(); at += 32768) {
                const size_t count = std::min<size_t>(32768, bytes.size() - at);
                EXPECT_EQ(Net::UploadBlock(ticket, at, static_cast<uint32_t>(count), bytes.data() + at),
                          Net::ResBlockAccepted);
            }
            EXPECT_EQ(Net::FinishUpload(ticket), Net::ResUploadComplete);
        } else {
            EXPECT_EQ(begun, Net::ResContentKnown);
        }
        data_relay_->Forget();
        Net::RemoteEntry found;
        EXPECT_EQ(Net::LookupEntry(name, folder, &found), Net::ResEntryFound);
        return found.entry.id;
    }

    bool OnServer(const wchar_t* name, Net::RemoteEntry* found = nullptr, int32_t folder = 0)
    {
        Net::RemoteEntry entry;
        if (Net::LookupEntry(name, folder, &entry) != Net::ResEntryFound)
            return false;
        if (found != nullptr)
            *found = entry;
        return true;
    }

    bool Recorded(const wchar_t* key, SyncEntry* copy = nullptr)
    {
        std::shared_ptr<CSyncStateTable> table = engine_->Table();
        return table && table->find(key, copy);
    }

    bool RecordedAs(const wchar_t* key, uint32_t state)
    {
        SyncEntry copy;
        return Recorded(key, &copy) && copy.state == state;
    }

    // Synced and committed: the server's id has arrived too.
    bool SyncedWithId(const wchar_t* key)
    {
        SyncEntry copy;
        return Recorded(key, &copy) && copy.state == Helper::Synced && copy.id > 0;
    }

    // True once the server holds the file with exactly these contents.
    bool ServerHolds(const wchar_t* name, const std::string& bytes, int32_t folder = 0)
    {
        Net::RemoteEntry found;
        return OnServer(name, &found, folder) && found.entry.is_file == 1 && found.entry.size == bytes.size() &&
               std::string(found.entry.md5, kDigestLength) == Md5Of(bytes);
    }

    // Writes a file, lets a running engine sync it, stops the engine and
    // hands out the file's record.
    void SyncThenStop(const wchar_t* name, const std::string& bytes, SyncEntry* record)
    {
        WriteBytes(root_ / name, bytes);
        StartEngine();
        ASSERT_TRUE(WaitFor([&] { return SyncedWithId(name); }));
        engine_->Stop(INFINITE);
        ASSERT_TRUE(Recorded(name, record));
    }

    // An action decided with the record standing for the server's view too,
    // under the server's own name when one is given.
    std::unique_ptr<ISyncAction> ActionOnRecord(int32_t kind, const SyncEntry& record, const WIN32_FIND_DATAW& local,
                                                const wchar_t* server_name = nullptr)
    {
        auto decision = std::make_unique<SyncDecision>();
        decision->kind = kind;
        static_cast<SyncEntry&>(decision->server) = record;
        decision->server.state = 0;
        if (server_name != nullptr)
            decision->server.name = server_name;
        decision->entry = record;
        decision->local = local;
        return CreateAction(std::move(decision), engine_.get());
    }

    SyncTest::TempFolder root_;
    std::unique_ptr<CSyncEngine> engine_;
    std::unique_ptr<SyncTest::CTcpRelay> data_relay_;
    std::unique_ptr<SyncTest::CTcpRelay> http_relay_;
};

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

TEST_F(TransferTest, ServerFileDownloadsIntoPlace)
{
    const std::string bytes = Pattern(200000, 2);
    const int32_t id = PutServerFile(L"photo.jpg", bytes);
    StartEngine();

    ASSERT_TRUE(WaitFor([&] { return RecordedAs(L"photo.jpg", Helper::Synced); }));
    EXPECT_EQ(ReadAll(root_ / L"photo.jpg"), bytes);
    EXPECT_FALSE(SyncTest::Exists(root_ / L"photo.jpg.tavo"));
    SyncEntry record;
    ASSERT_TRUE(Recorded(L"photo.jpg", &record));
    EXPECT_EQ(record.id, id);
    EXPECT_EQ(record.size, bytes.size());
    EXPECT_EQ(record.local_modified, SyncTest::WriteTime(root_ / L"photo.jpg"));
    EXPECT_GE(http_relay_->Connections(), 1) << "the contents came over HTTP";
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

    const int renamed = Net::RenameEntry(L"a.txt", first_id, L"b.txt");
    ASSERT_TRUE(renamed == Net::ResRenamed || renamed == Net::ResRenamedToo) << renamed;
    ASSERT_EQ(Net::DeleteEntries(1, 0, &second_id), Net::ResDeleted);

    ASSERT_TRUE(WaitFor([&] {
        return RecordedAs(L"b.txt", Helper::Synced) && !SyncTest::Exists(root_ / L"gone.txt");
    }));
    EXPECT_EQ(ReadAll(root_ / L"b.txt"), first);
    EXPECT_FALSE(SyncTest::Exists(root_ / L"a.txt"));
    EXPECT_FALSE(Recorded(L"a.txt"));
    EXPECT_FALSE(Recorded(L"gone.txt"));
    EXPECT_EQ(http_relay_->Connections(), fetches) << "a rename fetches nothing";
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
    EXPECT_EQ(Md5Of(ReadAll(root_ / L"docs\\edited.txt")), Md5Of(edit));
    EXPECT_FALSE(SyncTest::Exists(root_ / L"docs\\same.txt")) << "synced and unchanged: deleted with the folder";
    EXPECT_FALSE(SyncTest::Exists(root_ / L"docs\\old"));
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
    EXPECT_EQ(ReadAll(root_ / L"report.txt"), bytes) << "the file itself, not deleted as another item";
    EXPECT_TRUE(RecordedAs(L"report.txt", Helper::Synced));
    EXPECT_EQ(http_relay_->Connections(), 0);
}

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

    ASSERT_TRUE(MoveFileW((root_ / L"draft.txt").c_str(), (root_ / L"final.txt").c_str()));
    engine_->OnPathChanged(L"draft.txt", ChangeMoved, L"final.txt");
    ASSERT_TRUE(DeleteFileW((root_ / L"old.txt").c_str()));
    engine_->OnPathChanged(L"old.txt", ChangeRemoved, nullptr);

    ASSERT_TRUE(WaitFor([&] { return OnServer(L"final.txt") && !OnServer(L"old.txt"); }));
    Net::RemoteEntry after;
    ASSERT_TRUE(OnServer(L"final.txt", &after));
    EXPECT_EQ(after.entry.id, before.entry.id) << "renamed, not uploaded again";
    EXPECT_FALSE(OnServer(L"draft.txt"));
    ASSERT_TRUE(WaitFor([&] { return Recorded(L"final.txt") && !Recorded(L"draft.txt") && !Recorded(L"old.txt"); }));
    EXPECT_EQ(data_relay_->Upstream().size(), streams) << "no contents were sent";
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
    PutServerFile(L"report.doc", Pattern(100000, 30));
    StartEngine();
    ASSERT_TRUE(WaitFor([&] { return RecordedAs(L"report.doc", Helper::Synced); }));
    const std::string edit = Pattern(3 * 1024 * 1024, 31);
    SetUploadLimit(1024);
    WriteBytes(root_ / L"report.doc", edit);
    SyncEntry record;
    ASSERT_TRUE(WaitFor([&] { return Recorded(L"report.doc", &record) && record.upload_offset >= 1048576; }));
    engine_->Stop(INFINITE);
    ASSERT_TRUE(Recorded(L"report.doc", &record));
    const uint64_t stored = record.upload_offset;
    const size_t blocks_before = AllBlockOffsets(data_relay_->Upstream()).size();

    SetUploadLimit(0);
    StartEngine();
    ASSERT_TRUE(WaitFor([&] { return RecordedAs(L"report.doc", Helper::Synced); }));
    EXPECT_EQ(Md5Of(ReadAll(root_ / L"report.doc")), Md5Of(edit)) << "the edit is still on disk";
    EXPECT_TRUE(ServerHolds(L"report.doc", edit));
    const std::vector<uint64_t> offsets = AllBlockOffsets(data_relay_->Upstream());
    ASSERT_GT(offsets.size(), blocks_before) << Describe(data_relay_->Upstream());
    EXPECT_EQ(offsets[blocks_before], stored) << "resumed with the ticket it held";
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
    ASSERT_TRUE(engine_->Table()->store(&record, L"backup.bin"));
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

TEST_F(TransferTest, ServerFolderIsCreatedAndItsContentsFetched)
{
    int32_t folder = 0;
    ASSERT_EQ(Net::CreateFolder(0, L"pics", &folder), Net::ResFolderCreated);
    const std::string bytes = Pattern(50000, 19);
    PutServerFile(L"cat.png", bytes, folder);
    StartEngine();

    ASSERT_TRUE(WaitFor([&] { return RecordedAs(L"pics\\cat.png", Helper::Synced); }));
    EXPECT_EQ(ReadAll(root_ / L"pics\\cat.png"), bytes);
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
    EXPECT_EQ(ReadAll(root_ / L"done.bin"), whole);
    EXPECT_EQ(ReadAll(root_ / L"half.bin"), other);
    EXPECT_FALSE(SyncTest::Exists(root_ / L"done.bin.tavo"));
    EXPECT_FALSE(SyncTest::Exists(root_ / L"half.bin.tavo"));
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
    EXPECT_FALSE(SyncTest::Exists(root_ / L"movie.bin"));
    EXPECT_TRUE(RecordedAs(L"movie.bin", Helper::Syncing));

    http_relay_->CutDownstreamAfter(0);
    ASSERT_TRUE(WaitFor([&] { return RecordedAs(L"movie.bin", Helper::Synced); }));
    EXPECT_EQ(ReadAll(root_ / L"movie.bin"), bytes);
    EXPECT_FALSE(SyncTest::Exists(root_ / L"movie.bin.tavo"));
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
    EXPECT_TRUE(SyncTest::Exists(root_ / L"report.doc.tavo"));
    EXPECT_FALSE(Recorded(L"report.doc.tavo"));
}

// A server name that would leave the sync folder is refused before any
// path is formed from it.
TEST_F(TransferTest, ServerNameThatLeavesTheSyncFolderIsNeverWritten)
{
    StartEngine();
    const wchar_t* names[] = {L"..", L"..\\escape.txt", L"x:y", L"a/b"};
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
    EXPECT_FALSE(SyncTest::Exists(root_ / L"..\\escape.txt"));
    EXPECT_FALSE(SyncTest::Exists(root_ / L"item.txt"));
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
    EXPECT_EQ(ReadAll(root_ / L"r1\\sub\\new.txt"), unseen);
    EXPECT_FALSE(SyncTest::Exists(root_ / L"r1\\known.txt"));
    EXPECT_FALSE(SyncTest::Exists(root_ / L"r1\\sub\\old.txt"));
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

    ASSERT_TRUE(WaitFor([&] { return ReadAll(root_ / L"r3\\doc.txt") == edited; }));
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
    EXPECT_FALSE(SyncTest::Exists(root_ / L"r2"));
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
