#include "controller/vantorelle.h"
#include "support/controller_access.h"
#include "support/fake_os.h"
#include "support/fake_threads.h"
#include "support/log_text.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <new>
#include <thread>

namespace {

using testsupport::countPrefix;
using testsupport::logFiles;
using testsupport::recordLines;
using testsupport::withoutStamps;
using access = vt::controllerTestAccess;
using namespace std::chrono_literals;

class Controller : public ::testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        auto& m = fake::machine();
        m.serial = 0x1a2b3c4d;
        m.processes = {{4, L"C:\\Windows\\system.exe", false, false}, {100, L"C:\\Games\\client.exe", false, false}};
        m.udp = {fake::udpRow("0.0.0.0", 53, 4)};
        m.tcp = {fake::tcpRow("127.0.0.1", 5000, "127.0.0.1", 80, 100)};
        m.interfaces = {fake::ifRow(2, os::IF_TYPE_ETHERNET_CSMACD, "eth0", {0, 0x0c, 0x29, 0xaa, 0xbb, 0xcc}, 10, 10)};
        m.echoTime = 20;
        controller.reset(new vt::vantorelle);
    }
    void TearDown() override {
        controller.reset();
        access::useThreads(nullptr);
    }
    // A controller whose worker runs on the scripted threads.
    void useFakeThreads() {
        fake::threads().reset();
        access::useThreads(&fake::threads());
        controller.reset(new vt::vantorelle);
    }
    void waitForTicks(std::uint64_t n) {
        for (int i = 0; i < 4000 && access::ticks(*controller) < n; ++i) std::this_thread::sleep_for(1ms);
        ASSERT_GE(access::ticks(*controller), n);
    }
    std::vector<std::string> onlyLog() {
        auto files = logFiles(dir.path());
        EXPECT_EQ(files.size(), 1u);
        return files.empty() ? std::vector<std::string>() : withoutStamps(recordLines(files.back()));
    }
    // The last record of the one log, or "" when it has none that can be read.
    std::string lastRecord() {
        auto lines = onlyLog();
        return lines.empty() ? std::string() : lines.back();
    }
    testsupport::TempDir dir;
    std::unique_ptr<vt::vantorelle> controller;
};

TEST_F(Controller, EveryComponentExistsWithOneHandlerPerSignal) {
    ASSERT_NE(controller->connections(), nullptr);
    ASSERT_NE(controller->processes(), nullptr);
    ASSERT_NE(controller->network(), nullptr);
    ASSERT_NE(controller->machine(), nullptr);
    EXPECT_EQ(controller->connections()->udpAdded.num_slots(), 1u);
    EXPECT_EQ(controller->connections()->udpRemoved.num_slots(), 1u);
    EXPECT_EQ(controller->connections()->tcpAdded.num_slots(), 1u);
    EXPECT_EQ(controller->connections()->tcpRemoved.num_slots(), 1u);
    EXPECT_EQ(controller->processes()->processAdded.num_slots(), 1u);
    EXPECT_EQ(controller->processes()->processRemoved.num_slots(), 1u);
    EXPECT_EQ(controller->network()->adapterStatsSignal.num_slots(), 1u);
    EXPECT_EQ(controller->network()->pingSignal.num_slots(), 1u);
    EXPECT_EQ(controller->network()->adapterInfoSignal.num_slots(), 1u);
    EXPECT_EQ(controller->machine()->sysInfoSignal.num_slots(), 1u);
    EXPECT_TRUE(controller->errorSignal.empty());
    EXPECT_TRUE(controller->infoSignal.empty());
}

