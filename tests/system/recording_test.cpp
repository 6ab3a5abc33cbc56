// Whole recordings on the real machine: what happens during the recording is
// in the log. Network traffic stays on 127.0.0.0/8.
#include "controller/library.h"
#include "read/records.h"
#include "monitors/netstats/netstats.h"
#include "support/controller_access.h"
#include "support/host_system.h"
#include "support/log_text.h"
#include "support/temp_dir.h"
#include "vantorelle/vantorelle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <thread>

namespace {

using namespace std::chrono_literals;
using testsupport::countPrefix;
using testsupport::logFiles;
using testsupport::recordLines;
using testsupport::withoutStamps;

#if defined(_WIN32)
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

bool samePath(std::string a, std::string b) {
    if (kWindows) {
        std::transform(a.begin(), a.end(), a.begin(), ::tolower);
        std::transform(b.begin(), b.end(), b.begin(), ::tolower);
    }
    return a == b;
}

// Whether this machine has an adapter that the sampler reports.
bool machineHasAdapter() {
    vt::netstats probe;
    int found = 0;
    probe.adapterInfoSignal.connect([&](const std::string&, const std::string&) { ++found; });
    probe.sampleAdapters();
    return found > 0;
}

// The records of one kind and action, split into their fields by the reader.
std::vector<vt::read::Record> find(const std::vector<std::string>& stamped, const std::string& kind,
                                     const std::string& action) {
    std::vector<vt::read::Record> out;
    for (const auto& l : stamped) {
        vt::read::Record r = vt::read::parseRecord(l);
        if (r.kind == kind && r.action == action) out.push_back(std::move(r));
    }
    return out;
}

std::string field(const vt::read::Record& r, const std::string& label) {
    for (const auto& f : r.fields)
        if (f.first == label) return f.second;
    return "<no " + label + ">";
}

// The worker's ticks so far in the running recording.
std::uint64_t ticksDone() { return vt::controllerTestAccess::ticks(*vt::controller()); }

// Waits until the worker has done `count` ticks, a minute at most; false when
// it has not. A machine's tick takes as long as its tables take to read, which
// under Wine can be many times the interval.
bool waitForTicks(std::uint64_t count) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (ticksDone() < count) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// Waits for a tick that began after this call: what happened before it is in
// the log by then.
bool waitForAWholeTick() { return waitForTicks(ticksDone() + 2); }

class Recording : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(vt::attachLibrary()); }
    void TearDown() override { vt::detachLibrary(vt::vantorelle::Unload::Normal); }
    testsupport::TempDir dir;
};

