// The process watch: keeps the running processes with their image paths and
// reports every process that comes or goes. A process is known by its
// identifier and its identity (its start, and on Linux its image), so an
// identifier taken over by a new process, or a process that runs a new image,
// is reported as the old entry going and a new one coming.
#pragma once

#include "monitors/common/devicepaths.h"
#include "monitors/common/lookups.h"

#include <boost/signals2/signal.hpp>

#include <cstdint>
#include <deque>
#include <list>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vt {

class procwatch {
public:
    struct SProcessEntry {
        bool marked = false;  // false in every record that is signalled
        std::uint32_t pid = 0;
        std::string name;     // fileNameOf(path): travels in the record, the log does not write it
        std::string path;
    };

    // A process that started while the watch was running has its identity
    // checked on each of its first kYoungTicks polls: a launcher that hands
    // over to the real program does so soon after it starts. The others are
    // checked in turn, a kCheckShare-th of them per poll (at least one), so a
    // steady poll stays close to the cost of listing the identifiers.
    static constexpr std::uint32_t kYoungTicks = 10;
    static constexpr std::size_t kCheckShare = 256;

    procwatch();
    virtual ~procwatch();
    procwatch(const procwatch&) = delete;
    procwatch& operator=(const procwatch&) = delete;

    // One poll: reports the processes that ended or changed identity (in
    // stored order), then the ones that started (in enumeration order). 0 when
    // done, -1 when the identifiers cannot be read. An exception from a slot
    // ends the poll: the entry it was reported with stays as it was, and the
    // next poll reports it and what this one did not get to.
    int pollProcesses();
    // Forgets every stored process, so the next poll reports all as new.
    void reset();

    boost::signals2::signal<void(SProcessEntry)> processAdded;
    boost::signals2::signal<void(SProcessEntry)> processRemoved;

    int count() const { return processCount; }
    const std::list<SProcessEntry>& entries() const { return processes; }

private:
    struct Known {
        std::uint64_t identity = 0;  // 0: could not be read
        std::uint32_t addedAt = 0;   // the poll that added it
        bool seenStarting = false;   // it started while the watch was running
    };
    bool isYoung(const Known& k) const { return k.seenStarting && polls - k.addedAt < kYoungTicks; }

    bool readIdentifiers();
    // The stored processes still running whose identity is no longer the stored one, sorted.
    void findChangedIdentities();
    void checkIdentity(std::uint32_t pid);
    // Reports and stores what this poll found changed.
    void reportChanges();

    std::int32_t processCount = 0;
    std::list<SProcessEntry> processes;
    VolumeMap devicePaths;

    std::unordered_map<std::uint32_t, Known> known;         // the identity of each stored process
    std::deque<std::pair<std::uint32_t, std::uint32_t>> young;  // (pid, poll it was added in), oldest first
    std::uint32_t polls = 0;
    bool watching = false;  // a whole poll since the reset: what appears now is seen starting
    std::size_t nextCheck = 0;  // position in knownIds of the next older process to check

    std::vector<std::uint32_t> knownIds;   // identifiers of `processes`, sorted
    std::vector<std::uint32_t> ids;        // this poll's identifiers, in enumeration order
    std::vector<std::uint32_t> sortedIds;  // the same, sorted
    std::vector<std::uint32_t> changed;    // changed identities not reported yet, sorted
};

}  // namespace vt
