#include "index/schema.h"

#include <sqlite3.h>

#include <chrono>
#include <thread>

namespace vt {
namespace index {

namespace {

// The tables of this version. A later version that only adds tables and
// columns brings a database of this one up in steps of its own (ALTER TABLE
// ... ADD COLUMN); one that must read the logs again to fill what it changes
// refuses an older database and asks for a new one (kRebuildBelow).
const char kTables[] = R"SQL(
CREATE TABLE meta (
  name TEXT PRIMARY KEY,
  value INTEGER NOT NULL
) STRICT;
INSERT INTO meta (name, value) VALUES ('generation', 0);

CREATE TABLE recordings (
  id INTEGER PRIMARY KEY,
  day TEXT NOT NULL,
  generation INTEGER NOT NULL,
  user_id INTEGER NOT NULL,
  match_id INTEGER NOT NULL,
  started TEXT NOT NULL,
  ended TEXT,
  week TEXT NOT NULL,
  file_sha256 TEXT NOT NULL,
  path TEXT NOT NULL,
  whole INTEGER NOT NULL,
  state TEXT NOT NULL,
  reason TEXT,
  records INTEGER NOT NULL,
  recovered_from TEXT,
  untimed INTEGER NOT NULL,
  UNIQUE (user_id, match_id, started)
) STRICT;
CREATE INDEX recordings_day ON recordings (day);
CREATE INDEX recordings_generation ON recordings (generation);

CREATE TABLE files (
  sha256 TEXT PRIMARY KEY,
  day TEXT NOT NULL,
  recording_id INTEGER NOT NULL,
  path TEXT NOT NULL,
  size INTEGER NOT NULL,
  whole INTEGER NOT NULL,
  state TEXT NOT NULL,
  reason TEXT,
  records INTEGER NOT NULL,
  current INTEGER NOT NULL,
  indexed_at TEXT NOT NULL
) STRICT;
CREATE INDEX files_recording ON files (recording_id);

CREATE TABLE identifiers (
  id INTEGER PRIMARY KEY,
  kind TEXT NOT NULL,
  value TEXT NOT NULL,
  weak INTEGER NOT NULL,
  mark TEXT,
  UNIQUE (kind, value)
) STRICT;

CREATE TABLE sightings (
  day TEXT NOT NULL,
  recording_id INTEGER NOT NULL,
  identifier_id INTEGER NOT NULL,
  fact TEXT NOT NULL,
  PRIMARY KEY (recording_id, identifier_id)
) STRICT;
CREATE INDEX sightings_identifier ON sightings (identifier_id);

CREATE TABLE programs (
  id INTEGER PRIMARY KEY,
  path TEXT NOT NULL UNIQUE,
  name TEXT NOT NULL,
  name_lower TEXT NOT NULL,
  path_lower TEXT NOT NULL
) STRICT;
CREATE INDEX programs_name ON programs (name_lower);

CREATE TABLE processes (
  day TEXT NOT NULL,
  recording_id INTEGER NOT NULL,
  line INTEGER NOT NULL,
  pid INTEGER,
  program_id INTEGER NOT NULL,
  started TEXT,
  ended TEXT,
  already_running INTEGER NOT NULL,
  still_running INTEGER NOT NULL,
  PRIMARY KEY (recording_id, line)
) STRICT, WITHOUT ROWID;
CREATE INDEX processes_program ON processes (program_id);

CREATE TABLE connections (
  day TEXT NOT NULL,
  recording_id INTEGER NOT NULL,
  line INTEGER NOT NULL,
  protocol TEXT NOT NULL,
  local_ip TEXT,
  local_port INTEGER,
  remote_ip TEXT,
  remote_port INTEGER,
  remote_address INTEGER,
  pid INTEGER,
  program_id INTEGER,
  opened TEXT,
  closed TEXT,
  already_open INTEGER NOT NULL,
  still_open INTEGER NOT NULL,
  PRIMARY KEY (recording_id, line)
) STRICT, WITHOUT ROWID;
CREATE INDEX connections_remote ON connections (remote_address);

CREATE TABLE pings (
  day TEXT NOT NULL,
  recording_id INTEGER NOT NULL,
  line INTEGER NOT NULL,
  at TEXT,
  server TEXT NOT NULL,
  server_address INTEGER,
  milliseconds INTEGER,
  answered INTEGER NOT NULL,
  PRIMARY KEY (recording_id, line)
) STRICT, WITHOUT ROWID;

CREATE TABLE throughput (
  day TEXT NOT NULL,
  recording_id INTEGER NOT NULL,
  line INTEGER NOT NULL,
  at TEXT,
  adapter TEXT NOT NULL,
  tx_bytes_per_s REAL,
  rx_bytes_per_s REAL,
  PRIMARY KEY (recording_id, line)
) STRICT, WITHOUT ROWID;

CREATE TABLE keys (
  day TEXT NOT NULL,
  recording_id INTEGER NOT NULL,
  line INTEGER NOT NULL,
  at TEXT,
  name TEXT NOT NULL,
  PRIMARY KEY (recording_id, line)
) STRICT, WITHOUT ROWID;

CREATE TABLE facts (
  day TEXT NOT NULL,
  recording_id INTEGER NOT NULL,
  line INTEGER NOT NULL,
  at TEXT,
  name TEXT NOT NULL,
  value TEXT NOT NULL,
  PRIMARY KEY (recording_id, line)
) STRICT, WITHOUT ROWID;

CREATE TABLE other_records (
  day TEXT NOT NULL,
  recording_id INTEGER NOT NULL,
  line INTEGER NOT NULL,
  at TEXT,
  kind TEXT NOT NULL,
  action TEXT NOT NULL,
  raw TEXT NOT NULL,
  cut INTEGER NOT NULL,
  PRIMARY KEY (recording_id, line)
) STRICT, WITHOUT ROWID;

CREATE TABLE summaries (
  day TEXT NOT NULL,
  recording_id INTEGER PRIMARY KEY,
  week TEXT NOT NULL,
  seconds INTEGER,
  records INTEGER NOT NULL,
  pings INTEGER NOT NULL,
  no_answers INTEGER NOT NULL,
  ping_p50 REAL,
  ping_p95 REAL,
  ping_average REAL,
  tx_average REAL,
  rx_average REAL,
  processes INTEGER NOT NULL,
  connections INTEGER NOT NULL,
  keys INTEGER NOT NULL
) STRICT;

CREATE TABLE ping_servers (
  day TEXT NOT NULL,
  recording_id INTEGER NOT NULL,
  week TEXT NOT NULL,
  server TEXT NOT NULL,
  server_address INTEGER,
  pings INTEGER NOT NULL,
  no_answers INTEGER NOT NULL,
  ping_p50 REAL,
  ping_p95 REAL,
  ping_average REAL,
  PRIMARY KEY (recording_id, server)
) STRICT;
CREATE INDEX ping_servers_server ON ping_servers (server);
)SQL";

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
    Transaction t(db);
    const std::int64_t version = db.integer("PRAGMA user_version");
    if (version > kSchemaVersion)
        throw Error("the database is of schema version " + std::to_string(version) + ", newer than this vtl's " +
                    std::to_string(kSchemaVersion));
    refuseOlder(version);
    if (version == 0) {
        if (db.integer("SELECT count(*) FROM sqlite_schema") != 0)
            throw Error("the file is an SQLite database, but not an index");
        db.exec(kTables);
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
