#include "monitors/procwatch/procwatch.h"
#include "support/failing_write.h"
#include "support/fake_os.h"

#include <gtest/gtest.h>

#include <map>

namespace {

using Entry = vt::procwatch::SProcessEntry;

class ProcWatch : public ::testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        fake::machine().volumes = {volume()};
        watch.reset(new vt::procwatch);
        watch->processAdded.connect([this](Entry e) { events.push_back("+" + std::to_string(e.pid) + " " + e.path); });
        watch->processRemoved.connect([this](Entry e) { events.push_back("-" + std::to_string(e.pid)); });
    }
    static fake::Volume volume() {
        fake::Volume v;
        v.name = L"\\\\?\\Volume{1}\\";
        v.device = L"\\Device\\HarddiskVolume1";
        v.mounts = {L"C:\\"};
        return v;
    }
    static fake::Process process(os::DWORD pid) {
        fake::Process p{pid, L"\\Device\\HarddiskVolume1\\bin\\p" + std::to_wstring(pid) + L".exe", false, false};
        p.created = 1000 + pid;
        return p;
    }
    void run(std::vector<os::DWORD> pids) {
        fake::machine().processes.clear();
        for (auto p : pids) fake::machine().processes.push_back(process(p));
        poll();
    }
    // A poll of the machine as it is.
    void poll() {
        events.clear();
        EXPECT_EQ(watch->pollProcesses(), 0);
        EXPECT_EQ(watch->count(), int(watch->entries().size()));
    }
    std::unique_ptr<vt::procwatch> watch;
    std::vector<std::string> events;
};

TEST_F(ProcWatch, FirstPollReportsEveryProcessInOrder) {
    run({30, 10, 20});
    EXPECT_EQ(events, (std::vector<std::string>{"+30 C:\\bin\\p30.exe", "+10 C:\\bin\\p10.exe", "+20 C:\\bin\\p20.exe"}));
}

TEST_F(ProcWatch, ChangesAreReportedInTheTickTheyHappen) {
    struct Case {
        const char* what;
        std::vector<os::DWORD> next;
        std::vector<std::string> events;
    } cases[] = {
        {"one ends, one starts", {10, 40, 30}, {"-20", "+40 C:\\bin\\p40.exe"}},
        {"one ends, two start", {10, 30, 40, 50}, {"-20", "+40 C:\\bin\\p40.exe", "+50 C:\\bin\\p50.exe"}},
        {"two end, one starts", {40, 30}, {"-10", "-20", "+40 C:\\bin\\p40.exe"}},
        {"nothing changes", {30, 20, 10}, {}},
    };
    for (const auto& c : cases) {
        watch->reset();
        run({10, 20, 30});
        run(c.next);
        EXPECT_EQ(events, c.events) << c.what;
        EXPECT_EQ(watch->count(), int(c.next.size())) << c.what;
    }
}

// A steady tick looks up no path, and checks the identity of a small share
// of the processes only; a new process is looked up once.
TEST_F(ProcWatch, SteadyTickChecksOnlyAShare) {
    std::vector<os::DWORD> pids;
    for (os::DWORD p = 1; p <= 640; ++p) pids.push_back(p);
    run(pids);
    const int opens = fake::machine().openCalls;
    run(pids);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(fake::machine().openCalls - opens, 640 / int(vt::procwatch::kCheckShare));
    pids.push_back(1000);
    run(pids);
    EXPECT_EQ(events, std::vector<std::string>{"+1000 C:\\bin\\p1000.exe"});
    EXPECT_EQ(fake::machine().openCalls - opens, 2 * (640 / int(vt::procwatch::kCheckShare)) + 1);
}

// An identifier that a new process took over, or a process that runs a new
// image (both give a new identity), is the old entry going and a new one
// coming. A process that started while the watch ran is checked on every one
// of its first ticks.
TEST_F(ProcWatch, NewIdentityIsReportedAsDelThenAdd) {
    run({5, 6});
    run({5, 6, 7});
    EXPECT_EQ(events, std::vector<std::string>{"+7 C:\\bin\\p7.exe"});
    auto& seven = fake::machine().processes[2];
    // What a process just seen starting shows at the next poll is the identity
    // it had: a starting process may still be settling (Wine's creation time).
    seven.created = 98;
    poll();
    EXPECT_TRUE(events.empty());
    seven.created = 99;
    seven.image = L"\\Device\\HarddiskVolume1\\tool.exe";
    poll();
    EXPECT_EQ(events, (std::vector<std::string>{"-7", "+7 C:\\tool.exe"}));
    EXPECT_EQ(watch->entries().back().path, "C:\\tool.exe");
    EXPECT_EQ(watch->entries().back().name, "tool.exe");
    EXPECT_FALSE(watch->entries().back().marked);
    poll();
    EXPECT_TRUE(events.empty());  // the new identity is the stored one now
}

