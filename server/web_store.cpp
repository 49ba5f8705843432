#include "web_store.h"

#include "crypto.h"
#include "names.h"

#include <openssl/evp.h>

#include <climits>

namespace Tessel {
namespace {

const char* const kWebSchema = R"sql(
CREATE TABLE IF NOT EXISTS web_settings(
  name TEXT PRIMARY KEY,
  value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS web_sessions(
  token_hash TEXT PRIMARY KEY,
  account_id INTEGER NOT NULL REFERENCES accounts(id),
  credential TEXT NOT NULL,
  csrf TEXT NOT NULL,
  created INTEGER NOT NULL,
  last_used INTEGER NOT NULL,
  flash TEXT NOT NULL DEFAULT '');
CREATE INDEX IF NOT EXISTS web_sessions_account ON web_sessions(account_id);
CREATE TABLE IF NOT EXISTS web_recovery(
  account_id INTEGER PRIMARY KEY REFERENCES accounts(id),
  salt TEXT NOT NULL,
  hash TEXT NOT NULL,
  iterations INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS web_feedback(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  created INTEGER NOT NULL,
  address TEXT NOT NULL,
  account TEXT NOT NULL,
  contact TEXT NOT NULL,
  message TEXT NOT NULL);
)sql";

constexpr size_t kTokenChars = 43;  // about 256 bits
constexpr size_t kCsrfChars = 32;

bool WriteSetting(SqliteConnection& db, const std::string& name, const std::string& value)
{
    Statement s(db, "INSERT INTO web_settings(name, value) VALUES(?, ?) "
                    "ON CONFLICT(name) DO UPDATE SET value = excluded.value");
    return s.Bind(1, name).Bind(2, value).Run();
}

bool ParseUnsigned(const std::string& text, uint64_t& out)
{
    if (text.empty() || text.size() > 19)
        return false;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    out = value;
    return true;
}

}  // namespace

std::string Sha256Hex(const std::string& text)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out += digits[digest[i] >> 4];
        out += digits[digest[i] & 15];
    }
    return out;
}

WebStore::WebStore(const std::string& dir) : pool_(dir + "/tessel.db") {}

