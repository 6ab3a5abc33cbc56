// The process watch: keeps the running processes with their image paths and
// reports every process that comes or goes.
#pragma once

#include "monitors/procwatch/devicepaths.h"

#include <boost/signals2/signal.hpp>

#include <cstdint>
#include <list>
#include <string>
#include <vector>

namespace vt {

// A process identifier to its image path with a drive letter, or one of the
// placeholder texts below.
std::string processPath(std::uint32_t pid, const VolumeMap& devicePaths);
// The text after the last backslash; the whole text when there is none.
std::string fileNameOf(const std::string& path);

extern const char* const kNoHandleText;
extern const char* const kNoPathText;

class procwatch {
public:
    struct SProcessEntry {
        bool marked = false;
        std::uint32_t pid = 0;
        std::string name;
        std::string path;
    };

    procwatch();
    virtual ~procwatch();
    procwatch(const procwatch&) = delete;
    procwatch& operator=(const procwatch&) = delete;

    // One poll: reports the processes that ended (in stored order), then the
    // ones that started (in enumeration order). 0 when done, -1 when the
    // identifiers cannot be read.
    int pollProcesses();
    // Forgets every stored process, so the next poll reports all as new.
    void reset();

    boost::signals2::signal<void(SProcessEntry)> processAdded;
    boost::signals2::signal<void(SProcessEntry)> processRemoved;

    int count() const { return processCount; }
    const std::list<SProcessEntry>& entries() const { return processes; }

private:
    bool readIdentifiers();

    std::int32_t processCount = 0;
    std::list<SProcessEntry> processes;
    VolumeMap devicePaths;

    std::vector<std::uint32_t> knownIds;   // identifiers of `processes`, sorted
    std::vector<std::uint32_t> ids;        // this poll's identifiers, in enumeration order
    std::vector<std::uint32_t> sortedIds;  // the same, sorted
};

}  // namespace vt