// Processes that were running before the watch began are checked in turn:
// each one within as many ticks as there are processes to check.
TEST_F(ProcWatch, OlderProcessesAreCheckedInTurn) {
    run({5, 6, 7});
    fake::machine().processes[1].created = 42;
    std::vector<std::string> seen;
    for (int tick = 0; tick < 3 && seen.empty(); ++tick) {
        poll();
        seen = events;
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"-6", "+6 C:\\bin\\p6.exe"}));
}

// A process whose identity cannot be read stays as it is. One added while its
// identity could not be read takes the first one read as its own, and a later
// change is reported.
TEST_F(ProcWatch, UnreadableIdentityChangesNothing) {
    run({5});
    auto& m = fake::machine();
    m.processes.push_back(process(6));
    m.processes[1].timesFail = true;
    poll();
    EXPECT_EQ(events, std::vector<std::string>{"+6 C:\\bin\\p6.exe"});
    m.processes[1].created = 1;
    poll();
    m.processes[1].openFails = true;
    poll();
    EXPECT_TRUE(events.empty());
    m.processes[1].openFails = false;
    m.processes[1].timesFail = false;
    poll();
    EXPECT_TRUE(events.empty());
    m.processes[1].created = 2;
    poll();
    EXPECT_EQ(events, (std::vector<std::string>{"-6", "+6 C:\\bin\\p6.exe"}));
    EXPECT_EQ(m.openHandles, 0);
}

// A process seen before its image can be read (still starting) takes the
// identity it has once the image can be read; it is not reported again.
TEST_F(ProcWatch, StartingProcessIsNotReportedTwice) {
    run({5});
    auto& m = fake::machine();
    m.processes.push_back(process(6));
    m.processes[1].imageFails = true;
    m.processes[1].created = 1;  // a passing value
    poll();
    EXPECT_EQ(events, std::vector<std::string>{"+6 System: No Path available"});
    m.processes[1].imageFails = false;
    m.processes[1].created = 2;
    poll();
    poll();
    EXPECT_TRUE(events.empty());
    m.processes[1].created = 3;
    poll();
    EXPECT_EQ(events, (std::vector<std::string>{"-6", "+6 C:\\bin\\p6.exe"}));
}

// What the log holds of the processes: each one added once and removed once,
// through a write that may fail. After every poll, whole or cut short by a
// failed write, the watch stores exactly the processes the log holds.
class ProcWatchLog : public ProcWatch {
protected:
    void SetUp() override {
        ProcWatch::SetUp();
        watch->processAdded.connect([this](Entry e) {
            write();
            EXPECT_EQ(logged.count(e.pid), 0u) << e.pid << " added twice";
            logged[e.pid] = e.path;
        });
        watch->processRemoved.connect([this](Entry e) {
            write();
            EXPECT_EQ(logged.erase(e.pid), 1u) << e.pid << " removed but not added";
        });
    }
    void pollFailing() {
        EXPECT_THROW(watch->pollProcesses(), std::runtime_error);
        expectStoredIsLogged();
    }
    void pollWhole() {
        EXPECT_EQ(watch->pollProcesses(), 0);
        expectStoredIsLogged();
    }
    void expectStoredIsLogged() {
        std::map<std::uint32_t, std::string> stored;
        for (const Entry& e : watch->entries()) stored[e.pid] = e.path;
        EXPECT_EQ(stored, logged);
        EXPECT_EQ(watch->count(), int(watch->entries().size()));
    }
    std::map<std::uint32_t, std::string> running() const {
        std::map<std::uint32_t, std::string> out;
        for (const auto& p : fake::machine().processes)
            out[p.pid] = "C:" + std::string(p.image.begin() + 23, p.image.end());
        return out;
    }
    void setRunning(os::DWORD from, os::DWORD to) {
        fake::machine().processes.clear();
        for (os::DWORD pid = from; pid <= to; ++pid) fake::machine().processes.push_back(process(pid));
    }
    testsupport::FailingWrite write;
    std::map<std::uint32_t, std::string> logged;
};

// A poll cut short by a failed write keeps what it reported; the next poll
// reports the rest, once.
TEST_F(ProcWatchLog, FailedWriteLosesTheRestOfThePollOnly) {
    setRunning(1, 200);
    write.failAt = 23;
    pollFailing();
    EXPECT_EQ(logged.size(), 22u);
    pollWhole();
    EXPECT_EQ(logged, running());

    setRunning(51, 250);  // 50 end, 50 start
    write.failNext();
    pollFailing();  // the first Del
    write.failAt = write.calls + 70;
    pollFailing();  // the 20th Add
    pollWhole();
    EXPECT_EQ(logged, running());
}

// A process that runs a new image is a Del and an Add; when a write fails
// between them, the next poll makes the Add.
TEST_F(ProcWatchLog, FailedWriteBetweenDelAndAddOfANewIdentity) {
    setRunning(5, 5);
    pollWhole();
    setRunning(5, 7);  // 6 and 7 start: checked at every poll
    pollWhole();
    pollWhole();
    auto& m = fake::machine();
    m.processes.pop_back();  // 7 ends
    m.processes[1].created = 77;  // 6 runs a new image
    m.processes[1].image = L"\\Device\\HarddiskVolume1\\tool.exe";
    write.failAt = write.calls + 2;  // the Del of 6 is written, that of 7 fails
    pollFailing();
    EXPECT_EQ(logged.count(6), 0u);
    pollWhole();
    EXPECT_EQ(logged, running());
    EXPECT_EQ(logged[6], "C:\\tool.exe");
}

