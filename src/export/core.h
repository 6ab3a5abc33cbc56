// What both exports share: the database read in one snapshot, the state of
// an earlier export, and the walk over the days that changed since, which
// feeds a sink (the lake or the server) one day at a time.
#pragma once

#include "export/export.h"

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace vt {
namespace exporter {

struct Column {
    std::string name;
    std::string type;  // as declared: INTEGER, REAL, TEXT, BLOB, ANY, ...
    bool notNull = false;
};

struct Table {
    std::string name;
    std::vector<Column> columns;
    int dayColumn = -1;  // index of the day column; -1 for a dictionary
    bool byDay() const { return dayColumn >= 0; }
};

struct Schema {
    std::int64_t version = 0;  // PRAGMA user_version
    std::vector<Table> tables;
    std::string key() const;   // changes with any table, column or the version
    std::string toJson() const;
};

// One cell of a row, valid until the next row.
struct Value {
    enum Kind { Null, Integer, Real, Text, Blob } kind = Null;
    std::int64_t integer = 0;
    double real = 0;
    std::string_view bytes;  // text (well-formed UTF-8) or blob
};
using Row = std::vector<Value>;

// What an export has written: enough for the next one to know what changed.
struct State {
    // The identity of the index it came from ("" for an index made before
    // indexes had one), and whether it was finished: a target is marked as an
    // export's, unfinished, before anything else is written into it.
    std::string identity;
    bool complete = true;
    std::int64_t generation = 0;
    std::string schemaKey;
    std::map<std::string, std::int64_t> days;          // day -> recordings on that day
    std::map<std::string, std::string> dictionaries;   // table -> digest of its rows
    std::string toJson(const Schema& schema) const;
    static bool fromJson(const std::string& text, State& out);
};

// A row as one JSON object, the day of a table partitioned by it left out.
std::string jsonLine(const Table& table, const Row& row, bool withDay);
// "YYYY-MM-DD", digits only, so that it is safe in a path.
bool isDay(std::string_view day);
// A table name that is safe as a directory and an SQL identifier.
bool isPlainName(const std::string& name);

// The texts of a PostgreSQL connection URI that no message may repeat: the
// URI itself, its authority and each part of it around an '@' (a password
// with an '@' not percent-encoded splits there), the password raw and
// percent-decoded (also of a password= parameter), and each host and
// host:port.
std::vector<std::string> uriSecrets(const std::string& uri);
// The message with every occurrence of any of the secrets replaced by "***",
// its lines joined by "; ".
std::string hideSecrets(const std::string& message, const std::vector<std::string>& secrets);

class Sink {
public:
    virtual ~Sink() = default;
    // The state of the last export, found false when the target holds none
    // (it is new, or empty); an error when it holds something else.
    virtual bool loadState(State& state, bool& found, std::string& error) = 0;
    // A target without a state: refuse it when it holds tables or files of the
    // schema's names that no export made, else mark it as this export's with
    // the unfinished state given.
    virtual bool claim(const Schema& schema, const State& unfinished, std::string& error) = 0;
    virtual bool prepare(const Schema& schema, bool full, std::string& error) = 0;
    // The days the target holds rows of (after prepare), so that a full
    // export also removes those the database no longer has.
    virtual bool heldDays(const Schema& schema, std::set<std::string>& days, std::string& error) = 0;
    // A day: every partitioned table's rows of that day, in one unit.
    virtual bool beginDay(const std::string& day, std::string& error) = 0;
    virtual bool endDay(std::string& error) = 0;
    // A table's rows: of the current day, or the whole of a dictionary (outside a day).
    virtual bool beginTable(const Table& table, std::string& error) = 0;
    virtual bool row(const Table& table, const Row& row, std::string& error) = 0;
    virtual bool endTable(const Table& table, std::uint64_t rows, std::string& error) = 0;
    // Everything is written: keep the state for the next export.
    virtual bool finish(const Schema& schema, const State& state, std::string& error) = 0;
};

// Opens the database read-only and exports what changed into the sink.
Status run(const std::string& database, Sink& sink, const Options& options, Summary& summary,
           std::string& error);

}  // namespace exporter
}  // namespace vt
