#include "client/sync/sync_engine.h"

#include <process.h>

#include <algorithm>
#include <cwchar>

#include "client/net/app_host.h"
#include "client/net/request_manager.h"
#include "client/sync/file_utils.h"
#include "common/bounded_string.h"

namespace Sync {

namespace {

bool IsTransfer(int32_t kind) { return kind == KindDownload || kind == KindUpload; }

void WaitAndClose(Helper::CHandle thread)
{
    if (thread)
        WaitForSingleObject(thread.Get(), INFINITE);
}

Helper::CHandle Duplicate(const Helper::CHandle& handle)
{
    HANDLE copy = nullptr;
    if (!handle ||
        !DuplicateHandle(GetCurrentProcess(), handle.Get(), GetCurrentProcess(), &copy, SYNCHRONIZE, FALSE, 0))
        return Helper::CHandle();
    return Helper::CHandle(copy);
}

}  // namespace

CSyncEngine& CSyncEngine::Instance()
{
    static CSyncEngine engine;
    return engine;
}

CSyncEngine::CSyncEngine() = default;

CSyncEngine::~CSyncEngine()
{
    Stop(INFINITE);
    // A starter still bringing the engine up would start threads on a
    // dying object: let it finish and stop what it started.
    Helper::CHandle starter;
    {
        std::lock_guard<std::mutex> guard(starter_lock_);
        starter = std::move(starter_thread_);
    }
    if (starter) {
        WaitForSingleObject(starter.Get(), INFINITE);
        Stop(INFINITE);
    }
    JoinWorkers();
    std::lock_guard<std::mutex> guard(lock_);
    ClearQueueLocked();
}

void CSyncEngine::Start(const wchar_t* user_name, const wchar_t* root)
{
    if (root == nullptr || root[0] == L'\0')
        return;
    Stop(0);
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (wcscmp(root, root_) != 0)
            Helper::CopyBounded(root_, root);
        Helper::CopyBounded(user_name_, user_name);
    }
    std::lock_guard<std::mutex> guard(starter_lock_);
    starts_.fetch_add(1);
    if (starter_thread_)
        return;  // the running starter sees the new request and goes round again
    DWORD id = 0;
    starter_thread_ = StartThread(StarterMain, &id);
    if (starter_thread_)
        ResumeThread(starter_thread_.Get());
}

void CSyncEngine::Stop(DWORD wait_ms)
{
    std::shared_ptr<Helper::CHandle> event;
    Helper::CHandle executor;
    Helper::CHandle scanner;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!IsRunningLocked())
            return;
        event = stop_event_;
        // Own copies: a starter may close the originals once the threads end.
        executor = Duplicate(executor_thread_);
        scanner = Duplicate(scanner_thread_);
    }
    SetEvent(event->Get());
    scanner_id_.store(0);
    executor_id_.store(0);
    if (executor)
        WaitForSingleObject(executor.Get(), wait_ms);
    if (scanner)
        WaitForSingleObject(scanner.Get(), wait_ms);
    std::lock_guard<std::mutex> guard(lock_);
    if (stop_event_ == event)
        stop_event_.reset();
}

ISyncAction* CSyncEngine::Enqueue(std::unique_ptr<ISyncAction> action)
{
    if (!action)
        return nullptr;
    ISyncAction* queued = action.get();
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (const std::unique_ptr<ISyncAction>& waiting : queue_) {
            if (waiting->kind == action->kind && wcscmp(waiting->local_path, action->local_path) == 0)
                return nullptr;
        }
        queue_.push_back(std::move(action));
    }
    SwitchToThread();
    return queued;
}

bool CSyncEngine::IsQueued(const wchar_t* local_path)
{
    std::lock_guard<std::mutex> guard(lock_);
    for (const std::unique_ptr<ISyncAction>& waiting : queue_) {
        if (_wcsicmp(waiting->local_path, local_path) == 0)
            return true;
    }
    return false;
}

bool CSyncEngine::GetProgress(SyncProgress* progress)
{
    if (progress == nullptr)
        return false;
    // The executor clears current_ under this lock before it destroys a
    // finished action, so the action cannot go away during the copy.
    std::lock_guard<std::mutex> guard(lock_);
    *progress = SyncProgress();
    if (current_ == nullptr)
        return false;
    const size_t root_length = wcslen(root_);
    const wchar_t* path = current_->local_path;
    if (wcsncmp(path, root_, root_length) == 0 && path[root_length] == L'\\')
        path += root_length + 1;
    Helper::CopyBounded(progress->path, path);
    progress->kind = current_->kind;
    progress->speed = current_->speed.load();
    if (current_->kind == KindUpload && current_->entry.size != 0) {
        progress->total = current_->entry.size;
        progress->done = current_->entry.upload_offset;
    } else if (current_->kind == KindDownload && current_->server.size != 0) {
        progress->total = current_->server.size;
        progress->done = current_->server.upload_offset;
    }
    return true;
}

bool CSyncEngine::IsRunning()
{
    std::lock_guard<std::mutex> guard(lock_);
    return IsRunningLocked();
}

