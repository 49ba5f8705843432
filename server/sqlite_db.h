// Thin RAII layer over SQLite: one connection with its cache of prepared
// statements, a statement use that resets itself, a transaction that rolls
// back unless committed, and a pool that hands connections to threads.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace Tessel {

class SqliteConnection {
public:
    ~SqliteConnection();
    SqliteConnection(const SqliteConnection&) = delete;
    SqliteConnection& operator=(const SqliteConnection&) = delete;

    // Opens (creating when asked) the database in WAL mode with a busy
    // timeout, so the command-line tools can write while the server runs.
    static std::unique_ptr<SqliteConnection> Open(const std::string& path, bool create, std::string& error);

    bool Exec(const char* sql);
    sqlite3_stmt* Prepare(const char* sql);
    sqlite3* handle() { return db_; }
    std::string LastError() const;

private:
    explicit SqliteConnection(sqlite3* db) : db_(db) {}
    sqlite3* db_;
    std::unordered_map<const char*, sqlite3_stmt*> statements_;
};

// One execution of a cached statement; binds start at 1.
class Statement {
public:
    Statement(SqliteConnection& db, const char* sql) : stmt_(db.Prepare(sql)) {}
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool valid() const { return stmt_ != nullptr; }
    Statement& Bind(int index, int64_t value);
    Statement& Bind(int index, const std::string& value);
    // True while a row is available; false at the end or on error (see failed()).
    bool Step();
    // Runs a statement that returns no rows; true when it completed.
    bool Run();
    bool failed() const { return failed_; }
    int64_t Int(int column) const;
    std::string Text(int column) const;
    bool IsNull(int column) const;

private:
    sqlite3_stmt* stmt_;
    bool failed_ = false;
};

class Transaction {
public:
    // BEGIN IMMEDIATE: the write lock is taken at once, so a transaction
    // never fails half-way for another writer.
    explicit Transaction(SqliteConnection& db);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    bool ok() const { return begun_; }
    bool Commit();

private:
    SqliteConnection& db_;
    bool begun_ = false;
    bool done_ = false;
};

class ConnectionPool {
public:
    ConnectionPool(std::string path) : path_(std::move(path)) {}

    class Lease {
    public:
        Lease(ConnectionPool& pool, std::unique_ptr<SqliteConnection> db) : pool_(pool), db_(std::move(db)) {}
        ~Lease() { if (db_) pool_.Return(std::move(db_)); }
        Lease(Lease&& other) noexcept : pool_(other.pool_), db_(std::move(other.db_)) {}
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        explicit operator bool() const { return db_ != nullptr; }
        SqliteConnection& operator*() { return *db_; }
        SqliteConnection* operator->() { return db_.get(); }

    private:
        ConnectionPool& pool_;
        std::unique_ptr<SqliteConnection> db_;
    };

    Lease Acquire();

private:
    void Return(std::unique_ptr<SqliteConnection> db);
    std::string path_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<SqliteConnection>> idle_;
};

}  // namespace Tessel
