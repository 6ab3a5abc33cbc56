// The Windows back end on the machine it runs on (Wine in the test runs).
#include "monitors/netstats/netstats.h"
#include "monitors/procwatch/procwatch.h"
#include "monitors/sysinfo/sysinfo.h"
#include "monitors/udptcpcon/udptcpcon.h"
#include "platform/os.h"
#include "support/host_system.h"
#include "support/log_text.h"
#include "support/temp_dir.h"
#include "system/new_file_contract.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <chrono>
#include <thread>

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

TEST(Win32, OwnImagePathHasADriveLetter) {
    vt::VolumeMap map;
    vt::buildVolumeMap(map);
    ASSERT_FALSE(map.empty());
    const std::string path = vt::processPath(testsupport::currentPid(), map);
    EXPECT_EQ(lower(path), lower(testsupport::programPath()));
    ASSERT_GE(path.size(), 3u);
    EXPECT_EQ(path.substr(1, 2), ":\\");
    EXPECT_EQ(lower(vt::fileNameOf(path)), "system_tests.exe");
}

// A process's identity is its creation time: steady for itself, later for a
// process made later.
TEST(Win32, ProcessIdentityIsTheCreationTime) {
    const std::uint64_t self = vt::processIdentity(testsupport::currentPid());
    EXPECT_NE(self, 0u);
    EXPECT_EQ(vt::processIdentity(testsupport::currentPid()), self);
    testsupport::Child child(500);
    EXPECT_GT(vt::processIdentity(child.pid()), self);
    child.wait();
}

TEST(Win32, ChildProcessComesAndGoes) {
    vt::procwatch watch;
    std::vector<vt::procwatch::SProcessEntry> added, removed;
    watch.processAdded.connect([&](vt::procwatch::SProcessEntry e) { added.push_back(e); });
    watch.processRemoved.connect([&](vt::procwatch::SProcessEntry e) { removed.push_back(e); });
    ASSERT_EQ(watch.pollProcesses(), 0);
    added.clear();
    std::uint32_t pid;
    {
        testsupport::Child child(2000);
        pid = child.pid();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ASSERT_EQ(watch.pollProcesses(), 0);
        child.wait();
    }
    ASSERT_EQ(watch.pollProcesses(), 0);
    auto isChild = [&](const vt::procwatch::SProcessEntry& e) { return e.pid == pid; };
    auto a = std::find_if(added.begin(), added.end(), isChild);
    ASSERT_NE(a, added.end());
    EXPECT_EQ(lower(a->path), lower(testsupport::programPath()));
    EXPECT_NE(std::find_if(removed.begin(), removed.end(), isChild), removed.end());
}

TEST(Win32, ConnectionTablesShowOurSockets) {
    testsupport::Socket listener(testsupport::Socket::Kind::TcpListen);
    testsupport::Socket udp(testsupport::Socket::Kind::Udp);
    vt::udptcpcon watch;
    std::vector<vt::udptcpcon::STcpCon> tcp;
    std::vector<vt::udptcpcon::SUdpCon> udps;
    watch.tcpAdded.connect([&](vt::udptcpcon::STcpCon c) { tcp.push_back(c); });
    watch.udpAdded.connect([&](vt::udptcpcon::SUdpCon c) { udps.push_back(c); });
    EXPECT_GE(watch.pollTcpTable(), 1);
    EXPECT_GE(watch.pollUdpTable(), 1);
    auto l = std::find_if(tcp.begin(), tcp.end(), [&](const vt::udptcpcon::STcpCon& c) {
        return c.localPort == listener.port() && c.localIp == "127.0.0.1";
    });
    ASSERT_NE(l, tcp.end());
    EXPECT_EQ(l->remoteIp, "0.0.0.0");
    EXPECT_EQ(l->remotePort, 0);
    EXPECT_NE(std::find_if(udps.begin(), udps.end(),
                           [&](const vt::udptcpcon::SUdpCon& c) { return c.localPort == udp.port(); }),
              udps.end());
}

TEST(Win32, InterfacesAndEcho) {
    std::vector<unsigned char> buf(64 * 1024);
    os::ULONG size = os::ULONG(buf.size());
    ASSERT_EQ(os::GetIfTable(reinterpret_cast<os::MIB_IFTABLE*>(buf.data()), &size, 0), 0u);
    auto* table = reinterpret_cast<os::MIB_IFTABLE*>(buf.data());
    bool loopback = false, ethernet = false;
    for (os::DWORD i = 0; i < table->dwNumEntries; ++i) {
        if (table->table[i].dwType == os::IF_TYPE_SOFTWARE_LOOPBACK) loopback = true;
        if (table->table[i].dwType == os::IF_TYPE_ETHERNET_CSMACD) ethernet = true;
    }
    EXPECT_TRUE(loopback);
    // Under Wine the interfaces are the Linux machine's: an eth0 there is Ethernet here.
    if (std::ifstream("Z:\\sys\\class\\net\\eth0\\type")) {
        EXPECT_TRUE(ethernet);
    }
    const int ms = vt::icmpPingTime(os::htonl(0x7F000002u));  // 127.0.0.2: loopback only
    EXPECT_GE(ms, 1) << "the echo failed with " << ms;
    EXPECT_LE(ms, 501);
}

TEST(Win32, VolumeSerialIsReadFromDriveC) {
    // Wine takes the serial of C: from this file in the prefix's drive_c; the
    // test run writes it before Wine starts.
    std::ifstream in("C:\\.windows-serial");
    unsigned long serial = 0;
    if (!(in >> std::hex >> serial)) GTEST_SKIP() << "no C:\\.windows-serial in this prefix";
    char expected[16];
    std::snprintf(expected, sizeof expected, "%08lx", serial);
    EXPECT_EQ(vt::volumeSerialText(), expected);
}

TEST(Win32, NewFilesNeverReplace) {
    testsupport::TempDir d;
    const std::string file = d.join("log.vtl");
    testsupport::expectNewFileContract(file);
}

}  // namespace
