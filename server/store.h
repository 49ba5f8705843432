// Persistent state of the server: accounts, entries and upload tickets in
// SQLite, file contents as files named by their MD5 under objects/. Every
// write runs in one transaction under one writer lock; readers run in
// parallel on pooled connections.
#pragma once

#include "crypto.h"
#include "sqlite_db.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace Tessel {

// More entries per folder would let a listing outgrow what the client
// accepts in one reply (64 MiB).
constexpr size_t kMaxFolderEntries = 100000;
constexpr int64_t kRootFolder = 0;

struct AccountRecord {
    int64_t id = 0;
    std::string name;
    uint64_t quota = 0;
    uint64_t used = 0;
    bool frozen = false;
    PasswordHash password;
    // Counts the changes of the stored password.
    int64_t credential_generation = 0;
    // Announced sizes of the account's open upload tickets.
    uint64_t reserved = 0;
    // What the quota leaves of what is stored and what tickets hold.
    uint64_t Free() const { return quota > used + reserved ? quota - used - reserved : 0; }
};

struct EntryRow {
    int64_t id = 0;
    int64_t parent_id = 0;
    bool is_file = false;
    uint32_t update_time = 0;
    std::string md5;
    uint64_t size = 0;
    std::string name;
    std::string object;  // the file's content under objects/
};

struct TicketRow {
    std::string token;
    int64_t account_id = 0;
    int64_t parent_id = 0;
    std::string name;
    uint64_t size = 0;
    std::string md5;
    int64_t created = 0;
};

enum class StoreStatus {
    Ok,
    NotFound,       // no such entry, account or ticket
    NoSuchFolder,   // the parent folder does not exist
    NameTaken,      // another entry already has the name
    FolderExists,   // CreateFolder: a folder of that name is already there
    Unchanged,      // RenameEntry: the entry already has exactly that name
    FolderFull,
    NoSpace,
    ContentKnown,   // BeginUpload: the file was created from stored content
    Mismatch,       // FinishUpload: received bytes differ in size or MD5
    Error,          // storage failure
};

struct AccountChange {
    std::optional<std::string> password_digest;
    std::optional<uint64_t> quota;
    std::optional<bool> frozen;
};

class Store {
public:
    struct Options {
        int64_t ticket_lifetime_seconds = 7 * 24 * 3600;
        // Only the serving process may clean up: beside it, a part file of a
        // fresh ticket and a content placed just before its commit look
        // exactly like leftovers.
        bool clean_up = true;
        // Whether a data connection works on a ticket; such a ticket is
        // never replaced by a new one for the same file.
        std::function<bool(const std::string& token)> ticket_in_use;
        // Bytes of disk kept in DIR/reserve and given up when a delete
        // meets a full disk; 0 keeps none.
        uint64_t disk_reserve = 0;
    };

    // Creates the data directory layout and the database; an existing one is
    // left as it is.
    static bool Initialize(const std::string& dir, std::string& error);
    // Opens an initialized data directory and, with clean_up, removes what
    // an interrupted run left behind (temporary files, unreferenced
    // contents, expired tickets).
    static std::unique_ptr<Store> Open(const std::string& dir, const Options& options, std::string& error);

    StoreStatus AddAccount(const std::string& name, const std::string& password_digest, uint64_t quota, bool frozen);
    StoreStatus UpdateAccount(const std::string& name, const AccountChange& change);
    bool FindAccount(const std::string& name, AccountRecord& out);
    bool GetAccount(int64_t id, AccountRecord& out);
    // Nothing when the account cannot be read (also when it is gone).
    std::optional<int64_t> CredentialGeneration(int64_t account);

    StoreStatus ListFolder(int64_t account, int64_t folder, std::vector<EntryRow>& out);
    // Every entry of the account, read in one snapshot.
    StoreStatus ListAccount(int64_t account, std::vector<EntryRow>& out);
    StoreStatus GetEntry(int64_t account, int64_t id, EntryRow& out);
    StoreStatus Lookup(int64_t account, int64_t parent, const std::string& name, EntryRow& out);
    StoreStatus CreateFolder(int64_t account, int64_t parent, const std::string& name, EntryRow& out);
    StoreStatus Rename(int64_t account, int64_t id, const std::string& new_name, EntryRow& out);
    StoreStatus Delete(int64_t account, int64_t parent, const std::vector<int64_t>& ids);

