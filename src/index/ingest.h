// Indexing logs: each file read through the one reading path and cut into the
// rows of the index's tables (on one thread), the rows written (on another),
// in transactions that either hold a file's rows whole or not at all.
#pragma once

#include "index/sqlite.h"
#include "read/logfile.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vt {
namespace index {

// One log, read and cut into rows.
struct Parsed {
    std::string path;
    std::string sha256;     // of the file's bytes, lower-case hex
    std::uint64_t size = 0;
    read::State state = read::State::Unreadable;
    std::string stateName;  // "whole", "appended", "recovered", ...
    std::string reason;     // why it is not whole
    std::string failure;    // set when it cannot be indexed at all: why
    bool known = false;     // its hash was in the database when it was read
    std::string knownAs;    // then the path the database names it by

    // The recording.
    std::int64_t user = 0, match = 0;
    std::string started, ended, day, week;  // times "YYYY-MM-DD hh:mm:ss"
    std::string recoveredFrom;
    std::int64_t records = 0;
    // Records whose stamp is no real time ("31.02.2026"): their rows have no
    // time. When the start record is one, the recording starts at the first
    // record that has a real time.
    std::int64_t untimed = 0;

    // The times of the records, each once as "YYYY-MM-DD hh:mm:ss"; the rows
    // below name theirs by its place here (kNoTime: the record has none).
    static constexpr std::int32_t kNoTime = -1;
    std::vector<std::string> times;
    const std::string& time(std::int32_t at) const {
        static const std::string none;
        return at == kNoTime ? none : times[std::size_t(at)];
    }

    struct Process {
        std::optional<std::int64_t> pid;
        std::string path;
        std::string started, ended;
        bool already = false, still = true;
        std::int64_t line = 0;  // of its first record in the log
    };
    struct Connection {
        std::string protocol, localIp, remoteIp;
        std::optional<std::int64_t> localPort, remotePort, remoteAddress, pid;
        std::string path;
        std::string opened, closed;
        bool already = false, still = true;
        std::int64_t line = 0;
    };
    struct Ping {
        std::int32_t at = kNoTime;
        std::string server;
        std::optional<std::int64_t> serverAddress, milliseconds;
        bool answered = false;
        std::int64_t line = 0;
    };
    struct Rate {
        std::int32_t at = kNoTime;
        std::string adapter;
        std::optional<double> tx, rx;  // bytes per second
        std::int64_t line = 0;
    };
    struct Named {
        std::int32_t at = kNoTime;
        std::string name, value;
        std::int64_t line = 0;
    };
    struct Other {
        std::int32_t at = kNoTime;
        std::string kind, action, raw;
        bool cut = false;
        std::int64_t line = 0;
    };
    struct Identifier {
        std::string kind, value, fact;
        std::string mark;  // why it identifies no one machine (macMark, volumeMark); empty when it may
    };
    struct Summary {
        std::optional<std::int64_t> seconds;
        std::int64_t pings = 0, noAnswers = 0;
        std::optional<double> p50, p95, average, tx, rx;
    };
    struct ServerSummary {
        std::string server;
        std::optional<std::int64_t> address;
        Summary ping;
    };
    std::vector<Process> processes;
    std::vector<Connection> connections;
    std::vector<Ping> pings;
    std::vector<Rate> rates;
    std::vector<Named> keys;
    std::vector<Named> facts;
    std::vector<Other> others;
    std::vector<Identifier> identifiers;
    Summary summary;
    std::vector<ServerSummary> servers;