bool CSyncEngine::IsRunningLocked() const
{
    return stop_event_ && stop_event_->Get() != nullptr && WaitForSingleObject(stop_event_->Get(), 0) == WAIT_TIMEOUT;
}

std::shared_ptr<Helper::CHandle> CSyncEngine::StopEvent()
{
    std::lock_guard<std::mutex> guard(lock_);
    return stop_event_;
}

std::wstring CSyncEngine::Root()
{
    std::lock_guard<std::mutex> guard(lock_);
    return root_;
}

std::shared_ptr<CSyncStateTable> CSyncEngine::Table()
{
    std::lock_guard<std::mutex> guard(lock_);
    return table_;
}

bool CSyncEngine::KeyOf(const wchar_t* full_path, std::wstring* key)
{
    if (full_path == nullptr || key == nullptr)
        return false;
    std::lock_guard<std::mutex> guard(lock_);
    const size_t root_length = wcslen(root_);
    if (root_length == 0 || _wcsnicmp(full_path, root_, root_length) != 0 || full_path[root_length] != L'\\')
        return false;
    key->assign(full_path + root_length + 1);
    return true;
}

void CSyncEngine::SetTimingForTesting(const EngineTiming& timing) { timing_ = timing; }

size_t CSyncEngine::QueueLength()
{
    std::lock_guard<std::mutex> guard(lock_);
    return queue_.size();
}

void CSyncEngine::VisitQueue(const std::function<void(const ISyncAction&)>& visitor)
{
    std::lock_guard<std::mutex> guard(lock_);
    for (const std::unique_ptr<ISyncAction>& action : queue_)
        visitor(*action);
}

bool CSyncEngine::WaitUntilStarted(DWORD timeout_ms)
{
    const DWORD begin = GetTickCount();
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(starter_lock_);
            if (!starter_thread_ && started_.load() == starts_.load())
                return IsRunning();
        }
        if (GetTickCount() - begin >= timeout_ms)
            return false;
        Sleep(5);
    }
}

Helper::CHandle CSyncEngine::StartThread(unsigned(__stdcall* main)(void*), DWORD* id)
{
    unsigned thread_id = 0;
    // Suspended, so that the id the thread compares with its own is stored
    // before it first looks.
    const uintptr_t handle = _beginthreadex(nullptr, 0, main, this, CREATE_SUSPENDED, &thread_id);
    *id = thread_id;
    return Helper::CHandle(reinterpret_cast<HANDLE>(handle));
}

unsigned __stdcall CSyncEngine::StarterMain(void* self)
{
    static_cast<CSyncEngine*>(self)->RunStarter();
    return 0;
}

unsigned __stdcall CSyncEngine::ScannerMain(void* self)
{
    static_cast<CSyncEngine*>(self)->RunScanner(GetCurrentThreadId());
    return 0;
}

unsigned __stdcall CSyncEngine::ExecutorMain(void* self)
{
    static_cast<CSyncEngine*>(self)->RunExecutor(GetCurrentThreadId());
    return 0;
}

void CSyncEngine::RunStarter()
{
    for (;;) {
        const uint32_t request = starts_.load();
        // Requests of the old threads that wait for a reply return at once.
        Net::MainConnection().SetStopEvent();
        Net::DataConnection().SetStopEvent();
        JoinWorkers();
        Net::MainConnection().ResetStopEvent();
        Net::DataConnection().ResetStopEvent();

        {
            std::lock_guard<std::mutex> guard(lock_);
            // No worker is left, so nothing executes: every queued action
            // goes, the one that was current included.
            ClearQueueLocked();
            std::shared_ptr<CSyncStateTable> table(new (std::nothrow) CSyncStateTable(user_name_));
            if (table && Helper::IsMissingOrEmptyFolder(root_))
                table->Clear();
            table_ = std::move(table);

            Helper::CHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
            if (event && table_) {
                stop_event_ = std::make_shared<Helper::CHandle>(std::move(event));
                if (timing_.workers)
                    StartWorkersLocked();
            } else {
                stop_event_.reset();
            }
        }

        {
            std::lock_guard<std::mutex> guard(starter_lock_);
            started_.store(request);
            if (starts_.load() == request) {
                starter_thread_.Reset();
                return;
            }
        }
        // A Start came meanwhile. It may have found nothing running to stop
        // before these workers existed, and the next round waits for them
        // to end: they are stopped here, or that wait would never return.
        Stop(0);
    }
}

void CSyncEngine::JoinWorkers()
{
    Helper::CHandle executor;
    Helper::CHandle scanner;
    {
        std::lock_guard<std::mutex> guard(lock_);
        executor = std::move(executor_thread_);
        scanner = std::move(scanner_thread_);
    }
    WaitAndClose(std::move(executor));
    WaitAndClose(std::move(scanner));
}

