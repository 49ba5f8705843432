// Carries request packets over a link channel and brings each reply back to
// the thread that waits for it. Two managers live for the whole process:
// the main connection to the sync server and the data connection to the
// data server of an upload.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/net/link_channel.h"
#include "client/net/packet_codec.h"
#include "common/win_handle.h"

namespace Net {

// What a waiting request expects and, once its reply came, what it got.
// Guarded by the pending list's lock. The waiter owns it; the session
// thread only fills it and sets its event.
struct PendingRequest {
    uint16_t command = 0;
    uint32_t sequence = 0;
    uint16_t result = 0;
    Bytes payload;
    uint64_t tag = 0;
    Helper::CHandle event;  // auto-reset; taken from and given back to the manager's spares
    bool answered = false;
    bool abandoned = false;
    bool opening = false;  // the request that opened its connection; nobody waits for it
};

// The request a manager sends first on each new connection, before anything
// queued: build makes it (empty: nothing), take gets its reply on the
// session thread.
struct ConnectionOpening {
    Bytes (*build)() = nullptr;
    void (*take)(uint16_t result, const Bytes& payload) = nullptr;
};

class CRequestManager {
public:
    CRequestManager();
    ~CRequestManager();
    CRequestManager(const CRequestManager&) = delete;
    CRequestManager& operator=(const CRequestManager&) = delete;

    // Stops, configures the channel, waits up to 3000 ms for its first
    // connection and starts the session thread. True when the thread runs,
    // whether or not the link came up in time.
    bool Start(const std::vector<std::string>& hosts, const std::vector<uint16_t>& ports, bool watch);
    // Every caller waiting on this manager returns -1.
    void Stop();

    // Queues the packet and waits for the reply that echoes the expected
    // command and sequence (0: the packet's own). On a reply the packet is
    // replaced by the reply payload and the result code is returned; 0 after
    // a timeout (measured from the last receipt) or when nothing could be
    // sent; -1 when the link went down, the manager stopped, or at the tenth
    // timeout in a row (which restarts the connections). With timeout 0 the
    // packet's sequence is returned at once.
    int SendAndWait(Bytes* packet, uint16_t expected_command, DWORD timeout, uint32_t sequence);

    // SendAndWait in two halves, so that several requests can be on their
    // way at once. Post gives 1 and the record to wait on, or the result
    // SendAndWait would give when nothing could be sent; the packet is sent
    // only over the connection of the given link tag. Await gives what
    // SendAndWait gives, and puts the reply payload into *payload. A record
    // that will not be waited for is abandoned.
    int Post(Bytes* packet, uint16_t expected_command, uint32_t sequence, uint64_t tag,
             std::shared_ptr<PendingRequest>* record);
    int Await(const std::shared_ptr<PendingRequest>& record, Bytes* payload, DWORD timeout);
    void Abandon(const std::shared_ptr<PendingRequest>& record);

    void SetOpening(const ConnectionOpening& opening);

    // The sync engine holds waiting requests off while it restarts its
    // workers.
    void SetStopEvent();
    void ResetStopEvent();

    bool IsRunning() const { return !channel_.IsStopped(); }
    const CLinkChannel& Channel() const { return channel_; }

private:
    static unsigned __stdcall SessionMain(void* self);
    void RunSession(DWORD id);
    int Refusal(const Bytes* packet) const;
    Helper::CHandle TakeEventLocked();
    Bytes OpenConnection(uint64_t tag);
    void Dispatch(Reply reply, uint64_t tag);
    bool DeliverLocked(Reply& reply, uint64_t tag);
    void DropAbandoned();
    int GiveUpAfterTimeout();
    void StopLocked();

    std::mutex control_;
    CLinkChannel channel_;
    Helper::CHandle session_thread_;
    std::atomic<DWORD> session_id_{0};
    std::mutex pending_lock_;
    std::list<std::shared_ptr<PendingRequest>> pending_;
    std::vector<Helper::CHandle> spare_events_;
    std::shared_ptr<PendingRequest> opening_record_;  // under pending_lock_
    std::mutex opening_lock_;
    ConnectionOpening opening_;
    Helper::CHandle stop_event_;
    Helper::CHandle session_wake_;  // auto-reset: ends the session thread's idle wait at a stop
    std::atomic<bool> stopping_{true};
    std::atomic<DWORD> last_receipt_{0};
    std::atomic<int> timeout_count_{0};
};

CRequestManager& MainConnection();
CRequestManager& DataConnection();

// The sync server over the port list 6666, 6766, ..., 7566, with the link
// watcher; every new connection signs on again while a credential is
// stored.
bool StartMainConnection();
// The data server named by an upload ticket.
bool StartDataConnection(uint32_t address, uint16_t port);
void StopConnections();
// The sync engine's test for being offline.
bool IsMainLinkDown();

// Points the main connection at a test server instead of the deployment's.
// Product code never calls it.
void SetServerForTesting(const std::string& host, const std::vector<uint16_t>& ports);

}  // namespace Net
