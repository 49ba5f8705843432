// One request function per server command. Each returns the reply's result
// code, 0 when no usable reply came (nothing sent, malformed payload of an
// expected code, timeout) and -1 when the connection layer gave up (link
// lost during the wait, connection stopped, tenth timeout in a row).
// Requests of one command run one at a time; different commands overlap.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "client/net/command_lock.h"
#include "client/net/packet_codec.h"
#include "client/net/request_manager.h"
#include "common/sync_entry.h"

namespace Net {

// One server entry of a listing or a lookup: `id`, `parent_id`,
// `update_time`, `is_file`, `size`, `md5` and `name` filled in, the other
// fields as in a fresh entry; url is the download address prefix.
struct RemoteEntry {
    Sync::SyncEntry entry;
    std::wstring url;
};

// Main connection. The session ones (SignOn, SignOff, AccountInfo) store
// and use the process-wide session values (see session.h).
int SignOn(const wchar_t* user_name, const wchar_t* password_digest);
int SignOff();
int AccountInfo();

// On 301 entries holds the listing; entries with unusable names are left
// out, the rest stands.
int ListFolder(int32_t folder_id, std::vector<RemoteEntry>* entries);
// 304 or 306: renamed.
int RenameEntry(const wchar_t* old_name, int32_t entry_id, const wchar_t* new_name);
// 307: deleted.
int DeleteEntries(uint32_t count, int32_t parent_id, const int32_t* ids);
// 303: created, *new_folder_id set; 311: exists already (no id).
int CreateFolder(int32_t parent_id, const wchar_t* name, int32_t* new_folder_id);
// 315: found, *entry set.
int LookupEntry(const wchar_t* name, int32_t parent_id, RemoteEntry* entry);
// 317: *ticket set and the data connection started to its address (a
// failed start gives 0); 318, 319: refused; 329: content already known.
int BeginUpload(const char md5[kDigestSize], const wchar_t* name, int32_t parent_id, uint64_t size,
                UploadTicket* ticket);

// Data connection, to the ticket's address. 324: accepted; 326: ticket
// invalid. Any result other than 324 stops the data connection.
int UploadBlock(const UploadTicket& ticket, uint64_t offset, uint32_t length, const void* bytes);

// The blocks of one upload with several on their way at once, so that the
// link does not stand idle for a round trip after every block. Replies are
// taken in the order the blocks were posted; each means what UploadBlock's
// result means, and the first one other than 324 stops the data connection
// and abandons the blocks behind it. One pipeline at a time.
class CUploadPipeline {
public:
    explicit CUploadPipeline(const UploadTicket& ticket);
    ~CUploadPipeline();
    CUploadPipeline(const CUploadPipeline&) = delete;
    CUploadPipeline& operator=(const CUploadPipeline&) = delete;

    // 1 when the block is on its way; otherwise what UploadBlock would give.
    int Post(uint64_t offset, uint32_t length, const void* bytes);
    // The reply to the oldest block on its way; 0 when none is.
    int Await();

private:
    void AbandonAll();

    UploadTicket ticket_;
    CCommandLock lock_;
    std::deque<std::shared_ptr<PendingRequest>> in_flight_;
};
// 327: complete. The data connection is stopped afterwards.
int FinishUpload(const UploadTicket& ticket);

// Ticket fields as the state table keeps them.
UploadTicket TicketOf(const Sync::SyncEntry& entry);
void StoreTicket(const UploadTicket& ticket, Sync::SyncEntry* entry);

}  // namespace Net