TEST_F(Recording, WhatHappensOnTheMachineReachesTheLog) {
    const bool adapters = machineHasAdapter();
    const std::string pid = std::to_string(testsupport::currentPid());
    ASSERT_EQ(vtStart(12, 47, 0x7F000002u /* 127.0.0.2 */, std::uint32_t(std::time(nullptr)), dir.path().c_str()), 0);
    std::this_thread::sleep_for(100ms);

    testsupport::Socket listener(testsupport::Socket::Kind::TcpListen);
    testsupport::Socket udp(testsupport::Socket::Kind::Udp);
    auto client = testsupport::Socket::connectTo(listener.port());
    auto server = listener.accept();
    std::uint32_t childPid;
    {
        testsupport::Child child(60000);  // ended here, once a tick has seen it
        childPid = child.pid();
        ASSERT_TRUE(waitForAWholeTick());
    }
    std::vector<std::thread> hosts;
    for (int t = 0; t < 4; ++t)
        hosts.emplace_back([t] {
            for (int i = 0; i < 50; ++i) {
                vtSendKey(1 + i, "key-" + std::to_string(t) + "-" + std::to_string(i));
                vtSendInfo("fact-" + std::to_string(t), std::to_string(i));
            }
        });
    for (auto& h : hosts) h.join();
    ASSERT_TRUE(waitForAWholeTick());  // the sockets, seen open
    const int listenPort = listener.port(), udpPort = udp.port(), clientPort = client->port();
    listener.close();
    udp.close();
    ASSERT_TRUE(waitForAWholeTick());  // and seen closed
    // Two statistics periods: a ping in each, and the adapters' second sample
    // reports their traffic.
    ASSERT_TRUE(waitForTicks(2 * std::uint64_t(vt::controllerTestAccess::schedule(*vt::controller()).statsPeriod)));
    ASSERT_EQ(vtStop(), 0);

    auto files = logFiles(dir.path());
    ASSERT_EQ(files.size(), 1u);
    const auto stamped = recordLines(files[0]);
    auto lines = withoutStamps(stamped);
    ASSERT_GT(lines.size(), 6u);
    EXPECT_EQ(lines[0], "Info;Start;Logfile start:UserId:12:MatchId:47");
    EXPECT_EQ(lines[1], "SysInfo;User ID;Value:12");
    EXPECT_EQ(lines[2], "SysInfo;Match ID;Value:47");
    EXPECT_EQ(lines[3].rfind("SysInfo;NTP Time;Value:", 0), 0u);
    EXPECT_EQ(lines[4].rfind("SysInfo;Volume ID from C-Drive;Value:", 0), 0u);
    EXPECT_EQ(lines.back(), "Info;Stop;Logfile end");

    // The first tick: UDP, then TCP, then processes.
    auto firstOf = [&](const std::string& prefix) {
        for (std::size_t i = 0; i < lines.size(); ++i)
            if (lines[i].rfind(prefix, 0) == 0) return i;
        return lines.size();
    };
    EXPECT_LT(firstOf("TCP;Add;"), firstOf("Process;Add;"));
    if (firstOf("UDP;Add;") < firstOf("Process;Add;")) {  // the machine had UDP endpoints at the start
        EXPECT_LT(firstOf("UDP;Add;"), firstOf("TCP;Add;"));
    }

    // The child came and went, with its image path.
    auto byPid = [&](const std::string& action, std::uint32_t id) {
        std::vector<vt::read::Record> out;
        for (auto& r : find(stamped, "Process", action))
            if (field(r, "PID") == std::to_string(id)) out.push_back(r);
        return out;
    };
    auto added = byPid("Add", childPid);
    auto removed = byPid("Del", childPid);
    ASSERT_EQ(added.size(), 1u);
    ASSERT_EQ(removed.size(), 1u);
    // Wine may not name a process in its first milliseconds; Windows and Linux do.
    const std::string addedPath = field(added[0], "Path");
    const bool unnamed = kWindows && addedPath == "System: No Path available";
    EXPECT_TRUE(unnamed || samePath(addedPath, testsupport::programPath())) << addedPath;
    EXPECT_EQ(field(removed[0], "Path"), addedPath);

    // The sockets opened and closed, owned by this process (Wine mostly reports no owner).
    auto hasPort = [](const std::vector<vt::read::Record>& rows, int port, const std::string& owner) {
        for (const auto& r : rows)
            if (field(r, "LocalPort") == std::to_string(port) && (kWindows || field(r, "PID") == owner)) return true;
        return false;
    };
    EXPECT_TRUE(hasPort(find(stamped, "TCP", "Add"), listenPort, pid));
    EXPECT_TRUE(hasPort(find(stamped, "TCP", "Add"), clientPort, pid));
    EXPECT_TRUE(hasPort(find(stamped, "UDP", "Add"), udpPort, pid));
    EXPECT_TRUE(hasPort(find(stamped, "UDP", "Del"), udpPort, pid));
    bool listenerGone = false;
    for (const auto& r : find(stamped, "TCP", "Del"))
        if (field(r, "LocalIp") == "127.0.0.1" && field(r, "LocalPort") == std::to_string(listenPort) &&
            field(r, "RemoteIp") == "0.0.0.0")
            listenerGone = true;
    EXPECT_TRUE(listenerGone);
    if (!kWindows) {
        for (const auto& r : find(stamped, "TCP", "Add"))
            if (field(r, "PID") == pid) {
                EXPECT_TRUE(samePath(field(r, "Path"), testsupport::programPath()));
            }
    }

    // Every key and fact exactly once.
    for (int t = 0; t < 4; ++t)
        for (int i = 0; i < 50; ++i) {
            const std::string key = "Key;Pressed;Name:key-" + std::to_string(t) + "-" + std::to_string(i);
            const std::string fact = "SysInfo;fact-" + std::to_string(t) + ";Value:" + std::to_string(i);
            EXPECT_EQ(std::count(lines.begin(), lines.end(), key), 1) << key;
            EXPECT_EQ(std::count(lines.begin(), lines.end(), fact), 1) << fact;
        }

    // Statistics: with a 20 ms tick and 5 ticks per period there were several.
    const int pings = countPrefix(lines, "Ping;Stats;Server:127.0.0.2:Actual:");
    EXPECT_GE(pings, 2);
    EXPECT_EQ(countPrefix(lines, "Ping;Stats;Server:127.0.0.2:Actual:1000"), 0) << "the loopback echo failed";
    if (adapters) {
        EXPECT_GE(countPrefix(lines, "SysInfo;Mac Address;Value:"), 1);
        EXPECT_GE(countPrefix(lines, "Ethernet;Stats;Adapter:"), 1);
        EXPECT_LT(firstOf("SysInfo;Mac Address;"), firstOf("Ethernet;Stats;"));
    }
}

TEST_F(Recording, WithoutAServerThereIsNoPing) {
    ASSERT_EQ(vtStart(12, 47, 0x7F000001u, 0, dir.path().c_str()), 0);
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(vtStop(), 0);
    auto lines = recordLines(logFiles(dir.path())[0]);
    EXPECT_EQ(countPrefix(lines, "Ping;"), 0);
}

TEST_F(Recording, WithoutADirectoryNothingIsWritten) {
    int calls = 0;
    vtGetErrorSignal()->connect([&](int, const std::string&) { ++calls; });
    vtGetInfoSignal()->connect([&](const std::string&, const std::string&) { ++calls; });
    ASSERT_EQ(vtStart(12, 47, 0x7F000002u, 0, nullptr), 0);
    vtSendKey(1, "W");
    std::this_thread::sleep_for(250ms);
    ASSERT_EQ(vtStop(), 0);
    EXPECT_TRUE(logFiles(".").empty());
    EXPECT_TRUE(logFiles(dir.path()).empty());
    EXPECT_EQ(calls, 0);
}

}  // namespace