// Every route reaches its own record, and only while the log is open.
TEST_F(Controller, EachSignalBecomesItsRecordWhileTheLogIsOpen) {
    auto emitAll = [this] {
        vt::udptcpcon::SUdpCon u{};
        u.localIp = "1.2.3.4";
        u.localPort = 7;
        u.pid = 9;
        u.path = "u.exe";
        vt::udptcpcon::STcpCon t{};
        t.localIp = "1.2.3.4";
        t.remoteIp = "5.6.7.8";
        t.localPort = 7;
        t.remotePort = 8;
        t.pid = 9;
        t.path = "t.exe";
        vt::procwatch::SProcessEntry p{};
        p.pid = 9;
        p.path = "p.exe";
        vt::netstats::SAdapterEntry a{};
        a.description = "eth9";
        controller->connections()->udpAdded(u);
        controller->connections()->udpRemoved(u);
        controller->connections()->tcpAdded(t);
        controller->connections()->tcpRemoved(t);
        controller->processes()->processAdded(p);
        controller->processes()->processRemoved(p);
        controller->network()->adapterStatsSignal(a);
        controller->network()->pingSignal(1000, "9.9.9.9");
        controller->network()->adapterInfoSignal("eth9", "00-11-22-33-44-55");
        controller->network()->adapterInfoSignal("", "00-11-22-33-44-55");
        controller->network()->adapterInfoSignal("eth9", "");
        controller->machine()->sysInfoSignal("Name", "Value");
        controller->machine()->sysInfoSignal("Name", "");
        controller->machine()->sysInfoSignal("", "Value");
    };
    emitAll();  // no log: dropped
    ASSERT_TRUE(controller->log()->openLog(0, 1, 2, dir.path()));
    emitAll();
    controller->log()->closeLog();
    emitAll();
    auto lines = onlyLog();
    ASSERT_EQ(lines.size(), 12u);
    const std::vector<std::string> kinds = {"UDP;Add;",      "UDP;Del;",        "TCP;Add;",
                                            "TCP;Del;",      "Process;Add;",    "Process;Del;",
                                            "Ethernet;Stats;", "Ping;Stats;Server:9.9.9.9:Actual:1000",
                                            "SysInfo;Mac Address;Value:eth9 @ 00-11-22-33-44-55",
                                            "SysInfo;Name;Value:Value"};
    for (std::size_t i = 0; i < kinds.size(); ++i) EXPECT_EQ(lines[i + 1].rfind(kinds[i], 0), 0u) << lines[i + 1];
    EXPECT_EQ(countPrefix(lines, "UDP;Add;LocalIp:1.2.3.4:LocalPort:7:PID:9:Path:u.exe"), 1);
    EXPECT_EQ(countPrefix(lines, "Process;Del;PID:9:Path:p.exe"), 1);
}

TEST_F(Controller, StartCodesAndTheirEffects) {
    EXPECT_EQ(controller->start(dir.path(), 0, 47, 0, 0), 2);
    EXPECT_FALSE(controller->recording());
    EXPECT_EQ(controller->start(dir.join("no") + os::pathSeparator() + "parent", 12, 47, 0, 0), 3);
    EXPECT_FALSE(controller->recording());
    EXPECT_TRUE(logFiles(dir.path()).empty());

    EXPECT_EQ(controller->start(dir.path(), 12, 47, 0x0A000001, 0), 0);
    EXPECT_TRUE(controller->recording());
    EXPECT_EQ(controller->start(dir.path(), 13, 48, 0, 0), 1);  // the running one is untouched
    controller->stop();
    controller->stop();
    EXPECT_FALSE(controller->recording());
    EXPECT_EQ(countPrefix(recordLines(logFiles(dir.path())[0]), "Info;Start;"), 1);
    EXPECT_EQ(lastRecord(), "Info;Stop;Logfile end");
}

TEST_F(Controller, AWorkerThatCannotStartEndsTheRecordingAtOnce) {
    useFakeThreads();
    fake::threads().failStart = true;
    EXPECT_EQ(controller->start(dir.path(), 12, 47, 0x0A000001, 0), 5);
    EXPECT_FALSE(controller->recording());
    EXPECT_FALSE(access::schedule(*controller).pingEnabled);
    EXPECT_EQ(lastRecord(), "Info;Stop;Logfile end");
    fake::threads().failStart = false;
    testsupport::TempDir second;
    EXPECT_EQ(controller->start(second.path(), 12, 47, 0, 0), 0);
    controller->stop();
}

TEST_F(Controller, LogBeginsWithTheIdentifiersThenTheFirstTick) {
    ASSERT_EQ(controller->start(dir.path(), 12, 47, 0, 1700000000u), 0);
    waitForTicks(2);
    controller->stop();
    auto lines = onlyLog();
    ASSERT_GE(lines.size(), 10u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 9),
              (std::vector<std::string>{
                  "Info;Start;Logfile start:UserId:12:MatchId:47",
                  "SysInfo;User ID;Value:12",
                  "SysInfo;Match ID;Value:47",
                  "SysInfo;NTP Time;Value:1700000000",
                  "SysInfo;Volume ID from C-Drive;Value:1a2b3c4d",
                  "UDP;Add;LocalIp:0.0.0.0:LocalPort:53:PID:4:Path:C:\\Windows\\system.exe",
                  "TCP;Add;LocalIp:127.0.0.1:LocalPort:5000:RemoteIp:127.0.0.1:RemotePort:80:PID:100:Path:C:\\Games\\client.exe",
                  "Process;Add;PID:4:Path:C:\\Windows\\system.exe",
                  "Process;Add;PID:100:Path:C:\\Games\\client.exe",
              }));
}

