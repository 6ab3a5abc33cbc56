// The index database: its tables, its version and how it is opened.
//
// What readers of the database may rely on, now and in later versions:
//
// - Every table is STRICT. PRAGMA user_version is the schema version; a later
//   version adds tables and columns, it never renames or drops one. When a
//   version must change what an older one stored (version 2: rates as REAL),
//   it refuses the older database with a message that asks for a new index.
// - Addresses are integers (an IPv4 address as its 32-bit number, so that a
//   CIDR block is a range), numbers are INTEGER or REAL, names and times are
//   TEXT (times as "YYYY-MM-DD hh:mm:ss", the logging machine's clock).
// - Every table whose rows belong to a recording has a column
//   `day TEXT NOT NULL`: YYYY-MM-DD of that recording's start record. Tables of
//   things that belong to no one recording (programs, identifiers, meta) have
//   none.
// - `meta` holds `identity`, a random number drawn when the index is made
//   (a copy tells by it that it came from another index), and the
//   generation, a counter that every ingest transaction
//   raises by one. Every recording whose rows an ingest adds, replaces or
//   removes takes the new generation in `recordings.generation`. So a copy
//   that remembers the highest generation it has taken need only take again
//   the days of the recordings whose generation is above it, whole.
// - A recording is one (user_id, match_id, started); its rows come from one
//   file, its current one (`recordings.file_sha256`). A whole file replaces a
//   partial one, a file with more records one with fewer.
#pragma once

#include "index/sqlite.h"

#include <string>

namespace vt {
namespace index {

constexpr int kSchemaVersion = 2;

// Opens the database for indexing: WAL, synchronous=NORMAL, a busy timeout,
// and its tables made or brought up to this version. Throws Error.
void prepareForWriting(Db& db);
// Checks that a database opened for reading was made by an index of a
// version this one reads. Throws Error.
void checkForReading(Db& db);

}  // namespace index
}  // namespace vt
