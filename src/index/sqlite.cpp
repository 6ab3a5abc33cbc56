#include "index/sqlite.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <iterator>

namespace vt {
namespace index {

namespace {
constexpr int kBusyMilliseconds = 120000;
}

namespace {
// SQLite counts its memory under a global mutex unless told not to; it can be
// told only before it starts.
struct Setup {
    Setup() { sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0); }
};
}  // namespace

Db::Db(const std::string& path, Mode mode) {
    static const Setup setup;
    const int flags = mode == Mode::ReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    const int rc = sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        std::string why = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        sqlite3_close(db_);
        db_ = nullptr;
        throw Error(path + ": cannot be opened (" + why + ")");
    }
    sqlite3_busy_timeout(db_, kBusyMilliseconds);
    sqlite3_extended_result_codes(db_, 1);
}

Db::~Db() { sqlite3_close(db_); }

namespace {

// The functions a restricted statement may call: those that compute a value
// from their arguments, and nothing that reaches outside the database (no
// load_extension, fts3_tokenizer, readfile, ...). Sorted.
const char* const kHarmless[] = {
    "abs", "acos", "acosh", "asin", "asinh", "atan", "atan2", "atanh", "avg", "ceil", "ceiling", "char", "coalesce",
    "cos", "cosh", "count", "cume_dist", "date", "datetime", "degrees", "dense_rank", "exp", "first_value", "floor",
    "format", "glob", "group_concat", "hex", "ifnull", "iif", "instr", "json", "json_array", "json_array_length",
    "json_each", "json_extract", "json_group_array", "json_group_object", "json_insert", "json_object",
    "json_patch", "json_quote", "json_remove", "json_replace", "json_set", "json_tree", "json_type", "json_valid",
    "julianday", "lag", "last_value", "lead", "length", "like", "likelihood", "likely", "ln", "log", "log10",
    "log2", "lower", "ltrim", "max", "min", "mod", "nth_value", "ntile", "nullif", "percent_rank", "pi", "pow",
    "power", "printf", "quote", "radians", "rank", "replace", "round", "row_number", "rtrim", "sign", "sin", "sinh",
    "sqrt", "strftime", "string_agg", "substr", "substring", "sum", "tan", "tanh", "time", "total", "trim", "trunc",
    "typeof", "unhex", "unicode", "unixepoch", "unlikely", "upper"};

bool harmless(const char* name) {
    if (!name) return false;
    std::string lower(name);
    for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
    return std::binary_search(std::begin(kHarmless), std::end(kHarmless), lower,
                              [](const std::string& a, const std::string& b) { return a < b; });
}

// SQLite's authorizer: for a read, the table, its column and its database;
// for a function, nothing and its name.
int readsOnly(void*, int action, const char*, const char* second, const char* database, const char*) {
    switch (action) {
    case SQLITE_SELECT:
    case SQLITE_RECURSIVE: return SQLITE_OK;
    // A read of no column (count(*)) names no database; the only other one,
    // temp, stays empty, since nothing may be made there.
    case SQLITE_READ: return !database || std::strcmp(database, "main") == 0 ? SQLITE_OK : SQLITE_DENY;
    case SQLITE_FUNCTION: return harmless(second) ? SQLITE_OK : SQLITE_DENY;
    default: return SQLITE_DENY;
    }
}

}  // namespace

void Db::restrictToReading() {
    int was = 0;
    if (sqlite3_db_config(db_, SQLITE_DBCONFIG_DEFENSIVE, 1, &was) != SQLITE_OK ||
        sqlite3_db_config(db_, SQLITE_DBCONFIG_ENABLE_FTS3_TOKENIZER, 0, &was) != SQLITE_OK ||
        sqlite3_db_config(db_, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0, &was) != SQLITE_OK ||
        sqlite3_db_config(db_, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, &was) != SQLITE_OK)
        throw Error("the connection cannot be restricted to reading: " + message());
    sqlite3_limit(db_, SQLITE_LIMIT_ATTACHED, 0);
    if (sqlite3_set_authorizer(db_, readsOnly, nullptr) != SQLITE_OK)
        throw Error("the connection cannot be restricted to reading: " + message());
    restricted_ = true;
}

std::string Db::message() const { return sqlite3_errmsg(db_); }

void Db::busyTimeout(int milliseconds) { sqlite3_busy_timeout(db_, milliseconds); }

bool Db::autocommit() const { return sqlite3_get_autocommit(db_) != 0; }

void Db::exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        std::string why = error ? error : message();
        sqlite3_free(error);
        throw Error(why);
    }
}

