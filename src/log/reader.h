// Reading match logs: checking that a file is whole, recovering its text and
// splitting records into their fields. The vtl tool is a thin shell over this.
//
// The commands read a file of any size in bounded memory: the body is hashed
// in chunks, the trailer checked, then the text decrypted and printed in
// chunks. Only regular files are read, and a record longer than
// kRecordLimit is cut there.
#pragma once

#include "log/schema.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vt {
namespace reader {

// The longest record kept whole; the rest of a longer one is dropped.
constexpr std::size_t kRecordLimit = 1 << 20;

struct Opened {
    bool whole = false;
    std::string reason;  // why the file is not whole, or could not be read
    std::string text;    // the records (only when whole, or when forced and a key was found)
};

// Reads and checks a file, keeping its whole text in memory (for tests and
// small files; the commands below stream). With force, a file with bytes
// beyond its last whole block is read up to that block when what remains is a
// whole log.
Opened openLogFile(const std::string& path, bool force);

struct Record {
    std::string stamp;   // DD.MM.YYYY hh:mm:ss
    std::string kind;    // UDP, TCP, Process, Ethernet, Ping, Key, SysInfo, Info
    std::string action;  // Add, Del, Stats, Pressed, Start, Stop; the fact's name for SysInfo
    std::vector<std::pair<std::string, std::string>> fields;
    std::string raw;     // the line without its line feed (when cut, its first kRecordLimit bytes)
    bool known = false;          // the fields are where the schema puts them (otherwise split as they come)
    std::optional<schema::Kind> type;  // the schema's kind, when known
    bool cut = false;            // the line was longer than kRecordLimit
    std::uint64_t length = 0;    // the line's length without its line feed, when cut
};

// Splits one line into its parts as the record schema lays them out. A line of
// no known shape is split into label and value pairs as they come; past the
// 64th pair the rest of the line is the last value.
Record parseRecord(const std::string& line);
std::vector<std::string> lines(const std::string& text);
std::string toJson(const Record& record);

// Text handed over in pieces, cut into lines without their line feeds. A line
// longer than limit is handed on once, with its first limit bytes, cut set
// and its full length; the rest of it is never kept.
class LineSplitter {
public:
    using Sink = std::function<bool(const std::string& line, bool cut, std::uint64_t length)>;
    LineSplitter(std::size_t limit, Sink sink) : limit_(limit), sink_(std::move(sink)) {}
    // False when the sink asked to stop.
    bool feed(const char* text, std::size_t size);
    // Hands on a last line that has no line feed.
    bool finish();

private:
    bool endLine();
    std::size_t limit_;
    Sink sink_;
    std::string line_;
    std::uint64_t length_ = 0;
};

// The vtl commands; they return the process's exit status: 0 when every file
// is whole and everything was written, 1 when a file is not whole or cannot be
// read, 2 when the output cannot be written.
int verify(const std::vector<std::string>& files, std::ostream& out);
int cat(const std::string& file, bool force, std::ostream& out, std::ostream& err);
int json(const std::string& file, bool force, std::ostream& out, std::ostream& err);

}  // namespace reader
}  // namespace vt
