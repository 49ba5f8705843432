#include "client/sync/sync_engine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "client/net/request_manager.h"
#include "client/net/tests/test_app_host.h"
#include "client/sync/tests/sync_test_support.h"
#include "common/bounded_string.h"
#include "common/file_sync_state.h"

namespace {

using namespace Sync;
using Testing::WaitFor;

std::atomic<int> g_destroyed{0};

// An action whose outcome the test scripts.
class ScriptedAction : public ISyncAction {
public:
    ScriptedAction(int32_t action_kind, const std::wstring& path, std::function<bool()> run) : run_(std::move(run))
    {
        kind = action_kind;
        Helper::CopyBounded(local_path, path.c_str());
    }
    ~ScriptedAction() override { ++g_destroyed; }
    bool Execute(CSyncEngine*) override { return run_ ? run_() : true; }

private:
    std::function<bool()> run_;
};

std::unique_ptr<ISyncAction> Scripted(int32_t kind, const std::wstring& path, std::function<bool()> run = {})
{
    return std::make_unique<ScriptedAction>(kind, path, std::move(run));
}

class SyncEngineTest : public SyncTest::EngineTest {
protected:
    NetTest::CTestAppHost host_;
};

TEST_F(SyncEngineTest, QueueDropsTheSameKindForTheSamePath)
{
    StartEngine(false);
    const std::wstring path = root_ / L"a.txt";
    EXPECT_NE(engine_->Enqueue(Scripted(KindUpload, path)), nullptr);
    const int before = g_destroyed;
    EXPECT_EQ(engine_->Enqueue(Scripted(KindUpload, path)), nullptr);
    EXPECT_EQ(g_destroyed, before + 1);
    EXPECT_NE(engine_->Enqueue(Scripted(KindDownload, path)), nullptr);
    // Paths are compared exactly.
    EXPECT_NE(engine_->Enqueue(Scripted(KindUpload, root_ / L"A.txt")), nullptr);
    EXPECT_EQ(engine_->Enqueue(nullptr), nullptr);
    EXPECT_EQ(engine_->QueueLength(), 3u);
}

TEST_F(SyncEngineTest, FailedActionIsRetriedAfterTheDelayWhileOthersRun)
{
    std::mutex lock;
    std::vector<DWORD> attempts;
    std::atomic<int> others{0};
    StartEngine(true);
    engine_->Enqueue(Scripted(KindDownload, root_ / L"flaky.txt", [&] {
        std::lock_guard<std::mutex> hold(lock);
        attempts.push_back(GetTickCount());
        return attempts.size() >= 4;
    }));
    for (int i = 0; i < 3; ++i)
        engine_->Enqueue(Scripted(KindVersionInfo, root_ / (L"other" + std::to_wstring(i)), [&] {
            ++others;
            return true;
        }));
    ASSERT_TRUE(WaitFor([&] { return engine_->QueueLength() == 0; }));
    EXPECT_EQ(others, 3);
    std::lock_guard<std::mutex> hold(lock);
    ASSERT_EQ(attempts.size(), 4u);
    const DWORD delay = FastTiming().retry_delay_ms;
    for (size_t i = 1; i < attempts.size(); ++i) {
        EXPECT_GE(attempts[i] - attempts[i - 1], delay - 20);  // tick granularity
        EXPECT_LT(attempts[i] - attempts[i - 1], delay + 1000);
    }
}

TEST_F(SyncEngineTest, TransfersMoveTheApplicationBetweenSyncedAndSyncing)
{
    host_.SetState(Helper::AppState::Synced);
    std::atomic<Helper::AppState> during{Helper::AppState::Starting};
    StartEngine(true);
    engine_->Enqueue(Scripted(KindUpload, root_ / L"up.txt", [&] {
        during = host_.GetState();
        return true;
    }));
    ASSERT_TRUE(WaitFor([&] { return engine_->QueueLength() == 0; }));
    EXPECT_EQ(during.load(), Helper::AppState::Syncing);
    ASSERT_TRUE(WaitFor([&] { return host_.GetState() == Helper::AppState::Synced; }));
    const std::vector<Helper::AppState> refreshed = host_.Refreshed();
    ASSERT_EQ(refreshed.size(), 2u);
    EXPECT_EQ(refreshed[0], Helper::AppState::Synced);
    EXPECT_EQ(refreshed[1], Helper::AppState::Syncing);
}

TEST_F(SyncEngineTest, IdleEngineReturnsToSyncedWithTheProductTiming)
{
    host_.SetState(Helper::AppState::Syncing);
    StartEngine(true, EngineTiming());
    const DWORD begin = GetTickCount();
    ASSERT_TRUE(WaitFor([&] { return host_.GetState() == Helper::AppState::Synced; }, 3000));
    EXPECT_LT(GetTickCount() - begin, 1000u);
}

TEST_F(SyncEngineTest, RestartsWhileTheWatcherReportsChanges)
{
    StartEngine(true);
    SyncTest::WriteBytes(root_ / L"busy.txt", "b");
    std::atomic<bool> done{false};
    std::thread watcher([&] {
        SyncProgress progress;
        while (!done) {
            engine_->OnPathChanged(L"busy.txt", PathModified, nullptr);
            engine_->GetProgress(&progress);
        }
    });
    for (int i = 0; i < 20; ++i) {
        engine_->Start(L"synctest", root_.Path().c_str());
        if (i % 5 == 0)
            engine_->Stop(0);
    }
    engine_->Start(L"synctest", root_.Path().c_str());
    EXPECT_TRUE(engine_->WaitUntilStarted(20000));
    done = true;
    watcher.join();
    EXPECT_TRUE(engine_->IsRunning());
}

TEST_F(SyncEngineTest, RecordActionsAndSigningOnLeaveTheStateAlone)
{
    host_.SetState(Helper::AppState::Synced);
    std::atomic<Helper::AppState> during{Helper::AppState::Starting};
    StartEngine(true);
    engine_->Enqueue(Scripted(KindVersionInfo, root_ / L"v.txt", [&] {
        during = host_.GetState();
        return true;
    }));
    ASSERT_TRUE(WaitFor([&] { return engine_->QueueLength() == 0; }));
    EXPECT_EQ(during.load(), Helper::AppState::Synced);

    host_.SetState(Helper::AppState::SigningOn);
    engine_->Enqueue(Scripted(KindDownload, root_ / L"d.txt", [&] {
        during = host_.GetState();
        return true;
    }));
    ASSERT_TRUE(WaitFor([&] { return engine_->QueueLength() == 0; }));
    EXPECT_EQ(during.load(), Helper::AppState::SigningOn);
}

TEST_F(SyncEngineTest, ProgressShowsTheRunningTransfer)
{
    Helper::CHandle release = Helper::MakeEvent(true);
    std::atomic<bool> running{false};
    StartEngine(true);
    auto action = std::make_unique<ScriptedAction>(KindUpload, root_ / L"dir\\big.bin", [&] {
        running = true;
        WaitForSingleObject(release.Get(), 10000);
        return true;
    });
    action->entry.size = 1000;
    action->entry.upload_offset = 250;
    action->speed = 4000;
    engine_->Enqueue(std::move(action));
    ASSERT_TRUE(WaitFor([&] { return running.load(); }));

    SyncProgress progress;
    ASSERT_TRUE(engine_->GetProgress(&progress));
    EXPECT_STREQ(progress.path, L"dir\\big.bin");
    EXPECT_EQ(progress.kind, KindUpload);
    EXPECT_EQ(progress.speed, 4000u);
    EXPECT_EQ(progress.total, 1000u);
    EXPECT_EQ(progress.done, 250u);

    SetEvent(release.Get());
    ASSERT_TRUE(WaitFor([&] { return engine_->QueueLength() == 0; }));
    EXPECT_FALSE(engine_->GetProgress(&progress));
}

TEST_F(SyncEngineTest, RestartWithTheSameRootReloadsTheTable)
{
    StartEngine(false);
    SyncTest::WriteBytes(root_ / L"kept.txt", "k");
    const SyncEntry record = SyncTest::FileRecord(5, L"kept.txt", "k", 2);
    ASSERT_TRUE(Table().Add(&record, L"kept.txt"));
    const CSyncStateTable* first = engine_->Table().get();
    engine_->Enqueue(Scripted(KindUpload, root_ / L"queued.txt"));
    const int before = g_destroyed;

    StartEngine(false);
    EXPECT_NE(engine_->Table().get(), first);
    SyncEntry loaded;
    ASSERT_TRUE(Table().Find(L"kept.txt", &loaded));
    EXPECT_EQ(loaded.id, 5);
    // The restart dropped the queue.
    EXPECT_EQ(engine_->QueueLength(), 0u);
    EXPECT_EQ(g_destroyed, before + 1);
}

TEST_F(SyncEngineTest, EmptySyncFolderClearsTheLoadedTable)
{
    StartEngine(false);
    const SyncEntry record = SyncTest::FileRecord(5, L"stale.txt", "s", 2);
    ASSERT_TRUE(Table().Add(&record, L"stale.txt"));
    StartEngine(false);
    EXPECT_EQ(Table().Size(), 0u);
}

TEST_F(SyncEngineTest, StopEndsTheWorkersAndKeepsTheQueue)
{
    StartEngine(true);
    EXPECT_TRUE(engine_->IsRunning());
    Helper::CHandle release = Helper::MakeEvent(true);
    engine_->Enqueue(Scripted(KindUpload, root_ / L"slow.txt", [&] {
        return WaitForSingleObject(release.Get(), 50) == WAIT_OBJECT_0;
    }));
    engine_->Stop(INFINITE);
    EXPECT_FALSE(engine_->IsRunning());
    EXPECT_EQ(engine_->QueueLength(), 1u);
    engine_->Stop(0);  // a second stop does nothing
}

TEST_F(SyncEngineTest, OfflineExecutorStillRunsActionsAfterItsPause)
{
    StartEngine(true);
    Net::StopConnections();
    ASSERT_TRUE(Net::IsMainLinkDown());
    std::atomic<bool> ran{false};
    engine_->Enqueue(Scripted(KindVersionInfo, root_ / L"offline.txt", [&] {
        ran = true;
        return true;
    }));
    EXPECT_TRUE(WaitFor([&] { return ran.load(); }, 5000));
}

TEST_F(SyncEngineTest, ScannerBacksOffWhileNothingChanges)
{
    EngineTiming timing = FastTiming();
    timing.first_scan_interval_ms = 100;
    timing.longest_scan_interval_ms = 400;
    StartEngine(true, timing);
    ASSERT_TRUE(WaitFor([&] { return RequestCount(Net::CmdListFolder) >= 5; }));
    std::vector<DWORD> times;
    // The peer saw the listings in order; their gaps grow to the longest.
    const DWORD begin = GetTickCount();
    int seen = RequestCount(Net::CmdListFolder);
    while (times.size() < 2 && GetTickCount() - begin < 5000) {
        const int now = RequestCount(Net::CmdListFolder);
        if (now != seen) {
            times.push_back(GetTickCount());
            seen = now;
        }
        Sleep(5);
    }
    ASSERT_EQ(times.size(), 2u);
    EXPECT_GE(times[1] - times[0], 350u);
}

}  // namespace
