// The Linux back end: on a fixture tree, then on this machine.
#include "monitors/netstats/netstats.h"
#include "monitors/procwatch/procwatch.h"
#include "monitors/sysinfo/sysinfo.h"
#include "platform/linux/linux_system.h"
#include "platform/os.h"
#include "support/log_text.h"
#include "support/temp_dir.h"
#include "system/new_file_contract.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

namespace fs = boost::filesystem;
using os::linux_backend::LinuxSystem;

void write(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << text;
}

class FixtureTree : public ::testing::Test {
protected:
    void SetUp() override {
        proc = dir.join("proc");
        sys = dir.join("sys");
        const std::string header =
            "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";
        write(proc + "/net/tcp", header +
                                     "   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000 "
                                     "0 0 555 1\n"
                                     "   1: 0100007F:C000 0100007F:1F90 01 00000000:00000000 00:00000000 00000000 "
                                     "0 0 556 1\n");
        write(proc + "/net/udp", header +
                                     "   0: 00000000:0035 00000000:0000 07 00000000:00000000 00:00000000 00000000 "
                                     "0 0 777 1\n");
        write(proc + "/net/dev",
              "Inter-|   Receive |  Transmit\n face |bytes packets errs drop fifo frame compressed multicast|bytes\n"
              "    lo: 100 1 0 0 0 0 0 0 100 1 0 0 0 0 0 0\n"
              "  eth0: 4294967552 10 0 0 0 0 0 4 300 7 0 0 0 0 0 0\n"
              " wlan0: 5 1 0 0 0 0 0 0 6 1 0 0 0 0 0 0\n");
        fs::create_directories(proc + "/123/fd");
        fs::create_symlink("socket:[555]", proc + "/123/fd/3");
        fs::create_symlink("/dev/null", proc + "/123/fd/4");
        fs::create_symlink("/usr/games/client", proc + "/123/exe");
        fs::create_directories(proc + "/456/fd");  // no image: a kernel thread
        fs::create_directories(proc + "/self");
        write(sys + "/class/net/lo/ifindex", "1\n");
        write(sys + "/class/net/lo/type", "772\n");
        write(sys + "/class/net/lo/address", "00:00:00:00:00:00\n");
        write(sys + "/class/net/eth0/ifindex", "2\n");
        write(sys + "/class/net/eth0/type", "1\n");
        write(sys + "/class/net/eth0/address", "00:0c:29:aa:bb:cc\n");
        write(sys + "/class/net/wlan0/ifindex", "3\n");
        write(sys + "/class/net/wlan0/type", "1\n");
        write(sys + "/class/net/wlan0/address", "02:00:00:00:00:01\n");
        fs::create_directories(sys + "/class/net/wlan0/wireless");
    }
    testsupport::TempDir dir;
    std::string proc, sys;
};

TEST_F(FixtureTree, ProcessesAndTheirImages) {
    LinuxSystem machine(proc, sys);
    os::DWORD ids[16];
    os::DWORD bytes = 0;
    ASSERT_TRUE(machine.enumProcesses(ids, sizeof ids, &bytes));
    std::set<os::DWORD> pids(ids, ids + bytes / 4);
    EXPECT_EQ(pids, (std::set<os::DWORD>{123, 456}));
    EXPECT_TRUE(machine.enumProcesses(ids, 4, &bytes));  // a full buffer says "grow me"
    EXPECT_EQ(bytes, 4u);

    wchar_t name[64];
    os::HANDLE h = machine.openProcess(123);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(machine.processImage(h, name, 64), 17u);
    EXPECT_EQ(std::wstring(name), L"/usr/games/client");
    EXPECT_EQ(machine.processImage(h, name, 10), 0u);  // does not fit
    os::CloseHandle(h);
    h = machine.openProcess(456);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(machine.processImage(h, name, 64), 0u);
    os::CloseHandle(h);
    EXPECT_EQ(machine.openProcess(789), nullptr);
}