std::unique_ptr<WebStore> WebStore::Open(const std::string& dir, std::string& error)
{
    std::unique_ptr<WebStore> store(new WebStore(dir));
    auto db = store->pool_.Acquire();
    if (!db) {
        error = "cannot open the database in " + dir + " (run init first)";
        return nullptr;
    }
    {
        Statement accounts(*db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'accounts'");
        if (!accounts.Step()) {
            error = dir + " is not a data directory (run init first)";
            return nullptr;
        }
    }
    if (!db->Exec(kWebSchema)) {
        error = "cannot add the web tables: " + db->LastError();
        return nullptr;
    }
    return store;
}

bool WebStore::ReadSettings(WebSettings& out)
{
    auto db = pool_.Acquire();
    if (!db)
        return false;
    out = WebSettings{};
    Statement s(*db, "SELECT name, value FROM web_settings");
    while (s.Step()) {
        const std::string name = s.Text(0);
        const std::string value = s.Text(1);
        uint64_t number = 0;
        if (name == "registration")
            out.registration_open = value == "on";
        else if (name == "default_quota" && ParseUnsigned(value, number))
            out.default_quota = number;
    }
    return !s.failed();
}

bool WebStore::WriteSettings(const WebSettings& settings)
{
    auto db = pool_.Acquire();
    if (!db)
        return false;
    Transaction tx(*db);
    return tx.ok() && WriteSetting(*db, "registration", settings.registration_open ? "on" : "off") &&
           WriteSetting(*db, "default_quota", std::to_string(settings.default_quota)) && tx.Commit();
}

bool WebStore::SetRecoveryCode(int64_t account, const std::string& code)
{
    const PasswordHash hash = HashPasswordDigest(code);
    auto db = pool_.Acquire();
    if (!db)
        return false;
    Statement s(*db, "INSERT INTO web_recovery(account_id, salt, hash, iterations) VALUES(?,?,?,?) "
                     "ON CONFLICT(account_id) DO UPDATE SET salt = excluded.salt, hash = excluded.hash, "
                     "iterations = excluded.iterations");
    return s.Bind(1, account).Bind(2, hash.salt).Bind(3, hash.hash).Bind(4, hash.iterations).Run();
}

RecoveryCheck WebStore::TakeRecoveryCode(int64_t account, const std::string& code)
{
    auto db = pool_.Acquire();
    if (!db)
        return RecoveryCheck::Error;
    PasswordHash stored;
    {
        Statement s(*db, "SELECT salt, hash, iterations FROM web_recovery WHERE account_id = ?");
        s.Bind(1, account);
        if (!s.Step())
            return s.failed() ? RecoveryCheck::Error : RecoveryCheck::Refused;
        stored.salt = s.Text(0);
        stored.hash = s.Text(1);
        stored.iterations = static_cast<int>(s.Int(2));
    }
    if (!VerifyPasswordDigest(code, stored))
        return RecoveryCheck::Refused;
    // Only the request that removes the row may use the code: two requests
    // racing with the same code get one acceptance.
    Statement s(*db, "DELETE FROM web_recovery WHERE account_id = ? AND hash = ? RETURNING 1");
    s.Bind(1, account).Bind(2, stored.hash);
    if (s.Step()) {
        s.Step();
        return s.failed() ? RecoveryCheck::Error : RecoveryCheck::Accepted;
    }
    return s.failed() ? RecoveryCheck::Error : RecoveryCheck::Refused;
}

bool WebStore::RestoreRecoveryCode(int64_t account, const std::string& code)
{
    auto db = pool_.Acquire();
    if (!db)
        return false;
    const PasswordHash hash = HashPasswordDigest(code);
    Statement s(*db, "INSERT OR IGNORE INTO web_recovery(account_id, salt, hash, iterations) VALUES(?,?,?,?)");
    return s.Bind(1, account).Bind(2, hash.salt).Bind(3, hash.hash).Bind(4, hash.iterations).Run();
}

bool WebStore::CreateSession(int64_t account, const std::string& credential, int64_t now, std::string& token,
                             std::string& csrf)
{
    auto db = pool_.Acquire();
    if (!db)
        return false;
    token = RandomToken(kTokenChars);
    csrf = RandomToken(kCsrfChars);
    Statement s(*db, "INSERT INTO web_sessions(token_hash, account_id, credential, csrf, created, last_used) "
                     "VALUES(?,?,?,?,?,?)");
    return s.Bind(1, Sha256Hex(token)).Bind(2, account).Bind(3, credential).Bind(4, csrf).Bind(5, now).Bind(6, now).Run();
}

bool WebStore::FindSession(const std::string& token, WebSessionRow& out)
{
    if (token.size() != kTokenChars)
        return false;
    auto db = pool_.Acquire();
    if (!db)
        return false;
    Statement s(*db, "SELECT account_id, credential, csrf, created, last_used, flash FROM web_sessions "
                     "WHERE token_hash = ?");
    s.Bind(1, Sha256Hex(token));
    if (!s.Step())
        return false;
    out.account_id = s.Int(0);
    out.credential = s.Text(1);
    out.csrf = s.Text(2);
    out.created = s.Int(3);
    out.last_used = s.Int(4);
    out.flash = s.Text(5);
    return true;
}

bool WebStore::TouchSession(const std::string& token, int64_t now)
{
    auto db = pool_.Acquire();
    if (!db)
        return false;
    Statement s(*db, "UPDATE web_sessions SET last_used = ? WHERE token_hash = ?");
    return s.Bind(1, now).Bind(2, Sha256Hex(token)).Run();
}

bool WebStore::EndSession(const std::string& token)
{
    auto db = pool_.Acquire();
    if (!db)
        return false;
    Statement s(*db, "DELETE FROM web_sessions WHERE token_hash = ?");
    return s.Bind(1, Sha256Hex(token)).Run();
}

bool WebStore::EndStaleSessions(int64_t idle_cutoff, int64_t created_cutoff)
{
    auto db = pool_.Acquire();
    if (!db)
        return false;
    Statement s(*db, "DELETE FROM web_sessions WHERE last_used < ? OR created < ?");
    return s.Bind(1, idle_cutoff).Bind(2, created_cutoff).Run();
}

bool WebStore::SetFlash(const std::string& token, const std::string& text)
{
    auto db = pool_.Acquire();
    if (!db)
        return false;
    Statement s(*db, "UPDATE web_sessions SET flash = ? WHERE token_hash = ?");
    return s.Bind(1, text).Bind(2, Sha256Hex(token)).Run();
}

bool WebStore::AddFeedback(const FeedbackRow& row)
{
    auto db = pool_.Acquire();
    if (!db)
        return false;
    Statement s(*db, "INSERT INTO web_feedback(created, address, account, contact, message) VALUES(?,?,?,?,?)");
    return s.Bind(1, row.created).Bind(2, row.address).Bind(3, row.account).Bind(4, row.contact)
        .Bind(5, row.message)
        .Run();
}

bool WebStore::ListFeedback(int64_t after_id, std::vector<FeedbackRow>& out)
{
    auto db = pool_.Acquire();
    if (!db)
        return false;
    out.clear();
    Statement s(*db, "SELECT id, created, address, account, contact, message FROM web_feedback WHERE id > ? "
                     "ORDER BY id");
    s.Bind(1, after_id);
    while (s.Step())
        out.push_back({s.Int(0), s.Int(1), s.Text(2), s.Text(3), s.Text(4), s.Text(5)});
    return !s.failed();
}

MoveStatus WebStore::CheckMoveTarget(SqliteConnection& db, int64_t account, const EntryRow& entry, int64_t target)
{
    // Walks from the target up to the root: a folder may not go into itself
    // or below itself, and every step must be a folder of this account.
    int64_t step = target;
    for (size_t depth = 0; step != kRootFolder; ++depth) {
        if (step == entry.id)
            return MoveStatus::IntoItself;
        Statement s(db, "SELECT parent_id, kind FROM entries WHERE id = ? AND account_id = ?");
        s.Bind(1, step).Bind(2, account);
        if (!s.Step())
            return s.failed() ? MoveStatus::Error : MoveStatus::NoSuchFolder;
        if (s.Int(1) != 0 || depth > kMaxFolderEntries)
            return MoveStatus::NoSuchFolder;
        step = s.Int(0);
    }
    Statement taken(db, "SELECT 1 FROM entries WHERE account_id = ? AND parent_id = ? AND name_key = ?");
    taken.Bind(1, account).Bind(2, target).Bind(3, FoldName(entry.name));
    if (taken.Step())
        return MoveStatus::NameTaken;
    if (taken.failed())
        return MoveStatus::Error;
    Statement count(db, "SELECT COUNT(*) FROM entries WHERE account_id = ? AND parent_id = ?");
    count.Bind(1, account).Bind(2, target);
    if (!count.Step())
        return MoveStatus::Error;
    return count.Int(0) >= static_cast<int64_t>(kMaxFolderEntries) ? MoveStatus::FolderFull : MoveStatus::Moved;
}

MoveStatus WebStore::Move(int64_t account, int64_t id, int64_t target, EntryRow& out)
{
    auto db = pool_.Acquire();
    if (!db)
        return MoveStatus::Error;
    Transaction tx(*db);
    if (!tx.ok())
        return MoveStatus::Error;
    {
        Statement s(*db, "SELECT id, parent_id, kind, update_time, md5, size, name FROM entries "
                         "WHERE id = ? AND account_id = ?");
        s.Bind(1, id).Bind(2, account);
        if (!s.Step())
            return s.failed() ? MoveStatus::Error : MoveStatus::NotFound;
        out = EntryRow{s.Int(0), s.Int(1), s.Int(2) == 1, static_cast<uint32_t>(s.Int(3)), s.Text(4),
                       static_cast<uint64_t>(s.Int(5)), s.Text(6)};
    }
    if (out.parent_id == target)
        return MoveStatus::Unchanged;
    const MoveStatus allowed = CheckMoveTarget(*db, account, out, target);
    if (allowed != MoveStatus::Moved)
        return allowed;
    // The same per-account counter that stamps every other change.
    Statement stamp(*db, "UPDATE accounts SET update_counter = update_counter + 1 WHERE id = ? "
                         "RETURNING update_counter");
    stamp.Bind(1, account);
    if (!stamp.Step() || stamp.Int(0) <= 0 || stamp.Int(0) > UINT32_MAX)
        return MoveStatus::Error;
    out.update_time = static_cast<uint32_t>(stamp.Int(0));
    stamp.Step();
    Statement s(*db, "UPDATE entries SET parent_id = ?, update_time = ? WHERE id = ?");
    if (stamp.failed() || !s.Bind(1, target).Bind(2, out.update_time).Bind(3, id).Run() || !tx.Commit())
        return MoveStatus::Error;
    out.parent_id = target;
    return MoveStatus::Moved;
}

}  // namespace Tessel