    // Ok with a new ticket, ContentKnown with the created file in entry, or a
    // refusal.
    StoreStatus BeginUpload(int64_t account, int64_t parent, const std::string& name, uint64_t size,
                            const std::string& md5, TicketRow& ticket, EntryRow& entry);
    // NotFound for unknown and expired tickets.
    StoreStatus FindTicket(const std::string& token, TicketRow& out);
    // Moves the part file, whose bytes the caller verified against the
    // ticket's MD5, into the contents and creates or replaces the file entry.
    StoreStatus CommitUpload(const TicketRow& ticket, EntryRow& out);
    void DropTicket(const std::string& token);
    bool TicketExpired(const TicketRow& ticket) const;

    std::string PartPath(const std::string& token) const;
    std::string ObjectPath(const std::string& object) const;

private:
    class WriteScope;
    Store(std::string dir, const Options& options);
    bool Sweep();
    StoreStatus DeleteOnce(int64_t account, int64_t parent, const std::vector<int64_t>& ids);
    std::string ReservePath() const;
    void KeepReserve();
    bool ReleaseReserve();
    // Called inside a WriteScope or on a pooled connection.
    StoreStatus FindAccount(SqliteConnection& db, const std::string& name, AccountRecord& out);
    StoreStatus GetAccount(SqliteConnection& db, int64_t id, AccountRecord& out);
    StoreStatus GetEntry(SqliteConnection& db, int64_t account, int64_t id, EntryRow& out);
    StoreStatus FindTicket(SqliteConnection& db, const std::string& token, TicketRow& out);
    bool DropExpiredTickets(SqliteConnection& db);
    bool FolderExists(SqliteConnection& db, int64_t account, int64_t folder);
    bool NextUpdateTime(SqliteConnection& db, int64_t account, uint32_t& stamp);
    StoreStatus FindByName(SqliteConnection& db, int64_t account, int64_t parent, const std::string& key,
                           std::optional<EntryRow>& out);
    // Where an entry named by key goes in parent: Ok with the entry that
    // holds the name, or with room for a new one; NoSuchFolder, FolderFull.
    StoreStatus PrepareTarget(SqliteConnection& db, int64_t account, int64_t parent, const std::string& key,
                              std::optional<EntryRow>& existing);
    // PrepareTarget for a file of this size: also NameTaken (a folder holds
    // the name) and NoSpace (a replaced file's size and the file's own
    // ticket, own_ticket bytes, count as free).
    StoreStatus CheckFileTarget(SqliteConnection& db, int64_t account, int64_t parent, const std::string& key,
                                uint64_t size, uint64_t own_ticket, std::optional<EntryRow>& existing);
    bool DropIdleTicketsFor(SqliteConnection& db, int64_t account, int64_t parent, const std::string& key);
    bool AdjustUsed(SqliteConnection& db, int64_t account, int64_t delta);
    // Inserts row (parent, kind, name, stamp, md5, size) and sets its id.
    bool InsertEntry(SqliteConnection& db, int64_t account, EntryRow& row);
    // Creates file (parent, name, md5, size) or makes it replace existing,
    // with a new stamp and the used space adjusted.
    StoreStatus PutFile(SqliteConnection& db, int64_t account, const std::optional<EntryRow>& existing,
                        EntryRow& file);
    void CollectGarbage(SqliteConnection& db, const std::vector<std::string>& objects);
    // Where a verified part file's bytes are kept: moved to a name of their
    // own, or found already stored under a name (the part stays).
    struct Placement {
        std::string object;
        bool moved = false;
    };
    static constexpr int kMaxTwins = 16;
    bool PlaceObject(const std::string& part, const std::string& md5, Placement& out);
    bool MoveIntoPlace(const std::string& part, const std::string& target, const std::string& bucket,
                       Placement& out);

    std::string dir_;
    Options options_;
    ConnectionPool pool_;
    std::mutex write_mutex_;
};

}  // namespace Tessel
