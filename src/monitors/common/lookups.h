// Lookups that more than one monitor makes: a process to its image path and
// identity, a path to its file name, an IPv4 address to text, and which game
// server addresses are worth a ping.
#pragma once

#include "monitors/common/devicepaths.h"

#include <cstdint>
#include <string>

namespace vt {

extern const char* const kNoHandleText;
extern const char* const kNoPathText;

struct ProcessFacts {
    std::string path;           // image path with a drive letter, or a placeholder text
    std::uint64_t identity = 0; // changes when the identifier is reused or a new image runs; 0: unknown
    bool imageRead = false;     // the image path could be read (the process is past its start)
};

// One process: its image path (translated through the volume map and
// converted to narrow text) and, when asked for, its identity. The path
// buffer grows up to the system's limit before the path is given up.
ProcessFacts lookUpProcess(std::uint32_t pid, const VolumeMap& devicePaths, bool withIdentity);
// The identity alone; 0 when the process cannot be opened or asked.
std::uint64_t processIdentity(std::uint32_t pid);

// A process identifier to its image path, or one of the placeholder texts.
std::string processPath(std::uint32_t pid, const VolumeMap& devicePaths);
// The text after the last backslash (or the system's separator); the whole
// text when there is none.
std::string fileNameOf(const std::string& path);

// An IPv4 address as the tables hold it (network byte order) to dotted text.
std::string ipToString(std::uint32_t address);

// A game server address (host byte order) that a ping may go to: not
// 0.0.0.0, not 127.0.0.1 and not 255.255.255.255.
bool usableServer(std::uint32_t hostOrder);

}  // namespace vt
