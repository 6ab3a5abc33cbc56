// The tables as a version-2 index has them, column for column: databases
// made before and readers written for them rely on it.
#include "index/schema.h"
#include "index/sqlite.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The tables of schema version 2 as first written.
const char kVersion2[] = R"SQL(
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

// Every row of a query, its columns joined.
std::vector<std::string> rows(vt::index::Db& db, const std::string& sql) {
    vt::index::Stmt st(db, sql);
    std::vector<std::string> out;
    while (st.step()) {
        std::string row;
        for (int i = 0; i < st.columns(); ++i) row += (i ? "|" : "") + st.text(i);
        out.push_back(row);
    }
    return out;
}

// What a database's tables and indexes are, in words that do not depend on
// how their statements were spelled.
std::vector<std::string> shape(vt::index::Db& db) {
    std::vector<std::string> out = rows(db, "SELECT schema, name, type, ncol, wr, strict FROM pragma_table_list "
                                            "WHERE name NOT LIKE 'sqlite_%' ORDER BY name");
    for (const auto& table : rows(db, "SELECT name FROM sqlite_schema WHERE type = 'table' ORDER BY name")) {
        for (const auto& r : rows(db, "SELECT * FROM pragma_table_xinfo('" + table + "')")) out.push_back(table + ": " + r);
        for (const auto& index : rows(db, "SELECT name, \"unique\", origin, partial FROM pragma_index_list('" + table +
                                              "') ORDER BY name")) {
            out.push_back(table + " index " + index);
            const std::string name = index.substr(0, index.find('|'));
            for (const auto& r : rows(db, "SELECT * FROM pragma_index_xinfo('" + name + "')"))
                out.push_back(name + ": " + r);
        }
    }
    for (const auto& r : rows(db, "SELECT * FROM meta ORDER BY name")) out.push_back("meta " + r);
    return out;
}

TEST(IndexSchema, TheTablesAreThoseOfVersion2ColumnForColumn) {
    testsupport::TempDir dir;
    vt::index::Db made(dir.join("made.db"), vt::index::Db::Mode::ReadWrite);
    vt::index::prepareForWriting(made);
    made.exec("DELETE FROM meta WHERE name = 'identity'");  // drawn at random
    vt::index::Db first(dir.join("first.db"), vt::index::Db::Mode::ReadWrite);
    first.exec(kVersion2);
    const auto want = shape(first), got = shape(made);
    EXPECT_GT(want.size(), 150u);
    EXPECT_EQ(got, want);
    EXPECT_EQ(made.integer("PRAGMA user_version"), 2);
}

}  // namespace