// The identity changes with the start time and with the executable's file,
// and is not known without either.
TEST_F(FixtureTree, IdentityFollowsStartTimeAndExecutable) {
    auto stat = [&](int start) {
        write(proc + "/123/stat", "123 (cli ent) S 1 123 123 0 -1 4194560 1 0 0 0 0 0 0 0 20 0 1 0 " +
                                      std::to_string(start) + " 1000 10 18446744073709551615 0 0\n");
    };
    auto exe = [&](const std::string& name) {
        write(dir.join(name), "program");
        fs::remove(proc + "/123/exe");
        fs::create_symlink(dir.join(name), proc + "/123/exe");
    };
    LinuxSystem machine(proc, sys);
    os::HANDLE h = machine.openProcess(123);
    ASSERT_NE(h, nullptr);
    std::uint64_t first = 0, again = 0;
    EXPECT_FALSE(machine.processIdentity(h, first));  // no stat file yet
    stat(5000);
    EXPECT_FALSE(machine.processIdentity(h, first));  // the executable's file does not exist
    exe("client");
    ASSERT_TRUE(machine.processIdentity(h, first));
    ASSERT_TRUE(machine.processIdentity(h, again));
    EXPECT_EQ(again, first);
    stat(5001);  // a new process under the same identifier
    ASSERT_TRUE(machine.processIdentity(h, again));
    EXPECT_NE(again, first);
    stat(5000);
    exe("tool");  // a new image
    ASSERT_TRUE(machine.processIdentity(h, again));
    EXPECT_NE(again, first);
    os::CloseHandle(h);
}

TEST_F(FixtureTree, SocketTablesWithOwners) {
    LinuxSystem machine(proc, sys);
    os::DWORD size = 8;
    unsigned char small[8];
    EXPECT_EQ(machine.tcpTable(small, &size), os::ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(size, 4u + 2 * 24);
    std::vector<unsigned char> buf(size);
    ASSERT_EQ(machine.tcpTable(buf.data(), &size), os::NO_ERROR);
    auto* t = reinterpret_cast<os::MIB_TCPTABLE_OWNER_PID*>(buf.data());
    ASSERT_EQ(t->dwNumEntries, 2u);
    EXPECT_EQ(t->table[0].dwLocalAddr, 0x0100007Fu);
    EXPECT_EQ(os::ntohs(std::uint16_t(t->table[0].dwLocalPort)), 8080);
    EXPECT_EQ(t->table[0].dwOwningPid, 123u);
    EXPECT_EQ(t->table[0].dwState, 2u);  // LISTEN, as Windows numbers it
    EXPECT_EQ(t->table[1].dwOwningPid, 0u);  // no process holds inode 556
    EXPECT_EQ(machine.ownerScans(), 1u);
    ASSERT_EQ(machine.tcpTable(buf.data(), &size), os::NO_ERROR);
    EXPECT_EQ(machine.ownerScans(), 1u);  // known inodes, owners or not, cause no scan

    os::DWORD usize = 64;
    std::vector<unsigned char> ubuf(usize);
    ASSERT_EQ(machine.udpTable(ubuf.data(), &usize), os::NO_ERROR);
    auto* u = reinterpret_cast<os::MIB_UDPTABLE_OWNER_PID*>(ubuf.data());
    ASSERT_EQ(u->dwNumEntries, 1u);
    EXPECT_EQ(os::ntohs(std::uint16_t(u->table[0].dwLocalPort)), 53);
}

// Owners missed because the process ran out of descriptors are looked for
// again on the next read, not remembered as "no owner".
TEST_F(FixtureTree, OwnersMissedForWantOfDescriptorsAreRetried) {
    LinuxSystem machine(proc, sys);
    os::DWORD size = 4 + 2 * 24;
    std::vector<unsigned char> buf(size);
    auto* t = reinterpret_cast<os::MIB_TCPTABLE_OWNER_PID*>(buf.data());
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    const int lowest = dup(0);  // the lowest free descriptor
    ASSERT_GE(lowest, 0);
    close(lowest);
    rlimit tight = old;
    tight.rlim_cur = rlim_t(lowest) + 1;  // one descriptor left: /proc opens, a process's fd directory does not
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    const os::DWORD starved = machine.tcpTable(buf.data(), &size);
    setrlimit(RLIMIT_NOFILE, &old);
    ASSERT_EQ(starved, os::NO_ERROR);
    EXPECT_EQ(t->table[0].dwOwningPid, 0u);
    ASSERT_EQ(machine.tcpTable(buf.data(), &size), os::NO_ERROR);
    EXPECT_EQ(t->table[0].dwOwningPid, 123u);
    EXPECT_EQ(machine.ownerScans(), 2u);
}

TEST_F(FixtureTree, InterfaceTable) {
    LinuxSystem machine(proc, sys);
    os::ULONG size = 0;
    EXPECT_EQ(machine.ifTable(nullptr, &size), os::ERROR_INSUFFICIENT_BUFFER);
    ASSERT_EQ(size, 4u + 3 * sizeof(os::MIB_IFROW));
    std::vector<unsigned char> buf(size);
    auto* t = reinterpret_cast<os::MIB_IFTABLE*>(buf.data());
    ASSERT_EQ(machine.ifTable(t, &size), os::NO_ERROR);
    ASSERT_EQ(t->dwNumEntries, 3u);
    const os::MIB_IFROW& lo = t->table[0];
    const os::MIB_IFROW& eth = t->table[1];
    const os::MIB_IFROW& wlan = t->table[2];
    EXPECT_EQ(lo.dwType, 24u);
    EXPECT_EQ(eth.dwType, 6u);
    EXPECT_EQ(wlan.dwType, 71u);
    EXPECT_EQ(eth.dwIndex, 2u);
    EXPECT_EQ(eth.dwInOctets, 256u);  // 2^32 + 256, as a 32-bit counter
    EXPECT_EQ(eth.dwOutOctets, 300u);
    EXPECT_EQ(eth.dwInUcastPkts, 6u);
    EXPECT_EQ(eth.dwPhysAddrLen, 6u);
    EXPECT_EQ(vt::hardwareAddressText(eth.bPhysAddr, eth.dwPhysAddrLen), "00-0c-29-aa-bb-cc");
    EXPECT_EQ(eth.dwDescrLen, 5u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(eth.bDescr)), "eth0");
}

