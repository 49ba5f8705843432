#include "client/net/link_channel.h"

#include <process.h>
#include <sensapi.h>

#include <algorithm>

#include "client/net/app_host.h"

namespace Net {

namespace {

constexpr DWORD kReconnectPause = 1000;
constexpr DWORD kQuietWait = 200;
constexpr DWORD kStartWaitStep = 100;
constexpr DWORD kWatchStep = 1000;
constexpr int kWatchSteps = 10;

std::atomic<bool> g_watcher_running{false};

// Waits up to ten seconds while the main link is down, then asks the
// application to go Offline, from where the controller's retry signs on
// again over the new connection.
unsigned __stdcall WatchLink(void* channel_pointer)
{
    const auto* channel = static_cast<const CLinkChannel*>(channel_pointer);
    for (int step = 0; step < kWatchSteps && channel->State() == LinkDown; ++step)
        Sleep(kWatchStep);
    Helper::IAppHost* host = Helper::AppHost();
    Helper::AppState previous = Helper::AppState::Starting;
    const bool moved = host != nullptr && host->TrySetOffline(&previous);
    g_watcher_running.store(false);
    if (moved)
        host->RefreshForState(previous);
    return 0;
}

void StartLinkWatcher(const CLinkChannel* channel)
{
    if (g_watcher_running.exchange(true))
        return;
    // The watcher runs on its own; its handle is not kept.
    void* const argument = const_cast<CLinkChannel*>(channel);
    const Helper::CHandle thread(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, WatchLink, argument, 0, nullptr)));
    if (!thread)
        g_watcher_running.store(false);
}

bool NetworkAlive()
{
    DWORD flags = 0;
    return IsNetworkAlive(&flags) != FALSE;
}

}  // namespace

