// The process-wide engine that keeps the sync folder in agreement with the
// server: the account's state table, the queue of sync actions, and the
// starter, scanner and executor threads.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "client/net/app_host.h"
#include "client/state/dir_watcher.h"
#include "client/state/sync_state_table.h"
#include "client/sync/sync_action.h"
#include "common/registry_layout.h"
#include "common/win_handle.h"

namespace Sync {

// The handle of a stop event held by a shared pointer; null for none.
inline HANDLE StopHandle(const std::shared_ptr<Helper::CHandle>& stop) { return stop ? stop->Get() : nullptr; }

// The engine's waits. The product uses the defaults; tests shorten them.
struct EngineTiming {
    DWORD retry_delay_ms = 3000;
    DWORD step_ms = 100;
    DWORD first_scan_interval_ms = 60000;
    DWORD longest_scan_interval_ms = 600000;
    DWORD offline_wait_ms = 3000;
    // Tests that drive scans and the queue step by step bring the engine up
    // without its scanner and executor.
    bool workers = true;
};

// What one pass over a folder came to.
enum class ScanResult {
    Agreed,     // nothing to do, as far as the pass could see
    Changed,    // actions were queued, or items left for the next pass
    Undecided,  // no listing, or one that no longer fits the record: the pass could not tell
};

// What the tray shows of the running action.
struct SyncProgress {
    wchar_t path[kPathCapacity] = {};  // the action's key
    int32_t kind = KindNone;
    uint32_t speed = 0;
    uint64_t total = 0;  // transfers of a known size only
    uint64_t done = 0;
};

class CSyncEngine {
public:
    static CSyncEngine& Instance();

    CSyncEngine();
    virtual ~CSyncEngine();
    CSyncEngine(const CSyncEngine&) = delete;
    CSyncEngine& operator=(const CSyncEngine&) = delete;

    // Restarts the engine on the user's sync folder: the user's state table
    // and the folder as root. Ignored for an empty root.
    void Start(const wchar_t* user_name, const wchar_t* root);
    // Stops the threads, waiting up to wait_ms for each.
    void Stop(DWORD wait_ms);

    // Takes the action; returns it when queued, null when an action of the
    // same kind for the same path was already queued (the new one is
    // destroyed). The executor may finish a queued action at any moment:
    // the result only tells whether it was queued.
    ISyncAction* Enqueue(std::unique_ptr<ISyncAction> action);
    // False when no action is running.
    bool GetProgress(SyncProgress* progress);
    // Whether an action for this full local path waits in the queue or runs.
    bool IsQueued(const wchar_t* local_path);
    // Held by whoever decides about an item, from the look at the queue to
    // the queuing of the action.
    std::recursive_mutex& DecisionLock() { return decision_lock_; }

    bool IsRunning();
    // The event the long operations watch; it stays valid for the holder
    // even after the engine replaced it.
    std::shared_ptr<Helper::CHandle> StopEvent();
    std::wstring Root();
    // The table of the current start; it stays valid for the holder even
    // after a restart replaced it.
    std::shared_ptr<CSyncStateTable> Table();
    // The path relative to the root: without the root and the backslash
    // after it. False when the path does not lie below the root.
    bool KeyOf(const wchar_t* full_path, std::wstring* key);

    // Reconciliation entry points. A change is a PathChangeKind of the
    // folder watcher; a rename names the new path in other_path.
    void OnPathChanged(const wchar_t* path, int change, const wchar_t* other_path);
    bool ResumeInterrupted();
    // Compares the folder (null: the root) and every folder below it with
    // the server's listings and queues what it finds to do.
    ScanResult ScanFolder(const wchar_t* path);

    // Told of every action that finished, on the executor thread, before
    // the action is destroyed; for tools that report what was done.
    void SetFinishedObserver(std::function<void(const ISyncAction&)> observer);

    void SetTimingForTesting(const EngineTiming& timing);
    const EngineTiming& Timing() const { return timing_; }
    size_t QueueLength();
    // Shows every queued action to the visitor, under the engine's lock.
    void VisitQueue(const std::function<void(const ISyncAction&)>& visitor);
    // Waits until the starter of the last Start has brought the engine up.
    bool WaitUntilStarted(DWORD timeout_ms);

private:
    void OnRenameHalf(CSyncStateTable& table, const std::wstring& key, int change);
    static unsigned __stdcall StarterMain(void* self);
    static unsigned __stdcall ScannerMain(void* self);
    static unsigned __stdcall ExecutorMain(void* self);
    void RunStarter();
    void RunScanner(DWORD self_id);
    void RunExecutor(DWORD self_id);
    bool ExecuteQueue(DWORD self_id, std::unique_lock<std::mutex>& lock);
    bool RunPosition(ISyncAction* action);
    bool IsRunningLocked() const;
    // Waits on the stop event; true when the thread must end.
    bool WaitForStop(DWORD milliseconds);
    bool Offline() const;
    void ReportState(Helper::AppState seen, Helper::AppState target);
    void ReportSyncedWhenIdle();
    void ReportSyncingForTransfer(const ISyncAction& action);
    void ClearQueueLocked();
    void StartWorkersLocked();
    // Takes the scanner and the executor out and waits until both ended.
    void JoinWorkers();
    Helper::CHandle StartThread(unsigned(__stdcall* main)(void*), DWORD* id);

    std::mutex starter_lock_;
    Helper::CHandle starter_thread_;
    Helper::CHandle scanner_thread_;
    Helper::CHandle executor_thread_;
    std::atomic<DWORD> scanner_id_{0};
    std::atomic<DWORD> executor_id_{0};
    std::shared_ptr<Helper::CHandle> stop_event_;
    std::mutex lock_;
    std::mutex observer_lock_;
    std::recursive_mutex decision_lock_;
    std::function<void(const ISyncAction&)> finished_observer_;
    std::list<std::unique_ptr<ISyncAction>> queue_;
    ISyncAction* current_ = nullptr;
    wchar_t root_[kPathCapacity] = {};
    wchar_t user_name_[Helper::kRegUserCapacity] = {};
    std::shared_ptr<CSyncStateTable> table_;
    EngineTiming timing_;
    std::atomic<uint32_t> starts_{0};
    std::atomic<uint32_t> started_{0};
};

}  // namespace Sync
