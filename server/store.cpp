#include "store.h"

#include "names.h"
#include "protocol.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <climits>
#include <algorithm>
#include <filesystem>
#include <fstream>
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
  update_counter INTEGER NOT NULL DEFAULT 0,
  credential_generation INTEGER NOT NULL DEFAULT 0);
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
  object TEXT NOT NULL DEFAULT '',
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
CREATE INDEX IF NOT EXISTS tickets_account ON tickets(account_id);
)sql";

// Columns added since the first data directories were made: a directory
// without one gets it when opened, the last field filling it in for the
// rows already there.
const char* const kAddedColumns[][4] = {
    {"accounts", "credential_generation", "INTEGER NOT NULL DEFAULT 0", ""},
    {"entries", "object", "TEXT NOT NULL DEFAULT ''", "UPDATE entries SET object = md5 WHERE kind = 1"},
};

// What needs the added columns. Any change of a stored credential, by
// whatever writer of the database, counts up its generation; sessions
// signed on with an older one end.
const char* const kOnAddedColumns = R"sql(
CREATE INDEX IF NOT EXISTS entries_object ON entries(object);
CREATE TRIGGER IF NOT EXISTS accounts_credential_changed
AFTER UPDATE OF salt, hash, iterations ON accounts
WHEN OLD.salt IS NOT NEW.salt OR OLD.hash IS NOT NEW.hash OR OLD.iterations IS NOT NEW.iterations
BEGIN
  UPDATE accounts SET credential_generation = credential_generation + 1 WHERE id = NEW.id;
END;
)sql";

// Column lists that the row readers below expect, in their order.
#define ENTRY_SELECT "SELECT id, parent_id, kind, update_time, md5, size, name, object FROM entries "
#define ACCOUNT_SELECT                                                                                  \
    "SELECT id, name, quota, used, frozen, salt, hash, iterations, credential_generation, "             \
    "(SELECT COALESCE(SUM(size), 0) FROM tickets WHERE tickets.account_id = accounts.id) FROM accounts "
#define TICKET_SELECT "SELECT token, account_id, parent_id, name, size, md5, created FROM tickets "

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
    e.object = s.Text(7);
    return e;
}

