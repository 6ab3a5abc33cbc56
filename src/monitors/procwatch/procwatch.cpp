#include "monitors/procwatch/procwatch.h"

#include "platform/os.h"

#include <algorithm>
#include <iterator>

namespace vt {

procwatch::procwatch() { buildVolumeMap(devicePaths); }

procwatch::~procwatch() = default;

void procwatch::reset() {
    processCount = 0;
    processes.clear();
    knownIds.clear();
    known.clear();
    young.clear();
    changed.clear();
    nextCheck = 0;
    watching = false;
}

// Reads every identifier, growing the buffer while the system fills it.
bool procwatch::readIdentifiers() {
    std::size_t capacity = std::max<std::size_t>(ids.capacity(), 2048);
    for (;;) {
        ids.resize(capacity);
        os::DWORD bytes = 0;
        os::DWORD cb = static_cast<os::DWORD>(capacity * sizeof(os::DWORD));
        if (!os::EnumProcesses(ids.data(), cb, &bytes) || bytes == 0) return false;
        if (bytes < cb) {
            ids.resize(bytes / sizeof(os::DWORD));
            return true;
        }
        capacity *= 2;  // a full buffer may have cut the list short
    }
}

void procwatch::checkIdentity(std::uint32_t pid) {
    if (!std::binary_search(sortedIds.begin(), sortedIds.end(), pid)) return;  // ended: removed anyway
    auto it = known.find(pid);
    if (it == known.end()) return;
    if (it->second.identity == 0) {
        // Not known when it was added: the identity it has once its image can
        // be read is the one it had.
        const ProcessFacts facts = lookUpProcess(pid, devicePaths, true);
        if (facts.imageRead) it->second.identity = facts.identity;
        return;
    }
    const std::uint64_t now = processIdentity(pid);
    if (now == 0 || now == it->second.identity) return;
    if (it->second.seenStarting && polls - it->second.addedAt <= 1) {
        // A process seen in its first moments may still be settling (Wine
        // gives a starting process a passing creation time): what it shows at
        // the next poll is the identity it had.
        it->second.identity = now;
        return;
    }
    changed.push_back(pid);
}

void procwatch::findChangedIdentities() {
    // What a poll cut short did not report is still in `changed`.
    while (!young.empty() && polls - young.front().second >= kYoungTicks) young.pop_front();
    for (const auto& y : young) {
        auto it = known.find(y.first);
        if (it != known.end() && it->second.addedAt == y.second) checkIdentity(y.first);
    }
    // The older ones in turn, through the sorted identifiers. Those without a
    // known identity (kernel threads, other users' processes on Linux) cannot
    // show a change and are passed over without counting.
    const std::size_t share = std::max<std::size_t>(1, knownIds.size() / kCheckShare);
    std::size_t checked = 0;
    for (std::size_t step = 0; step < knownIds.size() && checked < share; ++step) {
        if (nextCheck >= knownIds.size()) nextCheck = 0;
        const std::uint32_t pid = knownIds[nextCheck++];
        auto it = known.find(pid);
        if (it == known.end() || it->second.identity == 0 || isYoung(it->second)) continue;
        checkIdentity(pid);
        ++checked;
    }
    std::sort(changed.begin(), changed.end());
    changed.erase(std::unique(changed.begin(), changed.end()), changed.end());
}

int procwatch::pollProcesses() {
    if (!readIdentifiers()) return -1;
    ++polls;
    sortedIds.assign(ids.begin(), ids.end());
    std::sort(sortedIds.begin(), sortedIds.end());
    sortedIds.erase(std::unique(sortedIds.begin(), sortedIds.end()), sortedIds.end());
    findChangedIdentities();
    // The common tick: nothing started or ended.
    if (sortedIds != knownIds || !changed.empty()) reportChanges();
    watching = true;
    return 0;
}

// A slot may throw (the log's write failing), and the poll ends there. Each
// entry is stored or forgotten together with its report, so what was reported
// stays reported and the next poll reports the rest.
void procwatch::reportChanges() {
    // Ended processes, and those that are no longer what was stored, first, in
    // the order they were stored.
    for (auto it = processes.begin(); it != processes.end();) {
        const std::uint32_t pid = it->pid;
        const auto change = std::lower_bound(changed.begin(), changed.end(), pid);
        const bool isChanged = change != changed.end() && *change == pid;
        if (!isChanged && std::binary_search(sortedIds.begin(), sortedIds.end(), pid)) {
            ++it;
            continue;
        }
        processRemoved(*it);
        it = processes.erase(it);
        --processCount;
        known.erase(pid);
        knownIds.erase(std::lower_bound(knownIds.begin(), knownIds.end(), pid));
        if (isChanged) changed.erase(change);
    }

    // Then new ones, in enumeration order; only these are looked up. Processes
    // found before the first whole poll were running before the watch began,
    // so they do not count as young.
    for (std::uint32_t pid : ids) {
        auto at = std::lower_bound(knownIds.begin(), knownIds.end(), pid);
        if (at != knownIds.end() && *at == pid) continue;  // also skips duplicates
        const ProcessFacts facts = lookUpProcess(pid, devicePaths, true);
        SProcessEntry entry;
        entry.pid = pid;
        entry.path = facts.path;
        entry.name = fileNameOf(entry.path);
        // Stored before the report, as the slots see it, and taken back when
        // a slot throws. The entry's node is made first, so that nothing that
        // can fail comes between storing it and counting it.
        std::list<SProcessEntry> node{entry};
        knownIds.insert(at, pid);
        processes.splice(processes.end(), node);
        ++processCount;
        try {
            processAdded(entry);
        } catch (...) {
            --processCount;
            processes.pop_back();
            knownIds.erase(std::lower_bound(knownIds.begin(), knownIds.end(), pid));
            throw;
        }
        // A process whose image cannot be read yet may still be starting (Wine
        // gives such a process a passing creation time): its identity is taken later.
        known[pid] = Known{facts.imageRead ? facts.identity : 0, polls, watching};
        if (watching) young.emplace_back(pid, polls);
    }
}

}  // namespace vt