void CSyncEngine::StartWorkersLocked()
{
    DWORD scanner_id = 0;
    DWORD executor_id = 0;
    scanner_thread_ = StartThread(ScannerMain, &scanner_id);
    executor_thread_ = StartThread(ExecutorMain, &executor_id);
    scanner_id_.store(scanner_thread_ ? scanner_id : 0);
    executor_id_.store(executor_thread_ ? executor_id : 0);
    if (scanner_thread_)
        ResumeThread(scanner_thread_.Get());
    if (executor_thread_)
        ResumeThread(executor_thread_.Get());
}

void CSyncEngine::ClearQueueLocked()
{
    queue_.clear();
    current_ = nullptr;
}

bool CSyncEngine::WaitForStop(DWORD milliseconds)
{
    std::shared_ptr<Helper::CHandle> event = StopEvent();
    if (!event)
        return true;
    return WaitForSingleObject(event->Get(), milliseconds) != WAIT_TIMEOUT;
}

bool CSyncEngine::Offline() const { return Net::IsMainLinkDown(); }

void CSyncEngine::RunScanner(DWORD self_id)
{
    DWORD interval = timing_.first_scan_interval_ms;
    bool resumed = false;
    while (scanner_id_.load() == self_id) {
        if (Offline()) {
            if (WaitForStop(timing_.offline_wait_ms))
                return;
            resumed = false;
            continue;
        }
        if (!IsRunning())
            return;
        if (!resumed && !ResumeInterrupted())
            continue;
        if (!IsRunning())
            return;
        if (Offline())
            continue;
        // A pass that found work, or could not tell, is followed soon.
        if (ScanFolder(nullptr) != ScanResult::Agreed)
            interval = timing_.first_scan_interval_ms;
        else
            interval = std::min(interval * 2, timing_.longest_scan_interval_ms);
        resumed = true;
        if (WaitForStop(interval) || scanner_id_.load() != self_id)
            return;
    }
}

// The engine asks for the move only from the state it saw; the host's
// guard refuses it when the state changed meanwhile.
void CSyncEngine::ReportState(Helper::AppState seen, Helper::AppState target)
{
    Helper::IAppHost* host = Helper::AppHost();
    if (host != nullptr && host->GetState() == seen && host->TrySetState(target))
        host->RefreshForState(seen);
}

void CSyncEngine::ReportSyncedWhenIdle() { ReportState(Helper::AppState::Syncing, Helper::AppState::Synced); }

void CSyncEngine::ReportSyncingForTransfer(const ISyncAction& action)
{
    if (IsTransfer(action.kind))
        ReportState(Helper::AppState::Synced, Helper::AppState::Syncing);
}

void CSyncEngine::RunExecutor(DWORD self_id)
{
    while (executor_id_.load() == self_id) {
        // Offline the queue still runs, only slower: a transfer then fails
        // and is retried, the record actions need no server.
        if (Offline() && WaitForStop(timing_.offline_wait_ms))
            return;
        std::unique_lock<std::mutex> lock(lock_);
        if (!IsRunningLocked())
            return;
        if (queue_.empty()) {
            lock.unlock();
            ReportSyncedWhenIdle();
            if (WaitForStop(timing_.step_ms))
                return;
            continue;
        }
        if (!ExecuteQueue(self_id, lock))
            return;
    }
}

// One or more passes over the queue, entered and left holding the lock.
// False when the thread must end.
bool CSyncEngine::ExecuteQueue(DWORD self_id, std::unique_lock<std::mutex>& lock)
{
    auto position = queue_.begin();
    for (;;) {
        if (!IsRunningLocked())
            return false;
        ISyncAction* action = position->get();
        current_ = action;
        lock.unlock();
        if (Offline() && WaitForStop(timing_.offline_wait_ms))
            return false;

        const bool finished = RunPosition(action);
        std::unique_ptr<ISyncAction> done;
        lock.lock();
        current_ = nullptr;
        if (finished) {
            done = std::move(*position);
            position = queue_.erase(position);
        } else {
            ++position;
        }
        if (!IsRunningLocked())
            return false;
        lock.unlock();
        done.reset();
        if (WaitForStop(timing_.step_ms) || executor_id_.load() != self_id)
            return false;
        lock.lock();
        if (position == queue_.end()) {
            if (queue_.empty()) {
                lock.unlock();
                if (WaitForStop(timing_.step_ms))
                    return false;
                lock.lock();
                return true;
            }
            position = queue_.begin();
        }
    }
}

void CSyncEngine::SetFinishedObserver(std::function<void(const ISyncAction&)> observer)
{
    std::lock_guard<std::mutex> guard(observer_lock_);
    finished_observer_ = std::move(observer);
}

// True when the action is finished and leaves the queue.
bool CSyncEngine::RunPosition(ISyncAction* action)
{
    if (action->retry_stamp != 0 && GetTickCount() - action->retry_stamp < action->retry_delay)
        return false;
    ReportSyncingForTransfer(*action);
    if (action->Execute(this)) {
        std::lock_guard<std::mutex> guard(observer_lock_);
        if (finished_observer_)
            finished_observer_(*action);
        return true;
    }
    action->retry_stamp = GetTickCount();
    action->retry_delay = timing_.retry_delay_ms;
    return false;
}

}  // namespace Sync