AccountRecord ReadAccount(const Statement& s)
{
    AccountRecord a;
    a.id = s.Int(0);
    a.name = s.Text(1);
    a.quota = static_cast<uint64_t>(s.Int(2));
    a.used = static_cast<uint64_t>(s.Int(3));
    a.frozen = s.Int(4) != 0;
    a.password.salt = s.Text(5);
    a.password.hash = s.Text(6);
    a.password.iterations = static_cast<int>(s.Int(7));
    a.credential_generation = s.Int(8);
    a.reserved = static_cast<uint64_t>(s.Int(9));
    return a;
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

// The first row of a statement through its reader: NotFound without one.
template <class Row, class Reader>
StoreStatus ReadOne(Statement& s, Row& out, Reader read)
{
    if (!s.Step())
        return s.failed() ? StoreStatus::Error : StoreStatus::NotFound;
    out = read(s);
    return StoreStatus::Ok;
}

// Every row of a statement, appended.
template <class Row, class Reader>
StoreStatus ReadAll(Statement& s, std::vector<Row>& out, Reader read)
{
    while (s.Step())
        out.push_back(read(s));
    return s.failed() ? StoreStatus::Error : StoreStatus::Ok;
}

std::string ReadText(const Statement& s) { return s.Text(0); }

uint64_t AddCapped(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

// Whether the account stays within its quota with the file in: what it
// stores without the file replaced, the other open tickets and the file.
// Counted whole, not from a free space that stops at zero, so that an
// account a lowered quota left over it is granted nothing that keeps it
// over, not even a smaller replacement.
bool FitsQuota(const AccountRecord& owner, uint64_t size, uint64_t replaced, uint64_t own_ticket)
{
    if (size > static_cast<uint64_t>(INT64_MAX))
        return false;
    const uint64_t kept = owner.used > replaced ? owner.used - replaced : 0;
    const uint64_t others = owner.reserved > own_ticket ? owner.reserved - own_ticket : 0;
    return AddCapped(AddCapped(kept, others), size) <= owner.quota;
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

bool HasColumn(SqliteConnection& db, const std::string& table, const std::string& column)
{
    Statement s(db, "SELECT 1 FROM pragma_table_info(?) WHERE name = ?");
    s.Bind(1, table).Bind(2, column);
    return s.Step();
}

// In one transaction: the server and the command-line tools may open a
// directory at the same time.
bool EnsureSchema(SqliteConnection& db)
{
    Transaction tx(db);
    if (!tx.ok() || !db.Exec(kSchema))
        return false;
    for (const auto& added : kAddedColumns) {
        if (HasColumn(db, added[0], added[1]))
            continue;
        const std::string sql = std::string("ALTER TABLE ") + added[0] + " ADD COLUMN " + added[1] + " " + added[2];
        if (!db.Exec(sql.c_str()) || !db.Exec(added[3]))
            return false;
    }
    return db.Exec(kOnAddedColumns) && tx.Commit();
}

}  // namespace

// The opening of every change: the writer lock, a pooled connection and a
// transaction that rolls back unless committed.
class Store::WriteScope {
public:
    explicit WriteScope(Store& store) : lock_(store.write_mutex_), db_(store.pool_.Acquire())
    {
        if (db_)
            tx_.emplace(*db_);
    }
    bool ok() const { return tx_ && tx_->ok(); }
    SqliteConnection& db() { return *db_; }
    bool Commit() { return tx_->Commit(); }

private:
    std::lock_guard<std::mutex> lock_;
    ConnectionPool::Lease db_;
    std::optional<Transaction> tx_;
};

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
    if (!EnsureSchema(*db)) {
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
        if (!db || !EnsureSchema(*db)) {
            error = "cannot open the database in " + dir;
            return nullptr;
        }
    }
    if (options.clean_up && !store->Sweep()) {
        error = "cannot clean up " + dir;
        return nullptr;
    }
    store->KeepReserve();
    return store;
}

std::string Store::ReservePath() const { return dir_ + "/reserve"; }

void Store::KeepReserve()
{
    if (options_.disk_reserve == 0)
        return;
    const std::string path = ReservePath();
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) >= options_.disk_reserve)
        return;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    // Whatever part of it fits is kept: any room helps a delete.
    ::posix_fallocate(fd, 0, static_cast<off_t>(options_.disk_reserve));
    ::close(fd);
}

bool Store::ReleaseReserve() { return options_.disk_reserve != 0 && ::unlink(ReservePath().c_str()) == 0; }

bool Store::Sweep()
{
    WriteScope w(*this);
    if (!w.ok() || !DropExpiredTickets(w.db()))
        return false;
    std::vector<std::string> tokens;
    {
        Statement s(w.db(), "SELECT token FROM tickets");
        if (ReadAll(s, tokens, ReadText) != StoreStatus::Ok)
            return false;
    }
    std::vector<std::string> referenced;
    {
        Statement s(w.db(), "SELECT DISTINCT object FROM entries WHERE kind = 1");
        if (ReadAll(s, referenced, ReadText) != StoreStatus::Ok)
            return false;
    }
    if (!w.Commit())
        return false;
    const std::set<std::string> live(tokens.begin(), tokens.end());
    std::error_code ec;
    for (const auto& item : fs::directory_iterator(dir_ + "/uploads", ec)) {
        const std::string name = item.path().filename().string();
        const bool part = name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0;
        if (!part || !live.count(name.substr(0, name.size() - 5)))
            fs::remove(item.path(), ec);
    }
    const std::set<std::string> kept(referenced.begin(), referenced.end());
    for (const auto& bucket : fs::directory_iterator(dir_ + "/objects", ec)) {
        if (!bucket.is_directory())
            continue;
        for (const auto& item : fs::directory_iterator(bucket.path(), ec))
            if (!kept.count(item.path().filename().string()))
                fs::remove(item.path(), ec);
    }
    return true;
}

