#include "monitors/udptcpcon/udptcpcon.h"
#include "monitors/common/lookups.h"
#include "support/failing_write.h"
#include "support/fake_os.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using Tcp = vt::udptcpcon::STcpCon;
using Udp = vt::udptcpcon::SUdpCon;

class ConnWatch : public ::testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        fake::machine().processes = {{100, L"C:\\Games\\client.exe", false, false}, {200, L"C:\\svc.exe", false, false}};
        watch.reset(new vt::udptcpcon);
        watch->tcpAdded.connect([this](Tcp c) { log("TCP+", c); });
        watch->tcpRemoved.connect([this](Tcp c) { log("TCP-", c); });
        watch->udpAdded.connect([this](Udp c) { log("UDP+", c); });
        watch->udpRemoved.connect([this](Udp c) { log("UDP-", c); });
    }
    void log(const char* what, const Tcp& c) {
        events.push_back(std::string(what) + " " + c.localIp + ":" + std::to_string(c.localPort) + ">" + c.remoteIp +
                         ":" + std::to_string(c.remotePort) + " " + std::to_string(c.pid) + " " + c.path);
        tcp.push_back(c);
    }
    void log(const char* what, const Udp& c) {
        EXPECT_EQ(c.name, vt::fileNameOf(c.path));
        events.push_back(std::string(what) + " " + c.localIp + ":" + std::to_string(c.localPort) + " " +
                         std::to_string(c.pid) + " " + c.path);
    }
    void tick() {
        events.clear();
        watch->pollUdpTable();
        watch->pollTcpTable();
    }
    std::unique_ptr<vt::udptcpcon> watch;
    std::vector<std::string> events;
    std::vector<Tcp> tcp;
};

TEST_F(ConnWatch, FirstPollsReportEveryRowUdpFirst) {
    auto& m = fake::machine();
    m.tcp = {fake::tcpRow("0.0.0.0", 80, "0.0.0.0", 0, 100, 2), fake::tcpRow("192.168.1.10", 501, "10.1.2.3", 443, 200)};
    m.udp = {fake::udpRow("192.168.1.10", 53, 200)};
    tick();
    EXPECT_EQ(events, (std::vector<std::string>{
                          "UDP+ 192.168.1.10:53 200 C:\\svc.exe",
                          "TCP+ 0.0.0.0:80>0.0.0.0:0 100 C:\\Games\\client.exe",
                          "TCP+ 192.168.1.10:501>10.1.2.3:443 200 C:\\svc.exe",
                      }));
    EXPECT_EQ(tcp[1].remoteAddr, fake::address("10.1.2.3"));
    EXPECT_EQ(tcp[0].name, "client.exe");  // travels in the record beside the path
    EXPECT_EQ(tcp[1].name, "svc.exe");
    EXPECT_FALSE(tcp[0].marked);
    EXPECT_EQ(watch->tcpRows(), 2);
    EXPECT_EQ(watch->udpRows(), 1);
}

TEST_F(ConnWatch, PortBytesAreSwappedToHostOrder) {
    os::MIB_TCPROW_OWNER_PID row{};
    const unsigned char port80[4] = {0x00, 0x50, 0, 0};
    std::memcpy(&row.dwLocalPort, port80, 4);
    row.dwOwningPid = 100;
    fake::machine().tcp = {row};
    tick();
    ASSERT_EQ(tcp.size(), 1u);
    EXPECT_EQ(tcp[0].localPort, 80);
}

TEST_F(ConnWatch, ChangesAreReportedInTheTickTheyHappen) {
    auto& m = fake::machine();
    auto a = fake::tcpRow("127.0.0.1", 5000, "127.0.0.1", 80, 100);
    auto b = fake::tcpRow("127.0.0.1", 5001, "127.0.0.1", 80, 100);
    auto c = fake::tcpRow("127.0.0.1", 5002, "127.0.0.1", 81, 100);
    m.tcp = {a, b};
    tick();
    m.tcp = {c, a};  // b closed while c opened: the same count
    tick();
    EXPECT_EQ(events, (std::vector<std::string>{
                          "TCP- 127.0.0.1:5001>127.0.0.1:80 100 C:\\Games\\client.exe",
                          "TCP+ 127.0.0.1:5002>127.0.0.1:81 100 C:\\Games\\client.exe",
                      }));
    m.tcp = {c, a};
    m.tcp[0].dwState = 11;  // a state change is the same row
    tick();
    EXPECT_TRUE(events.empty());
}

