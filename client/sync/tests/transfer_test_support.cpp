#include "client/sync/tests/transfer_test_support.h"

#include <algorithm>

#include "client/net/request_manager.h"
#include "client/net/session.h"
#include "client/net/session_values.h"
#include "client/sync/transfer_meter.h"
#include "common/bounded_string.h"
#include "common/file_sync_state.h"
#include "common/md5.h"

namespace SyncTest {

using namespace Sync;

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
    std::string text = Testing::ReadFileBytes(path);
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

CEffectLog::CEffectLog(CSyncEngine& engine) : engine_(engine)
{
    engine_.SetFinishedObserver([this](const ISyncAction& action) {
        std::wstring key;
        engine_.KeyOf(action.local_path, &key);
        std::lock_guard<std::mutex> hold(lock_);
        items_.push_back({key, action.report});
    });
}

CEffectLog::~CEffectLog() { engine_.SetFinishedObserver(nullptr); }

bool CEffectLog::Saw(SyncEffect effect, const std::wstring& key, const std::wstring& old_key, uint64_t* bytes)
{
    std::lock_guard<std::mutex> hold(lock_);
    for (const Item& item : items_) {
        const bool on_path = old_key.empty() ? item.key == key : item.report.new_key == key;
        if (item.report.effect == effect && on_path && item.report.old_key == old_key) {
            if (bytes != nullptr)
                *bytes = item.report.bytes;
            return true;
        }
    }
    return false;
}

void TransferTest::SetUp()
{
    std::map<std::string, std::string> env = ReadServerEnv();
    ASSERT_EQ(env.count("TESSEL_SYNC_PORT"), 1u) << "the server fixture did not run";
    const auto sync_port = static_cast<uint16_t>(std::stoi(env["TESSEL_SYNC_PORT"]));
    data_relay_ = std::make_unique<CTcpRelay>("127.0.0.2", "127.0.0.1",
                                              static_cast<uint16_t>(std::stoi(env["TESSEL_DATA_PORT"])));
    http_relay_ = std::make_unique<CTcpRelay>("127.0.0.2", "127.0.0.1",
                                              static_cast<uint16_t>(std::stoi(env["TESSEL_HTTP_PORT"])));
    ASSERT_TRUE(data_relay_->Listening());
    ASSERT_TRUE(http_relay_->Listening());

    Net::SetServerForTesting("127.0.0.1", {sync_port});
    ASSERT_TRUE(Net::StartMainConnection());
    SignOn(L"demo", L"demo123");
    ClearServerRoot();

    static int counter = 0;
    Helper::FormatBounded(user_, 32, L"xfer%lu-%d", GetCurrentProcessId(), ++counter);
    engine_ = std::make_unique<CSyncEngine>();
}

void TransferTest::TearDown()
{
    engine_.reset();
    SetUploadLimit(0);
    SetDownloadLimit(0);
    Net::StopConnections();
    Net::SetServerForTesting({}, {});
    data_relay_.reset();
    http_relay_.reset();
}

void TransferTest::SignOn(const wchar_t* user, const wchar_t* password)
{
    wchar_t digest[Helper::kMd5HexLength + 1] = {};
    ASSERT_TRUE(Net::MakePasswordDigest(password, digest, Helper::kMd5HexLength + 1));
    ASSERT_EQ(Net::SignOn(user, digest), Net::ResSignedOn);
    ASSERT_EQ(Net::AccountInfo(), Net::ResAccountSpace);
}

void TransferTest::ClearServerRoot()
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

void TransferTest::StartEngine(bool workers, DWORD scan_interval_ms)
{
    EngineTiming timing;
    timing.workers = workers;
    timing.retry_delay_ms = 300;
    timing.step_ms = 10;
    timing.first_scan_interval_ms = scan_interval_ms;
    timing.longest_scan_interval_ms = 2 * scan_interval_ms;
    timing.offline_wait_ms = 50;
    engine_->SetTimingForTesting(timing);
    engine_->Start(user_, root_.Path().c_str());
    ASSERT_TRUE(engine_->WaitUntilStarted(10000));
}

int32_t TransferTest::PutServerFile(const wchar_t* name, const std::string& bytes, int32_t folder)
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

bool TransferTest::OnServer(const wchar_t* name, Net::RemoteEntry* found, int32_t folder)
{
    Net::RemoteEntry entry;
    if (Net::LookupEntry(name, folder, &entry) != Net::ResEntryFound)
        return false;
    if (found != nullptr)
        *found = entry;
    return true;
}

bool TransferTest::Recorded(const wchar_t* key, SyncEntry* copy)
{
    std::shared_ptr<CSyncStateTable> table = engine_->Table();
    return table && table->Find(key, copy);
}

bool TransferTest::RecordedAs(const wchar_t* key, uint32_t state)
{
    SyncEntry copy;
    return Recorded(key, &copy) && copy.state == state;
}

bool TransferTest::SyncedWithId(const wchar_t* key)
{
    SyncEntry copy;
    return Recorded(key, &copy) && copy.state == Helper::Synced && copy.id > 0;
}

bool TransferTest::ServerHolds(const wchar_t* name, const std::string& bytes, int32_t folder)
{
    Net::RemoteEntry found;
    return OnServer(name, &found, folder) && found.entry.is_file == 1 && found.entry.size == bytes.size() &&
           std::string(found.entry.md5, kDigestLength) == Md5Of(bytes);
}

void TransferTest::SyncThenStop(const wchar_t* name, const std::string& bytes, SyncEntry* record)
{
    WriteBytes(root_ / name, bytes);
    StartEngine();
    ASSERT_TRUE(WaitFor([&] { return SyncedWithId(name); }));
    engine_->Stop(INFINITE);
    ASSERT_TRUE(Recorded(name, record));
}

void TransferTest::StopMidUploadOfAnEdit(const wchar_t* name, const std::string& synced, const std::string& edit,
                                         SyncEntry* record)
{
    PutServerFile(name, synced);
    StartEngine();
    ASSERT_TRUE(WaitFor([&] { return RecordedAs(name, Helper::Synced); }));
    SetUploadLimit(1024);
    WriteBytes(root_ / name, edit);
    ASSERT_TRUE(WaitFor([&] { return Recorded(name, record) && record->upload_offset >= 1048576; }));
    engine_->Stop(INFINITE);
    ASSERT_TRUE(Recorded(name, record));
}

std::unique_ptr<ISyncAction> TransferTest::ActionOnRecord(int32_t kind, const SyncEntry& record,
                                                          const WIN32_FIND_DATAW& local, const wchar_t* server_name)
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

}  // namespace SyncTest