TEST_F(Controller, StatisticsEveryPeriodAndAgainFromZeroAfterARestart) {
    for (int recording = 0; recording < 2; ++recording) {
        testsupport::TempDir d;
        ASSERT_EQ(controller->start(d.path(), 12, 47, 0x0A000001, 0), 0);
        const int period = access::schedule(*controller).statsPeriod;
        waitForTicks(3 * std::uint64_t(period) + 1);
        controller->stop();
        const std::uint64_t ticks = access::ticks(*controller);
        const int statsTicks = int(ticks / std::uint64_t(period));
        EXPECT_EQ(access::tickCount(*controller), 0);
        EXPECT_FALSE(access::schedule(*controller).pingEnabled);
        auto lines = withoutStamps(recordLines(logFiles(d.path())[0]));
        EXPECT_EQ(countPrefix(lines, "SysInfo;Mac Address;Value:eth0 @ 00-0c-29-aa-bb-cc"), 1);
        EXPECT_EQ(countPrefix(lines, "Ethernet;Stats;Adapter:eth0:TxD:0:Bytes/s:RxD:0:Bytes/s"), statsTicks - 1);
        EXPECT_EQ(countPrefix(lines, "Ping;Stats;Server:10.0.0.1:Actual:20"), statsTicks);
    }
}

TEST_F(Controller, PingOnlyForAUsableServer) {
    struct Case {
        std::uint32_t server;
        bool ping;
    } cases[] = {{0x7F000001u, false}, {0x0A000001u, true}};  // the rule itself: ServerRule
    for (const auto& c : cases) {
        ASSERT_EQ(controller->start("", 12, 47, c.server, 0), 0);
        auto s = access::schedule(*controller);
        EXPECT_EQ(s.pingEnabled, c.ping) << c.server;
        EXPECT_EQ(s.serverAddress, c.ping ? c.server : 0u);
        EXPECT_TRUE(s.adapterStatsEnabled);
        controller->stop();
        EXPECT_FALSE(access::schedule(*controller).pingEnabled);
        EXPECT_EQ(access::schedule(*controller).serverAddress, 0u);
    }
}

TEST_F(Controller, RecordingWithoutADirectoryWritesNothing) {
    ASSERT_EQ(controller->start("", 12, 47, 0x0A000001, 0), 0);
    waitForTicks(10);
    controller->stop();
    EXPECT_GT(fake::machine().enumCalls, 5);  // the monitors ran
    EXPECT_FALSE(fake::machine().echoesSent.empty());
    EXPECT_TRUE(logFiles(dir.path()).empty());
    EXPECT_FALSE(controller->log()->isOpen());
}

TEST_F(Controller, AFailedTickIsSkippedAndTheNextOneRuns) {
    // The first emission of the recording throws, as a failed allocation in a
    // poll would: the rest of that tick is lost, the following ticks are not.
    std::atomic<int> throwsLeft{1};
    controller->connections()->udpAdded.connect([&](vt::udptcpcon::SUdpCon) {
        if (throwsLeft-- > 0) throw std::bad_alloc();
    });
    ASSERT_EQ(controller->start(dir.path(), 12, 47, 0, 0), 0);
    waitForTicks(5);
    EXPECT_TRUE(controller->recording());
    controller->stop();
    EXPECT_EQ(access::failedTicks(*controller), 1u);
    auto lines = onlyLog();
    EXPECT_EQ(countPrefix(lines, "TCP;Add;"), 1);
    EXPECT_EQ(countPrefix(lines, "Process;Add;"), 2);
    EXPECT_EQ(lastRecord(), "Info;Stop;Logfile end");
}

