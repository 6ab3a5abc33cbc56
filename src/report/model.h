// What a match report shows, built from the records of one or more logs of
// the match. Pure data: no files, no markup. The records stream through a
// ModelBuilder one line at a time; what the page needs of each is kept
// compact (texts once in a pool, the record lines packed as they come).
#pragma once

#include "common/schema.h"
#include "read/records.h"
#include "report/pack.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vt {
namespace report {

// One log held in memory, as the tests give it.
struct Source {
    std::string name;    // the file, as named on the command line
    bool whole = false;
    std::string reason;  // why it is not whole
    std::string text;    // the record text that could be read (may be empty)
};

// "DD.MM.YYYY hh:mm:ss" as seconds of a calendar without time zones (the
// stamps are the recording machine's local time). False for anything else.
bool stampSeconds(const std::string& stamp, long long& seconds);
// The seconds of the stamp that begins a record line, if it has one.
bool lineSeconds(const std::string& line, long long& seconds);
// hh:mm:ss of such seconds.
std::string clockText(long long seconds);
// DD.MM.YYYY of such seconds.
std::string dateText(long long seconds);
// "1 h 02 min 05 s", "3 min 20 s", "12 s".
std::string durationText(long long seconds);

// A number the page may draw (read's rule for a measurement).
using read::drawableNumber;

// The ping result: 1 to 500 is a round-trip time in ms; 1000 means no answer,
// 501 a reply without a plausible time; anything else cannot be a time either.
enum class PingClass { Latency, NoAnswer, Implausible, Other };
PingClass classifyPing(long value);

struct PingPoint {
    long long t = 0;
    long value = 0;
    PingClass cls = PingClass::Other;
};

struct RatePoint {
    long long t = 0;
    double sent = 0;      // bytes per second
    double received = 0;
};

struct Adapter {
    std::string name;
    std::vector<RatePoint> points;
};

// Texts kept once each, addressed by number.
class Strings {
public:
    using Id = std::uint32_t;
    Strings();
    Id add(std::string_view text);     // a new entry every time
    Id intern(std::string_view text);  // the same text, the same entry
    std::string_view operator[](Id id) const {
        return std::string_view(arena_.data() + offsets_[id], offsets_[id + 1] - offsets_[id]);
    }

private:
    static constexpr Id kFree = ~Id(0);
    void rehash(std::size_t slots);
    std::string arena_;
    std::vector<std::uint64_t> offsets_;  // entry i is arena_[offsets_[i], offsets_[i + 1])
    // The interned entries, by the hash of their text: open addressing, at
    // most half full, so that an entry costs a few bytes besides its text.
    std::vector<Id> slots_;
    std::size_t interned_ = 0;
};

// A process from its Add record to its Del record.
struct Lifetime {
    Strings::Id pid = 0, path = 0;
    long long start = 0, end = 0;
    bool atStart = false;  // listed by the first poll, or gone without an Add: running when the log began
    bool addSeen = true;   // false: a Del without an earlier Add (it starts with the log)
    bool open = false;     // no Del: still present when the log ended (or where it was cut)
};

// A TCP connection or UDP endpoint from its Add record to its Del record;
// its path is the one the Add read.
struct Connection {
    Strings::Id proto = 0, local = 0, remote = 0, pid = 0, path = 0;  // remote is empty for UDP
    long long start = 0, end = 0;
    bool atStart = false, addSeen = true, open = false;
};

struct Event {
    long long t = 0;
    std::string stamp, name, value;
};

// A key press; its texts in the model's pool (a stamp once per second, a
// name once per key).
struct KeyPress {
    long long t = 0;
    Strings::Id stamp = 0, name = 0;
};

struct LogSummary {
    std::string name;
    bool whole = false;
    std::string reason;
    std::size_t records = 0;
    std::string user, match;
    bool stopped = false;  // its last record is the end-of-file record
};

// The records of a kind of the schema that the page has no view of its own
// for: one table, its columns the shape's labels.
struct KindTable {
    schema::Kind kind{};
    std::vector<std::string> columns;  // "Time", "Action" (when the shape's action is free), the labels
    std::size_t rows = 0;
    std::string json;  // the rows as JSON arrays of strings, comma separated
};

struct Model {
    std::vector<LogSummary> logs;
    std::vector<std::string> users, matches, servers;  // distinct values, in order of appearance
    bool timed = false;             // at least one readable stamp
    long long first = 0, last = 0;  // seconds of the first and last readable stamp
    std::string firstStamp, lastStamp;
    std::vector<Event> facts;       // every SysInfo record
    std::vector<Event> hostFacts;   // the facts the host sent (not the library's own)
    // The two kinds a log may hold millions of: in blocks, never copied as they grow.
    std::deque<KeyPress> keys;
    std::deque<PingPoint> pings;
    std::vector<Adapter> adapters;
    Strings strings;                // the texts of key presses, processes and connections
    std::vector<Lifetime> processes;
    std::vector<Connection> connections;
    std::vector<KindTable> otherKinds;  // in the order of the schema
    std::size_t records = 0;        // every line of every log
    std::size_t unreadable = 0;     // lines of no known shape
    Packed packedLines;             // every line, packed for the page's table of all records
    bool allWhole() const;
    std::string_view text(Strings::Id id) const { return strings[id]; }
};

// Whether the page has a view of its own for records of this kind.
bool viewed(schema::Kind kind);

// Builds a model from logs handed over one line at a time. Logs are given in
// the order of their first stamps; each log's processes and connections end
// with that log.
class ModelBuilder {
public:
    ModelBuilder();
    ~ModelBuilder();
    ModelBuilder(const ModelBuilder&) = delete;
    ModelBuilder& operator=(const ModelBuilder&) = delete;

    // first: the log's first readable stamp (timed false when it has none).
    void beginLog(const std::string& name, bool whole, const std::string& reason, bool timed, long long first);
    // The same with the first stamp found as the lines come: lines before it
    // wait for it (at most 4096 of them; past that they are taken as of a log
    // without stamps).
    void beginLog(const std::string& name, bool whole, const std::string& reason);
    void line(const std::string& raw);
    // The log turned out not to be whole (it could not be read to its end).
    void notWhole(const std::string& reason);
    void endLog();
    Model finish();

private:
    void take(const std::string& raw);
    void started(bool timed, long long first);

    struct State;
    std::unique_ptr<State> s_;
};

// Logs of one match are read in the order of their first stamps.
Model buildModel(const std::vector<Source>& sources);

// Names of the facts the library writes itself.
bool libraryFact(const std::string& name);

}  // namespace report
}  // namespace vt
