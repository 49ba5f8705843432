// The download and upload actions against the reference server on
// loopback, which a fixture starts for the whole run of the test
// executable. The server names 127.0.0.2 in its tickets and download
// addresses; relays there pass everything on to it and can watch or cut
// the data connections and the downloads.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/net/requests.h"
#include "client/sync/sync_engine.h"
#include "client/sync/tests/sync_test_support.h"
#include "client/sync/tests/tcp_relay.h"
#include "common/tests/test_support.h"

namespace SyncTest {

constexpr DWORD kTransferDeadline = 30000;

// Reproducible bytes of the given size.
std::string Pattern(size_t size, unsigned seed);

// The transfers go through a real server: a longer deadline than the
// usual.
inline bool WaitFor(const std::function<bool()>& done, DWORD milliseconds = kTransferDeadline)
{
    return Testing::WaitFor(done, milliseconds);
}

// The block offsets of every upload block the client sent on one data
// connection, read from the bytes the relay passed on.
std::vector<uint64_t> BlockOffsets(const std::string& stream);
std::vector<uint64_t> AllBlockOffsets(const std::vector<std::string>& streams);
std::string Describe(const std::vector<std::string>& streams);

// The ports the server fixture wrote to its server.env.
std::map<std::string, std::string> ReadServerEnv();

// What the engine's finished actions reported, while the log lives.
class CEffectLog {
public:
    explicit CEffectLog(Sync::CSyncEngine& engine);
    ~CEffectLog();
    CEffectLog(const CEffectLog&) = delete;
    CEffectLog& operator=(const CEffectLog&) = delete;

    // An action on the key reported the effect, from the given former key
    // for a rename; *bytes gets what it moved.
    bool Saw(Sync::SyncEffect effect, const std::wstring& key, const std::wstring& old_key = L"",
             uint64_t* bytes = nullptr);

private:
    struct Item {
        std::wstring key;
        Sync::ActionReport report;
    };
    Sync::CSyncEngine& engine_;
    std::mutex lock_;
    std::vector<Item> items_;
};

class TransferTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    void SignOn(const wchar_t* user, const wchar_t* password);
    void ClearServerRoot();

    // Without workers the test drives every action itself; a long scan
    // interval keeps the scanner out after its first pass.
    void StartEngine(bool workers = true, DWORD scan_interval_ms = 200);

    // Puts a file on the server the way another client of the account
    // would, outside the relays' records.
    int32_t PutServerFile(const wchar_t* name, const std::string& bytes, int32_t folder = 0);

    bool OnServer(const wchar_t* name, Net::RemoteEntry* found = nullptr, int32_t folder = 0);
    bool Recorded(const wchar_t* key, Sync::SyncEntry* copy = nullptr);
    bool RecordedAs(const wchar_t* key, uint32_t state);

    // Synced and committed: the server's id has arrived too.
    bool SyncedWithId(const wchar_t* key);

    // True once the server holds the file with exactly these contents.
    bool ServerHolds(const wchar_t* name, const std::string& bytes, int32_t folder = 0);

    // Writes a file, lets a running engine sync it, stops the engine and
    // hands out the file's record.
    void SyncThenStop(const wchar_t* name, const std::string& bytes, Sync::SyncEntry* record);

    // Syncs the server's file down, then edits it here and stops the engine
    // while the edit's upload is under way, past its first saved offset.
    void StopMidUploadOfAnEdit(const wchar_t* name, const std::string& synced, const std::string& edit,
                               Sync::SyncEntry* record);

    // An action decided with the record standing for the server's view too,
    // under the server's own name when one is given.
    std::unique_ptr<Sync::ISyncAction> ActionOnRecord(int32_t kind, const Sync::SyncEntry& record,
                                                      const WIN32_FIND_DATAW& local,
                                                      const wchar_t* server_name = nullptr);

    Testing::CTempFolder root_{L"tavo-xfer"};
    wchar_t user_[32] = {};
    std::unique_ptr<Sync::CSyncEngine> engine_;
    std::unique_ptr<SyncTest::CTcpRelay> data_relay_;
    std::unique_ptr<SyncTest::CTcpRelay> http_relay_;
};

}  // namespace SyncTest
