#include "client/net/request_manager.h"

#include <process.h>

#include "client/net/packet_assembler.h"
#include "client/net/session.h"
#include "client/net/wire_text.h"
#include "common/time_share.h"
#include "deployment.h"

namespace Net {

namespace {

constexpr DWORD kFirstConnectionWait = 3000;
constexpr DWORD kSessionWait = 100;
constexpr int kTimeoutsBeforeRestart = 10;

std::mutex g_server_lock;
std::string g_test_host;
std::vector<uint16_t> g_test_ports;

std::string SyncHost() { return ToWireText(TAVO_SYNC_HOST_W); }

std::vector<uint16_t> SyncPorts()
{
    std::vector<uint16_t> ports;
    for (uint16_t port = 6666; port <= 7566; port += 100)
        ports.push_back(port);
    return ports;
}

}  // namespace

CRequestManager::CRequestManager() : stop_event_(Helper::MakeEvent(true, true)), session_wake_(Helper::MakeEvent(false))
{
    channel_.SetOpener([this](uint64_t tag) { return OpenConnection(tag); });
}

void CRequestManager::SetOpening(const ConnectionOpening& opening)
{
    std::lock_guard<std::mutex> hold(opening_lock_);
    opening_ = opening;
}

// On the network thread, for a connection just made: the opening request,
// awaited by a record of its own so that its reply finds the way back.
Bytes CRequestManager::OpenConnection(uint64_t tag)
{
    ConnectionOpening opening;
    {
        std::lock_guard<std::mutex> hold(opening_lock_);
        opening = opening_;
    }
    Bytes packet = opening.build != nullptr ? opening.build() : Bytes{};
    std::lock_guard<std::mutex> hold(pending_lock_);
    // The opening of an earlier connection gets no reply any more.
    if (opening_record_)
        opening_record_->abandoned = true;
    opening_record_.reset();
    if (packet.empty())
        return packet;
    auto record = std::make_shared<PendingRequest>();
    record->command = PacketCommand(packet);
    record->sequence = PacketSequence(packet);
    record->tag = tag;
    record->opening = true;
    pending_.push_back(record);
    opening_record_ = record;
    return packet;
}

void CRequestManager::SetStopEvent()
{
    stopping_.store(true);
    SetEvent(stop_event_.Get());
}

void CRequestManager::ResetStopEvent()
{
    stopping_.store(false);
    ResetEvent(stop_event_.Get());
}

CRequestManager::~CRequestManager()
{
    Stop();
}

bool CRequestManager::Start(const std::vector<std::string>& hosts, const std::vector<uint16_t>& ports,
                            bool watch)
{
    Helper::CTimeShareScope timing(Helper::TimeShare::NetworkWaits);
    std::lock_guard<std::mutex> hold(control_);
    StopLocked();
    channel_.Configure(hosts, ports, watch, kFirstConnectionWait);
    ResetStopEvent();
    unsigned id = 0;
    const uintptr_t thread = _beginthreadex(nullptr, 0, SessionMain, this, CREATE_SUSPENDED, &id);
    if (thread == 0)
        return false;
    session_thread_.Reset(reinterpret_cast<HANDLE>(thread));
    session_id_.store(id);
    ResumeThread(session_thread_.Get());
    return true;
}

void CRequestManager::Stop()
{
    std::lock_guard<std::mutex> hold(control_);
    StopLocked();
}

void CRequestManager::StopLocked()
{
    if (channel_.IsStopped())
        return;
    SetStopEvent();
    session_id_.store(0);
    // Every upload ends with a stop; the session thread must not finish
    // its idle wait first.
    SetEvent(session_wake_.Get());
    if (session_thread_)
        WaitForSingleObject(session_thread_.Get(), INFINITE);
    session_thread_.Reset();
    channel_.Stop();
    std::lock_guard<std::mutex> hold(pending_lock_);
    pending_.clear();
    opening_record_.reset();
}

int CRequestManager::SendAndWait(Bytes* packet, uint16_t expected_command, DWORD timeout, uint32_t sequence)
{
    if (timeout != 0) {
        std::shared_ptr<PendingRequest> record;
        const int posted = Post(packet, expected_command, sequence, channel_.CurrentTag(), &record);
        return posted == 1 ? Await(record, packet, timeout) : posted;
    }
    const int refused = Refusal(packet);
    if (refused != 1)
        return refused;
    if (sequence == 0)
        sequence = PacketSequence(*packet);
    channel_.Enqueue(std::move(*packet), channel_.CurrentTag());
    packet->clear();
    return static_cast<int>(sequence);
}

int CRequestManager::Refusal(const Bytes* packet) const
{
    if (channel_.IsStopped())
        return -1;
    if (stopping_.load() || packet == nullptr || packet->empty())
        return 0;
    return 1;
}

int CRequestManager::Post(Bytes* packet, uint16_t expected_command, uint32_t sequence, uint64_t tag,
                          std::shared_ptr<PendingRequest>* record)
{
    const int refused = Refusal(packet);
    if (refused != 1)
        return refused;
    // The record is in the list before the packet leaves, so that even an
    // immediate reply finds it.
    auto waiting = std::make_shared<PendingRequest>();
    waiting->command = expected_command != 0 ? expected_command : PacketCommand(*packet);
    waiting->sequence = sequence != 0 ? sequence : PacketSequence(*packet);
    waiting->tag = tag;
    {
        std::lock_guard<std::mutex> hold(pending_lock_);
        waiting->event = TakeEventLocked();
        pending_.push_back(waiting);
    }
    channel_.Enqueue(std::move(*packet), tag);
    packet->clear();
    *record = std::move(waiting);
    return 1;
}

void CRequestManager::Abandon(const std::shared_ptr<PendingRequest>& record)
{
    std::lock_guard<std::mutex> hold(pending_lock_);
    if (record->abandoned || !record->event)
        return;
    record->abandoned = true;
    // A reply that already came left its signal on the event.
    WaitForSingleObject(record->event.Get(), 0);
    spare_events_.push_back(std::move(record->event));
}

int CRequestManager::Await(const std::shared_ptr<PendingRequest>& record, Bytes* payload, DWORD timeout)
{
    Helper::CTimeShareScope timing(Helper::TimeShare::NetworkWaits);
    const HANDLE events[] = {record->event.Get(), channel_.LinkDownEvent(), stop_event_.Get()};
    DWORD wait = timeout;
    for (;;) {
        const DWORD woke = WaitForMultipleObjects(3, events, FALSE, wait);
        if (woke == WAIT_TIMEOUT) {
            // Only a connection that received nothing for a whole timeout
            // gives up.
            const DWORD quiet = GetTickCount() - last_receipt_.load();
            if (quiet < timeout) {
                wait = timeout - quiet;
                continue;
            }
        }
        std::lock_guard<std::mutex> hold(pending_lock_);
        if (record->answered) {
            // The reply may have come just as the wait ended otherwise; its
            // signal must not stay on the event, which serves again.
            if (woke != WAIT_OBJECT_0)
                WaitForSingleObject(record->event.Get(), 0);
            spare_events_.push_back(std::move(record->event));
            timeout_count_.store(0);
            *payload = std::move(record->payload);
            return record->result;
        }
        record->abandoned = true;
        spare_events_.push_back(std::move(record->event));
        if (woke != WAIT_TIMEOUT)
            return -1;
        break;
    }
    return GiveUpAfterTimeout();
}

Helper::CHandle CRequestManager::TakeEventLocked()
{
    if (spare_events_.empty())
        return Helper::MakeEvent(false);
    Helper::CHandle event = std::move(spare_events_.back());
    spare_events_.pop_back();
    return event;
}

int CRequestManager::GiveUpAfterTimeout()
{
    if (timeout_count_.fetch_add(1) + 1 < kTimeoutsBeforeRestart)
        return 0;
    MainConnection().Stop();
    DataConnection().Stop();
    StartMainConnection();
    return -1;
}

unsigned __stdcall CRequestManager::SessionMain(void* self)
{
    auto* manager = static_cast<CRequestManager*>(self);
    manager->RunSession(GetCurrentThreadId());
    return 0;
}

void CRequestManager::RunSession(DWORD id)
{
    CPacketAssembler assembler;
    LinkItem chunk;
    size_t offset = 0;
    bool carried = false;
    while (session_id_.load() == id) {
        if (!carried) {
            carried = channel_.TakeIncoming(&chunk);
            if (!carried) {
                const HANDLE wake[] = {channel_.DataReadyEvent(), session_wake_.Get()};
                WaitForMultipleObjects(2, wake, FALSE, kSessionWait);
                carried = channel_.TakeIncoming(&chunk);
            }
            offset = 0;
        }
        if (carried) {
            last_receipt_.store(GetTickCount());
            size_t used = 0;
            const auto outcome =
                assembler.Feed(chunk.bytes.data() + offset, chunk.bytes.size() - offset, chunk.tag, &used);
            offset += used;
            carried = offset < chunk.bytes.size();
            if (outcome == CPacketAssembler::Outcome::Complete) {
                Dispatch(assembler.TakeReply(), assembler.ReplyTag());
                continue;
            }
            if (outcome == CPacketAssembler::Outcome::Incompatible)
                ReactToIncompatibleServer();
        }
        DropAbandoned();
    }
}

void CRequestManager::Dispatch(Reply reply, uint64_t tag)
{
    if (!DeliverLocked(reply, tag))
        return;
    // The reply to a connection's opening; taken outside the lock, because
    // taking it may lead to new requests.
    ConnectionOpening opening;
    {
        std::lock_guard<std::mutex> hold(opening_lock_);
        opening = opening_;
    }
    if (opening.take != nullptr)
        opening.take(reply.result, reply.payload);
}

// Hands the reply to its waiting record; true when it answers the opening
// of its connection instead, which nobody waits for.
bool CRequestManager::DeliverLocked(Reply& reply, uint64_t tag)
{
    std::lock_guard<std::mutex> hold(pending_lock_);
    for (auto it = pending_.begin(); it != pending_.end();) {
        PendingRequest& record = **it;
        if (record.abandoned) {
            it = pending_.erase(it);
            continue;
        }
        if (record.command != reply.command || record.sequence != reply.sequence || record.tag != tag) {
            ++it;
            continue;
        }
        const bool opening = record.opening;
        if (opening) {
            opening_record_.reset();
        } else {
            record.result = reply.result;
            record.payload = std::move(reply.payload);
            record.answered = true;
            SetEvent(record.event.Get());
        }
        pending_.erase(it);
        return opening;
    }
    return false;
}

// A reply still on its way for an abandoned request is assembled to its end
// and then matches nothing; dropping it halfway would lose the packet
// boundaries of everything after it.
void CRequestManager::DropAbandoned()
{
    std::lock_guard<std::mutex> hold(pending_lock_);
    pending_.remove_if([](const std::shared_ptr<PendingRequest>& record) { return record->abandoned; });
}

CRequestManager& MainConnection()
{
    static CRequestManager manager;
    return manager;
}

CRequestManager& DataConnection()
{
    static CRequestManager manager;
    return manager;
}

bool StartMainConnection()
{
    std::vector<std::string> hosts;
    std::vector<uint16_t> ports;
    {
        std::lock_guard<std::mutex> hold(g_server_lock);
        hosts.push_back(g_test_host.empty() ? SyncHost() : g_test_host);
        ports = g_test_ports.empty() ? SyncPorts() : g_test_ports;
    }
    MainConnection().SetOpening({BuildRepeatedSignOn, TakeRepeatedSignOnReply});
    return MainConnection().Start(hosts, ports, true);
}

bool StartDataConnection(uint32_t address, uint16_t port)
{
    return DataConnection().Start({FormatTicketAddress(address)}, {port}, false);
}

void StopConnections()
{
    MainConnection().Stop();
    DataConnection().Stop();
}

bool IsMainLinkDown()
{
    return MainConnection().Channel().State() == LinkDown;
}

void SetServerForTesting(const std::string& host, const std::vector<uint16_t>& ports)
{
    std::lock_guard<std::mutex> hold(g_server_lock);
    g_test_host = host;
    g_test_ports = ports;
}

}  // namespace Net