std::string Store::PartPath(const std::string& token) const { return dir_ + "/uploads/" + token + ".part"; }

std::string Store::ObjectPath(const std::string& object) const
{
    return dir_ + "/objects/" + object.substr(0, 2) + "/" + object;
}

StoreStatus Store::AddAccount(const std::string& name, const std::string& password_digest, uint64_t quota, bool frozen)
{
    const PasswordHash hash = HashPasswordDigest(password_digest);
    WriteScope w(*this);
    if (!w.ok())
        return StoreStatus::Error;
    AccountRecord existing;
    const StoreStatus found = FindAccount(w.db(), name, existing);
    if (found != StoreStatus::NotFound)
        return found == StoreStatus::Ok ? StoreStatus::NameTaken : found;
    Statement s(w.db(),
                "INSERT INTO accounts(name, name_key, salt, hash, iterations, quota, frozen) VALUES(?,?,?,?,?,?,?)");
    s.Bind(1, name).Bind(2, FoldName(name)).Bind(3, hash.salt).Bind(4, hash.hash);
    s.Bind(5, hash.iterations).Bind(6, static_cast<int64_t>(quota)).Bind(7, frozen ? 1 : 0);
    return s.Run() && w.Commit() ? StoreStatus::Ok : StoreStatus::Error;
}

StoreStatus Store::UpdateAccount(const std::string& name, const AccountChange& change)
{
    WriteScope w(*this);
    if (!w.ok())
        return StoreStatus::Error;
    AccountRecord account;
    const StoreStatus found = FindAccount(w.db(), name, account);
    if (found != StoreStatus::Ok)
        return found;
    if (change.password_digest) {
        const PasswordHash hash = HashPasswordDigest(*change.password_digest);
        Statement s(w.db(), "UPDATE accounts SET salt = ?, hash = ?, iterations = ? WHERE id = ?");
        if (!s.Bind(1, hash.salt).Bind(2, hash.hash).Bind(3, hash.iterations).Bind(4, account.id).Run())
            return StoreStatus::Error;
    }
    if (change.quota) {
        Statement s(w.db(), "UPDATE accounts SET quota = ? WHERE id = ?");
        if (!s.Bind(1, static_cast<int64_t>(*change.quota)).Bind(2, account.id).Run())
            return StoreStatus::Error;
    }
    if (change.frozen) {
        Statement s(w.db(), "UPDATE accounts SET frozen = ? WHERE id = ?");
        if (!s.Bind(1, *change.frozen ? 1 : 0).Bind(2, account.id).Run())
            return StoreStatus::Error;
    }
    return w.Commit() ? StoreStatus::Ok : StoreStatus::Error;
}

StoreStatus Store::FindAccount(SqliteConnection& db, const std::string& name, AccountRecord& out)
{
    Statement s(db, ACCOUNT_SELECT "WHERE name_key = ?");
    s.Bind(1, FoldName(name));
    return ReadOne(s, out, ReadAccount);
}

StoreStatus Store::GetAccount(SqliteConnection& db, int64_t id, AccountRecord& out)
{
    Statement s(db, ACCOUNT_SELECT "WHERE id = ?");
    s.Bind(1, id);
    return ReadOne(s, out, ReadAccount);
}

bool Store::FindAccount(const std::string& name, AccountRecord& out)
{
    auto db = pool_.Acquire();
    return db && FindAccount(*db, name, out) == StoreStatus::Ok;
}

bool Store::GetAccount(int64_t id, AccountRecord& out)
{
    auto db = pool_.Acquire();
    return db && GetAccount(*db, id, out) == StoreStatus::Ok;
}