TEST_F(ConnWatch, IdenticalNewRowsAreBothAdded) {
    auto& m = fake::machine();
    m.udp = {fake::udpRow("0.0.0.0", 5353, 100), fake::udpRow("0.0.0.0", 5353, 100)};
    tick();
    EXPECT_EQ(events.size(), 2u);
    EXPECT_EQ(watch->udpRows(), 2);
    m.udp.pop_back();
    tick();
    EXPECT_EQ(events, std::vector<std::string>{"UDP- 0.0.0.0:5353 100 C:\\Games\\client.exe"});
    m.udp.push_back(m.udp.back());
    m.udp.push_back(m.udp.back());
    tick();
    EXPECT_EQ(events.size(), 2u);  // only the rows beyond the one stored are new
    EXPECT_EQ(watch->udpRows(), 3);
}

TEST_F(ConnWatch, OwnersAreLookedUpOncePerTick) {
    auto& m = fake::machine();
    for (int i = 0; i < 50; ++i) m.tcp.push_back(fake::tcpRow("127.0.0.1", 6000 + i, "127.0.0.1", 80, 100));
    tick();
    EXPECT_EQ(m.openCalls, 1);
    tick();
    EXPECT_EQ(m.openCalls, 1);  // nothing new, nothing looked up
    EXPECT_EQ(m.openHandles, 0);
}

// A large table is read after one reallocation; the size it needed is kept,
// with room to grow, so later polls (and later recordings) read it at once.
TEST_F(ConnWatch, LargeTableIsReadAfterOneReallocationThenAtOnce) {
    auto& m = fake::machine();
    for (int i = 0; i < 400; ++i) m.tcp.push_back(fake::tcpRow("127.0.0.1", 7000 + i, "127.0.0.1", 80, 200));
    EXPECT_EQ(watch->pollTcpTable(), 400);
    EXPECT_EQ(m.tcpCalls, 2);
    EXPECT_EQ(watch->tcpRows(), 400);
    for (int i = 0; i < 20; ++i) m.tcp.push_back(fake::tcpRow("127.0.0.1", 8000 + i, "127.0.0.1", 80, 200));
    EXPECT_EQ(watch->pollTcpTable(), 20);
    EXPECT_EQ(m.tcpCalls, 3);
    watch->reset();
    EXPECT_EQ(watch->pollTcpTable(), 420);
    EXPECT_EQ(m.tcpCalls, 4);
}

TEST_F(ConnWatch, FailuresLeaveTheStoredTableAlone) {
    auto& m = fake::machine();
    for (int i = 0; i < 400; ++i) m.tcp.push_back(fake::tcpRow("127.0.0.1", 7000 + i, "127.0.0.1", 80, 200));
    EXPECT_EQ(watch->pollTcpTable(), 400);
    const auto full = m.tcp;

    struct Case {
        const char* what;
        std::function<void()> arrange;
        int result;
    } cases[] = {
        {"first buffer", [&] { m.failAllocation = [](std::size_t) { return true; }; }, -1},
        {"second buffer", [&] { m.failAllocation = [](std::size_t n) { return n > 8192; }; }, -2},
        {"growth between the calls", [&] {
             m.afterSizeProbe = [&] { m.tcp.push_back(fake::tcpRow("127.0.0.1", 9999, "127.0.0.1", 80, 200)); };
         }, -3},
        {"invalid parameter", [&] { m.tcpError = 87; }, -4},
        {"other error", [&] { m.tcpError = 50; }, -5},
    };
    // A watch that holds a table, but has not learnt its size, so that each
    // stage of the read can fail.
    for (const auto& c : cases) {
        m.tcp = {fake::tcpRow("127.0.0.1", 6000, "127.0.0.1", 80, 100), fake::tcpRow("127.0.0.1", 6001, "127.0.0.1", 80, 100)};
        vt::udptcpcon holding;
        ASSERT_EQ(holding.pollTcpTable(), 2);
        m.tcp = full;  // a change that a successful poll would report
        int reported = 0;
        holding.tcpAdded.connect([&](Tcp) { ++reported; });
        holding.tcpRemoved.connect([&](Tcp) { ++reported; });
        c.arrange();
        EXPECT_EQ(holding.pollTcpTable(), c.result) << c.what;
        EXPECT_EQ(reported, 0) << c.what;
        EXPECT_EQ(holding.tcpRows(), 2) << c.what;
        m.failAllocation = nullptr;
        m.afterSizeProbe = nullptr;
        m.tcpError = 0;
        m.tcp = full;
        EXPECT_EQ(holding.pollTcpTable(), 402) << c.what;  // the stored table was kept as it was
        EXPECT_EQ(reported, 402) << c.what;
    }
}

