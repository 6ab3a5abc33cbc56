// Reading match logs: checking that a file is whole, recovering its text and
// splitting records into their fields. The vtl tool is a thin shell over this.
#pragma once

#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

namespace vt {
namespace reader {

struct Opened {
    bool whole = false;
    std::string reason;  // why the file is not whole, or could not be read
    std::string text;    // the records (only when whole, or when forced and a key was found)
};

// Reads and checks a file. With force, a file with bytes beyond its last whole
// block is read up to that block when what remains is a whole log.
Opened openLogFile(const std::string& path, bool force);

struct Record {
    std::string stamp;   // DD.MM.YYYY hh:mm:ss
    std::string kind;    // UDP, TCP, Process, Ethernet, Ping, Key, SysInfo, Info
    std::string action;  // Add, Del, Stats, Pressed, Start, Stop; the fact's name for SysInfo
    std::vector<std::pair<std::string, std::string>> fields;
    std::string raw;     // the line without its line feed
};

// Splits one line into its parts. Values that may hold ':' (paths, fact
// values, key names, adapter descriptions) are taken whole by position.
Record parseRecord(const std::string& line);
std::vector<std::string> lines(const std::string& text);
std::string toJson(const Record& record);

// The vtl commands; they return the process's exit status.
int verify(const std::vector<std::string>& files, std::ostream& out);
int cat(const std::string& file, bool force, std::ostream& out, std::ostream& err);
int json(const std::string& file, bool force, std::ostream& out, std::ostream& err);

}  // namespace reader
}  // namespace vt
