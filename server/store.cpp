#include "store.h"

#include "names.h"
#include "protocol.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <set>
#include <system_error>

namespace fs = std::filesystem;

namespace Tessel {
namespace {

const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS accounts(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  name TEXT NOT NULL,
  name_key TEXT NOT NULL UNIQUE,
  salt TEXT NOT NULL,
  hash TEXT NOT NULL,
  iterations INTEGER NOT NULL,
  quota INTEGER NOT NULL,
  used INTEGER NOT NULL DEFAULT 0,
  frozen INTEGER NOT NULL DEFAULT 0,
  update_counter INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS entries(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  account_id INTEGER NOT NULL REFERENCES accounts(id),
  parent_id INTEGER NOT NULL,
  kind INTEGER NOT NULL,
  name TEXT NOT NULL,
  name_key TEXT NOT NULL,
  update_time INTEGER NOT NULL,
  md5 TEXT NOT NULL DEFAULT '',
  size INTEGER NOT NULL DEFAULT 0,
  UNIQUE(account_id, parent_id, name_key));
CREATE INDEX IF NOT EXISTS entries_md5 ON entries(md5);
CREATE TABLE IF NOT EXISTS tickets(
  token TEXT PRIMARY KEY,
  account_id INTEGER NOT NULL REFERENCES accounts(id),
  parent_id INTEGER NOT NULL,
  name TEXT NOT NULL,
  size INTEGER NOT NULL,
  md5 TEXT NOT NULL,
  created INTEGER NOT NULL);
)sql";

const char* const kEntryColumns = "id, parent_id, kind, update_time, md5, size, name";

int64_t Now()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

EntryRow ReadEntry(const Statement& s)
{
    EntryRow e;
    e.id = s.Int(0);
    e.parent_id = s.Int(1);
    e.is_file = s.Int(2) == 1;
    e.update_time = static_cast<uint32_t>(s.Int(3));
    e.md5 = s.Text(4);
    e.size = static_cast<uint64_t>(s.Int(5));
    e.name = s.Text(6);
    return e;
}

TicketRow ReadTicket(const Statement& s)
{
    TicketRow t;
    t.token = s.Text(0);
    t.account_id = s.Int(1);
    t.parent_id = s.Int(2);
    t.name = s.Text(3);
    t.size = static_cast<uint64_t>(s.Int(4));
    t.md5 = s.Text(5);
    t.created = s.Int(6);
    return t;
}

bool SyncDirectory(const std::string& dir)
{
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

std::string DbPath(const std::string& dir) { return dir + "/tessel.db"; }

#define ENTRY_SELECT "SELECT id, parent_id, kind, update_time, md5, size, name FROM entries "

}  // namespace

Store::Store(std::string dir, const Options& options)
    : dir_(std::move(dir)), options_(options), pool_(DbPath(dir_))
{
}

bool Store::Initialize(const std::string& dir, std::string& error)
{
    std::error_code ec;
    for (const char* sub : {"", "/objects", "/uploads"}) {
        fs::create_directories(dir + sub, ec);
        if (ec) {
            error = "cannot create " + dir + sub + ": " + ec.message();
            return false;
        }
    }
    auto db = SqliteConnection::Open(DbPath(dir), true, error);
    if (!db)
        return false;
    if (!db->Exec(kSchema)) {
        error = db->LastError();
        return false;
    }
    return true;
}

std::unique_ptr<Store> Store::Open(const std::string& dir, const Options& options, std::string& error)
{
    if (!fs::is_directory(dir + "/objects") || !fs::is_directory(dir + "/uploads") || !fs::exists(DbPath(dir))) {
        error = dir + " is not a data directory (run init first)";
        return nullptr;
    }
    std::unique_ptr<Store> store(new Store(dir, options));
    {
        auto db = store->pool_.Acquire();
        if (!db || !db->Exec(kSchema)) {
            error = "cannot open the database in " + dir;
            return nullptr;
        }
    }
    if (options.clean_up && !store->Sweep()) {
        error = "cannot clean up " + dir;
        return nullptr;
    }
    return store;
}

bool Store::Sweep()
{
    std::lock_guard<std::mutex> lock(write_mutex_);
    auto db = pool_.Acquire();
    if (!db)
        return false;
    if (!DropExpiredTickets(*db))
        return false;
    std::set<std::string> tokens;
    {
        Statement s(*db, "SELECT token FROM tickets");
        while (s.Step())
            tokens.insert(s.Text(0));
        if (s.failed())
            return false;
    }
    std::error_code ec;
    for (const auto& item : fs::directory_iterator(dir_ + "/uploads", ec)) {
        const std::string name = item.path().filename().string();
        const bool live = name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0 &&
                          tokens.count(name.substr(0, name.size() - 5));
        if (!live)
            fs::remove(item.path(), ec);
    }
    std::set<std::string> referenced;
    {
        Statement s(*db, "SELECT DISTINCT md5 FROM entries WHERE kind = 1");
        while (s.Step())
            referenced.insert(s.Text(0));
        if (s.failed())
            return false;
    }
    for (const auto& bucket : fs::directory_iterator(dir_ + "/objects", ec)) {
        if (!bucket.is_directory())
            continue;
        for (const auto& item : fs::directory_iterator(bucket.path(), ec))
            if (!referenced.count(item.path().filename().string()))
                fs::remove(item.path(), ec);
    }
    return true;
}

std::string Store::PartPath(const std::string& token) const { return dir_ + "/uploads/" + token + ".part"; }

std::string Store::ObjectPath(const std::string& md5) const
{
    return dir_ + "/objects/" + md5.substr(0, 2) + "/" + md5;
}

StoreStatus Store::AddAccount(const std::string& name, const std::string& password_digest, uint64_t quota, bool frozen)
{
    const PasswordHash hash = HashPasswordDigest(password_digest);
    std::lock_guard<std::mutex> lock(write_mutex_);
    auto db = pool_.Acquire();
    if (!db)
        return StoreStatus::Error;
    Transaction tx(*db);
    {
        Statement s(*db, "SELECT 1 FROM accounts WHERE name_key = ?");
        s.Bind(1, FoldName(name));
        if (s.Step())
            return StoreStatus::NameTaken;
        if (s.failed())
            return StoreStatus::Error;
    }
    Statement s(*db,
                "INSERT INTO accounts(name, name_key, salt, hash, iterations, quota, frozen) VALUES(?,?,?,?,?,?,?)");
    s.Bind(1, name).Bind(2, FoldName(name)).Bind(3, hash.salt).Bind(4, hash.hash);
    s.Bind(5, hash.iterations).Bind(6, static_cast<int64_t>(quota)).Bind(7, frozen ? 1 : 0);
    if (!s.Run() || !tx.Commit())
        return StoreStatus::Error;
    return StoreStatus::Ok;
}

StoreStatus Store::UpdateAccount(const std::string& name, const AccountChange& change)
{
    std::lock_guard<std::mutex> lock(write_mutex_);
    auto db = pool_.Acquire();
    if (!db)
        return StoreStatus::Error;
    Transaction tx(*db);
    const std::string key = FoldName(name);
    {
        Statement s(*db, "SELECT 1 FROM accounts WHERE name_key = ?");
        s.Bind(1, key);
        if (!s.Step())
            return s.failed() ? StoreStatus::Error : StoreStatus::NotFound;
    }
    if (change.password_digest) {
        const PasswordHash hash = HashPasswordDigest(*change.password_digest);
        Statement s(*db, "UPDATE accounts SET salt = ?, hash = ?, iterations = ? WHERE name_key = ?");
        if (!s.Bind(1, hash.salt).Bind(2, hash.hash).Bind(3, hash.iterations).Bind(4, key).Run())
            return StoreStatus::Error;
    }
    if (change.quota) {
        Statement s(*db, "UPDATE accounts SET quota = ? WHERE name_key = ?");
        if (!s.Bind(1, static_cast<int64_t>(*change.quota)).Bind(2, key).Run())
            return StoreStatus::Error;
    }
    if (change.frozen) {
        Statement s(*db, "UPDATE accounts SET frozen = ? WHERE name_key = ?");
        if (!s.Bind(1, *change.frozen ? 1 : 0).Bind(2, key).Run())
            return StoreStatus::Error;
    }
    return tx.Commit() ? StoreStatus::Ok : StoreStatus::Error;
}

namespace {

bool ReadAccount(Statement& s, AccountRecord& out)
{
    if (!s.Step())
        return false;
    out.id = s.Int(0);
    out.name = s.Text(1);
    out.quota = static_cast<uint64_t>(s.Int(2));
    out.used = static_cast<uint64_t>(s.Int(3));
    out.frozen = s.Int(4) != 0;
    out.password.salt = s.Text(5);
    out.password.hash = s.Text(6);
    out.password.iterations = static_cast<int>(s.Int(7));
    return true;
}

}  // namespace

bool Store::FindAccount(const std::string& name, AccountRecord& out)
{
    auto db = pool_.Acquire();
    if (!db)
        return false;
    Statement s(*db, "SELECT id, name, quota, used, frozen, salt, hash, iterations FROM accounts WHERE name_key = ?");
    s.Bind(1, FoldName(name));
    return ReadAccount(s, out);
}

bool Store::GetAccount(int64_t id, AccountRecord& out)
{
    auto db = pool_.Acquire();
    if (!db)
        return false;
    Statement s(*db, "SELECT id, name, quota, used, frozen, salt, hash, iterations FROM accounts WHERE id = ?");
    s.Bind(1, id);
    return ReadAccount(s, out);
}

bool Store::FolderExists(SqliteConnection& db, int64_t account, int64_t folder)
{
    if (folder == kRootFolder)
        return true;
    Statement s(db, "SELECT 1 FROM entries WHERE id = ? AND account_id = ? AND kind = 0");
    s.Bind(1, folder).Bind(2, account);
    return s.Step();
}

bool Store::NextUpdateTime(SqliteConnection& db, int64_t account, uint32_t& stamp)
{
    Statement s(db, "UPDATE accounts SET update_counter = update_counter + 1 WHERE id = ? RETURNING update_counter");
    s.Bind(1, account);
    if (!s.Step())
        return false;
    const int64_t value = s.Int(0);
    // The stamp field is 32 bits wide; a counter past it would stop growing.
    if (value <= 0 || value > UINT32_MAX)
        return false;
    stamp = static_cast<uint32_t>(value);
    return s.Step() || !s.failed();
}

bool Store::CountChildren(SqliteConnection& db, int64_t account, int64_t folder, int64_t& count)
{
    Statement s(db, "SELECT COUNT(*) FROM entries WHERE account_id = ? AND parent_id = ?");
    s.Bind(1, account).Bind(2, folder);
    if (!s.Step())
        return false;
    count = s.Int(0);
    return true;
}

bool Store::FindByName(SqliteConnection& db, int64_t account, int64_t parent, const std::string& key,
                       std::optional<EntryRow>& out)
{
    Statement s(db, ENTRY_SELECT "WHERE account_id = ? AND parent_id = ? AND name_key = ?");
    s.Bind(1, account).Bind(2, parent).Bind(3, key);
    if (s.Step())
        out = ReadEntry(s);
    else
        out.reset();
    return !s.failed();
}

bool Store::AdjustUsed(SqliteConnection& db, int64_t account, int64_t delta)
{
    Statement s(db, "UPDATE accounts SET used = MAX(0, used + ?) WHERE id = ?");
    return s.Bind(1, delta).Bind(2, account).Run();
}

StoreStatus Store::ListFolder(int64_t account, int64_t folder, std::vector<EntryRow>& out)
{
    auto db = pool_.Acquire();
    if (!db)
        return StoreStatus::Error;
    out.clear();
    if (!FolderExists(*db, account, folder))
        return StoreStatus::NoSuchFolder;
    Statement s(*db, ENTRY_SELECT "WHERE account_id = ? AND parent_id = ? ORDER BY id");
    s.Bind(1, account).Bind(2, folder);
    while (s.Step())
        out.push_back(ReadEntry(s));
    return s.failed() ? StoreStatus::Error : StoreStatus::Ok;
}

StoreStatus Store::ListAccount(int64_t account, std::vector<EntryRow>& out)
{
    auto db = pool_.Acquire();
    if (!db)
        return StoreStatus::Error;
    out.clear();
    Statement s(*db, ENTRY_SELECT "WHERE account_id = ?");
    s.Bind(1, account);
    while (s.Step())
        out.push_back(ReadEntry(s));
    return s.failed() ? StoreStatus::Error : StoreStatus::Ok;
}

StoreStatus Store::GetEntry(int64_t account, int64_t id, EntryRow& out)
{
    auto db = pool_.Acquire();
    if (!db)
        return StoreStatus::Error;
    Statement s(*db, ENTRY_SELECT "WHERE id = ? AND account_id = ?");
    s.Bind(1, id).Bind(2, account);
    if (!s.Step())
        return s.failed() ? StoreStatus::Error : StoreStatus::NotFound;
    out = ReadEntry(s);
    return StoreStatus::Ok;
}

StoreStatus Store::Lookup(int64_t account, int64_t parent, const std::string& name, EntryRow& out)
{
    auto db = pool_.Acquire();
    if (!db)
        return StoreStatus::Error;
    std::optional<EntryRow> found;
    if (!FindByName(*db, account, parent, FoldName(name), found))
        return StoreStatus::Error;
    if (!found)
        return StoreStatus::NotFound;
    out = *found;
    return StoreStatus::Ok;
}

StoreStatus Store::CreateFolder(int64_t account, int64_t parent, const std::string& name, EntryRow& out)
{
    std::lock_guard<std::mutex> lock(write_mutex_);
    auto db = pool_.Acquire();
    if (!db)
        return StoreStatus::Error;
    Transaction tx(*db);
    if (!tx.ok())
        return StoreStatus::Error;
    if (!FolderExists(*db, account, parent))
        return StoreStatus::NoSuchFolder;
    const std::string key = FoldName(name);
    std::optional<EntryRow> existing;
    if (!FindByName(*db, account, parent, key, existing))
        return StoreStatus::Error;
    if (existing) {
        out = *existing;
        return existing->is_file ? StoreStatus::NameTaken : StoreStatus::FolderExists;
    }
    int64_t children = 0;
    if (!CountChildren(*db, account, parent, children))
        return StoreStatus::Error;
    if (children >= static_cast<int64_t>(kMaxFolderEntries))
        return StoreStatus::FolderFull;
    uint32_t stamp = 0;
    if (!NextUpdateTime(*db, account, stamp))
        return StoreStatus::Error;
    Statement s(*db,
                "INSERT INTO entries(account_id, parent_id, kind, name, name_key, update_time) VALUES(?,?,0,?,?,?) "
                "RETURNING id");
    s.Bind(1, account).Bind(2, parent).Bind(3, name).Bind(4, key).Bind(5, stamp);
    if (!s.Step())
        return StoreStatus::Error;
    out = EntryRow{};
    out.id = s.Int(0);
    out.parent_id = parent;
    out.update_time = stamp;
    out.name = name;
    s.Step();
    if (s.failed() || out.id > INT32_MAX || !tx.Commit())
        return StoreStatus::Error;
    return StoreStatus::Ok;
}

StoreStatus Store::Rename(int64_t account, int64_t id, const std::string& new_name, EntryRow& out)
{
    std::lock_guard<std::mutex> lock(write_mutex_);
    auto db = pool_.Acquire();
    if (!db)
        return StoreStatus::Error;
    Transaction tx(*db);
    if (!tx.ok())
        return StoreStatus::Error;
    {
        Statement s(*db, ENTRY_SELECT "WHERE id = ? AND account_id = ?");
        s.Bind(1, id).Bind(2, account);
        if (!s.Step())
            return s.failed() ? StoreStatus::Error : StoreStatus::NotFound;
        out = ReadEntry(s);
    }
    if (out.name == new_name)
        return StoreStatus::Unchanged;
    const std::string key = FoldName(new_name);
    std::optional<EntryRow> holder;
    if (!FindByName(*db, account, out.parent_id, key, holder))
        return StoreStatus::Error;
    if (holder && holder->id != id)
        return StoreStatus::NameTaken;
    uint32_t stamp = 0;
    if (!NextUpdateTime(*db, account, stamp))
        return StoreStatus::Error;
    Statement s(*db, "UPDATE entries SET name = ?, name_key = ?, update_time = ? WHERE id = ?");
    if (!s.Bind(1, new_name).Bind(2, key).Bind(3, stamp).Bind(4, id).Run() || !tx.Commit())
        return StoreStatus::Error;
    out.name = new_name;
    out.update_time = stamp;
    return StoreStatus::Ok;
}

StoreStatus Store::Delete(int64_t account, int64_t parent, const std::vector<int64_t>& ids)
{
    std::lock_guard<std::mutex> lock(write_mutex_);
    auto db = pool_.Acquire();
    if (!db)
        return StoreStatus::Error;
    Transaction tx(*db);
    if (!tx.ok())
        return StoreStatus::Error;
    if (!FolderExists(*db, account, parent))
        return StoreStatus::NoSuchFolder;
    std::vector<int64_t> present;
    for (int64_t id : ids) {
        Statement s(*db, "SELECT parent_id FROM entries WHERE id = ? AND account_id = ?");
        s.Bind(1, id).Bind(2, account);
        if (!s.Step()) {
            if (s.failed())
                return StoreStatus::Error;
            // Already gone: a repeated request after a lost reply succeeds.
            continue;
        }
        if (s.Int(0) != parent)
            return StoreStatus::NotFound;
        present.push_back(id);
    }
    std::vector<std::string> released;
    int64_t freed = 0;
    for (int64_t id : present) {
        {
            Statement s(*db,
                        "WITH RECURSIVE sub(id) AS (SELECT ? UNION ALL SELECT e.id FROM entries e JOIN sub "
                        "ON e.parent_id = sub.id WHERE e.account_id = ?) "
                        "SELECT md5, size FROM entries WHERE id IN sub AND kind = 1");
            s.Bind(1, id).Bind(2, account);
            while (s.Step()) {
                released.push_back(s.Text(0));
                freed += s.Int(1);
            }
            if (s.failed())
                return StoreStatus::Error;
        }
        Statement s(*db,
                    "WITH RECURSIVE sub(id) AS (SELECT ? UNION ALL SELECT e.id FROM entries e JOIN sub "
                    "ON e.parent_id = sub.id WHERE e.account_id = ?) "
                    "DELETE FROM entries WHERE id IN sub");
        if (!s.Bind(1, id).Bind(2, account).Run())
            return StoreStatus::Error;
    }
    if (!AdjustUsed(*db, account, -freed) || !tx.Commit())
        return StoreStatus::Error;
    CollectGarbage(*db, released);
    return StoreStatus::Ok;
}

void Store::CollectGarbage(SqliteConnection& db, const std::vector<std::string>& md5s)
{
    for (const std::string& md5 : std::set<std::string>(md5s.begin(), md5s.end())) {
        Statement s(db, "SELECT 1 FROM entries WHERE md5 = ? AND kind = 1 LIMIT 1");
        s.Bind(1, md5);
        if (s.Step() || s.failed())
            continue;
        std::error_code ec;
        fs::remove(ObjectPath(md5), ec);
    }
}

bool Store::DropExpiredTickets(SqliteConnection& db)
{
    const int64_t cutoff = Now() - options_.ticket_lifetime_seconds;
    std::vector<std::string> tokens;
    {
        Statement s(db, "SELECT token FROM tickets WHERE created < ?");
        s.Bind(1, cutoff);
        while (s.Step())
            tokens.push_back(s.Text(0));
        if (s.failed())
            return false;
    }
    Statement s(db, "DELETE FROM tickets WHERE created < ?");
    if (!s.Bind(1, cutoff).Run())
        return false;
    std::error_code ec;
    for (const std::string& token : tokens)
        fs::remove(PartPath(token), ec);
    return true;
}

bool Store::TicketExpired(const TicketRow& ticket) const
{
    return ticket.created + options_.ticket_lifetime_seconds < Now();
}

StoreStatus Store::BeginUpload(int64_t account, int64_t parent, const std::string& name, uint64_t size,
                               const std::string& md5, TicketRow& ticket, EntryRow& entry)
{
    std::lock_guard<std::mutex> lock(write_mutex_);
    auto db = pool_.Acquire();
    if (!db)
        return StoreStatus::Error;
    Transaction tx(*db);
    if (!tx.ok())
        return StoreStatus::Error;
    if (!FolderExists(*db, account, parent))
        return StoreStatus::NoSuchFolder;
    const std::string key = FoldName(name);
    std::optional<EntryRow> existing;
    if (!FindByName(*db, account, parent, key, existing))
        return StoreStatus::Error;
    if (existing && !existing->is_file)
        return StoreStatus::NameTaken;
    if (!existing) {
        int64_t children = 0;
        if (!CountChildren(*db, account, parent, children))
            return StoreStatus::Error;
        if (children >= static_cast<int64_t>(kMaxFolderEntries))
            return StoreStatus::FolderFull;
    }
    AccountRecord owner;
    {
        Statement s(*db, "SELECT id, name, quota, used, frozen, salt, hash, iterations FROM accounts WHERE id = ?");
        s.Bind(1, account);
        if (!ReadAccount(s, owner))
            return StoreStatus::Error;
    }
    const uint64_t replaced = existing ? existing->size : 0;
    const uint64_t free_space = owner.quota > owner.used ? owner.quota - owner.used : 0;
    if (size > free_space + replaced || size > static_cast<uint64_t>(INT64_MAX))
        return StoreStatus::NoSpace;

    bool known = false;
    {
        // Only this account's own contents count, so that nobody can obtain a
        // file by naming its digest.
        Statement s(*db, "SELECT 1 FROM entries WHERE account_id = ? AND kind = 1 AND md5 = ? AND size = ? LIMIT 1");
        s.Bind(1, account).Bind(2, md5).Bind(3, static_cast<int64_t>(size));
        known = s.Step();
        if (s.failed())
            return StoreStatus::Error;
    }
    if (known) {
        uint32_t stamp = 0;
        if (!NextUpdateTime(*db, account, stamp))
            return StoreStatus::Error;
        std::vector<std::string> released;
        if (existing) {
            Statement s(*db, "UPDATE entries SET name = ?, md5 = ?, size = ?, update_time = ? WHERE id = ?");
            s.Bind(1, name).Bind(2, md5).Bind(3, static_cast<int64_t>(size)).Bind(4, stamp).Bind(5, existing->id);
            if (!s.Run())
                return StoreStatus::Error;
            entry = *existing;
            released.push_back(existing->md5);
        } else {
            Statement s(*db,
                        "INSERT INTO entries(account_id, parent_id, kind, name, name_key, update_time, md5, size) "
                        "VALUES(?,?,1,?,?,?,?,?) RETURNING id");
            s.Bind(1, account).Bind(2, parent).Bind(3, name).Bind(4, key).Bind(5, stamp).Bind(6, md5);
            s.Bind(7, static_cast<int64_t>(size));
            if (!s.Step())
                return StoreStatus::Error;
            entry = EntryRow{};
            entry.id = s.Int(0);
            entry.parent_id = parent;
            s.Step();
            if (s.failed() || entry.id > INT32_MAX)
                return StoreStatus::Error;
        }
        entry.is_file = true;
        entry.name = name;
        entry.md5 = md5;
        entry.size = size;
        entry.update_time = stamp;
        if (!AdjustUsed(*db, account, static_cast<int64_t>(size) - static_cast<int64_t>(replaced)) || !tx.Commit())
            return StoreStatus::Error;
        CollectGarbage(*db, released);
        return StoreStatus::ContentKnown;
    }

    if (!DropExpiredTickets(*db))
        return StoreStatus::Error;
    ticket = TicketRow{};
    ticket.token = RandomToken(kTokenSize);
    ticket.account_id = account;
    ticket.parent_id = parent;
    ticket.name = name;
    ticket.size = size;
    ticket.md5 = md5;
    ticket.created = Now();
    Statement s(*db, "INSERT INTO tickets(token, account_id, parent_id, name, size, md5, created) VALUES(?,?,?,?,?,?,?)");
    s.Bind(1, ticket.token).Bind(2, account).Bind(3, parent).Bind(4, name);
    s.Bind(5, static_cast<int64_t>(size)).Bind(6, md5).Bind(7, ticket.created);
    if (!s.Run() || !tx.Commit())
        return StoreStatus::Error;
    return StoreStatus::Ok;
}

StoreStatus Store::FindTicket(const std::string& token, TicketRow& out)
{
    auto db = pool_.Acquire();
    if (!db)
        return StoreStatus::Error;
    Statement s(*db, "SELECT token, account_id, parent_id, name, size, md5, created FROM tickets WHERE token = ?");
    s.Bind(1, token);
    if (!s.Step())
        return s.failed() ? StoreStatus::Error : StoreStatus::NotFound;
    out = ReadTicket(s);
    return TicketExpired(out) ? StoreStatus::NotFound : StoreStatus::Ok;
}

void Store::DropTicket(const std::string& token)
{
    std::lock_guard<std::mutex> lock(write_mutex_);
    auto db = pool_.Acquire();
    if (!db)
        return;
    Statement s(*db, "DELETE FROM tickets WHERE token = ?");
    s.Bind(1, token).Run();
    std::error_code ec;
    fs::remove(PartPath(token), ec);
}

bool Store::PlaceObject(const std::string& part, const std::string& md5)
{
    const std::string target = ObjectPath(md5);
    const std::string bucket = dir_ + "/objects/" + md5.substr(0, 2);
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) {
        ::unlink(part.c_str());
        return true;
    }
    if (::mkdir(bucket.c_str(), 0755) != 0 && errno != EEXIST)
        return false;
    const int fd = ::open(part.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    // The part file only gets the content's name once it is complete and on
    // disk, so a killed server never leaves a half file under that name.
    return synced && ::rename(part.c_str(), target.c_str()) == 0 && SyncDirectory(bucket);
}

StoreStatus Store::CommitUpload(const TicketRow& ticket, EntryRow& out)
{
    std::lock_guard<std::mutex> lock(write_mutex_);
    auto db = pool_.Acquire();
    if (!db)
        return StoreStatus::Error;
    Transaction tx(*db);
    if (!tx.ok())
        return StoreStatus::Error;
    {
        Statement s(*db, "SELECT 1 FROM tickets WHERE token = ?");
        s.Bind(1, ticket.token);
        if (!s.Step())
            return s.failed() ? StoreStatus::Error : StoreStatus::NotFound;
    }
    const int64_t account = ticket.account_id;
    if (!FolderExists(*db, account, ticket.parent_id))
        return StoreStatus::NoSuchFolder;
    const std::string key = FoldName(ticket.name);
    std::optional<EntryRow> existing;
    if (!FindByName(*db, account, ticket.parent_id, key, existing))
        return StoreStatus::Error;
    if (existing && !existing->is_file)
        return StoreStatus::NameTaken;
    if (!existing) {
        int64_t children = 0;
        if (!CountChildren(*db, account, ticket.parent_id, children))
            return StoreStatus::Error;
        if (children >= static_cast<int64_t>(kMaxFolderEntries))
            return StoreStatus::FolderFull;
    }
    AccountRecord owner;
    {
        Statement s(*db, "SELECT id, name, quota, used, frozen, salt, hash, iterations FROM accounts WHERE id = ?");
        s.Bind(1, account);
        if (!ReadAccount(s, owner))
            return StoreStatus::Error;
    }
    const uint64_t replaced = existing ? existing->size : 0;
    const uint64_t free_space = owner.quota > owner.used ? owner.quota - owner.used : 0;
    if (ticket.size > free_space + replaced)
        return StoreStatus::NoSpace;
    uint32_t stamp = 0;
    if (!NextUpdateTime(*db, account, stamp))
        return StoreStatus::Error;
    out = EntryRow{};
    if (existing) {
        Statement s(*db, "UPDATE entries SET name = ?, md5 = ?, size = ?, update_time = ? WHERE id = ?");
        s.Bind(1, ticket.name).Bind(2, ticket.md5).Bind(3, static_cast<int64_t>(ticket.size)).Bind(4, stamp);
        if (!s.Bind(5, existing->id).Run())
            return StoreStatus::Error;
        out.id = existing->id;
    } else {
        Statement s(*db,
                    "INSERT INTO entries(account_id, parent_id, kind, name, name_key, update_time, md5, size) "
                    "VALUES(?,?,1,?,?,?,?,?) RETURNING id");
        s.Bind(1, account).Bind(2, ticket.parent_id).Bind(3, ticket.name).Bind(4, key).Bind(5, stamp);
        s.Bind(6, ticket.md5).Bind(7, static_cast<int64_t>(ticket.size));
        if (!s.Step())
            return StoreStatus::Error;
        out.id = s.Int(0);
        s.Step();
        if (s.failed() || out.id > INT32_MAX)
            return StoreStatus::Error;
    }
    {
        Statement s(*db, "DELETE FROM tickets WHERE token = ?");
        if (!s.Bind(1, ticket.token).Run())
            return StoreStatus::Error;
    }
    if (!AdjustUsed(*db, account, static_cast<int64_t>(ticket.size) - static_cast<int64_t>(replaced)))
        return StoreStatus::Error;
    if (!PlaceObject(PartPath(ticket.token), ticket.md5) || !tx.Commit())
        return StoreStatus::Error;
    out.parent_id = ticket.parent_id;
    out.is_file = true;
    out.update_time = stamp;
    out.md5 = ticket.md5;
    out.size = ticket.size;
    out.name = ticket.name;
    if (existing && existing->md5 != ticket.md5)
        CollectGarbage(*db, {existing->md5});
    return StoreStatus::Ok;
}

}  // namespace Tessel
