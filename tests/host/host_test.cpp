// A host that loads the built library at run time, as a game client does, and
// treats it roughly.
#include "host.h"
#include "support/log_text.h"
#include "support/temp_dir.h"
#include "read/records.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <cstdio>
#include <sys/wait.h>
#endif

namespace {

using testsupport::countPrefix;
using testsupport::logFiles;
using testsupport::recordLines;
using testsupport::withoutStamps;
using namespace std::chrono_literals;

#if defined(_WIN32)
const char kLibrary[] = ".\\" VT_LIBRARY_PATH;
#else
const char kLibrary[] = "./" VT_LIBRARY_PATH;
#endif

// Runs a command line to its end; its exit status, or -1 when it cannot run.
// (Wine's cmd.exe, behind std::system, may return before the program ends.)
int runToEnd(const std::string& commandLine) {
#if defined(_WIN32)
    std::string line = commandLine;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return -1;
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return int(code);
#else
    const int status = std::system(commandLine.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

#if !defined(_WIN32)
std::size_t entries(const char* dir) {
    std::size_t n = 0;
    boost::system::error_code ec;
    for (boost::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) ++n;
    return n;
}
#endif

class Host : public ::testing::Test {
protected:
    void SetUp() override {
        lib.reset(new vtrecord::Library(kLibrary));
        ASSERT_TRUE(lib->loaded()) << lib->error();
        ASSERT_TRUE(lib->bind()) << lib->error();
    }
    std::unique_ptr<vtrecord::Library> lib;
    testsupport::TempDir dir;
};

TEST_F(Host, StartsStopsAndUnloads) {
    ASSERT_NE(lib->errorSignal(), nullptr);
    EXPECT_EQ(lib->errorSignal(), lib->errorSignal());
    EXPECT_NE(static_cast<void*>(lib->errorSignal()), static_cast<void*>(lib->infoSignal()));
    EXPECT_EQ(lib->start(0, 47, 0, 0, dir.path().c_str()), 2);
    ASSERT_EQ(lib->start(12, 47, 0, 0, dir.path().c_str()), 0);
    EXPECT_EQ(lib->start(12, 47, 0, 0, dir.path().c_str()), 3);
    lib->sendKey(1, "W");
    lib->sendInfo("Map", "dust");
    EXPECT_EQ(lib->stop(), 0);
    EXPECT_EQ(lib->stop(), 0);
    lib->unload();
    auto lines = withoutStamps(recordLines(logFiles(dir.path())[0]));
    EXPECT_EQ(countPrefix(lines, "Key;Pressed;Name:W"), 1);
    EXPECT_EQ(countPrefix(lines, "SysInfo;Map;Value:dust"), 1);
    EXPECT_EQ(lines.back(), "Info;Stop;Logfile end");
}

TEST_F(Host, ManyThreadsOfKeysEachArriveOnce) {
    ASSERT_EQ(lib->start(12, 47, 0, 0, dir.path().c_str()), 0);
    constexpr int kThreads = 8, kKeys = 10000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([this, t] {
            const std::string prefix = std::to_string(t) + ":";
            for (int i = 0; i < kKeys; ++i) lib->sendKey(1, prefix + std::to_string(i));
        });
    for (auto& t : threads) t.join();
    ASSERT_EQ(lib->stop(), 0);
    std::set<std::string> keys;
    std::size_t count = 0;
    for (const auto& l : withoutStamps(recordLines(logFiles(dir.path())[0])))
        if (l.rfind("Key;Pressed;Name:", 0) == 0) {
            keys.insert(l);
            ++count;
        }
    EXPECT_EQ(count, std::size_t(kThreads * kKeys));
    EXPECT_EQ(keys.size(), count);
}

TEST_F(Host, HostileTextIsContained) {
    ASSERT_EQ(lib->start(12, 47, 0, 0, dir.path().c_str()), 0);
    lib->sendKey(1, "two\nlines");
    lib->sendKey(1, std::string(1 << 20, 'M'));
    lib->sendInfo("name\r\n", std::string("nul\0byte", 8));
    ASSERT_EQ(lib->stop(), 0);
    auto lines = withoutStamps(recordLines(logFiles(dir.path())[0]));
    EXPECT_EQ(countPrefix(lines, "Key;Pressed;Name:two?lines"), 1);
    EXPECT_EQ(countPrefix(lines, "Key;Pressed;Name:MMMM"), 1);
    EXPECT_EQ(countPrefix(lines, "SysInfo;name??;Value:nul?byte"), 1);
}

TEST_F(Host, DirectoriesGoodAndBad) {
    const std::string longName(10000, 'd');
    const std::string missingParent = dir.path() + "/missing/child";
    struct Case {
        const char* dir;
        int code;
    } cases[] = {{nullptr, 0}, {"", 0}, {longName.c_str(), 3}, {missingParent.c_str(), 3}};
    for (const auto& c : cases) {
        EXPECT_EQ(lib->start(12, 47, 0, 0, c.dir), c.code);
        EXPECT_EQ(lib->stop(), 0);
    }
    EXPECT_TRUE(logFiles(dir.path()).empty());
    EXPECT_FALSE(boost::filesystem::exists(dir.path() + "/missing"));
}

TEST_F(Host, UnloadDuringARecordingClosesTheLog) {
    ASSERT_EQ(lib->start(12, 47, 0, 0, dir.path().c_str()), 0);
    lib->sendKey(1, "before unload");
    std::this_thread::sleep_for(50ms);
    lib->unload();
#if defined(_WIN32)
    // The worker holds the library until its recording ends, so the library
    // stays loaded: loading it again reaches the same recording, which ends
    // with vtStop (or with the process, see Exit below).
    lib.reset(new vtrecord::Library(kLibrary));
    ASSERT_TRUE(lib->bind()) << lib->error();
    EXPECT_EQ(lib->start(12, 48, 0, 0, dir.path().c_str()), 3);  // still recording
    EXPECT_EQ(lib->stop(), 0);
    lib->unload();
#endif
    auto lines = withoutStamps(recordLines(logFiles(dir.path())[0]));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Info;Stop;Logfile end");
    EXPECT_EQ(countPrefix(lines, "Key;Pressed;Name:before unload"), 1);
}

// A host that ends with the library loaded, idle or during a recording: the
// process ends cleanly (under the sanitizers too) and the log is whole.
TEST(Exit, WithTheLibraryLoadedEndsCleanlyAndClosesTheLog) {
    testsupport::TempDir dir;
#if defined(_WIN32)
    const std::string program = "exit_host.exe ";
#else
    const std::string program = "./exit_host ";
#endif
    EXPECT_EQ(runToEnd(program + kLibrary), 0);
    EXPECT_EQ(runToEnd(program + kLibrary + " \"" + dir.path() + "\""), 0);
    auto files = logFiles(dir.path());
    ASSERT_EQ(files.size(), 1u);
    auto lines = withoutStamps(recordLines(files[0]));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(countPrefix(lines, "Key;Pressed;Name:before exit"), 1);
    EXPECT_EQ(lines.back(), "Info;Stop;Logfile end");
}

TEST_F(Host, ManyRecordingsLeaveNothingBehind) {
    // One recording first, so that lazily made resources exist before counting.
#if !defined(_WIN32)
    ASSERT_EQ(lib->start(12, 1000, 0, 0, dir.path().c_str()), 0);
    ASSERT_EQ(lib->stop(), 0);
    const std::size_t fds = entries("/proc/self/fd"), threads = entries("/proc/self/task");
#else
    ASSERT_EQ(lib->start(12, 1000, 0, 0, dir.path().c_str()), 0);
    ASSERT_EQ(lib->stop(), 0);
    DWORD handles = 0, handlesAfter = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handles);
#endif
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(lib->start(12, std::uint32_t(i), 0, 0, dir.path().c_str()), 0);
        lib->sendKey(1, "k");
        ASSERT_EQ(lib->stop(), 0);
    }
    auto files = logFiles(dir.path());
    EXPECT_EQ(files.size(), 201u);
    for (const auto& f : files) EXPECT_EQ(withoutStamps(recordLines(f)).back(), "Info;Stop;Logfile end");
#if !defined(_WIN32)
    EXPECT_EQ(entries("/proc/self/fd"), fds);
    EXPECT_EQ(entries("/proc/self/task"), threads);
#else
    GetProcessHandleCount(GetCurrentProcess(), &handlesAfter);
    EXPECT_EQ(handlesAfter, handles);
#endif
}

#if !defined(_WIN32)
TEST(Tools, RecordThenVerifyAndRead) {
    testsupport::TempDir dir;
    const std::string tools = VT_TOOLS_DIR;
    const std::string out = dir.join("out.txt");
    const std::string record = tools + "/vtrecord --user 5 --match 9 --seconds 0.5 --key Space --info Map=dust --dir " +
                               dir.join("logs") + " > " + out + " 2>/dev/null";
    ASSERT_EQ(std::system(record.c_str()), 0);
    std::string path = testsupport::readBytes(out);
    ASSERT_FALSE(path.empty());
    path.pop_back();  // the line feed
    EXPECT_EQ(logFiles(dir.join("logs")), std::vector<std::string>{path});
    EXPECT_EQ(std::system((tools + "/vtl verify " + path + " > /dev/null").c_str()), 0);
    ASSERT_EQ(std::system((tools + "/vtl cat " + path + " > " + out).c_str()), 0);
    auto lines = withoutStamps(vt::read::lines(testsupport::readBytes(out)));
    EXPECT_EQ(countPrefix(lines, "Key;Pressed;Name:Space"), 1);
    EXPECT_EQ(countPrefix(lines, "SysInfo;Map;Value:dust"), 1);
    // A bad start is a clear failure with its own exit status.
    int status = std::system((tools + "/vtrecord --user 0 --match 9 --seconds 0 2>/dev/null").c_str());
    EXPECT_EQ(WEXITSTATUS(status), 3);
    status = std::system((tools + "/vtl verify " + out + " > /dev/null").c_str());
    EXPECT_EQ(WEXITSTATUS(status), 1);
}
#endif

}  // namespace