TEST_F(Controller, StopReturnsAtOnceAndNothingRunsAfterIt) {
    access::setDefaultSchedule(5000, 4);
    vt::vantorelle slow;
    access::setDefaultSchedule(5, 4);
    ASSERT_EQ(slow.start(dir.path(), 12, 47, 0, 0), 0);
    for (int i = 0; i < 2000 && access::ticks(slow) < 1; ++i) std::this_thread::sleep_for(1ms);
    const auto before = std::chrono::steady_clock::now();
    slow.stop();
    // Far below the 5 s pause: stop wakes the worker instead of waiting it out.
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2500ms);
    const int calls = fake::machine().enumCalls;
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(fake::machine().enumCalls, calls);
}

TEST_F(Controller, QuickRestartsNeverLeaveTwoLoops) {
    useFakeThreads();
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(controller->start("", 12, 47, 0, 0), 0);
        controller->stop();
        // joined: the thread has ended and dropped its hold on the library
        EXPECT_EQ(fake::threads().references, 0);
    }
    ASSERT_EQ(controller->start("", 12, 47, 0, 0), 0);
    EXPECT_EQ(fake::threads().references, 1);
    waitForTicks(20);
    controller->stop();
    const int calls = fake::machine().enumCalls;
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(fake::machine().enumCalls, calls);
    EXPECT_EQ(fake::threads().started, 21);
}

// Starts and stops from four threads at once: one recording at a time, each
// start that succeeded with its own worker and its own whole log, and every
// other start told that one runs.
TEST_F(Controller, StartsAndStopsFromManyThreadsTakeTurns) {
    useFakeThreads();
    constexpr int kThreads = 4, kRounds = 25;
    std::atomic<int> started{0}, refused{0}, mostLoops{0};
    std::vector<std::thread> hosts;
    for (int t = 0; t < kThreads; ++t) {
        hosts.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                const std::int32_t r = controller->start(dir.path(), 12, std::uint32_t(1000 * t + i), 0, 0);
                if (r == 0) ++started;
                else if (r == 1) ++refused;
                else ADD_FAILURE() << "start gave " << r;
                int loops = fake::threads().references;
                for (int seen = mostLoops; loops > seen && !mostLoops.compare_exchange_weak(seen, loops);) {
                }
                if (i % 2 == t % 2) controller->stop();
            }
        });
    }
    for (auto& h : hosts) h.join();
    controller->stop();

    EXPECT_EQ(started + refused, kThreads * kRounds);
    EXPECT_GT(started, 0);
    EXPECT_EQ(mostLoops, 1);
    EXPECT_EQ(fake::threads().started, started.load());
    EXPECT_EQ(controller->recordingsStarted(), std::uint64_t(started));
    EXPECT_EQ(fake::threads().references, 0);
    const auto files = logFiles(dir.path());
    ASSERT_EQ(files.size(), std::size_t(started));
    for (const auto& f : files) {
        const auto lines = withoutStamps(recordLines(f));
        EXPECT_EQ(countPrefix(lines, "Info;Start;"), 1) << f;
        EXPECT_EQ(countPrefix(lines, "Info;Stop;"), 1) << f;
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), "Info;Stop;Logfile end") << f;
    }
}

TEST_F(Controller, TwoRecordingsEachGetTheWholeStory) {
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(controller->start(dir.path(), 12, 47 + i, 0, 0), 0);
        waitForTicks(2);
        controller->stop();
    }
    auto files = logFiles(dir.path());
    ASSERT_EQ(files.size(), 2u);
    for (const auto& f : files) {
        auto lines = withoutStamps(recordLines(f));
        EXPECT_EQ(countPrefix(lines, "SysInfo;Volume ID from C-Drive;"), 1);
        EXPECT_EQ(countPrefix(lines, "Process;Add;"), 2);
        EXPECT_EQ(countPrefix(lines, "UDP;Add;"), 1);
        EXPECT_EQ(countPrefix(lines, "TCP;Add;"), 1);
    }
}

TEST_F(Controller, EmptyDirectoryClosesAnOpenLog) {
    ASSERT_TRUE(controller->log()->openLog(0, 1, 2, dir.path()));
    ASSERT_EQ(controller->start("", 12, 47, 0, 0), 0);
    EXPECT_FALSE(controller->log()->isOpen());
    controller->stop();
    EXPECT_EQ(lastRecord(), "Info;Stop;Logfile end");
}