// A process running before the watch began is checked in turn, seldom; a
// new identity found at a failed write is reported by the very next poll.
TEST_F(ProcWatchLog, NewIdentityFoundAtAFailedWriteIsReportedNext) {
    setRunning(1, 600);
    pollWhole();
    auto& m = fake::machine();
    m.processes[300].created = 77;
    m.processes[300].image = L"\\Device\\HarddiskVolume1\\tool.exe";
    write.failNext();
    bool failed = false;
    for (int tick = 0; tick < 400 && !failed; ++tick) {
        try {
            watch->pollProcesses();
        } catch (const std::runtime_error&) {
            failed = true;
        }
    }
    ASSERT_TRUE(failed);
    expectStoredIsLogged();
    EXPECT_EQ(logged[301], "C:\\bin\\p301.exe");
    pollWhole();
    EXPECT_EQ(logged, running());
}

// A reset also forgets the new identity that a poll cut short left to report.
TEST_F(ProcWatchLog, ResetForgetsWhatACutShortPollLeft) {
    setRunning(5, 5);
    pollWhole();
    setRunning(5, 6);
    pollWhole();
    pollWhole();
    fake::machine().processes[1].created = 77;
    write.failNext();
    pollFailing();  // the Del of 6
    watch->reset();
    logged.clear();
    pollWhole();
    const int writes = write.calls;
    pollWhole();
    EXPECT_EQ(write.calls, writes);
    EXPECT_EQ(logged, running());
}

TEST_F(ProcWatch, MoreThan2048ProcessesAreAllSeen) {
    std::vector<os::DWORD> pids;
    for (os::DWORD p = 1; p <= 5000; ++p) pids.push_back(p * 4);
    run(pids);
    EXPECT_EQ(events.size(), 5000u);
    EXPECT_EQ(watch->count(), 5000);
    pids.pop_back();
    run(pids);
    EXPECT_EQ(events, std::vector<std::string>{"-20000"});
}

TEST_F(ProcWatch, PlaceholdersStandInForWhatCannotBeRead) {
    auto& m = fake::machine();
    m.processes = {process(1), process(2), process(3), process(4), process(5)};
    m.processes[0].openFails = true;
    m.processes[1].imageFails = true;
    m.processes[2].image = std::wstring(L"\\Device\\HarddiskVolume1\\a") + wchar_t(0xDC80) + L"b";
    m.processes[3].image = L"\\Device\\HarddiskVolume1\\" + std::wstring(5000, L'x');  // longer than the first buffer
    m.processes[4].image = L"\\Device\\HarddiskVolume1\\" + std::wstring(40000, L'x');  // beyond any path
    std::vector<Entry> added;
    watch->processAdded.connect([&](Entry e) { added.push_back(e); });
    watch->pollProcesses();
    ASSERT_EQ(added.size(), 5u);
    EXPECT_EQ(added[0].path, "System: No Handle available");
    EXPECT_EQ(added[1].path, "System: No Path available");
    EXPECT_EQ(added[2].path, "C:\\a?b");  // what the code page cannot hold becomes '?'
    EXPECT_EQ(added[3].path, "C:\\" + std::string(5000, 'x'));
    EXPECT_EQ(added[4].path, "System: No Path available");
    EXPECT_EQ(m.openHandles, 0);

    m.narrowFails = true;
    m.processes.push_back(process(6));
    watch->pollProcesses();
    ASSERT_EQ(added.size(), 6u);
    EXPECT_EQ(added[5].path, "System: Unconvertable Unicode");
}

TEST_F(ProcWatch, FailedEnumerationChangesNothing) {
    run({1, 2});
    fake::machine().enumFails = true;
    events.clear();
    EXPECT_EQ(watch->pollProcesses(), -1);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(watch->count(), 2);
}

TEST_F(ProcWatch, ResetMakesEveryProcessNewAgain) {
    run({1, 2});
    watch->reset();
    EXPECT_EQ(watch->count(), 0);
    run({1, 2, 3});
    EXPECT_EQ(events.size(), 3u);
    // They were running before the watch began again: checked in turn, one per tick.
    const int opens = fake::machine().openCalls;
    poll();
    EXPECT_EQ(fake::machine().openCalls - opens, 1);
}

TEST(FileNameOf, TakesTheTextAfterTheLastBackslash) {
    EXPECT_EQ(vt::fileNameOf("C:\\Games\\client.exe"), "client.exe");
    EXPECT_EQ(vt::fileNameOf("C:\\Games\\"), "");
    EXPECT_EQ(vt::fileNameOf("/usr/bin/bash"), os::pathSeparator() == '/' ? "bash" : "/usr/bin/bash");
    EXPECT_EQ(vt::fileNameOf(""), "");
    EXPECT_EQ(vt::fileNameOf("System: No Path available"), "System: No Path available");
}

}  // namespace
