// What tests and benchmarks may see and set inside the controller and its
// worker, kept out of their public interfaces.
#pragma once

#include "controller/vantorelle.h"
#include "controller/worker.h"

#include <boost/thread/mutex.hpp>

#include <cstdint>

namespace vt {

class controllerTestAccess {
public:
    // The schedule of controllers made from now on (the library's: 500 ms, 20).
    static void setDefaultSchedule(int tickMs, int ticksPerStats) {
        vantorelle::defaultTickMs = tickMs;
        vantorelle::defaultStatsPeriod = ticksPerStats;
    }
    // The threads of controllers made from now on; null: the system's.
    static void useThreads(threads* t) { vantorelle::nextThreads = t; }

    struct Schedule {
        int tickInterval, statsPeriod;
        bool pingEnabled, adapterStatsEnabled;
        std::uint32_t serverAddress;
    };
    // Written only by start and stop, so readable during a recording.
    static Schedule schedule(const vantorelle& c) {
        return Schedule{c.tickInterval, c.statsPeriod, c.pingEnabled, c.adapterStatsEnabled, c.serverAddress};
    }
    // The worker's: read it only while no recording runs.
    static int tickCount(const vantorelle& c) { return c.tickCount; }
    // Ticks done in the current (or last) recording, and those that threw.
    static std::uint64_t ticks(const vantorelle& c) { return c.workerThread.ticks(); }
    static std::uint64_t failedTicks(const vantorelle& c) { return c.workerThread.failedTicks(); }
    static worker& workerOf(vantorelle& c) { return c.workerThread; }
};

class workerTestAccess {
public:
    // The lock of the worker's pause, to stand for a thread that the system
    // terminated while it held it.
    static boost::mutex& pauseLock(worker& w) { return w.mutex_; }
};

}  // namespace vt