TEST_F(Controller, ChangesDuringARecordingReachTheLog) {
    ASSERT_EQ(controller->start(dir.path(), 12, 47, 0, 0), 0);
    waitForTicks(2);
    // The fake machine is only changed while no tick reads it.
    controller->stop();
    auto& m = fake::machine();
    m.processes.push_back({300, L"C:\\new.exe", false, false});
    m.processes.erase(m.processes.begin());
    m.tcp.clear();
    testsupport::TempDir second;
    ASSERT_EQ(controller->start(second.path(), 12, 47, 0, 0), 0);
    waitForTicks(2);
    controller->stop();
    auto lines = withoutStamps(recordLines(logFiles(second.path())[0]));
    EXPECT_EQ(countPrefix(lines, "Process;Add;PID:300:Path:C:\\new.exe"), 1);
    EXPECT_EQ(countPrefix(lines, "Process;Add;"), 2);  // a new recording reports what exists
    EXPECT_EQ(countPrefix(lines, "TCP;"), 0);
}

TEST_F(Controller, HostSignalsAreNeverEmitted) {
    int calls = 0;
    controller->errorSignal.connect([&](int, const std::string&) { ++calls; });
    controller->infoSignal.connect([&](const std::string&, const std::string&) { ++calls; });
    ASSERT_EQ(controller->start(dir.path(), 12, 47, 0x0A000001, 0), 0);
    controller->sendKey(1, "W");
    controller->sendInfo("a", "b");
    waitForTicks(10);
    controller->stop();
    EXPECT_EQ(calls, 0);
}

// ---- unload ------------------------------------------------------------------

// The library is being unloaded under the loader lock while a tick runs: its
// thread cannot end then, so stop must not join it, but it must let the tick
// finish before the components go, and close the log.
TEST_F(Controller, UnloadUnderTheLoaderLockWaitsForTheTickButNotForTheThread) {
    useFakeThreads();
    std::atomic<bool> inTick{false}, tickDone{false};
    controller->processes()->processAdded.connect([&](vt::procwatch::SProcessEntry) {
        if (inTick.exchange(true)) return;
        std::this_thread::sleep_for(200ms);
        tickDone = true;
    });
    ASSERT_EQ(controller->start(dir.path(), 12, 47, 0, 0), 0);
    for (int i = 0; i < 2000 && !inTick; ++i) std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(inTick);
    fake::threads().holdLoaderLock(true);
    controller->prepareUnload(vt::Unload::LoaderLockHeld);
    controller.reset();
    EXPECT_TRUE(tickDone);
    EXPECT_EQ(fake::threads().joinsUnderLoaderLock, 0);
    EXPECT_EQ(fake::threads().references, 1);  // the thread still holds the library
    EXPECT_EQ(lastRecord(), "Info;Stop;Logfile end");
    fake::threads().holdLoaderLock(false);
    EXPECT_TRUE(fake::threads().waitAllEnded(5000));
    EXPECT_EQ(fake::threads().references, 0);
}

// At process exit the system has terminated the worker, perhaps while it held
// the lock of its pause: stop takes no lock and waits for nothing, and still
// closes the log.
TEST_F(Controller, StopAtProcessExitTakesNoLockAndStillClosesTheLog) {
#if defined(VT_TEST_UNDER_TSAN)
    GTEST_SKIP() << "the log is closed with a time limit, which ThreadSanitizer cannot follow";
#endif
    useFakeThreads();
    ASSERT_EQ(controller->start(dir.path(), 12, 47, 0, 0), 0);
    waitForTicks(1);
    fake::threads().holdLoaderLock(true);
    boost::mutex& pause = vt::workerTestAccess::pauseLock(access::workerOf(*controller));
    pause.lock();
    controller->prepareUnload(vt::Unload::ProcessExit);
    auto stopped = std::async(std::launch::async, [this] { controller->stop(); });
    const bool returned = stopped.wait_for(3s) == std::future_status::ready;
    pause.unlock();
    stopped.wait();
    EXPECT_TRUE(returned) << "stop waited for the terminated worker";
    EXPECT_FALSE(controller->recording());
    EXPECT_EQ(fake::threads().joinsUnderLoaderLock, 0);
    EXPECT_EQ(lastRecord(), "Info;Stop;Logfile end");
    fake::threads().holdLoaderLock(false);
    EXPECT_TRUE(fake::threads().waitAllEnded(5000));
}

}  // namespace