std::optional<int64_t> Store::CredentialGeneration(int64_t account)
{
    AccountRecord record;
    if (!GetAccount(account, record))
        return std::nullopt;
    return record.credential_generation;
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

StoreStatus Store::FindByName(SqliteConnection& db, int64_t account, int64_t parent, const std::string& key,
                              std::optional<EntryRow>& out)
{
    Statement s(db, ENTRY_SELECT "WHERE account_id = ? AND parent_id = ? AND name_key = ?");
    s.Bind(1, account).Bind(2, parent).Bind(3, key);
    EntryRow row;
    const StoreStatus status = ReadOne(s, row, ReadEntry);
    if (status == StoreStatus::Ok)
        out = row;
    else
        out.reset();
    return status == StoreStatus::Error ? status : StoreStatus::Ok;
}

StoreStatus Store::PrepareTarget(SqliteConnection& db, int64_t account, int64_t parent, const std::string& key,
                                 std::optional<EntryRow>& existing)
{
    if (!FolderExists(db, account, parent))
        return StoreStatus::NoSuchFolder;
    if (FindByName(db, account, parent, key, existing) != StoreStatus::Ok)
        return StoreStatus::Error;
    if (existing)
        return StoreStatus::Ok;
    Statement s(db, "SELECT COUNT(*) FROM entries WHERE account_id = ? AND parent_id = ?");
    s.Bind(1, account).Bind(2, parent);
    if (!s.Step())
        return StoreStatus::Error;
    return s.Int(0) >= static_cast<int64_t>(kMaxFolderEntries) ? StoreStatus::FolderFull : StoreStatus::Ok;
}

StoreStatus Store::CheckFileTarget(SqliteConnection& db, int64_t account, int64_t parent, const std::string& key,
                                   uint64_t size, uint64_t own_ticket, std::optional<EntryRow>& existing)
{
    const StoreStatus target = PrepareTarget(db, account, parent, key, existing);
    if (target != StoreStatus::Ok)
        return target;
    if (existing && !existing->is_file)
        return StoreStatus::NameTaken;
    AccountRecord owner;
    if (GetAccount(db, account, owner) != StoreStatus::Ok)
        return StoreStatus::Error;
    return FitsQuota(owner, size, existing ? existing->size : 0, own_ticket) ? StoreStatus::Ok : StoreStatus::NoSpace;
}

bool Store::AdjustUsed(SqliteConnection& db, int64_t account, int64_t delta)
{
    Statement s(db, "UPDATE accounts SET used = MAX(0, used + ?) WHERE id = ?");
    return s.Bind(1, delta).Bind(2, account).Run();
}

bool Store::InsertEntry(SqliteConnection& db, int64_t account, EntryRow& row)
{
    Statement s(db,
                "INSERT INTO entries(account_id, parent_id, kind, name, name_key, update_time, md5, size, object) "
                "VALUES(?,?,?,?,?,?,?,?,?) RETURNING id");
    s.Bind(1, account).Bind(2, row.parent_id).Bind(3, row.is_file ? 1 : 0).Bind(4, row.name);
    s.Bind(5, FoldName(row.name)).Bind(6, row.update_time).Bind(7, row.md5);
    s.Bind(8, static_cast<int64_t>(row.size)).Bind(9, row.object);
    if (!s.Step())
        return false;
    row.id = s.Int(0);
    s.Step();
    // Ids travel as signed 32-bit numbers.
    return !s.failed() && row.id <= INT32_MAX;
}

StoreStatus Store::PutFile(SqliteConnection& db, int64_t account, const std::optional<EntryRow>& existing,
                           EntryRow& file)
{
    file.is_file = true;
    if (!NextUpdateTime(db, account, file.update_time))
        return StoreStatus::Error;
    const uint64_t replaced = existing ? existing->size : 0;
    if (existing) {
        Statement s(db, "UPDATE entries SET name = ?, md5 = ?, size = ?, update_time = ?, object = ? WHERE id = ?");
        s.Bind(1, file.name).Bind(2, file.md5).Bind(3, static_cast<int64_t>(file.size)).Bind(4, file.update_time);
        if (!s.Bind(5, file.object).Bind(6, existing->id).Run())
            return StoreStatus::Error;
        file.id = existing->id;
    } else if (!InsertEntry(db, account, file)) {
        return StoreStatus::Error;
    }
    return AdjustUsed(db, account, static_cast<int64_t>(file.size) - static_cast<int64_t>(replaced))
               ? StoreStatus::Ok
               : StoreStatus::Error;
}

StoreStatus Store::ListFolder(int64_t account, int64_t folder, std::vector<EntryRow>& out)
{
    out.clear();
    auto db = pool_.Acquire();
    if (!db)
        return StoreStatus::Error;
    if (!FolderExists(*db, account, folder))
        return StoreStatus::NoSuchFolder;
    Statement s(*db, ENTRY_SELECT "WHERE account_id = ? AND parent_id = ? ORDER BY id");
    s.Bind(1, account).Bind(2, folder);
    return ReadAll(s, out, ReadEntry);
}

StoreStatus Store::ListAccount(int64_t account, std::vector<EntryRow>& out)
{
    out.clear();
    auto db = pool_.Acquire();
    if (!db)
        return StoreStatus::Error;
    Statement s(*db, ENTRY_SELECT "WHERE account_id = ?");
    s.Bind(1, account);
    return ReadAll(s, out, ReadEntry);
}

StoreStatus Store::GetEntry(SqliteConnection& db, int64_t account, int64_t id, EntryRow& out)
{
    Statement s(db, ENTRY_SELECT "WHERE id = ? AND account_id = ?");
    s.Bind(1, id).Bind(2, account);
    return ReadOne(s, out, ReadEntry);
}

StoreStatus Store::GetEntry(int64_t account, int64_t id, EntryRow& out)
{
    auto db = pool_.Acquire();
    return db ? GetEntry(*db, account, id, out) : StoreStatus::Error;
}

StoreStatus Store::Lookup(int64_t account, int64_t parent, const std::string& name, EntryRow& out)
{
    auto db = pool_.Acquire();
    if (!db)
        return StoreStatus::Error;
    std::optional<EntryRow> found;
    if (FindByName(*db, account, parent, FoldName(name), found) != StoreStatus::Ok)
        return StoreStatus::Error;
    if (!found)
        return StoreStatus::NotFound;
    out = *found;
    return StoreStatus::Ok;
}

StoreStatus Store::CreateFolder(int64_t account, int64_t parent, const std::string& name, EntryRow& out)
{
    WriteScope w(*this);
    if (!w.ok())
        return StoreStatus::Error;
    std::optional<EntryRow> existing;
    const StoreStatus target = PrepareTarget(w.db(), account, parent, FoldName(name), existing);
    if (target != StoreStatus::Ok)
        return target;
    if (existing) {
        out = *existing;
        return existing->is_file ? StoreStatus::NameTaken : StoreStatus::FolderExists;
    }
    out = EntryRow{};
    out.parent_id = parent;
    out.name = name;
    if (!NextUpdateTime(w.db(), account, out.update_time) || !InsertEntry(w.db(), account, out) || !w.Commit())
        return StoreStatus::Error;
    return StoreStatus::Ok;
}

StoreStatus Store::Rename(int64_t account, int64_t id, const std::string& new_name, EntryRow& out)
{
    WriteScope w(*this);
    if (!w.ok())
        return StoreStatus::Error;
    const StoreStatus found = GetEntry(w.db(), account, id, out);
    if (found != StoreStatus::Ok)
        return found;
    if (out.name == new_name)
        return StoreStatus::Unchanged;
    const std::string key = FoldName(new_name);
    std::optional<EntryRow> holder;
    if (FindByName(w.db(), account, out.parent_id, key, holder) != StoreStatus::Ok)
        return StoreStatus::Error;
    if (holder && holder->id != id)
        return StoreStatus::NameTaken;
    uint32_t stamp = 0;
    if (!NextUpdateTime(w.db(), account, stamp))
        return StoreStatus::Error;
    Statement s(w.db(), "UPDATE entries SET name = ?, name_key = ?, update_time = ? WHERE id = ?");
    if (!s.Bind(1, new_name).Bind(2, key).Bind(3, stamp).Bind(4, id).Run() || !w.Commit())
        return StoreStatus::Error;
    out.name = new_name;
    out.update_time = stamp;
    return StoreStatus::Ok;
}

// Subtrees are walked with one recursive query each; the ids of the
// account's entries only, so nothing of another account is ever touched.
#define SUBTREE "WITH RECURSIVE sub(id) AS (SELECT ? UNION ALL SELECT e.id FROM entries e JOIN sub " \
                "ON e.parent_id = sub.id WHERE e.account_id = ?) "

StoreStatus Store::Delete(int64_t account, int64_t parent, const std::vector<int64_t>& ids)
{
    StoreStatus status = DeleteOnce(account, parent, ids);
    // On a full disk even the write that frees space fails; the reserve
    // gives it room.
    if (status == StoreStatus::Error && ReleaseReserve())
        status = DeleteOnce(account, parent, ids);
    if (status == StoreStatus::Ok)
        KeepReserve();
    return status;
}

StoreStatus Store::DeleteOnce(int64_t account, int64_t parent, const std::vector<int64_t>& ids)
{
    WriteScope w(*this);
    if (!w.ok())
        return StoreStatus::Error;
    if (!FolderExists(w.db(), account, parent))
        return StoreStatus::NoSuchFolder;
    std::vector<int64_t> present;
    for (int64_t id : ids) {
        EntryRow row;
        const StoreStatus found = GetEntry(w.db(), account, id, row);
        // Already gone: a repeated request after a lost reply succeeds.
        if (found == StoreStatus::NotFound)
            continue;
        if (found != StoreStatus::Ok)
            return found;
        if (row.parent_id != parent)
            return StoreStatus::NotFound;
        present.push_back(id);
    }
    std::vector<std::string> released;
    int64_t freed = 0;
    for (int64_t id : present) {
        {
            Statement s(w.db(), SUBTREE "SELECT object, size FROM entries WHERE id IN sub AND kind = 1");
            s.Bind(1, id).Bind(2, account);
            while (s.Step()) {
                released.push_back(s.Text(0));
                freed += s.Int(1);
            }
            if (s.failed())
                return StoreStatus::Error;
        }
        Statement s(w.db(), SUBTREE "DELETE FROM entries WHERE id IN sub");
        if (!s.Bind(1, id).Bind(2, account).Run())
            return StoreStatus::Error;
    }
    if (!AdjustUsed(w.db(), account, -freed) || !w.Commit())
        return StoreStatus::Error;
    CollectGarbage(w.db(), released);
    return StoreStatus::Ok;
}

void Store::CollectGarbage(SqliteConnection& db, const std::vector<std::string>& objects)
{
    for (const std::string& object : std::set<std::string>(objects.begin(), objects.end())) {
        Statement s(db, "SELECT 1 FROM entries WHERE object = ? AND kind = 1 LIMIT 1");
        s.Bind(1, object);
        if (s.Step() || s.failed())
            continue;
        std::error_code ec;
        fs::remove(ObjectPath(object), ec);
    }
}

bool Store::DropExpiredTickets(SqliteConnection& db)
{
    const int64_t cutoff = Now() - options_.ticket_lifetime_seconds;
    std::vector<std::string> tokens;
    {
        Statement s(db, "SELECT token FROM tickets WHERE created < ?");
        s.Bind(1, cutoff);
        if (ReadAll(s, tokens, ReadText) != StoreStatus::Ok)
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

// A client asks for a new ticket for a file only once it has given up the
// one it had; one that no data connection works on would otherwise keep its
// size from the free space until it expires.
bool Store::DropIdleTicketsFor(SqliteConnection& db, int64_t account, int64_t parent, const std::string& key)
{
    std::vector<TicketRow> tickets;
    {
        Statement s(db, TICKET_SELECT "WHERE account_id = ? AND parent_id = ?");
        s.Bind(1, account).Bind(2, parent);
        if (ReadAll(s, tickets, ReadTicket) != StoreStatus::Ok)
            return false;
    }
    for (const TicketRow& ticket : tickets) {
        if (FoldName(ticket.name) != key || (options_.ticket_in_use && options_.ticket_in_use(ticket.token)))
            continue;
        Statement s(db, "DELETE FROM tickets WHERE token = ?");
        if (!s.Bind(1, ticket.token).Run())
            return false;
        std::error_code ec;
        fs::remove(PartPath(ticket.token), ec);
    }
    return true;
}

bool Store::TicketExpired(const TicketRow& ticket) const
{
    return ticket.created + options_.ticket_lifetime_seconds < Now();
}

StoreStatus Store::BeginUpload(int64_t account, int64_t parent, const std::string& name, uint64_t size,
                               const std::string& md5, TicketRow& ticket, EntryRow& entry)
{
    WriteScope w(*this);
    if (!w.ok())
        return StoreStatus::Error;
    std::optional<EntryRow> existing;
    const std::string key = FoldName(name);
    if (!DropExpiredTickets(w.db()) || !DropIdleTicketsFor(w.db(), account, parent, key))
        return StoreStatus::Error;
    const StoreStatus target = CheckFileTarget(w.db(), account, parent, key, size, 0, existing);
    if (target != StoreStatus::Ok)
        return target;

    std::string known;
    {
        // Only this account's own contents count, so that nobody can obtain a
        // file by naming its digest.
        Statement s(w.db(),
                    "SELECT object FROM entries WHERE account_id = ? AND kind = 1 AND md5 = ? AND size = ? LIMIT 1");
        s.Bind(1, account).Bind(2, md5).Bind(3, static_cast<int64_t>(size));
        if (s.Step())
            known = s.Text(0);
        if (s.failed())
            return StoreStatus::Error;
    }
    if (!known.empty()) {
        entry = EntryRow{};
        entry.parent_id = parent;
        entry.name = name;
        entry.md5 = md5;
        entry.size = size;
        entry.object = known;
        if (PutFile(w.db(), account, existing, entry) != StoreStatus::Ok || !w.Commit())
            return StoreStatus::Error;
        if (existing)
            CollectGarbage(w.db(), {existing->object});
        return StoreStatus::ContentKnown;
    }

    ticket = TicketRow{};
    ticket.token = RandomToken(kTokenSize);
    ticket.account_id = account;
    ticket.parent_id = parent;
    ticket.name = name;
    ticket.size = size;
    ticket.md5 = md5;
    ticket.created = Now();
    Statement s(w.db(),
                "INSERT INTO tickets(token, account_id, parent_id, name, size, md5, created) VALUES(?,?,?,?,?,?,?)");
    s.Bind(1, ticket.token).Bind(2, account).Bind(3, parent).Bind(4, name);
    s.Bind(5, static_cast<int64_t>(size)).Bind(6, md5).Bind(7, ticket.created);
    if (!s.Run() || !w.Commit())
        return StoreStatus::Error;
    return StoreStatus::Ok;
}

StoreStatus Store::FindTicket(SqliteConnection& db, const std::string& token, TicketRow& out)
{
    Statement s(db, TICKET_SELECT "WHERE token = ?");
    s.Bind(1, token);
    return ReadOne(s, out, ReadTicket);
}

StoreStatus Store::FindTicket(const std::string& token, TicketRow& out)
{
    auto db = pool_.Acquire();
    if (!db)
        return StoreStatus::Error;
    const StoreStatus status = FindTicket(*db, token, out);
    if (status != StoreStatus::Ok)
        return status;
    return TicketExpired(out) ? StoreStatus::NotFound : StoreStatus::Ok;
}

void Store::DropTicket(const std::string& token)
{
    WriteScope w(*this);
    if (!w.ok())
        return;
    Statement s(w.db(), "DELETE FROM tickets WHERE token = ?");
    if (s.Bind(1, token).Run())
        w.Commit();
    std::error_code ec;
    fs::remove(PartPath(token), ec);
}

namespace {

bool SameBytes(const std::string& a, const std::string& b)
{
    std::ifstream one(a, std::ios::binary);
    std::ifstream two(b, std::ios::binary);
    if (!one || !two)
        return false;
    std::vector<char> x(1 << 16);
    std::vector<char> y(1 << 16);
    for (;;) {
        one.read(x.data(), static_cast<std::streamsize>(x.size()));
        two.read(y.data(), static_cast<std::streamsize>(y.size()));
        if (one.gcount() != two.gcount() || !std::equal(x.begin(), x.begin() + one.gcount(), y.begin()))
            return false;
        if (one.gcount() == 0)
            return !one.bad() && !two.bad();
    }
}

}  // namespace

// Contents are kept under their MD5; other bytes with the same MD5 (an MD5
// collision) get a name of their own, so that stored bytes are shared only
// with an upload of exactly the same bytes, whatever the accounts.
bool Store::PlaceObject(const std::string& part, const std::string& md5, Placement& out)
{
    const std::string bucket = dir_ + "/objects/" + md5.substr(0, 2);
    if (::mkdir(bucket.c_str(), 0755) != 0 && errno != EEXIST)
        return false;
    for (int twin = 0; twin < kMaxTwins; ++twin) {
        out.object = twin == 0 ? md5 : md5 + "." + std::to_string(twin);
        const std::string target = ObjectPath(out.object);
        struct stat st {};
        if (::stat(target.c_str(), &st) != 0)
            return MoveIntoPlace(part, target, bucket, out);
        if (SameBytes(part, target)) {
            out.moved = false;
            return true;
        }
    }
    return false;
}

bool Store::MoveIntoPlace(const std::string& part, const std::string& target, const std::string& bucket,
                          Placement& out)
{
    const int fd = ::open(part.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    // The part file only gets the content's name once it is complete and on
    // disk, so a killed server never leaves a half file under that name.
    out.moved = synced && ::rename(part.c_str(), target.c_str()) == 0;
    return out.moved && SyncDirectory(bucket);
}

StoreStatus Store::CommitUpload(const TicketRow& ticket, EntryRow& out)
{
    WriteScope w(*this);
    if (!w.ok())
        return StoreStatus::Error;
    TicketRow stored;
    const StoreStatus found = FindTicket(w.db(), ticket.token, stored);
    if (found != StoreStatus::Ok)
        return found;
    const int64_t account = ticket.account_id;
    std::optional<EntryRow> existing;
    const StoreStatus target =
        CheckFileTarget(w.db(), account, ticket.parent_id, FoldName(ticket.name), ticket.size, ticket.size, existing);
    if (target != StoreStatus::Ok)
        return target;
    const std::string part = PartPath(ticket.token);
    Placement placed;
    const bool in_place = PlaceObject(part, ticket.md5, placed);
    out = EntryRow{};
    out.parent_id = ticket.parent_id;
    out.name = ticket.name;
    out.md5 = ticket.md5;
    out.size = ticket.size;
    out.object = placed.object;
    Statement s(w.db(), "DELETE FROM tickets WHERE token = ?");
    if (!in_place || PutFile(w.db(), account, existing, out) != StoreStatus::Ok ||
        !s.Bind(1, ticket.token).Run() || !w.Commit()) {
        // The part file goes back where the ticket has it, so that the
        // client can finish the upload again once the store takes it.
        if (placed.moved)
            ::rename(ObjectPath(placed.object).c_str(), part.c_str());
        return StoreStatus::Error;
    }
    if (!placed.moved)
        ::unlink(part.c_str());
    if (existing && existing->object != placed.object)
        CollectGarbage(w.db(), {existing->object});
    return StoreStatus::Ok;
}

}  // namespace Tessel