TEST_F(FixtureTree, MissingFilesAreErrorsNotCrashes) {
    LinuxSystem machine(dir.join("nowhere"), dir.join("nowhere"));
    os::DWORD ids[4], bytes = 0, size = 64;
    EXPECT_FALSE(machine.enumProcesses(ids, sizeof ids, &bytes));
    unsigned char buf[64];
    EXPECT_NE(machine.tcpTable(buf, &size), os::NO_ERROR);
    os::ULONG isize = 64;
    EXPECT_NE(machine.ifTable(reinterpret_cast<os::MIB_IFTABLE*>(buf), &isize), os::NO_ERROR);
}

// ---- this machine ---------------------------------------------------------------

TEST(ThisMachine, OwnProcessHasItsImagePath) {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    EXPECT_EQ(vt::processPath(os::DWORD(getpid()), vt::VolumeMap()), self);
    EXPECT_EQ(vt::processPath(0x7FFFFFF0u, vt::VolumeMap()), vt::kNoHandleText);
    vt::VolumeMap map;
    vt::buildVolumeMap(map);
    EXPECT_TRUE(map.empty());  // Linux paths are mount paths already
}

// A child that waits for a line on its standard input.
class Child {
public:
    explicit Child(const std::vector<std::string>& argv) {
        int fds[2];
        if (pipe(fds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
        posix_spawn_file_actions_addclose(&actions, fds[1]);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[0]);
        input_ = fds[1];
    }
    ~Child() {
        if (input_ >= 0) close(input_);
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    pid_t pid() const { return pid_; }
    bool say() { return ::write(input_, "\n", 1) == 1; }
    // Waits (up to 5 s) until the child runs the image at `path`.
    bool runs(const std::string& path) const {
        for (int i = 0; i < 500; ++i) {
            char link[8192];
            ssize_t n = readlink(("/proc/" + std::to_string(pid_) + "/exe").c_str(), link, sizeof link);
            if (n > 0 && std::string(link, std::size_t(n)) == path) return true;
            usleep(10000);
        }
        return false;
    }

private:
    pid_t pid_ = -1;
    int input_ = -1;
};

// An image path longer than 2048 characters, with a byte that is not UTF-8.
TEST(ThisMachine, LongPathsAndBytesThatAreNotText) {
    testsupport::TempDir d;
    std::string dir = d.path();
    while (dir.size() < 2600) dir += "/" + std::string(200, 'd');
    fs::create_directories(dir);
    const std::string image = dir + "/sle\xff" "ep";
    fs::copy_file("/bin/sleep", image);
    fs::permissions(image, fs::owner_all);
    Child child({image, "30"});
    ASSERT_GT(child.pid(), 0);
    ASSERT_TRUE(child.runs(image));
    EXPECT_EQ(vt::processPath(os::DWORD(child.pid()), vt::VolumeMap()), dir + "/sle?ep");
}

// A process that executes a new image is its old entry going and a new one
// coming, in the tick after the exec.
TEST(ThisMachine, ExecIsReportedAsDelThenAdd) {
    vt::procwatch watch;
    std::vector<std::string> events;
    Child child({"/bin/sh", "-c", "read line; exec /bin/sleep 30"});
    ASSERT_GT(child.pid(), 0);
    const os::DWORD pid = os::DWORD(child.pid());
    auto note = [&](const char* what, const vt::procwatch::SProcessEntry& e) {
        if (e.pid == pid) events.push_back(what + vt::fileNameOf(e.path));
    };
    watch.processAdded.connect([&](vt::procwatch::SProcessEntry e) { note("+", e); });
    watch.processRemoved.connect([&](vt::procwatch::SProcessEntry e) { note("-", e); });
    ASSERT_EQ(watch.pollProcesses(), 0);
    ASSERT_EQ(events, std::vector<std::string>{"+" + vt::fileNameOf(fs::canonical("/bin/sh").string())});
    events.clear();
    ASSERT_TRUE(child.say());
    const std::string sleep = fs::canonical("/bin/sleep").string();
    ASSERT_TRUE(child.runs(sleep));
    // Found within as many polls as it takes to come round to it.
    for (int i = 0; i < 4096 && events.empty(); ++i) watch.pollProcesses();
    EXPECT_EQ(events, (std::vector<std::string>{"-" + vt::fileNameOf(fs::canonical("/bin/sh").string()), "+sleep"}));
}

TEST(ThisMachine, InterfacesSkipLoopback) {
    vt::netstats stats;
    std::vector<std::pair<std::string, std::string>> addresses;
    stats.adapterInfoSignal.connect([&](const std::string& d, const std::string& a) { addresses.emplace_back(d, a); });
    stats.sampleAdapters();
    for (const auto& a : addresses) {
        EXPECT_NE(a.first, "lo");
        EXPECT_EQ(a.second.size(), 17u);
    }
    std::string mac;
    std::ifstream("/sys/class/net/eth0/address") >> mac;
    std::ifstream rx("/sys/class/net/eth0/statistics/rx_bytes");
    unsigned long long bytes = 0;
    rx >> bytes;
    if (!mac.empty() && bytes > 0) {
        for (auto& c : mac)
            if (c == ':') c = '-';
        EXPECT_NE(std::find(addresses.begin(), addresses.end(), std::make_pair(std::string("eth0"), mac)),
                  addresses.end());
    }
}

TEST(ThisMachine, EchoOverLoopbackReturns) {
    const int ms = vt::icmpPingTime(os::htonl(0x7F000002u));  // 127.0.0.2: loopback only
    EXPECT_GE(ms, 1) << "the echo failed with " << ms;
    EXPECT_LE(ms, 501);
}

TEST(ThisMachine, VolumeSerialIsEightHexDigits) {
    const std::string s = vt::volumeSerialText();
    ASSERT_EQ(s.size(), 8u);
    EXPECT_EQ(s.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(vt::volumeSerialText(), s);
}

TEST(ThisMachine, NewFilesNeverReplaceOrFollow) {
    testsupport::TempDir d;
    const std::string file = d.join("log.vtl"), link = d.join("link.vtl"), target = d.join("target");
    testsupport::expectNewFileContract(file);
    fs::create_symlink(target, link);
    EXPECT_FALSE(os::createNewFile(link));
    EXPECT_FALSE(fs::exists(target));
}

}  // namespace