    bool whole() const { return state == read::State::Whole; }
    std::size_t rows() const;
};

// "DD.MM.YYYY hh:mm:ss" as "YYYY-MM-DD hh:mm:ss"; empty when it is no such
// time, or a time that does not exist ("31.02.2026 10:00:00").
std::string isoTime(const std::string& stamp);
// The Monday of the week of "YYYY-MM-DD".
std::string weekOf(const std::string& day);
// A dotted IPv4 address as its number.
std::optional<std::int64_t> ipv4(const std::string& text);
// A MAC address ("00-1A-2B-..", or with ':') in the spelling of the log
// ("00-1a-2b-.."), empty when it is none.
std::string macAddress(const std::string& text);
// Why a MAC address (as macAddress spells it) identifies no one machine:
// "zero" (00-00-00-00-00-00), "broadcast" (ff-ff-ff-ff-ff-ff), "virtual" (the
// fixed address of a well-known virtual adapter, the same on every machine
// that has it), "multicast", "local" (locally administered: set by software);
// empty for an address a maker gave one adapter.
std::string macMark(const std::string& mac);
// The same for a volume id: "unreadable" for 00000000, which the library
// writes when the serial cannot be read.
std::string volumeMark(const std::string& volume);
// Lower-case ASCII.
std::string lowerAscii(std::string text);
// UTF-8 text in one case for comparing without case: ASCII, Latin-1, Latin
// Extended-A, Greek and Cyrillic letters lowered.
std::string foldCase(const std::string& utf8Text);
// The SHA-256 of a file, hex; empty with the reason when it cannot be read.
std::string sha256File(const std::string& path, std::string& reason);

// Reads one file into rows. Never throws. A file is judged on its first
// blocks before it is hashed.
// known: the path of a hash already in the database, if it is (then the file
// is not read further).
using KnownFn = std::function<std::optional<std::string>(const std::string& sha256)>;
Parsed parseLog(const std::string& path, const read::Options& options, const KnownFn& known = nullptr);
// The same from a log's text, for a file already opened (tests and benchmarks).
void parseText(const std::string& text, Parsed& out);

struct Options {
    bool search = true;                        // search the key of a log without its trailer
    std::function<void(const std::string&)> progress;  // lines for standard error
    const std::atomic<bool>* stop = nullptr;   // raised by Ctrl-C
    // Files per transaction at most; with idle, a transaction also ends after
    // a second, and when the next file is not read within 200 ms.
    std::size_t batch = 256;
    bool idle = true;
    // Called after each file is written into the open transaction (tests
    // raise a fault here).
    std::function<void(const Parsed&)> afterFile;
};

// What became of one file, in the line printed for it.
struct Outcome {
    enum Kind { Indexed, IndexedPartial, Already, NotIndexed } kind = NotIndexed;
    std::string path;
    std::string line;  // "PATH: indexed N records", ...
};

// The files of the arguments: files as given, directories searched for *.vtl
// (in name order). A directory that cannot be read (or read to its end) is
// named in missing, with why.
std::vector<std::string> collectFiles(const std::vector<std::string>& args, std::vector<std::string>& missing);

struct FileRows;

class Writer {
public:
    explicit Writer(Db& db);
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    // Starts a transaction, raising the generation.
    void begin();
    // Writes one file into the open transaction.
    Outcome write(const Parsed& p);
    void commit();
    void rollback();
    bool open() const { return transaction_ != nullptr; }
    bool known(const std::string& sha256);

private:
    // A known file found under another path while the one it was known by is
    // gone (renamed): the index takes the new path. Returns the old one.
    std::string moved(const Parsed& p);
    // The recording a new file's rows go to, made or taken over; false when
    // an existing one keeps its rows (the outcome then says so).
    bool placeRecording(FileRows& rows, std::string& replaced, Outcome& o);
    std::int64_t programId(const FileRows& rows, const std::string& path);
    void writeRows(const FileRows& rows);
    struct Statements;
    Db& db_;
    std::unique_ptr<Transaction> transaction_;
    std::unique_ptr<Statements> s_;
    std::int64_t generation_ = 0;
};

// Indexes files into db: each outcome reported once its transaction has
// committed. Returns false when the database failed (the reason in error);
// the outcomes of the transaction that failed are reported as NotIndexed.
bool indexFiles(const std::string& database, const std::vector<std::string>& files, const Options& options,
                const std::function<void(const Outcome&)>& report, std::string& error);

}  // namespace index
}  // namespace vt