bool CWakeSignal::Open()
{
    socket_.Reset(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (!socket_)
        return false;
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof self;
    u_long non_blocking = 1;
    if (bind(socket_.Get(), reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0 ||
        getsockname(socket_.Get(), reinterpret_cast<sockaddr*>(&self), &length) != 0 ||
        connect(socket_.Get(), reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0 ||
        ioctlsocket(socket_.Get(), FIONBIO, &non_blocking) != 0) {
        Close();
        return false;
    }
    return true;
}

void CWakeSignal::Close() { socket_.Reset(); }

void CWakeSignal::Signal()
{
    const char one = 1;
    if (socket_)
        send(socket_.Get(), &one, 1, 0);
}

// One datagram per wake; a left-over one only causes one more pass.
void CWakeSignal::Drain()
{
    char sink[64];
    if (socket_)
        recv(socket_.Get(), sink, sizeof sink, 0);
}

void CWakeSignal::DrainAll()
{
    char sink[64];
    while (socket_ && recv(socket_.Get(), sink, sizeof sink, 0) > 0) {
    }
}

CLinkChannel::CLinkChannel()
    : data_ready_(Helper::MakeEvent(true)),
      state_changed_(Helper::MakeEvent(false)),
      link_down_(Helper::MakeEvent(false)),
      stop_signal_(Helper::MakeEvent(true))
{
}

CLinkChannel::~CLinkChannel()
{
    Stop();
}

bool CLinkChannel::Configure(const std::vector<std::string>& hosts, const std::vector<uint16_t>& ports,
                             bool watch, DWORD wait_ms)
{
    {
        std::lock_guard<std::mutex> hold(control_);
        StopLocked();
        hosts_ = hosts;
        ports_ = ports;
        ResetEvent(data_ready_.Get());
        data_ready_set_ = false;
        ResetEvent(state_changed_.Get());
        ResetEvent(link_down_.Get());
        ResetEvent(stop_signal_.Get());
        watch_.store(watch);
        {
            std::lock_guard<std::mutex> hold(out_lock_);
            wake_.Open();
        }
        unsigned id = 0;
        const uintptr_t thread = _beginthreadex(nullptr, 0, ThreadMain, this, CREATE_SUSPENDED, &id);
        if (thread == 0)
            return false;
        thread_.Reset(reinterpret_cast<HANDLE>(thread));
        generation_.store(id);
        stopped_.store(false);
        ResumeThread(thread_.Get());
    }
    for (DWORD waited = 0; waited + kStartWaitStep <= wait_ms && state_.load() == LinkDown;
         waited += kStartWaitStep)
        WaitForSingleObject(state_changed_.Get(), kStartWaitStep);
    return true;
}

void CLinkChannel::Stop()
{
    std::lock_guard<std::mutex> hold(control_);
    StopLocked();
}

void CLinkChannel::StopLocked()
{
    if (stopped_.exchange(true))
        return;
    generation_.store(0);
    SetEvent(stop_signal_.Get());
    wake_.Signal();
    if (thread_)
        WaitForSingleObject(thread_.Get(), INFINITE);
    thread_.Reset();
    socket_.Close();
    SetState(LinkDown);
    {
        std::lock_guard<std::mutex> hold(out_lock_);
        wake_.Close();
    }
    ClearQueues();
    hosts_.clear();
    ports_.clear();
}

void CLinkChannel::ClearQueues()
{
    {
        std::lock_guard<std::mutex> hold(out_lock_);
        outgoing_.clear();
    }
    std::lock_guard<std::mutex> hold(in_lock_);
    incoming_.clear();
    ResetEvent(data_ready_.Get());
    data_ready_set_ = false;
}

void CLinkChannel::Enqueue(Bytes bytes, uint64_t tag)
{
    {
        std::lock_guard<std::mutex> hold(out_lock_);
        const bool waiting = std::any_of(outgoing_.begin(), outgoing_.end(),
                                         [&](const LinkItem& item) { return item.bytes == bytes; });
        if (!waiting)
            outgoing_.push_back(LinkItem{std::move(bytes), tag});
        // A network thread that is busy finds the item on its next pass;
        // only one that waits on the socket needs the wake. Under the lock,
        // because a stop closes the wake socket under it.
        if (idle_.load())
            wake_.Signal();
    }
}

bool CLinkChannel::TakeIncoming(LinkItem* chunk)
{
    std::lock_guard<std::mutex> hold(in_lock_);
    if (incoming_.empty()) {
        if (data_ready_set_) {
            ResetEvent(data_ready_.Get());
            data_ready_set_ = false;
        }
        return false;
    }
    *chunk = std::move(incoming_.front());
    incoming_.pop_front();
    return true;
}

void CLinkChannel::SetState(long state)
{
    const long before = state_.exchange(state);
    if (state == LinkDown) {
        tag_.store(0);
        if (before != LinkDown) {
            ResetEvent(state_changed_.Get());
            SetEvent(link_down_.Get());
            if (watch_.load())
                StartLinkWatcher(this);
        }
        return;
    }
    // Only the way out of state 3 is waited for (by Configure) or undone
    // (the link-down event); the moves between 0, 1 and 2 need no kernel
    // call.
    if (before == LinkDown) {
        ResetEvent(link_down_.Get());
        SetEvent(state_changed_.Get());
    }
}

unsigned __stdcall CLinkChannel::ThreadMain(void* self)
{
    auto* channel = static_cast<CLinkChannel*>(self);
    channel->Run(GetCurrentThreadId());
    return 0;
}

bool CLinkChannel::ConnectSearch()
{
    // Only a stop may interrupt the search: earlier wakes are dropped.
    wake_.DrainAll();
    for (const std::string& host : hosts_) {
        for (uint16_t port : ports_) {
            if (generation_.load() == 0)
                return false;
            if (socket_.Connect(host.c_str(), port, wake_.Handle())) {
                tag_.store(++connections_);
                return true;
            }
        }
    }
    return false;
}

bool CLinkChannel::ReconnectUntilUp(DWORD generation)
{
    while (generation_.load() == generation) {
        if (ConnectSearch())
            return true;
        WaitForSingleObject(stop_signal_.Get(), kReconnectPause);
    }
    return false;
}

bool CLinkChannel::SendNext()
{
    LinkItem item;
    {
        std::lock_guard<std::mutex> hold(out_lock_);
        if (outgoing_.empty())
            return false;
        item = std::move(outgoing_.front());
        outgoing_.pop_front();
    }
    // What was queued for an earlier connection is not sent on this one:
    // its reply could not be delivered, and a block sent ahead of a lost
    // connection would arrive out of place.
    if (item.tag != 0 && item.tag != tag_.load())
        return true;
    const int sent = socket_.Send(item.bytes.data(), item.bytes.size());
    SetState(sent > 0 ? LinkSent : LinkDown);
    return true;
}

// Received data goes first: after a receipt the socket is asked once more,
// without waiting, before anything queued is sent.
void CLinkChannel::ReceiveOrRest()
{
    // After a receipt the socket is asked again before anything queued goes
    // out; with nothing queued, that question is the ordinary wait.
    bool queued = false;
    idle_.store(true);
    {
        std::lock_guard<std::mutex> hold(out_lock_);
        queued = !outgoing_.empty();
    }
    const bool after_receipt = state_.load() == LinkReceived;
    if (queued && !after_receipt) {
        idle_.store(false);
        return;
    }
    bool woken = false;
    const int ready = socket_.WaitFor(queued ? 0 : kQuietWait, wake_.Handle(), &woken);
    idle_.store(false);
    if (woken)
        wake_.Drain();
    if (ready < 0) {
        SetState(LinkDown);
        return;
    }
    if (ready == 0) {
        if (!woken || after_receipt)
            SetState(LinkQuiet);
        return;
    }
    LinkItem chunk;
    chunk.tag = tag_.load();
    const int got = socket_.ReceiveReady(receive_buffer_);
    if (got <= 0) {
        socket_.Close();
        SetState(LinkDown);
        return;
    }
    chunk.bytes.assign(receive_buffer_, receive_buffer_ + got);
    {
        std::lock_guard<std::mutex> hold(in_lock_);
        incoming_.push_back(std::move(chunk));
        if (!data_ready_set_) {
            SetEvent(data_ready_.Get());
            data_ready_set_ = true;
        }
    }
    SetState(LinkReceived);
}

// The opener's bytes on a new connection; the state the link is in after.
long CLinkChannel::Open()
{
    const Bytes opening = opener_ ? opener_(tag_.load()) : Bytes{};
    if (opening.empty())
        return LinkQuiet;
    return socket_.Send(opening.data(), opening.size()) > 0 ? LinkSent : LinkDown;
}

void CLinkChannel::Run(DWORD generation)
{
    SetState(ConnectSearch() ? Open() : LinkDown);
    while (generation_.load() == generation) {
        if (state_.load() == LinkDown) {
            if (!ReconnectUntilUp(generation))
                return;
            SetState(Open());
        }
        if (!NetworkAlive()) {
            SetState(LinkDown);
            continue;
        }
        if (state_.load() != LinkReceived && SendNext())
            continue;
        ReceiveOrRest();
    }
}

}  // namespace Net
