#include "sqlite_db.h"

#include <sqlite3.h>

namespace Tessel {

SqliteConnection::~SqliteConnection()
{
    for (auto& item : statements_)
        sqlite3_finalize(item.second);
    sqlite3_close(db_);
}

std::unique_ptr<SqliteConnection> SqliteConnection::Open(const std::string& path, bool create, std::string& error)
{
    sqlite3* db = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        error = db ? sqlite3_errmsg(db) : "cannot open database";
        sqlite3_close(db);
        return nullptr;
    }
    std::unique_ptr<SqliteConnection> connection(new SqliteConnection(db));
    sqlite3_busy_timeout(db, 5000);
    if (!connection->Exec("PRAGMA journal_mode=WAL") || !connection->Exec("PRAGMA synchronous=FULL") ||
        !connection->Exec("PRAGMA foreign_keys=ON")) {
        error = connection->LastError();
        return nullptr;
    }
    return connection;
}

bool SqliteConnection::Exec(const char* sql)
{
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

sqlite3_stmt* SqliteConnection::Prepare(const char* sql)
{
    auto found = statements_.find(sql);
    if (found != statements_.end())
        return found->second;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr) != SQLITE_OK)
        return nullptr;
    statements_.emplace(sql, stmt);
    return stmt;
}

std::string SqliteConnection::LastError() const { return sqlite3_errmsg(db_); }

Statement::~Statement()
{
    if (stmt_) {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
}

Statement& Statement::Bind(int index, int64_t value)
{
    if (stmt_ && sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK)
        failed_ = true;
    return *this;
}

Statement& Statement::Bind(int index, const std::string& value)
{
    if (stmt_ && sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT) != SQLITE_OK)
        failed_ = true;
    return *this;
}

bool Statement::Step()
{
    if (!stmt_ || failed_) {
        failed_ = true;
        return false;
    }
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW)
        return true;
    if (rc != SQLITE_DONE)
        failed_ = true;
    return false;
}

bool Statement::Run()
{
    while (Step()) {
    }
    return !failed_;
}

int64_t Statement::Int(int column) const { return sqlite3_column_int64(stmt_, column); }

std::string Statement::Text(int column) const
{
    const auto* text = sqlite3_column_text(stmt_, column);
    const int length = sqlite3_column_bytes(stmt_, column);
    return text ? std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(length)) : std::string();
}

bool Statement::IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

Transaction::Transaction(SqliteConnection& db) : db_(db) { begun_ = db_.Exec("BEGIN IMMEDIATE"); }

Transaction::~Transaction()
{
    if (begun_ && !done_)
        db_.Exec("ROLLBACK");
}

bool Transaction::Commit()
{
    if (!begun_ || done_)
        return false;
    done_ = db_.Exec("COMMIT");
    return done_;
}

ConnectionPool::Lease ConnectionPool::Acquire()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!idle_.empty()) {
            auto db = std::move(idle_.back());
            idle_.pop_back();
            return Lease(*this, std::move(db));
        }
    }
    std::string error;
    return Lease(*this, SqliteConnection::Open(path_, false, error));
}

void ConnectionPool::Return(std::unique_ptr<SqliteConnection> db)
{
    std::lock_guard<std::mutex> lock(mutex_);
    idle_.push_back(std::move(db));
}

}  // namespace Tessel
