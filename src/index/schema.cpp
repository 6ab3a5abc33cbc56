#include "index/schema.h"

#include "index/tables.h"

#include <sqlite3.h>

#include <chrono>
#include <thread>

namespace vt {
namespace index {

namespace {


// The tables of this version are described in tables.cpp. A later version
// that only adds tables and columns brings a database of this one up in steps
// of its own (ALTER TABLE ... ADD COLUMN); one that must read the logs again
// to fill what it changes refuses an older database and asks for a new one
// (kRebuildBelow).
//
// Version 1 kept rates as integers, and lost every rate the library writes
// with a fraction or an exponent ("48397.7", "1.53377e+006"); version 2 also
// reads impossible stamps, non-ASCII names and identifiers that identify no
// one machine otherwise. Only the logs can fill that in again.
constexpr std::int64_t kRebuildBelow = 2;

void refuseOlder(std::int64_t version) {
    if (version > 0 && version < kRebuildBelow)
        throw Error("the index is of schema version " + std::to_string(version) + ", made by an earlier vtl that " +
                    "read rates and names wrongly; this vtl reads it no more: index the logs again into a new "
                    "database (vtl index NEW.db LOGS...)");
}

void prepareOnce(Db& db) {
    db.exec("PRAGMA journal_mode=WAL");
    db.exec("PRAGMA synchronous=NORMAL");
    db.exec("PRAGMA cache_size=-65536");
    // A bulk load checkpoints every 32 MB of log, not every 4 MB.
    db.exec("PRAGMA wal_autocheckpoint=8192");
    Transaction t(db);
    const std::int64_t version = db.integer("PRAGMA user_version");
    if (version > kSchemaVersion)
        throw Error("the database is of schema version " + std::to_string(version) + ", newer than this vtl's " +
                    std::to_string(kSchemaVersion));
    refuseOlder(version);
    if (version == 0) {
        if (db.integer("SELECT count(*) FROM sqlite_schema") != 0)
            throw Error("the file is an SQLite database, but not an index");
        db.exec(tables::schema());
        db.exec("PRAGMA user_version=" + std::to_string(kSchemaVersion));
    }
    // The index's identity, made with it (or on the first write of an index
    // made before it had one): a copy of it tells this index from another.
    db.exec("INSERT OR IGNORE INTO meta (name, value) VALUES ('identity', random() & 9223372036854775807)");
    t.commit();
}

}  // namespace

// Turning a new file to WAL needs it to itself for a moment, and SQLite does
// not wait for that: a second vtl making the same database at the same time is
// told "database is locked" at once, busy timeout or not. So it tries again,
// for as long as a busy write lock is waited for.
void prepareForWriting(Db& db) {
    using Clock = std::chrono::steady_clock;
    const auto giveUp = Clock::now() + std::chrono::seconds(120);
    for (;;) {
        try {
            prepareOnce(db);
            return;
        } catch (const Error&) {
            const int code = sqlite3_errcode(db.handle()) & 0xff;
            if ((code != SQLITE_BUSY && code != SQLITE_LOCKED) || Clock::now() > giveUp) throw;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void checkForReading(Db& db) {
    const std::int64_t version = db.integer("PRAGMA user_version");
    if (version == 0) throw Error("not an index (no schema version)");
    refuseOlder(version);
    if (version > kSchemaVersion)
        throw Error("the database is of schema version " + std::to_string(version) + ", newer than this vtl's " +
                    std::to_string(kSchemaVersion));
}

}  // namespace index
}  // namespace vt
