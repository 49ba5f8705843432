// Folders, files, views and a scripted server for the engine's tests.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/net/tests/test_peer.h"
#include "client/sync/sync_engine.h"
#include "common/tests/test_support.h"
#include "common/tests/wire_builders.h"

namespace SyncTest {

using Testing::CTempFolder;
using Testing::FileExists;

// Asserts that the file was written whole.
void WriteBytes(const std::wstring& path, const std::string& bytes);
void MakeFolder(const std::wstring& path);
std::string Md5Of(const std::string& bytes);

// The disk's view of a path as the reconciliation builds it.
WIN32_FIND_DATAW LocalAt(const std::wstring& path);
WIN32_FIND_DATAW MissingAt(const std::wstring& path);
uint64_t WriteTime(const std::wstring& path);

Sync::SyncEntry FileRecord(int32_t id, const wchar_t* name, const std::string& bytes, int32_t update_time,
                           uint32_t state = 0);
Sync::SyncEntry FolderRecord(int32_t id, const wchar_t* name, int32_t update_time, uint32_t state = 0);
Sync::ServerEntry ServerOf(const Sync::SyncEntry& entry);

void SetSpace(uint64_t total, uint64_t free);

// One entry of a listing or lookup reply, as the server sends it.
using ServerRecord = WireTest::RecordFields;

ServerRecord FileSpec(int32_t id, int32_t parent_id, const std::string& name, const std::string& bytes,
                      int32_t update_time);
ServerRecord FolderSpec(int32_t id, int32_t parent_id, const std::string& name, int32_t update_time);

// An engine brought up on a temporary sync folder, online through a
// scripted server that answers listings per folder id and lookups per name.
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts (or restarts) the engine; workers false keeps the scanner and
    // the executor out so the test drives every step.
    void StartEngine(bool workers, const Sync::EngineTiming& timing = FastTiming());
    static Sync::EngineTiming FastTiming();

    void ListFolderAs(int32_t folder_id, const std::vector<ServerRecord>& records);
    void FailListing(int32_t folder_id, uint16_t result);
    void LookupAs(const std::string& name, uint16_t result, const ServerRecord& record = {});
    int RequestCount(uint16_t command);

    Sync::CSyncStateTable& Table() { return *engine_->Table(); }
    std::wstring Key(const std::wstring& full_path);

    CTempFolder root_{L"tavo-sync"};
    std::unique_ptr<Sync::CSyncEngine> engine_;
    std::unique_ptr<NetTest::CTestPeer> peer_;
    std::mutex lock_;
    std::map<int32_t, std::pair<uint16_t, Net::Bytes>> listings_;
    std::map<std::string, std::pair<uint16_t, Net::Bytes>> lookups_;
};

}  // namespace SyncTest
