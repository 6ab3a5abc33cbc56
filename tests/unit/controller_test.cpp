#include "controller/vantorelle.h"
#include "support/fake_os.h"
#include "support/log_text.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using testsupport::countPrefix;
using testsupport::logFiles;
using testsupport::recordLines;
using testsupport::withoutStamps;
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
    void waitForTicks(std::uint64_t n) {
        for (int i = 0; i < 4000 && controller->schedule().ticks < n; ++i) std::this_thread::sleep_for(1ms);
        ASSERT_GE(controller->schedule().ticks, n);
    }
    std::vector<std::string> onlyLog() {
        auto files = logFiles(dir.path());
        EXPECT_EQ(files.size(), 1u);
        return files.empty() ? std::vector<std::string>() : withoutStamps(recordLines(files.back()));
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
    auto lines = onlyLog();
    EXPECT_EQ(countPrefix(recordLines(logFiles(dir.path())[0]), "Info;Start;"), 1);
    EXPECT_EQ(lines.back(), "Info;Stop;Logfile end");
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
        const int period = controller->schedule().statsPeriod;
        waitForTicks(3 * std::uint64_t(period) + 1);
        controller->stop();
        auto s = controller->schedule();
        EXPECT_EQ(s.statsTicks, s.ticks / std::uint64_t(period));
        EXPECT_EQ(s.tickCount, 0);
        EXPECT_FALSE(s.pingEnabled);
        auto lines = withoutStamps(recordLines(logFiles(d.path())[0]));
        EXPECT_EQ(countPrefix(lines, "SysInfo;Mac Address;Value:eth0 @ 00-0c-29-aa-bb-cc"), 1);
        EXPECT_EQ(countPrefix(lines, "Ethernet;Stats;Adapter:eth0:TxD:0:Bytes/s:RxD:0:Bytes/s"), int(s.statsTicks) - 1);
        EXPECT_EQ(countPrefix(lines, "Ping;Stats;Server:10.0.0.1:Actual:20"), int(s.statsTicks));
    }
}

TEST_F(Controller, PingOnlyForAUsableServer) {
    struct Case {
        std::uint32_t server;
        bool ping;
    } cases[] = {{0, false}, {0x7F000001u, false}, {0xFFFFFFFFu, false}, {0x0A000001u, true}, {0x7F000002u, true}};
    for (const auto& c : cases) {
        ASSERT_EQ(controller->start("", 12, 47, c.server, 0), 0);
        auto s = controller->schedule();
        EXPECT_EQ(s.pingEnabled, c.ping) << c.server;
        EXPECT_EQ(s.serverAddress, c.ping ? c.server : 0u);
        EXPECT_TRUE(s.adapterStatsEnabled);
        controller->stop();
        EXPECT_FALSE(controller->schedule().pingEnabled);
        EXPECT_EQ(controller->schedule().serverAddress, 0u);
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

TEST_F(Controller, StopReturnsAtOnceAndNothingRunsAfterIt) {
    vt::vantorelle::setDefaultSchedule(5000, 4);
    vt::vantorelle slow;
    vt::vantorelle::setDefaultSchedule(5, 4);
    ASSERT_EQ(slow.start(dir.path(), 12, 47, 0, 0), 0);
    for (int i = 0; i < 2000 && slow.schedule().ticks < 1; ++i) std::this_thread::sleep_for(1ms);
    const auto before = std::chrono::steady_clock::now();
    slow.stop();
    // Far below the 5 s pause: stop wakes the worker instead of waiting it out.
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2500ms);
    const int calls = fake::machine().enumCalls;
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(fake::machine().enumCalls, calls);
}

TEST_F(Controller, QuickRestartsNeverLeaveTwoLoops) {
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(controller->start("", 12, 47, 0, 0), 0);
        controller->stop();
    }
    ASSERT_EQ(controller->start("", 12, 47, 0, 0), 0);
    waitForTicks(20);
    controller->stop();
    const int calls = fake::machine().enumCalls;
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(fake::machine().enumCalls, calls);
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
    EXPECT_EQ(onlyLog().back(), "Info;Stop;Logfile end");
}

TEST_F(Controller, DestroyedWhileRecordingClosesTheLog) {
    ASSERT_EQ(controller->start(dir.path(), 12, 47, 0, 0), 0);
    waitForTicks(3);
    controller.reset();
    EXPECT_EQ(onlyLog().back(), "Info;Stop;Logfile end");
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

}  // namespace
