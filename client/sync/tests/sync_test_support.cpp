#include "client/sync/tests/sync_test_support.h"

#include <algorithm>
#include <cstring>

#include "client/net/request_manager.h"
#include "client/net/session_values.h"
#include "client/sync/file_utils.h"
#include "common/bounded_string.h"
#include "common/md5.h"

namespace SyncTest {

namespace {

// The name of a lookup request: after the parent id and the name length.
std::string LookupName(const Net::Bytes& packet)
{
    if (packet.size() < 32)
        return {};
    return std::string(packet.begin() + 32, packet.end());
}

}  // namespace

void WriteBytes(const std::wstring& path, const std::string& bytes)
{
    ASSERT_TRUE(Testing::WriteFileBytes(path, bytes));
}

void MakeFolder(const std::wstring& path) { ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr)); }

std::string Md5Of(const std::string& bytes)
{
    char hex[Helper::kMd5HexLength + 1] = {};
    Helper::Md5Hex(bytes.data(), bytes.size(), hex);
    return hex;
}

WIN32_FIND_DATAW LocalAt(const std::wstring& path)
{
    WIN32_FIND_DATAW local{};
    EXPECT_TRUE(Helper::FindItem(&local, path.c_str()));
    Helper::CopyBounded(local.cFileName, path.c_str());
    return local;
}

WIN32_FIND_DATAW MissingAt(const std::wstring& path)
{
    WIN32_FIND_DATAW local{};
    Helper::CopyBounded(local.cFileName, path.c_str());
    return local;
}

uint64_t WriteTime(const std::wstring& path) { return Sync::LocalTime(LocalAt(path)); }

Sync::SyncEntry FileRecord(int32_t id, const wchar_t* name, const std::string& bytes, int32_t update_time,
                           uint32_t state)
{
    Sync::SyncEntry entry;
    entry.id = id;
    entry.parent_id = 0;
    entry.name = name;
    entry.size = bytes.size();
    entry.update_time = update_time;
    const std::string md5 = Md5Of(bytes);
    std::memcpy(entry.md5, md5.data(), Sync::kDigestLength);
    entry.is_file = 1;
    entry.state = state;
    return entry;
}

Sync::SyncEntry FolderRecord(int32_t id, const wchar_t* name, int32_t update_time, uint32_t state)
{
    Sync::SyncEntry entry;
    entry.id = id;
    entry.parent_id = 0;
    entry.name = name;
    entry.update_time = update_time;
    entry.is_file = 0;
    entry.state = state;
    return entry;
}

Sync::ServerEntry ServerOf(const Sync::SyncEntry& entry)
{
    Sync::ServerEntry server;
    static_cast<Sync::SyncEntry&>(server) = entry;
    server.state = 0;
    return server;
}

void SetSpace(uint64_t total, uint64_t free)
{
    Net::AccountSpace space;
    space.total = total;
    space.free = free;
    Net::StoreAccountSpace(space);
}

ServerRecord FileSpec(int32_t id, int32_t parent_id, const std::string& name, const std::string& bytes,
                      int32_t update_time)
{
    ServerRecord record;
    record.id = id;
    record.parent_id = parent_id;
    record.kind = 1;
    record.update_time = update_time;
    record.md5 = Md5Of(bytes);
    record.size = bytes.size();
    record.address = "http://127.0.0.1/f/" + name;
    record.name = name;
    return record;
}

ServerRecord FolderSpec(int32_t id, int32_t parent_id, const std::string& name, int32_t update_time)
{
    ServerRecord spec;
    spec.id = id;
    spec.parent_id = parent_id;
    spec.kind = 0;
    spec.update_time = update_time;
    spec.name = name;
    return spec;
}

void EngineTest::SetUp()
{
    SetSpace(1ull << 40, 1ull << 39);
    peer_ = std::make_unique<NetTest::CTestPeer>([this](NetTest::CTestPeer& peer,
                                                        const NetTest::PeerRequest& request) {
        std::lock_guard<std::mutex> hold(lock_);
        if (request.command == Net::CmdListFolder && request.packet.size() >= 30) {
            auto found = listings_.find(static_cast<int32_t>(Net::ReadU32(&request.packet[26])));
            if (found != listings_.end())
                peer.Answer(request, found->second.first, found->second.second);
            else
                peer.Answer(request, Net::ResFolderListed, WireTest::MakeListing({}));
        } else if (request.command == Net::CmdLookupEntry) {
            auto found = lookups_.find(LookupName(request.packet));
            if (found != lookups_.end())
                peer.Answer(request, found->second.first, found->second.second);
            else
                peer.Answer(request, 316);
        } else {
            // Transfers and changes are refused at once, so that an action
            // the executor runs fails quickly instead of waiting for a timeout.
            peer.Answer(request, 1);
        }
    });
    ASSERT_TRUE(peer_->Listening());
    Net::SetServerForTesting("127.0.0.1", {peer_->Port()});
    ASSERT_TRUE(Net::StartMainConnection());
    ASSERT_FALSE(Net::IsMainLinkDown());

    engine_ = std::make_unique<Sync::CSyncEngine>();
}

void EngineTest::TearDown()
{
    engine_.reset();
    Net::StopConnections();
    Net::SetServerForTesting({}, {});
    peer_.reset();
}

Sync::EngineTiming EngineTest::FastTiming()
{
    Sync::EngineTiming timing;
    timing.retry_delay_ms = 300;
    timing.step_ms = 10;
    timing.first_scan_interval_ms = 200;
    timing.longest_scan_interval_ms = 2000;
    timing.offline_wait_ms = 50;
    return timing;
}

void EngineTest::StartEngine(bool workers, const Sync::EngineTiming& timing)
{
    Sync::EngineTiming chosen = timing;
    chosen.workers = workers;
    engine_->SetTimingForTesting(chosen);
    engine_->Start(L"synctest", root_.Path().c_str());
    ASSERT_TRUE(engine_->WaitUntilStarted(10000));
}

void EngineTest::ListFolderAs(int32_t folder_id, const std::vector<ServerRecord>& records)
{
    std::lock_guard<std::mutex> hold(lock_);
    listings_[folder_id] = {Net::ResFolderListed, WireTest::MakeListing(records)};
}

void EngineTest::FailListing(int32_t folder_id, uint16_t result)
{
    std::lock_guard<std::mutex> hold(lock_);
    listings_[folder_id] = {result, {}};
}

void EngineTest::LookupAs(const std::string& name, uint16_t result, const ServerRecord& record)
{
    std::lock_guard<std::mutex> hold(lock_);
    lookups_[name] = {result, result == Net::ResEntryFound ? WireTest::MakeRecord(record) : Net::Bytes{}};
}

int EngineTest::RequestCount(uint16_t command)
{
    int count = 0;
    for (const NetTest::PeerRequest& request : peer_->Requests())
        if (request.command == command)
            ++count;
    return count;
}

std::wstring EngineTest::Key(const std::wstring& full_path)
{
    std::wstring key;
    EXPECT_TRUE(engine_->KeyOf(full_path.c_str(), &key));
    return key;
}

}  // namespace SyncTest
