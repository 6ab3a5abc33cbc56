// The recording controller: owns the log and the monitors, starts and stops
// recordings, and decides what every tick of the worker does. Each monitor
// signal is routed to one record operation of the log.
#pragma once

#include "controller/worker.h"
#include "log/logger.h"
#include "monitors/netstats/netstats.h"
#include "monitors/procwatch/procwatch.h"
#include "monitors/sysinfo/sysinfo.h"
#include "monitors/udptcpcon/udptcpcon.h"
#include "vantorelle/vantorelle.h"

#include <boost/shared_ptr.hpp>
#include <boost/signals2/connection.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace vt {

class vantorelle {
public:
    vantorelle();
    virtual ~vantorelle();
    vantorelle(const vantorelle&) = delete;
    vantorelle& operator=(const vantorelle&) = delete;

    // 0 started; 1 a recording runs already; 2 userId is 0; 3 the log failed to
    // open; 4 a directory was given but there is no log; 5 the worker did not start.
    // The directory's text is narrow (the system's code page) or UTF-8.
    // start and stop run one at a time, whichever threads call them.
    std::int32_t start(const std::string& logDir, std::uint32_t userId, std::uint32_t matchId,
                       std::uint32_t serverAddress, std::uint32_t referenceTime,
                       os::PathText logDirText = os::PathText::Narrow);
    // Ends the running recording; after it returns, nothing of that recording
    // runs any more and its log is closed (at process exit: if the log can be
    // had within the worker's unload wait).
    void stop();

    using Unload = vt::Unload;
    // How the worker is ended when the library is unloaded (see Unload).
    void prepareUnload(Unload mode);

    // Dropped when the arguments are out of range or no log is open.
    logger::Written sendKey(std::int32_t keyCode, const std::string& keyName);
    logger::Written sendInfo(const std::string& name, const std::string& value);

    vtErrorSignal errorSignal;
    vtInfoSignal infoSignal;

    bool recording() const { return running.load(); }
    // Recordings started by this controller.
    std::uint64_t recordingsStarted() const { return recordings_.load(); }
    const boost::shared_ptr<logger>& log() const { return eventLog; }

    // The components; empty pointers where creation failed.
    udptcpcon* connections() const { return connWatch.get(); }
    procwatch* processes() const { return procWatch.get(); }
    netstats* network() const { return netStats.get(); }
    sysinfo* machine() const { return sysInfo.get(); }

private:
    friend class controllerTestAccess;

    // start and stop, with the control lock held.
    std::int32_t startLocked(const std::string& logDir, std::uint32_t userId, std::uint32_t matchId,
                             std::uint32_t serverAddress, std::uint32_t referenceTime, os::PathText logDirText);
    void stopLocked();
    // start after the log: the schedule, the identifiers, the worker.
    std::int32_t begin(std::uint32_t userId, std::uint32_t serverAddress, std::uint32_t referenceTime,
                       std::uint32_t matchId);
    void tick();
    bool logOpen() const { return eventLog && eventLog->isOpen(); }
    void writeIdentifier(const char* name, std::uint32_t value);
    void restoreSchedule();

    // Routes a monitor signal to the log: while the log is open, every
    // emission calls write(log, arguments...). The connection lasts as long as
    // the controller.
    template <typename Signal, typename Write>
    void route(Signal& signal, Write write) {
        routes.emplace_back(signal.connect([this, write](const auto&... args) {
            if (logOpen()) std::invoke(write, *eventLog, args...);
        }));
    }
    void routeSignals();

    // The schedule: 500 ms ticks and statistics every 20th, unless a test
    // chose otherwise before the controller was made.
    static std::atomic<int> defaultTickMs, defaultStatsPeriod;
    // The threads of controllers made from now on; null: the system's.
    static std::atomic<threads*> nextThreads;

    // Held by start and stop for their whole length, so that two of them,
    // from the C++ exports and the C interface alike, never interleave.
    std::mutex control;
    std::atomic<bool> running{false};
    std::atomic<std::uint64_t> recordings_{0};
    std::int32_t tickInterval;
    std::int32_t statsPeriod;
    std::int32_t tickCount = 0;  // the worker's while a recording runs
    bool pingEnabled = false;
    std::uint32_t serverAddress = 0;
    bool adapterStatsEnabled = false;

    boost::shared_ptr<logger> eventLog;
    boost::shared_ptr<udptcpcon> connWatch;
    boost::shared_ptr<procwatch> procWatch;
    boost::shared_ptr<netstats> netStats;
    boost::shared_ptr<sysinfo> sysInfo;
    std::vector<boost::signals2::scoped_connection> routes;
    worker workerThread;
};

}  // namespace vt
