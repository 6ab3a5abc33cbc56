// What a match report shows, built from the records of one or more logs of
// the match. Pure data: no files, no markup.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vt {
namespace report {

// One log as the reader gave it.
struct Source {
    std::string name;    // the file, as named on the command line
    bool whole = false;
    std::string reason;  // why it is not whole
    std::string text;    // the record text that could be read (may be empty)
};

// "DD.MM.YYYY hh:mm:ss" as seconds of a calendar without time zones (the
// stamps are the recording machine's local time). False for anything else.
bool stampSeconds(const std::string& stamp, long long& seconds);
// hh:mm:ss of such seconds.
std::string clockText(long long seconds);
// DD.MM.YYYY of such seconds.
std::string dateText(long long seconds);
// "1 h 02 min 05 s", "3 min 20 s", "12 s".
std::string durationText(long long seconds);

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

// A process from its Add record to its Del record.
struct Lifetime {
    std::string pid, path;
    long long start = 0, end = 0;
    bool atStart = false;  // listed by the first poll: already running when the log began
    bool addSeen = true;   // false: a Del without an earlier Add
    bool open = false;     // no Del: still present when the log ended (or where it was cut)
};

// A TCP connection or UDP endpoint from its Add record to its Del record.
struct Connection {
    std::string proto, local, remote, pid, path;  // remote is empty for UDP
    long long start = 0, end = 0;
    bool atStart = false, addSeen = true, open = false;
};

struct Event {
    long long t = 0;
    std::string stamp, name, value;
};

struct LogSummary {
    std::string name;
    bool whole = false;
    std::string reason;
    std::size_t records = 0;
    std::string user, match;
    bool stopped = false;  // its last record is the end-of-file record
};

struct Line {
    long long t = 0;  // seconds, or the previous line's when the stamp is unreadable
    std::string kind;
    std::string raw;
};

struct Model {
    std::vector<LogSummary> logs;
    std::vector<std::string> users, matches, servers;  // distinct values, in order of appearance
    bool timed = false;             // at least one readable stamp
    long long first = 0, last = 0;  // seconds of the first and last readable stamp
    std::string firstStamp, lastStamp;
    std::vector<Event> facts;       // every SysInfo record
    std::vector<Event> hostFacts;   // the facts the host sent (not the library's own)
    std::vector<Event> keys;
    std::vector<PingPoint> pings;
    std::vector<Adapter> adapters;
    std::vector<Lifetime> processes;
    std::vector<Connection> connections;
    std::vector<Line> lines;
    std::size_t unreadable = 0;  // lines of no known shape
    bool allWhole() const;
};

// Logs of one match are read in the order of their first stamps; each log's
// processes and connections end with that log.
Model buildModel(const std::vector<Source>& sources);

// Names of the facts the library writes itself.
bool libraryFact(const std::string& name);

}  // namespace report
}  // namespace vt
