// The records of a log: one line each, split into their parts as the schema
// lays them out, and text cut into lines in bounded memory.
#pragma once

#include "common/schema.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vt {
namespace read {

// The longest record kept whole; the rest of a longer one is dropped.
constexpr std::size_t kRecordLimit = 1 << 20;

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

// A measurement as a log writes it ("48397.7", "1.53377e+006", "0"): a number
// the whole text, finite and within what a measurement can be (|v| <= 1e15).
// "inf", "nan", "1e999", "12 kB" and the like are none. Every reader of a
// record's numbers (the report, the index) reads them by this one rule.
bool drawableNumber(const std::string& text, double& value);

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

}  // namespace read
}  // namespace vt
