// One TCP link with its own network thread: connects over a host and port
// list, reconnects, sends queued items and collects received chunks.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "client/net/common_socket.h"
#include "client/net/packet_codec.h"
#include "common/win_handle.h"

namespace Net {

enum LinkState : long {
    LinkQuiet = 0,     // connected, nothing happening
    LinkReceived = 1,  // data received
    LinkSent = 2,      // data sent
    LinkDown = 3,
};

// Bytes of one TCP connection. The link tag tells the connection: every
// successful connect takes a new one, so packets of a connection never pass
// for packets of an earlier one even when the socket handle is reused.
struct LinkItem {
    Bytes bytes;
    uint64_t tag = 0;
};

// A loopback datagram socket that a select on the link socket also watches,
// so that a newly queued item or a stop wakes the network thread at once.
class CWakeSignal {
public:
    CWakeSignal() = default;
    CWakeSignal(const CWakeSignal&) = delete;
    CWakeSignal& operator=(const CWakeSignal&) = delete;

    bool Open();
    void Close();
    void Signal();
    void Drain();
    void DrainAll();
    SOCKET Handle() const { return socket_.Get(); }

private:
    Helper::CSocketHandle socket_;
};

class CLinkChannel {
public:
    CLinkChannel();
    ~CLinkChannel();
    CLinkChannel(const CLinkChannel&) = delete;
    CLinkChannel& operator=(const CLinkChannel&) = delete;

    // Stops, takes the new lists, starts the network thread and waits up to
    // wait_ms (in steps of 100 ms) for the first connection. False only when
    // the thread could not start.
    bool Configure(const std::vector<std::string>& hosts, const std::vector<uint16_t>& ports, bool watch,
                   DWORD wait_ms);
    // What goes first on every connection the network thread makes, before
    // anything queued; called on that thread with the connection's tag.
    // Set once, before the first Configure.
    using Opener = std::function<Bytes(uint64_t tag)>;
    void SetOpener(Opener opener) { opener_ = std::move(opener); }
    void Stop();
    bool IsStopped() const { return stopped_.load(); }

    // Queues an item with the given link tag unless an equal one is still
    // waiting.
    void Enqueue(Bytes bytes, uint64_t tag);
    // The first received chunk; an empty queue resets the data-ready event.
    bool TakeIncoming(LinkItem* chunk);

    long State() const { return state_.load(); }
    uint64_t CurrentTag() const { return tag_.load(); }
    // Set while received chunks wait to be taken.
    HANDLE DataReadyEvent() const { return data_ready_.Get(); }
    HANDLE LinkDownEvent() const { return link_down_.Get(); }

private:
    static unsigned __stdcall ThreadMain(void* self);
    void Run(DWORD generation);
    bool ConnectSearch();
    bool ReconnectUntilUp(DWORD generation);
    long Open();
    bool SendNext();
    void ReceiveOrRest();
    void SetState(long state);
    void ClearQueues();
    void StopLocked();

    std::mutex control_;
    std::vector<std::string> hosts_;
    std::vector<uint16_t> ports_;
    CCommonSocket socket_;
    CWakeSignal wake_;
    Opener opener_;
    char receive_buffer_[kReceiveBufferSize] = {};

    std::mutex out_lock_;
    std::deque<LinkItem> outgoing_;
    std::mutex in_lock_;
    std::deque<LinkItem> incoming_;
    bool data_ready_set_ = false;  // under in_lock_; spares redundant kernel calls
    std::atomic<bool> idle_{false};  // the network thread waits on the socket

    std::atomic<long> state_{LinkDown};
    Helper::CHandle data_ready_;
    Helper::CHandle state_changed_;
    Helper::CHandle link_down_;
    Helper::CHandle stop_signal_;
    std::atomic<bool> stopped_{true};
    std::atomic<bool> watch_{false};
    Helper::CHandle thread_;
    std::atomic<DWORD> generation_{0};
    std::atomic<uint64_t> tag_{0};
    uint64_t connections_ = 0;
};

}  // namespace Net
