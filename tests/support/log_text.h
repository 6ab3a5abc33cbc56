// Reading what a test recorded.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

// A log as the one reading path reads it: whole or not, why not, and the text
// of its records (with search, a log without a trailer is read with its key
// found again).
struct OpenedLog {
    bool whole = false;
    std::string reason;
    std::string text;
};
OpenedLog openLog(const std::string& file, bool search = false);

// The .vtl files in a directory, sorted by name.
std::vector<std::string> logFiles(const std::string& dir);
// The decrypted record lines of a whole log; fails the test when not whole.
std::vector<std::string> recordLines(const std::string& file);
// The lines after "stamp;" (the stamp varies); lines without one stay as they are.
std::vector<std::string> withoutStamps(const std::vector<std::string>& lines);
std::string readBytes(const std::string& file);
void writeBytes(const std::string& file, const std::string& bytes);
// How many lines begin with prefix (after the stamp, if there is one).
int countPrefix(const std::vector<std::string>& lines, const std::string& prefix);
#if !defined(_WIN32)
// Makes a FIFO at path (nobody writes to it).
bool makeFifo(const std::string& path);
#endif

}  // namespace testsupport
