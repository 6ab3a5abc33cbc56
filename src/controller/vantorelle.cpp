#include "controller/vantorelle.h"

#include "common/schema.h"
#include "monitors/common/lookups.h"

#include <boost/lexical_cast.hpp>
#include <boost/make_shared.hpp>

#include <chrono>
#include <thread>

namespace vt {
namespace {

// A component that cannot be made stays empty and is skipped everywhere.
template <typename T>
boost::shared_ptr<T> create() {
    try {
        return boost::make_shared<T>();
    } catch (...) {
        return boost::shared_ptr<T>();
    }
}

threads& threadsFor(threads* chosen) { return chosen ? *chosen : systemThreads(); }

}  // namespace

std::atomic<int> vantorelle::defaultTickMs{500};
std::atomic<int> vantorelle::defaultStatsPeriod{20};
std::atomic<threads*> vantorelle::nextThreads{nullptr};

vantorelle::vantorelle()
    : tickInterval(defaultTickMs), statsPeriod(defaultStatsPeriod), workerThread(threadsFor(nextThreads)) {
    eventLog = create<logger>();
    connWatch = create<udptcpcon>();
    procWatch = create<procwatch>();
    netStats = create<netstats>();
    sysInfo = create<sysinfo>();
    routeSignals();
}

vantorelle::~vantorelle() {
    try {
        if (running) stop();
        while (!routes.empty()) routes.pop_back();  // in the reverse order of their making
    } catch (...) {
        // nothing may leave the destructor; the components go with the members
    }
    sysInfo.reset();
    netStats.reset();
    procWatch.reset();
    connWatch.reset();
    eventLog.reset();
}

// Every monitor signal and the record it becomes. A new monitor adds its
// lines here; the log test is route's.
void vantorelle::routeSignals() {
    if (connWatch) {
        route(connWatch->udpAdded, &logger::writeUdpAdd);
        route(connWatch->udpRemoved, &logger::writeUdpDel);
        route(connWatch->tcpAdded, &logger::writeTcpAdd);
        route(connWatch->tcpRemoved, &logger::writeTcpDel);
    }
    if (procWatch) {
        route(procWatch->processAdded, &logger::writeProcessAdd);
        route(procWatch->processRemoved, &logger::writeProcessDel);
    }
    if (netStats) {
        route(netStats->adapterStatsSignal, &logger::writeEthernetStats);
        route(netStats->pingSignal, &logger::writePingStats);
        route(netStats->adapterInfoSignal, [](logger& log, const std::string& description, const std::string& address) {
            if (!description.empty() && !address.empty())
                log.writeSysInfo(schema::fact::kMacAddress, description + " @ " + address);
        });
    }
    if (sysInfo)
        route(sysInfo->sysInfoSignal, [](logger& log, const std::string& name, const std::string& value) {
            if (!name.empty() && !value.empty()) log.writeSysInfo(name, value);
        });
}

void vantorelle::prepareUnload(Unload mode) { workerThread.setUnload(mode); }

std::int32_t vantorelle::start(const std::string& logDir, std::uint32_t userId, std::uint32_t matchId,
                               std::uint32_t server, std::uint32_t referenceTime, os::PathText logDirText) {
    std::lock_guard<std::mutex> lock(control);
    return startLocked(logDir, userId, matchId, server, referenceTime, logDirText);
}

std::int32_t vantorelle::startLocked(const std::string& logDir, std::uint32_t userId, std::uint32_t matchId,
                                     std::uint32_t server, std::uint32_t referenceTime, os::PathText logDirText) {
    if (running) return 1;
    if (userId == 0) return 2;

    if (connWatch) connWatch->reset();
    if (procWatch) procWatch->reset();
    if (netStats) netStats->resetAdapters();

    if (logDir.empty()) {
        if (logOpen()) eventLog->closeLog();
    } else {
        if (!eventLog) return 4;
        if (!eventLog->openLog(referenceTime, userId, matchId, logDir, logDirText)) return 3;
    }

    // From here on a failure (an exception) leaves nothing behind: no open
    // log, no running flag, no worker.
    try {
        return begin(userId, server, referenceTime, matchId);
    } catch (...) {
        if (running) {
            stopLocked();
        } else if (logOpen()) {
            eventLog->closeLog();
        }
        throw;
    }
}

std::int32_t vantorelle::begin(std::uint32_t userId, std::uint32_t server, std::uint32_t referenceTime,
                               std::uint32_t matchId) {
    if (netStats && usableServer(server)) {
        serverAddress = server;
        pingEnabled = true;
    } else {
        serverAddress = 0;
        pingEnabled = false;
    }
    adapterStatsEnabled = static_cast<bool>(netStats);

    writeIdentifier(schema::fact::kUserId, userId);
    writeIdentifier(schema::fact::kMatchId, matchId);
    writeIdentifier(schema::fact::kNtpTime, referenceTime);
    if (sysInfo) sysInfo->reportVolumeId(schema::fact::kVolumeId);
    // The start records reach the file before the host goes on.
    if (logOpen()) eventLog->flush();

    running = true;
    if (!workerThread.start([this] { tick(); }, tickInterval)) {
        stopLocked();
        return 5;
    }
    ++recordings_;
    return 0;
}

void vantorelle::writeIdentifier(const char* name, std::uint32_t value) {
    const std::string text = boost::lexical_cast<std::string>(value);
    if (logOpen()) eventLog->writeSysInfo(name, text);
}

void vantorelle::stop() {
    std::unique_lock<std::mutex> lock(control, std::defer_lock);
    switch (workerThread.unload()) {
    case Unload::Normal:
        lock.lock();
        break;
    case Unload::LoaderLockHeld: {
        // A start on another thread may wait for the loader lock that this
        // thread holds: wait for it a bounded time only, as for the worker.
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(worker::unloadWaitMs);
        while (!lock.try_lock() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        break;
    }
    case Unload::ProcessExit:
        // A thread the system terminated may have held it: never wait.
        (void)lock.try_lock();
        break;
    }
    stopLocked();
}

void vantorelle::stopLocked() {
    if (!running) return;
    running = false;
    workerThread.stop();
    if (workerThread.unload() == Unload::ProcessExit) {
        // Nothing runs again; only the log matters, and the terminated
        // worker may have left it held.
        if (logOpen()) eventLog->closeLogWithin(worker::unloadWaitMs);
        return;
    }
    restoreSchedule();
    if (logOpen()) eventLog->closeLog();
}

void vantorelle::restoreSchedule() {
    tickInterval = defaultTickMs;
    statsPeriod = defaultStatsPeriod;
    tickCount = 0;
    adapterStatsEnabled = false;
    pingEnabled = false;
    serverAddress = 0;
}

void vantorelle::tick() {
    if (connWatch) {
        connWatch->pollUdpTable();
        connWatch->pollTcpTable();
    }
    if (procWatch) procWatch->pollProcesses();
    if (++tickCount >= statsPeriod) {
        tickCount = 0;
        if (netStats) {
            if (adapterStatsEnabled) netStats->sampleAdapters();
            if (pingEnabled) netStats->pingServer(serverAddress);
        }
    }
    if (eventLog) eventLog->flush();
}

logger::Written vantorelle::sendKey(std::int32_t keyCode, const std::string& keyName) {
    if (keyName.empty() || keyCode < 1 || !logOpen()) return logger::Written::Dropped;
    return eventLog->writeKeyPressed(keyName);
}

logger::Written vantorelle::sendInfo(const std::string& name, const std::string& value) {
    if (name.empty() || value.empty() || !logOpen()) return logger::Written::Dropped;
    return eventLog->writeSysInfo(name, value);
}

}  // namespace vt
