#include "controller/vantorelle.h"

#include <boost/bind/bind.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/make_shared.hpp>

#include <new>

namespace vt {
namespace {

std::atomic<int> defaultTick{500};
std::atomic<int> defaultStatsPeriod{20};

// A component that cannot be made stays empty and is skipped everywhere.
template <typename T>
boost::shared_ptr<T> create() {
    try {
        return boost::make_shared<T>();
    } catch (...) {
        return boost::shared_ptr<T>();
    }
}

// How long stop waits for a worker at unload under the loader lock: the
// longest tick (polls, a 500 ms echo, the pause being cut short) with room.
constexpr int kUnloadWaitMs = 5000;

}  // namespace

using boost::placeholders::_1;
using boost::placeholders::_2;

void vantorelle::setDefaultSchedule(int tickMs, int ticksPerStats) {
    defaultTick = tickMs;
    defaultStatsPeriod = ticksPerStats;
}

vantorelle::vantorelle() : tickInterval(defaultTick), statsPeriod(defaultStatsPeriod) {
    eventLog = create<logger>();
    connWatch = create<udptcpcon>();
    procWatch = create<procwatch>();
    netStats = create<netstats>();
    sysInfo = create<sysinfo>();
    connectHandlers();
}

vantorelle::~vantorelle() {
    try {
        if (running) stop();
        disconnectHandlers();
    } catch (...) {
        // nothing may leave the destructor; the components go with the members
    }
    sysInfo.reset();
    netStats.reset();
    procWatch.reset();
    connWatch.reset();
    eventLog.reset();
}

// Every handler is this controller's member bound to it, at the back of the
// slot list, without a group; it is removed again by the same identity.
void vantorelle::connectHandlers() {
    if (connWatch) {
        connWatch->udpAdded.connect(boost::bind(&vantorelle::onUdpAdd, this, _1));
        connWatch->udpRemoved.connect(boost::bind(&vantorelle::onUdpDel, this, _1));
        connWatch->tcpAdded.connect(boost::bind(&vantorelle::onTcpAdd, this, _1));
        connWatch->tcpRemoved.connect(boost::bind(&vantorelle::onTcpDel, this, _1));
    }
    if (procWatch) {
        procWatch->processAdded.connect(boost::bind(&vantorelle::onProcessAdd, this, _1));
        procWatch->processRemoved.connect(boost::bind(&vantorelle::onProcessDel, this, _1));
    }
    if (netStats) {
        netStats->adapterStatsSignal.connect(boost::bind(&vantorelle::onEthernetStats, this, _1));
        netStats->pingSignal.connect(boost::bind(&vantorelle::onPingStats, this, _1, _2));
        netStats->adapterInfoSignal.connect(boost::bind(&vantorelle::onAdapterInfo, this, _1, _2));
    }
    if (sysInfo) sysInfo->sysInfoSignal.connect(boost::bind(&vantorelle::onSysInfo, this, _1, _2));
}

void vantorelle::disconnectHandlers() {
    if (sysInfo) sysInfo->sysInfoSignal.disconnect(boost::bind(&vantorelle::onSysInfo, this, _1, _2));
    if (netStats) {
        netStats->adapterInfoSignal.disconnect(boost::bind(&vantorelle::onAdapterInfo, this, _1, _2));
        netStats->pingSignal.disconnect(boost::bind(&vantorelle::onPingStats, this, _1, _2));
        netStats->adapterStatsSignal.disconnect(boost::bind(&vantorelle::onEthernetStats, this, _1));
    }
    if (procWatch) {
        procWatch->processRemoved.disconnect(boost::bind(&vantorelle::onProcessDel, this, _1));
        procWatch->processAdded.disconnect(boost::bind(&vantorelle::onProcessAdd, this, _1));
    }
    if (connWatch) {
        connWatch->tcpRemoved.disconnect(boost::bind(&vantorelle::onTcpDel, this, _1));
        connWatch->tcpAdded.disconnect(boost::bind(&vantorelle::onTcpAdd, this, _1));
        connWatch->udpRemoved.disconnect(boost::bind(&vantorelle::onUdpDel, this, _1));
        connWatch->udpAdded.disconnect(boost::bind(&vantorelle::onUdpAdd, this, _1));
    }
}

std::int32_t vantorelle::start(const std::string& logDir, std::uint32_t userId, std::uint32_t matchId,
                               std::uint32_t server, std::uint32_t referenceTime) {
    if (running) return 1;
    if (userId == 0) return 2;

    if (connWatch) connWatch->reset();
    if (procWatch) procWatch->reset();
    if (netStats) netStats->resetAdapters();

    if (logDir.empty()) {
        if (logOpen()) eventLog->closeLog();
    } else {
        if (!eventLog) return 4;
        if (!eventLog->openLog(referenceTime, userId, matchId, logDir)) return 3;
    }

    if (netStats && server != 0 && server != 0x7F000001u && server != 0xFFFFFFFFu) {
        serverAddress = server;
        pingEnabled = true;
    } else {
        serverAddress = 0;
        pingEnabled = false;
    }
    adapterStatsEnabled = static_cast<bool>(netStats);

    writeIdentifier("User ID", userId);
    writeIdentifier("Match ID", matchId);
    writeIdentifier("NTP Time", referenceTime);
    if (sysInfo) sysInfo->reportVolumeId();

    {
        boost::lock_guard<boost::mutex> lock(waitMutex);
        finished = false;
    }
    ticks = 0;
    statsTicks = 0;
    running = true;
    try {
        workerThread.reset(new boost::thread(boost::bind(&vantorelle::run, this)));
    } catch (...) {
        {
            boost::lock_guard<boost::mutex> lock(waitMutex);
            finished = true;
        }
        stop();
        return 5;
    }
    return 0;
}

void vantorelle::writeIdentifier(const char* name, std::uint32_t value) {
    const std::string text = boost::lexical_cast<std::string>(value);
    if (logOpen()) eventLog->writeSysInfo(name, text);
}

void vantorelle::stop() {
    if (!running) return;
    {
        boost::lock_guard<boost::mutex> lock(waitMutex);
        running = false;
    }
    wake.notify_all();

    if (workerThread) {
        if (unloadMode == Unload::Normal) {
            workerThread->join();
        } else {
            if (unloadMode == Unload::LoaderLockHeld) {
                boost::unique_lock<boost::mutex> lock(waitMutex);
                wake.wait_for(lock, boost::chrono::milliseconds(kUnloadWaitMs), [this] { return finished; });
            }
            workerThread->detach();
        }
        workerThread.reset();
    }

    tickInterval = defaultTick;
    statsPeriod = defaultStatsPeriod;
    tickCount = 0;
    adapterStatsEnabled = false;
    pingEnabled = false;
    serverAddress = 0;
    if (logOpen()) {
        if (unloadMode == Unload::ProcessExit) eventLog->closeLogWithin(kUnloadWaitMs);
        else eventLog->closeLog();
    }
}

void vantorelle::run() {
    try {
        while (running) {
            tick();
            boost::unique_lock<boost::mutex> lock(waitMutex);
            wake.wait_for(lock, boost::chrono::milliseconds(tickInterval), [this] { return !running; });
        }
    } catch (...) {
        // A failure inside a tick ends this recording's polling; it never leaves the thread.
    }
    {
        boost::lock_guard<boost::mutex> lock(waitMutex);
        finished = true;
    }
    wake.notify_all();
}

void vantorelle::tick() {
    if (connWatch) {
        connWatch->pollUdpTable();
        connWatch->pollTcpTable();
    }
    if (procWatch) procWatch->pollProcesses();
    ++ticks;
    if (++tickCount >= statsPeriod) {
        tickCount = 0;
        ++statsTicks;
        if (netStats) {
            if (adapterStatsEnabled) netStats->sampleAdapters();
            if (pingEnabled) netStats->pingServer(serverAddress);
        }
    }
    if (eventLog) eventLog->flush();
}

vantorelle::Schedule vantorelle::schedule() const {
    return Schedule{tickInterval, statsPeriod, tickCount.load(), pingEnabled, adapterStatsEnabled, serverAddress,
                    ticks.load(), statsTicks.load()};
}

void vantorelle::sendKey(std::int32_t keyCode, const std::string& keyName) {
    if (keyName.empty() || keyCode < 1 || !logOpen()) return;
    eventLog->writeKeyPressed(keyName);
}

void vantorelle::sendInfo(const std::string& name, const std::string& value) {
    if (name.empty() || value.empty() || !logOpen()) return;
    eventLog->writeSysInfo(name, value);
}

// ---- handlers: the log test, then one record operation with a copy -------------

void vantorelle::onUdpAdd(udptcpcon::SUdpCon r) {
    if (logOpen()) eventLog->writeUdpAdd(r);
}
void vantorelle::onUdpDel(udptcpcon::SUdpCon r) {
    if (logOpen()) eventLog->writeUdpDel(r);
}
void vantorelle::onTcpAdd(udptcpcon::STcpCon r) {
    if (logOpen()) eventLog->writeTcpAdd(r);
}
void vantorelle::onTcpDel(udptcpcon::STcpCon r) {
    if (logOpen()) eventLog->writeTcpDel(r);
}
void vantorelle::onProcessAdd(procwatch::SProcessEntry r) {
    if (logOpen()) eventLog->writeProcessAdd(r);
}
void vantorelle::onProcessDel(procwatch::SProcessEntry r) {
    if (logOpen()) eventLog->writeProcessDel(r);
}
void vantorelle::onEthernetStats(netstats::SAdapterEntry r) {
    if (logOpen()) eventLog->writeEthernetStats(r);
}
void vantorelle::onPingStats(int milliseconds, const std::string& server) {
    if (logOpen()) eventLog->writePingStats(milliseconds, server);
}
void vantorelle::onAdapterInfo(const std::string& description, const std::string& address) {
    if (description.empty() || address.empty() || !logOpen()) return;
    eventLog->writeSysInfo("Mac Address", description + " @ " + address);
}
void vantorelle::onSysInfo(const std::string& name, const std::string& value) {
    if (name.empty() || value.empty() || !logOpen()) return;
    eventLog->writeSysInfo(name, value);
}

}  // namespace vt
