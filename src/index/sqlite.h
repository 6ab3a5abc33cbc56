// A thin owner of SQLite's handles: a connection and its prepared statements,
// each closed by its destructor; every failure is an Error with SQLite's words.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace vt {
namespace index {

class Error : public std::runtime_error {
public:
    explicit Error(const std::string& what) : std::runtime_error(what) {}
};

class Db {
public:
    enum class Mode { ReadOnly, ReadWrite };
    // Opens (ReadWrite: creates) the database; throws Error when it cannot.
    Db(const std::string& path, Mode mode);
    ~Db();
    Db(const Db&) = delete;
    Db& operator=(const Db&) = delete;

    sqlite3* handle() const { return db_; }
    // From now on, only statements that read may be prepared: SQLite's
    // defensive configuration; no ATTACH, extensions or FTS3 tokenizer
    // pointers; and an authorizer that allows SELECT, reading the tables of
    // the main database and the functions that only compute a value. For
    // statements from anyone (`vtl query`, a server).
    void restrictToReading();
    bool restricted() const { return restricted_; }
    // Runs statements that return no rows.
    void exec(const std::string& sql);
    // The first column of the first row of a query that yields one integer.
    std::int64_t integer(const std::string& sql);
    std::string message() const;
    // How long a statement waits for a lock held by another connection
    // (two minutes unless set).
    void busyTimeout(int milliseconds);
    // No transaction is open.
    bool autocommit() const;

private:
    sqlite3* db_ = nullptr;
    bool restricted_ = false;
};

class Stmt {
public:
    Stmt(Db& db, const std::string& sql);
    ~Stmt();
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    // Parameters count from 1.
    Stmt& bind(int i, std::int64_t v);
    Stmt& bind(int i, double v);
    Stmt& bind(int i, const std::string& v);
    // Without a copy: v must outlive the next step.
    Stmt& bindRef(int i, const std::string& v);
    Stmt& bindNull(int i);
    // True while there is a row; a statement that is done is reset for the next binding.
    bool step();
    // Runs a statement that returns no rows, then resets it.
    void run();
    void reset();

    int columns() const;
    std::string name(int col) const;
    // SQLITE_INTEGER, SQLITE_FLOAT, SQLITE_TEXT, SQLITE_BLOB or SQLITE_NULL.
    int type(int col) const;
    std::int64_t integer(int col) const;
    double real(int col) const;
    std::string text(int col) const;
    // The same without a copy, and a blob's bytes: valid until the next step.
    std::string_view textView(int col) const;
    std::string_view blob(int col) const;
    // Whether the statement has more than whitespace and comments after its first statement.
    bool trailing() const { return trailing_; }

private:
    Db& db_;
    sqlite3_stmt* stmt_ = nullptr;
    bool trailing_ = false;
};

// Savepoints and transactions that roll back unless committed.
class Transaction {
public:
    // BEGIN IMMEDIATE: the write lock is taken at once (waiting up to the busy timeout).
    explicit Transaction(Db& db);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit();

private:
    Db& db_;
    bool open_ = true;
};

class Savepoint {
public:
    Savepoint(Db& db, const char* name);
    ~Savepoint();
    Savepoint(const Savepoint&) = delete;
    Savepoint& operator=(const Savepoint&) = delete;
    void release();

private:
    Db& db_;
    std::string name_;
    bool open_ = true;
};

// A text as an SQL string literal: quoted, its quotes doubled.
std::string quote(const std::string& text);

}  // namespace index
}  // namespace vt