std::int64_t Db::integer(const std::string& sql) {
    Stmt s(*this, sql);
    if (!s.step()) throw Error("no row from: " + sql);
    return s.integer(0);
}

Stmt::Stmt(Db& db, const std::string& sql) : db_(db) {
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(db.handle(), sql.c_str(), int(sql.size()), &stmt_, &tail) != SQLITE_OK)
        throw Error(db.message());
    if (!stmt_) throw Error("no statement in the text");
    if (db.restricted() && !sqlite3_stmt_readonly(stmt_)) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
        throw Error("only a statement that reads may run here");
    }
    // What follows the first statement must be empty, or only comments.
    for (const char* p = tail; p && *p; ++p) {
        if (std::isspace(static_cast<unsigned char>(*p)) || *p == ';') continue;
        sqlite3_stmt* next = nullptr;
        const char* rest = nullptr;
        if (sqlite3_prepare_v2(db.handle(), p, -1, &next, &rest) != SQLITE_OK || next) trailing_ = true;
        sqlite3_finalize(next);
        break;
    }
}

Stmt::~Stmt() { sqlite3_finalize(stmt_); }

Stmt& Stmt::bind(int i, std::int64_t v) {
    if (sqlite3_bind_int64(stmt_, i, v) != SQLITE_OK) throw Error(db_.message());
    return *this;
}
Stmt& Stmt::bind(int i, double v) {
    if (sqlite3_bind_double(stmt_, i, v) != SQLITE_OK) throw Error(db_.message());
    return *this;
}
Stmt& Stmt::bind(int i, const std::string& v) {
    if (sqlite3_bind_text(stmt_, i, v.data(), int(v.size()), SQLITE_TRANSIENT) != SQLITE_OK) throw Error(db_.message());
    return *this;
}
Stmt& Stmt::bindRef(int i, const std::string& v) {
    if (sqlite3_bind_text(stmt_, i, v.data(), int(v.size()), SQLITE_STATIC) != SQLITE_OK) throw Error(db_.message());
    return *this;
}
Stmt& Stmt::bindNull(int i) {
    if (sqlite3_bind_null(stmt_, i) != SQLITE_OK) throw Error(db_.message());
    return *this;
}

bool Stmt::step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) {
        sqlite3_reset(stmt_);
        return false;
    }
    std::string why = db_.message();
    sqlite3_reset(stmt_);
    throw Error(why);
}

void Stmt::run() {
    while (step()) {
    }
}

void Stmt::reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

int Stmt::columns() const { return sqlite3_column_count(stmt_); }
std::string Stmt::name(int col) const {
    const char* n = sqlite3_column_name(stmt_, col);
    return n ? n : "";
}
int Stmt::type(int col) const { return sqlite3_column_type(stmt_, col); }
std::int64_t Stmt::integer(int col) const { return sqlite3_column_int64(stmt_, col); }
double Stmt::real(int col) const { return sqlite3_column_double(stmt_, col); }
std::string Stmt::text(int col) const {
    const unsigned char* t = sqlite3_column_text(stmt_, col);
    return t ? std::string(reinterpret_cast<const char*>(t), std::size_t(sqlite3_column_bytes(stmt_, col))) : std::string();
}

std::string_view Stmt::textView(int col) const {
    const unsigned char* t = sqlite3_column_text(stmt_, col);
    return t ? std::string_view(reinterpret_cast<const char*>(t), std::size_t(sqlite3_column_bytes(stmt_, col)))
             : std::string_view();
}
std::string_view Stmt::blob(int col) const {
    const void* b = sqlite3_column_blob(stmt_, col);
    return b ? std::string_view(static_cast<const char*>(b), std::size_t(sqlite3_column_bytes(stmt_, col)))
             : std::string_view();
}

Transaction::Transaction(Db& db) : db_(db) { db_.exec("BEGIN IMMEDIATE"); }
Transaction::~Transaction() {
    if (open_) sqlite3_exec(db_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}
void Transaction::commit() {
    db_.exec("COMMIT");
    open_ = false;
}

Savepoint::Savepoint(Db& db, const char* name) : db_(db), name_(name) { db_.exec("SAVEPOINT " + name_); }
Savepoint::~Savepoint() {
    if (!open_) return;
    const std::string undo = "ROLLBACK TO " + name_ + "; RELEASE " + name_;
    sqlite3_exec(db_.handle(), undo.c_str(), nullptr, nullptr, nullptr);
}
void Savepoint::release() {
    db_.exec("RELEASE " + name_);
    open_ = false;
}

std::string quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') out += '\'';
        out += c;
    }
    return out + "'";
}

}  // namespace index
}  // namespace vt
