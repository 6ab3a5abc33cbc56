#include "monitors/procwatch/procwatch.h"
#include "support/fake_os.h"

#include <gtest/gtest.h>

namespace {

using Entry = vt::procwatch::SProcessEntry;

class ProcWatch : public ::testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        fake::machine().volumes = {volume()};
        watch.reset(new vt::procwatch);
        watch->processAdded.connect([this](Entry e) { events.push_back("+" + std::to_string(e.pid) + " " + e.path); });
        watch->processRemoved.connect([this](Entry e) {
            EXPECT_FALSE(e.marked);
            events.push_back("-" + std::to_string(e.pid));
        });
    }
    static fake::Volume volume() {
        fake::Volume v;
        v.name = L"\\\\?\\Volume{1}\\";
        v.device = L"\\Device\\HarddiskVolume1";
        v.mounts = {L"C:\\"};
        return v;
    }
    static fake::Process process(os::DWORD pid) {
        return {pid, L"\\Device\\HarddiskVolume1\\bin\\p" + std::to_wstring(pid) + L".exe", false, false};
    }
    void run(std::vector<os::DWORD> pids) {
        fake::machine().processes.clear();
        for (auto p : pids) fake::machine().processes.push_back(process(p));
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
    EXPECT_EQ(watch->entries().front().name, "p30.exe");
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

TEST_F(ProcWatch, SteadyTickLooksNothingUp) {
    run({1, 2, 3});
    const int opens = fake::machine().openCalls;
    run({3, 2, 1});
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(fake::machine().openCalls, opens);
    run({3, 2, 1, 4});
    EXPECT_EQ(fake::machine().openCalls, opens + 1);  // only the new process
}

TEST_F(ProcWatch, ReusedIdentifierIsNotReportedAgain) {
    run({5, 6});
    fake::machine().processes[0].image = L"\\Device\\HarddiskVolume1\\other.exe";
    events.clear();
    watch->pollProcesses();
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(watch->entries().front().path, "C:\\bin\\p5.exe");  // the stored entry keeps its path
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
    m.processes = {process(1), process(2), process(3), process(4)};
    m.processes[0].openFails = true;
    m.processes[1].imageFails = true;
    m.processes[2].image = std::wstring(L"\\Device\\HarddiskVolume1\\") + wchar_t(0xDC80);
    m.processes[3].image = L"\\Device\\HarddiskVolume1\\" + std::wstring(2100, L'x');  // longer than the buffer
    std::vector<Entry> added;
    watch->processAdded.connect([&](Entry e) { added.push_back(e); });
    watch->pollProcesses();
    ASSERT_EQ(added.size(), 4u);
    EXPECT_EQ(added[0].path, "System: No Handle available");
    EXPECT_EQ(added[0].name, "System: No Handle available");
    EXPECT_EQ(added[1].path, "System: No Path available");
    EXPECT_EQ(added[2].path, "System: Unconvertable Unicode");
    EXPECT_EQ(added[3].path, "System: No Path available");
    EXPECT_EQ(m.openHandles, 0);
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
    run({1, 2});
    EXPECT_EQ(events.size(), 2u);
}

TEST(FileNameOf, TakesTheTextAfterTheLastBackslash) {
    EXPECT_EQ(vt::fileNameOf("C:\\Games\\client.exe"), "client.exe");
    EXPECT_EQ(vt::fileNameOf("C:\\Games\\"), "");
    EXPECT_EQ(vt::fileNameOf("/usr/bin/bash"), os::pathSeparator() == '/' ? "bash" : "/usr/bin/bash");
    EXPECT_EQ(vt::fileNameOf(""), "");
    EXPECT_EQ(vt::fileNameOf("System: No Path available"), "System: No Path available");
}

}  // namespace