TEST_F(ConnWatch, ResetMakesEveryRowNewAgain) {
    fake::machine().udp = {fake::udpRow("127.0.0.1", 1, 100)};
    tick();
    watch->reset();
    tick();
    EXPECT_EQ(events.size(), 1u);
}

// What the log holds of the TCP table (rows told apart by their local port):
// each row added once and removed once, through a write that may fail. After
// every poll, whole or cut short, the watch keeps the rows the log holds.
class ConnWatchLog : public ConnWatch {
protected:
    void SetUp() override {
        ConnWatch::SetUp();
        watch->tcpAdded.connect([this](Tcp c) {
            write();
            EXPECT_TRUE(logged.insert(c.localPort).second) << c.localPort << " added twice";
        });
        watch->tcpRemoved.connect([this](Tcp c) {
            write();
            EXPECT_EQ(logged.erase(c.localPort), 1u) << c.localPort << " removed but not added";
        });
    }
    void open(const std::set<int>& ports) {
        fake::machine().tcp.clear();
        for (int p : ports) fake::machine().tcp.push_back(fake::tcpRow("127.0.0.1", p, "127.0.0.1", 80, 100));
    }
    void poll(bool fails) {
        if (fails)
            EXPECT_THROW(watch->pollTcpTable(), std::runtime_error);
        else
            EXPECT_GE(watch->pollTcpTable(), 0);
        EXPECT_EQ(watch->tcpRows(), int(logged.size()));
    }
    testsupport::FailingWrite write;
    std::set<int> logged;
};

TEST_F(ConnWatchLog, FailedWriteLosesTheRestOfThePollOnly) {
    std::set<int> ports;
    for (int p = 1000; p < 1050; ++p) ports.insert(p);
    open(ports);
    write.failAt = 23;
    poll(true);
    EXPECT_EQ(logged.size(), 22u);
    poll(false);
    EXPECT_EQ(logged, ports);
}

// The table as it was before a poll that was cut short is no change: what
// that poll reported is undone by the next one.
TEST_F(ConnWatchLog, TableBackAsItWasAfterACutShortPoll) {
    open({1, 2, 3});
    poll(false);
    open({1});
    write.failAt = write.calls + 2;  // the Del of 2 is written, that of 3 fails
    poll(true);
    open({1, 2, 3});
    poll(false);
    EXPECT_EQ(logged, (std::set<int>{1, 2, 3}));

    open({1, 2, 3, 4});
    write.failNext();  // the Add of 4
    poll(true);
    open({1, 2, 3});
    poll(false);
    EXPECT_EQ(logged, (std::set<int>{1, 2, 3}));

    open({1, 2, 3, 4});
    write.failNext();
    poll(true);
    open({});  // every row closed
    poll(false);
    EXPECT_TRUE(logged.empty());
}

TEST(IpToString, PrintsTheLeastSignificantByteFirst) {
    EXPECT_EQ(vt::ipToString(0), "0.0.0.0");
    EXPECT_EQ(vt::ipToString(fake::address("10.1.2.3")), "10.1.2.3");
    EXPECT_EQ(vt::ipToString(0x0100007Fu), "127.0.0.1");
    EXPECT_EQ(vt::ipToString(0xFFFFFFFFu), "255.255.255.255");
}

}  // namespace
