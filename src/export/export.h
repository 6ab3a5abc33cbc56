// Exporting an index database to engines that are not SQLite: a lake of gzip
// JSON Lines files partitioned by day, or a PostgreSQL server. Both are built
// over whatever tables the database has (read from its schema), and both are
// incremental: what was exported is kept beside the export (a manifest file,
// or a table of the server), and the next export rewrites only the days of
// recordings whose generation has risen since, each day whole.
//
// The database is only ever opened read-only, and read in one snapshot.
// Nothing here throws.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace vt {
namespace exporter {

struct Options {
    bool full = false;                               // rewrite every day, not only the changed ones
    std::function<void(const std::string&)> progress;  // one line at a time; may be empty
    const std::atomic<bool>* stop = nullptr;         // raised: end after the day being written
};

struct Summary {
    std::int64_t generation = 0;      // the database's generation now exported
    std::uint64_t daysWritten = 0;    // days rewritten with rows
    std::uint64_t daysRemoved = 0;    // days that no longer have rows anywhere
    std::uint64_t rows = 0;           // rows written, over every table
    std::uint64_t dictionaries = 0;   // tables without days rewritten
    bool full = false;                // every day was rewritten
    bool otherIndex = false;          // the target held an export of another index, now replaced
};

enum class Status {
    Done,
    SourceFailed,  // the database cannot be opened or is not an index
    Unreachable,   // the lake or the server cannot be opened, or is no earlier export: nothing was written
    TargetFailed,  // the lake or the server cannot be written (what was written is whole)
    Interrupted,   // stopped between two days; the next export goes on from there
};

// OUTDIR/<table>/day=YYYY-MM-DD/part-0.jsonl.gz for a table with a day column,
// OUTDIR/<table>/part-0.jsonl.gz for one without, _schema.json and
// _manifest.json. OUTDIR must be new, empty, or an earlier export (one with a
// _manifest.json). An earlier export of another index is rewritten whole.
Status toLake(const std::string& database, const std::string& outDir, const Options& options, Summary& summary,
              std::string& error);

// True when this build can write to PostgreSQL.
bool havePostgres();
// The same tables into a PostgreSQL server (a libpq connection URI), each
// changed day in one transaction; the state of the export is kept in the
// table vtl_export_state there.
Status toPostgres(const std::string& database, const std::string& uri, const Options& options, Summary& summary,
                  std::string& error);

// A target naming a PostgreSQL server rather than a directory.
bool isPostgresUri(const std::string& target);

}  // namespace exporter
}  // namespace vt
