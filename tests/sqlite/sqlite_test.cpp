// SQLite as the Windows vtl links it: the static mingw build, through
// find_package(SQLite3) and SQLite::SQLite3. What the index relies on, and a
// database file of this system's own, written and read by two connections.
#include "platform/os.h"
#include "support/temp_dir.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>

namespace {

// Whether a file is there under the UTF-8 name path, as the file system spells it.
bool existsUtf8(const std::string& path) {
    os::NativePath native;
    return os::nativePath(path, os::PathText::Utf8, native) && boost::filesystem::exists(native);
}

struct CloseDb {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Db = std::unique_ptr<sqlite3, CloseDb>;

// A connection to path (UTF-8), created when it is not there; a failure fails the test.
Db open(const std::string& path) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    Db db(raw);  // handed back even when the open failed, to be closed
    EXPECT_EQ(rc, SQLITE_OK) << path << ": " << (raw ? sqlite3_errmsg(raw) : "out of memory");
    return db;
}

// Runs the statements; "" when they all ran, SQLite's message otherwise.
std::string exec(sqlite3* db, const std::string& sql) {
    char* msg = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg) == SQLITE_OK) return "";
    std::string text = msg ? msg : sqlite3_errmsg(db);
    sqlite3_free(msg);
    return text;
}

// The first column of every row as text, joined by '|'; "error: ..." when the query failed.
std::string rows(sqlite3* db, const std::string& sql) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
        return std::string("error: ") + sqlite3_errmsg(db);
    }
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> stmt(raw, sqlite3_finalize);
    std::string out;
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
        const auto* text = sqlite3_column_text(stmt.get(), 0);
        if (!out.empty()) out += '|';
        out += text ? reinterpret_cast<const char*>(text) : "NULL";
    }
    if (rc != SQLITE_DONE) return std::string("error: ") + sqlite3_errmsg(db);
    return out;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// What SQL can use is what Debian's libsqlite3 gives the Linux vtl, less
// loading extensions and double-quoted strings.
TEST(SqliteBuild, HasWhatTheIndexUsesInMemory) {
    EXPECT_GE(sqlite3_libversion_number(), 3037000) << "STRICT tables need 3.37";
    EXPECT_EQ(sqlite3_threadsafe(), 1);
    Db db = open(":memory:");
    ASSERT_TRUE(db);

    EXPECT_EQ(exec(db.get(), "CREATE TABLE t(id INTEGER PRIMARY KEY, n INTEGER NOT NULL, s TEXT) STRICT;"
                             "INSERT INTO t(n, s) VALUES (7, 'seven');"), "");
    EXPECT_PRED2(contains, exec(db.get(), "INSERT INTO t(n) VALUES ('not a number')"), "cannot store TEXT");
    EXPECT_EQ(rows(db.get(), "SELECT n || s FROM t"), "7seven");

    EXPECT_EQ(rows(db.get(), "SELECT json_extract('{\"a\":[1,{\"b\":\"x\"}]}', '$.a[1].b')"), "x");
    EXPECT_EQ(rows(db.get(), "SELECT value FROM json_each('[3,1,2]') ORDER BY value"), "1|2|3");
    EXPECT_EQ(rows(db.get(), "SELECT sqrt(16) + floor(2.5)"), "6.0");
    EXPECT_EQ(exec(db.get(), "CREATE VIRTUAL TABLE f USING fts5(body);"
                             "INSERT INTO f VALUES ('ping to 127.0.0.2'), ('key pressed F1');"), "");
    EXPECT_EQ(rows(db.get(), "SELECT body FROM f WHERE f MATCH 'pressed'"), "key pressed F1");

    EXPECT_PRED2(contains, rows(db.get(), "SELECT \"no such name\""), "no such column");
    EXPECT_PRED2(contains, rows(db.get(), "SELECT load_extension('x')"), "no such function");
}

// A file in WAL mode under a name beyond ASCII: a reader is not blocked by an
// open write and sees only what was committed; everything is there after both close.
TEST(SqliteBuild, WalFileKeepsCommittedRowsAcrossConnections) {
    testsupport::TempDir dir;
    const std::string path = dir.join("index-\xc3\xa9t\xc3\xa9-\xd0\xb6.db");  // "index-été-ж.db"
    {
        Db writer = open(path);
        ASSERT_TRUE(writer);
        EXPECT_EQ(rows(writer.get(), "PRAGMA journal_mode=WAL"), "wal");
        ASSERT_EQ(exec(writer.get(), "CREATE TABLE matches(id INTEGER PRIMARY KEY, user INTEGER NOT NULL,"
                                     " info TEXT NOT NULL) STRICT;"
                                     "INSERT INTO matches(user, info) VALUES (7, '{\"map\":\"dust\"}'), (8, '{}');"),
                  "");

        Db reader = open(path);
        ASSERT_TRUE(reader);
        ASSERT_EQ(exec(writer.get(), "BEGIN IMMEDIATE; INSERT INTO matches(user, info) VALUES (9, '{}');"), "");
        EXPECT_EQ(rows(reader.get(), "SELECT user FROM matches ORDER BY id"), "7|8");
        ASSERT_EQ(exec(writer.get(), "COMMIT"), "");
        EXPECT_EQ(rows(reader.get(), "SELECT user FROM matches ORDER BY id"), "7|8|9");
        EXPECT_TRUE(existsUtf8(path + "-wal"));
    }
    EXPECT_TRUE(existsUtf8(path)) << "the file is not under its UTF-8 name";
    Db again = open(path);
    ASSERT_TRUE(again);
    EXPECT_EQ(rows(again.get(), "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(rows(again.get(), "SELECT json_extract(info, '$.map') FROM matches WHERE user = 7"), "dust");
    EXPECT_EQ(rows(again.get(), "SELECT count(*) FROM matches"), "3");
}

}  // namespace
