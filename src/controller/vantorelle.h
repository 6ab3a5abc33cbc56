// The recording controller: owns the log and the monitors, starts and stops
// recordings, and runs the worker thread that polls the system on a fixed
// schedule. Each monitor's signal has one handler here that hands the record
// to the log.
#pragma once

#include "log/logger.h"
#include "monitors/netstats/netstats.h"
#include "monitors/procwatch/procwatch.h"
#include "monitors/sysinfo/sysinfo.h"
#include "monitors/udptcpcon/udptcpcon.h"
#include "vantorelle/vantorelle.h"

#include <boost/shared_ptr.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace vt {

class vantorelle {
public:
    vantorelle();
    virtual ~vantorelle();
    vantorelle(const vantorelle&) = delete;
    vantorelle& operator=(const vantorelle&) = delete;

    // 0 started; 1 a recording runs already; 2 userId is 0; 3 the log failed to
    // open; 4 a directory was given but there is no log; 5 the worker did not start.
    std::int32_t start(const std::string& logDir, std::uint32_t userId, std::uint32_t matchId,
                       std::uint32_t serverAddress, std::uint32_t referenceTime);
    // Ends the running recording; after it returns, nothing of that recording
    // runs any more and its log is closed.
    void stop();

    // How stop ends the worker when the library is unloaded on Windows: the
    // loader lock is held then, so the thread is not joined (its exit needs
    // that lock) but waited for through its "finished" flag and detached. At
    // process exit the worker has already been terminated, so nothing waits.
    enum class Unload { Normal, LoaderLockHeld, ProcessExit };
    void prepareUnload(Unload mode) { unloadMode = mode; }

    void sendKey(std::int32_t keyCode, const std::string& keyName);
    void sendInfo(const std::string& name, const std::string& value);

    vtErrorSignal errorSignal;
    vtInfoSignal infoSignal;

    bool recording() const { return running.load(); }
    const boost::shared_ptr<logger>& log() const { return eventLog; }

    // The schedule every controller starts with and returns to after a stop.
    // The library's own value is 500 ms and 20 ticks; tests shorten it.
    static void setDefaultSchedule(int tickMs, int ticksPerStats);

    // For tests: the schedule, the statistics decisions and the tick counts of
    // the current (or last) recording.
    struct Schedule {
        int tickInterval, statsPeriod, tickCount;
        bool pingEnabled, adapterStatsEnabled;
        std::uint32_t serverAddress;
        std::uint64_t ticks, statsTicks;
    };
    Schedule schedule() const;
    // The components; empty pointers where creation failed.
    udptcpcon* connections() const { return connWatch.get(); }
    procwatch* processes() const { return procWatch.get(); }
    netstats* network() const { return netStats.get(); }
    sysinfo* machine() const { return sysInfo.get(); }

private:
    void run();
    void tick();
    bool logOpen() const { return eventLog && eventLog->isOpen(); }
    void writeIdentifier(const char* name, std::uint32_t value);

    void onUdpAdd(udptcpcon::SUdpCon record);
    void onUdpDel(udptcpcon::SUdpCon record);
    void onTcpAdd(udptcpcon::STcpCon record);
    void onTcpDel(udptcpcon::STcpCon record);
    void onProcessAdd(procwatch::SProcessEntry record);
    void onProcessDel(procwatch::SProcessEntry record);
    void onEthernetStats(netstats::SAdapterEntry record);
    void onPingStats(int milliseconds, const std::string& server);
    void onAdapterInfo(const std::string& description, const std::string& address);
    void onSysInfo(const std::string& name, const std::string& value);

    void connectHandlers();
    void disconnectHandlers();

    std::atomic<bool> running{false};
    std::int32_t tickInterval;
    std::int32_t statsPeriod;
    std::atomic<std::int32_t> tickCount{0};  // the worker's; atomic so that tests may look
    bool pingEnabled = false;
    std::uint32_t serverAddress = 0;
    bool adapterStatsEnabled = false;

    boost::shared_ptr<logger> eventLog;
    boost::shared_ptr<udptcpcon> connWatch;
    boost::shared_ptr<procwatch> procWatch;
    boost::shared_ptr<netstats> netStats;
    boost::shared_ptr<sysinfo> sysInfo;
    std::unique_ptr<boost::thread> workerThread;

    // The worker sleeps on `wake` between ticks so that stop() ends the pause
    // at once; it sets `finished` as the last thing it does.
    mutable boost::mutex waitMutex;
    boost::condition_variable wake;
    bool finished = true;
    Unload unloadMode = Unload::Normal;
    std::atomic<std::uint64_t> ticks{0}, statsTicks{0};
};

}  // namespace vt
