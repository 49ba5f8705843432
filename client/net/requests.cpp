#include "client/net/requests.h"

#include <cstring>

#include "client/net/command_lock.h"
#include "client/net/request_manager.h"
#include "client/net/wire_text.h"

namespace Net {

namespace {

std::atomic<long> g_list_folder_flag{0};
std::atomic<long> g_rename_entry_flag{0};
std::atomic<long> g_delete_entries_flag{0};
std::atomic<long> g_create_folder_flag{0};
std::atomic<long> g_lookup_entry_flag{0};
std::atomic<long> g_begin_upload_flag{0};
std::atomic<long> g_upload_block_flag{0};
std::atomic<long> g_finish_upload_flag{0};

// A server entry becomes a fresh entry with the server's fields; its name
// has passed the codec's checks and is safe as a path component.
RemoteEntry ToRemoteEntry(const EntryRecord& record)
{
    RemoteEntry remote;
    Sync::SyncEntry& entry = remote.entry;
    entry.id = record.id;
    entry.parent_id = record.parent_id;
    entry.update_time = record.update_time;
    entry.is_file = record.kind;
    entry.size = record.size;
    std::memcpy(entry.md5, record.md5, sizeof entry.md5);
    entry.name = FromWireText(record.name);
    remote.url = FromWireText(record.address);
    return remote;
}

int MainExchange(Bytes* packet, uint32_t timeout)
{
    if (packet->empty())
        return 0;
    return MainConnection().SendAndWait(packet, 0, timeout, 0);
}

bool EnsureDataConnection(const UploadTicket& ticket)
{
    return DataConnection().IsRunning() || StartDataConnection(ticket.address, ticket.port);
}

}  // namespace

int ListFolder(int32_t folder_id, std::vector<RemoteEntry>* entries)
{
    CCommandLock lock(g_list_folder_flag);
    if (entries == nullptr)
        return 0;
    entries->clear();
    Bytes packet = BuildListFolder(folder_id);
    const int result = MainExchange(&packet, kEntryTimeout);
    if (result != ResFolderListed)
        return result;
    std::vector<EntryRecord> records;
    if (!DecodeFolderList(packet, &records))
        return 0;
    entries->reserve(records.size());
    for (const EntryRecord& record : records)
        entries->push_back(ToRemoteEntry(record));
    return result;
}

int RenameEntry(const wchar_t* old_name, int32_t entry_id, const wchar_t* new_name)
{
    CCommandLock lock(g_rename_entry_flag);
    Bytes packet = BuildRenameEntry(entry_id, ToWireText(old_name), ToWireText(new_name));
    return MainExchange(&packet, kEntryTimeout);
}

int DeleteEntries(uint32_t count, int32_t parent_id, const int32_t* ids)
{
    CCommandLock lock(g_delete_entries_flag);
    Bytes packet = BuildDeleteEntries(parent_id, ids, count);
    return MainExchange(&packet, kEntryTimeout);
}

int CreateFolder(int32_t parent_id, const wchar_t* name, int32_t* new_folder_id)
{
    CCommandLock lock(g_create_folder_flag);
    Bytes packet = BuildCreateFolder(parent_id, ToWireText(name));
    const int result = MainExchange(&packet, kEntryTimeout);
    if (result != ResFolderCreated)
        return result;
    int32_t id = 0;
    if (!DecodeCreatedFolder(packet, parent_id, &id))
        return 0;
    if (new_folder_id != nullptr)
        *new_folder_id = id;
    return result;
}

int LookupEntry(const wchar_t* name, int32_t parent_id, RemoteEntry* entry)
{
    CCommandLock lock(g_lookup_entry_flag);
    Bytes packet = BuildLookupEntry(parent_id, ToWireText(name));
    const int result = MainExchange(&packet, kEntryTimeout);
    if (result != ResEntryFound)
        return result;
    EntryRecord record;
    if (!DecodeLookupReply(packet, &record))
        return 0;
    if (entry != nullptr)
        *entry = ToRemoteEntry(record);
    return result;
}

int BeginUpload(const char md5[kDigestSize], const wchar_t* name, int32_t parent_id, uint64_t size,
                UploadTicket* ticket)
{
    CCommandLock lock(g_begin_upload_flag);
    if (md5 == nullptr || ticket == nullptr)
        return 0;
    Bytes packet = BuildBeginUpload(parent_id, size, md5, ToWireText(name));
    const int result = MainExchange(&packet, kEntryTimeout);
    if (result != ResTicketGranted)
        return result;
    UploadTicket granted;
    if (!DecodeUploadTicket(packet, &granted) || !StartDataConnection(granted.address, granted.port))
        return 0;
    *ticket = granted;
    return result;
}

int UploadBlock(const UploadTicket& ticket, uint64_t offset, uint32_t length, const void* bytes)
{
    CUploadPipeline pipeline(ticket);
    const int posted = pipeline.Post(offset, length, bytes);
    if (posted == 1)
        return pipeline.Await();
    DataConnection().Stop();
    return posted;
}

CUploadPipeline::CUploadPipeline(const UploadTicket& ticket) : ticket_(ticket), lock_(g_upload_block_flag) {}

CUploadPipeline::~CUploadPipeline() { AbandonAll(); }

int CUploadPipeline::Post(uint64_t offset, uint32_t length, const void* bytes)
{
    if (bytes == nullptr || length == 0)
        return 0;
    if (!EnsureDataConnection(ticket_))
        return -1;
    // Header and bytes go as one item: they leave back to back, and two
    // blocks of equal bytes on their way at once are never taken for one
    // packet queued twice.
    Bytes packet = BuildUploadBlock(ticket_.token, offset, length);
    const uint32_t sequence = PacketSequence(packet);
    const auto* first = static_cast<const uint8_t*>(bytes);
    packet.insert(packet.end(), first, first + length);
    // Blocks behind others go over the connection that carries those; if it
    // was lost they are not sent ahead on its successor.
    CRequestManager& data = DataConnection();
    const uint64_t tag = in_flight_.empty() ? data.Channel().CurrentTag() : in_flight_.back()->tag;
    std::shared_ptr<PendingRequest> record;
    const int posted = data.Post(&packet, CmdUploadBlock, sequence, tag, &record);
    if (posted == 1)
        in_flight_.push_back(std::move(record));
    return posted;
}

int CUploadPipeline::Await()
{
    if (in_flight_.empty())
        return 0;
    std::shared_ptr<PendingRequest> record = std::move(in_flight_.front());
    in_flight_.pop_front();
    Bytes payload;
    const int result = DataConnection().Await(record, &payload, kEntryTimeout);
    if (result != ResBlockAccepted) {
        AbandonAll();
        DataConnection().Stop();
    }
    return result;
}

void CUploadPipeline::AbandonAll()
{
    for (const auto& record : in_flight_)
        DataConnection().Abandon(record);
    in_flight_.clear();
}

int FinishUpload(const UploadTicket& ticket)
{
    CCommandLock lock(g_finish_upload_flag);
    if (!EnsureDataConnection(ticket))
        return -1;
    Bytes packet = BuildFinishUpload(ticket.token);
    const int result = DataConnection().SendAndWait(&packet, 0, kEntryTimeout, 0);
    DataConnection().Stop();
    return result;
}

UploadTicket TicketOf(const Sync::SyncEntry& entry)
{
    UploadTicket ticket;
    std::memcpy(ticket.token, entry.upload_token, sizeof ticket.token);
    ticket.port = entry.upload_port;
    ticket.address = entry.upload_address;
    return ticket;
}

void StoreTicket(const UploadTicket& ticket, Sync::SyncEntry* entry)
{
    std::memcpy(entry->upload_token, ticket.token, sizeof entry->upload_token);
    entry->upload_port = ticket.port;
    entry->upload_address = ticket.address;
}

}  // namespace Net
