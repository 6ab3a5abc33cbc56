// The records of one log as typed, timed events: what every reader of a log
// (the index, the report) takes its meaning from, so that they read a log
// alike.
//
// - Each stamp is turned into seconds once, by civil::stampSeconds.
// - Add and Del records are paired into lifetimes: a process by its PID, a
//   connection by its protocol, local and remote address and port, and PID.
//   The path is what the Add read; a Del whose path reads differently closes
//   the same lifetime. A Del closes the oldest open lifetime of its key.
// - Already there at start: the log's first poll lists what was running
//   before the log began. It is taken to be the Adds from the first Add of
//   any kind (processes, UDP, TCP) on, in the same or the next second, up to
//   the first Del, and up to a record of a kind that each tick polls before
//   the one of the record before (UDP, then TCP, then processes: a UDP Add
//   after a process Add is the next tick's). A Del with no Add before it was
//   also there at the start.
// - Pings and rates are samples; facts, keys and the start and stop records
//   are what they are; every other record (a kind not modelled here, a line
//   of no known shape, a line cut short) is an Other event, never dropped.
//
// An event's texts point into the record it was made of: they hold while
// that record does.
#pragma once

#include "common/schema.h"
#include "read/records.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vt {
namespace events {

// When a record was written.
struct Moment {
    // The record's own stamp in seconds (civil::stampSeconds), or when it has
    // no real time, the last real one before it in the log (0 before any).
    std::int64_t seconds = 0;
    bool own = false;  // the record's own stamp is a real time
};

enum class Type : std::uint8_t {
    Start,    // the start record: value = UserId, detail = MatchId
    Stop,     // the end-of-file record
    Fact,     // SysInfo: name = the fact's name, value = its value
    Key,      // a key press: name
    Ping,     // a ping sample: name = the server, number = the result in ms
    Rate,     // an adapter's rates: name = the adapter, tx and rx in bytes/s
    Opened,   // an Add: lifetime names the lifetime it opened
    Closed,   // a Del: lifetime names the lifetime it closed (or the one it made, when no Add came before it)
    Other,    // anything else: the record as it is
};

enum class Family : std::uint8_t { Process, Udp, Tcp };

// A process or connection from its Add to its Del.
struct Lifetime {
    Family family = Family::Process;
    // As the first record read them (for a connection; a process has only pid and path).
    std::string pid, path, localIp, localPort, remoteIp, remotePort;
    Moment opened;  // of the Add; for a Del without one, the log's first moment (own false)
    Moment closed;  // of the Del; if none came, the log's last moment (own false), set by Reader::finish
    bool atStart = false;  // already there when the log began (see above)
    bool addSeen = true;   // false: a Del without an earlier Add
    bool open = true;      // no Del (yet): at the end, still there when the log ended
    std::int64_t line = 0; // the record of the log (from 1) that began it
};

struct Event {
    Type type = Type::Other;
    const read::Record* record = nullptr;
    std::int64_t line = 0;    // the record's number in the log, from 1
    Moment at;
    bool newStamp = true;     // the stamp's text differs from the record before (or this is the first)
    std::string_view name, value, detail;
    std::optional<std::int64_t> number;  // Ping: the result
    std::optional<double> tx, rx;        // Rate: by read::drawableNumber
    std::size_t lifetime = 0;            // Opened, Closed: its place in Reader::lifetimes()
};

// An integer as the log writes it: optional '-', at most 18 digits, nothing else.
std::optional<std::int64_t> integer(std::string_view text);

// The events of one log, one record at a time.
class Reader {
public:
    // before: the seconds of records before the log's first real stamp (a
    // reader that knows that stamp already gives it; 0 otherwise).
    explicit Reader(std::int64_t before = 0) { moment_.seconds = before; }
    // The record must outlive the event's use (its texts point into it).
    Event take(const read::Record& record);
    // The log is over: what is still open stays open, and ends at the last moment.
    void finish();
    // Every lifetime of the log so far, in the order of the records that began them.
    const std::vector<Lifetime>& lifetimes() const { return lifetimes_; }

private:
    // The log's first poll, as far as it has come.
    struct Poll {
        bool seen = false, listing = false;
        std::int64_t first = 0;
        int rank = 0;  // the place in a tick of the last kind listed
        bool add(Family family, std::int64_t t);  // whether an Add belongs to the first poll
        void del() { seen = true, listing = false; }
    };
    void stamp(const read::Record& r, Event& e);
    void opened(const read::Record& r, Family family, Event& e);
    void closed(const read::Record& r, Family family, Event& e);
    std::size_t make(const read::Record& r, Family family, const Moment& at);
    std::string key(const read::Record& r, Family family) const;

    std::vector<Lifetime> lifetimes_;
    std::unordered_map<std::string, std::deque<std::size_t>> open_;
    Poll poll_;
    std::string lastStamp_;
    bool anyRecord_ = false, timed_ = false;
    Moment moment_;
    std::int64_t line_ = 0, first_ = 0;  // first_: the log's earliest real second, once timed_
};

}  // namespace events
}  // namespace vt
