// The C interface over the scripted machine: its codes, texts, state and
// log path, a full disk, and many threads writing while recordings come and go.
#include "controller/library.h"
#include "support/controller_access.h"
#include "support/fake_os.h"
#include "support/fake_threads.h"
#include "support/log_text.h"
#include "support/temp_dir.h"
#include "vantorelle/vantorelle.h"
#include "vantorelle/vantorelle_c.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using testsupport::countPrefix;
using testsupport::logFiles;
using testsupport::recordLines;
using testsupport::withoutStamps;

vtcState state() {
    vtcState s;
    std::memset(&s, 0xAB, sizeof s);
    s.structSize = sizeof s;
    EXPECT_EQ(vtcGetState(&s), VTC_OK);
    return s;
}

std::string logPath() {
    char buf[4096];
    size_t required = 0;
    EXPECT_EQ(vtcGetLogPath(buf, sizeof buf, &required), VTC_OK);
    EXPECT_EQ(required, std::strlen(buf) + 1);
    return buf;
}

class CInterface : public ::testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        ASSERT_TRUE(vt::attachLibrary());
    }
    void TearDown() override {
        os::setWriteLimit(nullptr);
        vt::detachLibrary(vt::vantorelle::Unload::Normal);
    }
    vtc_status start(const std::string& d, uint32_t match = 47) {
        return vtcStart(12, match, 0, 0, d.c_str(), VTC_NTS);
    }
    testsupport::TempDir dir;
};

TEST(CInterfaceWithoutController, EveryCallSaysSo) {
    vt::detachLibrary(vt::vantorelle::Unload::Normal);
    EXPECT_EQ(vtcGetAbiVersion() >> 16, uint32_t(VTC_ABI_VERSION_MAJOR));
    EXPECT_EQ(vtcGetAbiVersion(), VTC_ABI_VERSION);
    EXPECT_STREQ(vtcGetVersionString(), VT_VERSION);
    vtcState s;
    s.structSize = sizeof s;
    size_t required = 5;
    EXPECT_EQ(vtcStart(12, 47, 0, 0, "x", 1), VTC_NO_CONTROLLER);
    EXPECT_EQ(vtcStop(), VTC_NO_CONTROLLER);
    EXPECT_EQ(vtcSendKey(1, "W", 1), VTC_NO_CONTROLLER);
    EXPECT_EQ(vtcSendInfo("a", 1, "b", 1), VTC_NO_CONTROLLER);
    EXPECT_EQ(vtcGetState(&s), VTC_NO_CONTROLLER);
    EXPECT_EQ(vtcGetLogPath(nullptr, 0, &required), VTC_NO_CONTROLLER);

    const char* const names[] = {"VTC_OK", "VTC_NO_CONTROLLER", "VTC_USER_ID_ZERO", "VTC_ALREADY_RECORDING",
                                 "VTC_LOG_FAILED", "VTC_WORKER_FAILED", "VTC_INVALID_ARGUMENT", "VTC_IGNORED",
                                 "VTC_BUFFER_TOO_SMALL", "VTC_STRUCT_SIZE", "VTC_INTERNAL", "VTC_RECORD_LOST"};
    for (vtc_status code = 0; code <= VTC_RECORD_LOST; ++code) EXPECT_STREQ(vtcStatusName(code), names[code]);
    for (vtc_status code : {-1, 12, 256, 511, INT32_MIN, INT32_MAX})
        EXPECT_STREQ(vtcStatusName(code), "unknown status");
}

TEST_F(CInterface, StartRefusalsAreToldApart) {
    EXPECT_EQ(vtcStart(0, 47, 0, 0, dir.path().c_str(), VTC_NTS), VTC_USER_ID_ZERO);
    EXPECT_EQ(vtcStart(12, 47, 0, 0, nullptr, 3), VTC_INVALID_ARGUMENT);
    EXPECT_EQ(vtcStart(12, 47, 0, 0, "logs\xC0\xAF", VTC_NTS), VTC_INVALID_ARGUMENT);
    const std::string withNul = dir.path() + std::string("\0x", 2);
    EXPECT_EQ(vtcStart(12, 47, 0, 0, withNul.data(), withNul.size()), VTC_INVALID_ARGUMENT);
    EXPECT_EQ(start(dir.join("a") + os::pathSeparator() + "b"), VTC_LOG_FAILED);
    EXPECT_EQ(state().recordings, 0u);
    EXPECT_TRUE(logFiles(dir.path()).empty());

    ASSERT_EQ(start(dir.path()), VTC_OK);
    EXPECT_EQ(start(dir.path()), VTC_ALREADY_RECORDING);
    EXPECT_EQ(vtcStart(12, 47, 0, 0, nullptr, VTC_NTS), VTC_ALREADY_RECORDING);
    EXPECT_EQ(vtcStop(), VTC_OK);
    EXPECT_EQ(vtcStop(), VTC_OK);
    auto files = logFiles(dir.path());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(countPrefix(recordLines(files[0]), "Info;Start;"), 1);  // the refused start wrote nothing

    // A null directory with 0 or VTC_NTS records without a log, as vtStart does.
    EXPECT_EQ(vtcStart(12, 48, 0, 0, nullptr, 0), VTC_OK);
    vtcState s = state();
    EXPECT_EQ(s.recording, 1u);
    EXPECT_EQ(s.logOpen, 0u);
    EXPECT_EQ(vtcSendKey(1, "W", VTC_NTS), VTC_IGNORED);
    EXPECT_EQ(vtcStop(), VTC_OK);
    EXPECT_EQ(state().recordings, 2u);
    EXPECT_EQ(logFiles(dir.path()).size(), 1u);
}

// A worker that cannot start is told apart from the other refusals, and
// leaves no recording and no open log behind.
TEST_F(CInterface, AWorkerThatCannotStartIsReported) {
    vt::detachLibrary(vt::vantorelle::Unload::Normal);
    fake::threads().reset();
    vt::controllerTestAccess::useThreads(&fake::threads());
    ASSERT_TRUE(vt::attachLibrary());
    vt::controllerTestAccess::useThreads(nullptr);
    fake::threads().failStart = true;
    EXPECT_EQ(start(dir.path()), VTC_WORKER_FAILED);
    const vtcState s = state();
    EXPECT_EQ(s.recording, 0u);
    EXPECT_EQ(s.logOpen, 0u);
    EXPECT_EQ(s.recordings, 0u);
    auto files = logFiles(dir.path());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(withoutStamps(recordLines(files[0])).back(), "Info;Stop;Logfile end");
    fake::threads().failStart = false;
    EXPECT_EQ(start(dir.path(), 48), VTC_OK);
    EXPECT_EQ(vtcStop(), VTC_OK);
    EXPECT_EQ(state().recordings, 1u);
}

// The sequence a host runs, with texts that are not NUL-terminated, and what
// the log and the state say about it.
TEST_F(CInterface, KeysAndFactsReachTheLogAsTheirBytes) {
    const vtcState before = state();
    EXPECT_EQ(before.structSize, sizeof(vtcState));
    EXPECT_EQ(before.recording, 0u);
    EXPECT_EQ(before.logOpen, 0u);
    EXPECT_EQ(before.reserved, 0u);
    EXPECT_EQ(before.recordsWritten, 0u);

    ASSERT_EQ(vtcStart(12, 47, 0, 0, dir.path().data(), dir.path().size()), VTC_OK);
    vtcState during = state();
    EXPECT_EQ(during.recording, 1u);
    EXPECT_EQ(during.logOpen, 1u);
    EXPECT_EQ(during.recordings, 1u);
    EXPECT_GE(during.recordsWritten, 5u);  // start, three identifiers, volume

    const char key[] = "\xC3\x84pfel-\xE6\x97\xA5-\xF0\x9F\x8E\xAE+junk";  // "Äpfel-日-🎮", then bytes not given
    EXPECT_EQ(vtcSendKey(65, key, 15), VTC_OK);
    EXPECT_EQ(vtcSendKey(1, "Space", VTC_NTS), VTC_OK);
    const char name[] = "Karte\xE2\x82\xACzzz", value[] = "H\xC3\xA4" "fen";
    EXPECT_EQ(vtcSendInfo(name, 8, value, VTC_NTS), VTC_OK);
    EXPECT_EQ(vtcSendInfo("Tab", 3, "a\tb", 3), VTC_OK);  // control characters as the log writes them
    const std::string path = logPath();
    ASSERT_EQ(vtcStop(), VTC_OK);

    const vtcState after = state();
    EXPECT_EQ(after.recording, 0u);
    EXPECT_EQ(after.logOpen, 0u);
    EXPECT_EQ(after.recordings, 1u);
    EXPECT_EQ(after.recordsLost, 0u);
    auto files = logFiles(dir.path());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(path, files[0]);
    auto lines = withoutStamps(recordLines(files[0]));
    EXPECT_EQ(after.recordsWritten, lines.size());
    EXPECT_EQ(countPrefix(lines, "Key;Pressed;Name:\xC3\x84pfel-\xE6\x97\xA5-\xF0\x9F\x8E\xAE"), 1);
    EXPECT_EQ(countPrefix(lines, "Key;Pressed;Name:\xC3\x84pfel-\xE6\x97\xA5-\xF0\x9F\x8E\xAE+"), 0);
    EXPECT_EQ(countPrefix(lines, "Key;Pressed;Name:Space"), 1);
    EXPECT_EQ(countPrefix(lines, "SysInfo;Karte\xE2\x82\xAC;Value:H\xC3\xA4" "fen"), 1);
    EXPECT_EQ(countPrefix(lines, "SysInfo;Tab;Value:a?b"), 1);
    EXPECT_EQ(lines.back(), "Info;Stop;Logfile end");

    EXPECT_EQ(vtcSendKey(1, "late", VTC_NTS), VTC_IGNORED);
    EXPECT_EQ(vtcSendInfo("late", VTC_NTS, "v", VTC_NTS), VTC_IGNORED);
}

TEST_F(CInterface, TextsOutOfRangeAreRefused) {
    ASSERT_EQ(start(dir.path()), VTC_OK);
    EXPECT_EQ(vtcSendKey(0, "W", 1), VTC_INVALID_ARGUMENT);
    EXPECT_EQ(vtcSendKey(-1, "W", 1), VTC_INVALID_ARGUMENT);
    EXPECT_EQ(vtcSendKey(1, "", VTC_NTS), VTC_INVALID_ARGUMENT);
    EXPECT_EQ(vtcSendKey(1, nullptr, 0), VTC_INVALID_ARGUMENT);
    EXPECT_EQ(vtcSendKey(1, nullptr, 4), VTC_INVALID_ARGUMENT);
    EXPECT_EQ(vtcSendKey(1, "W\0X", 3), VTC_INVALID_ARGUMENT);
    EXPECT_EQ(vtcSendInfo("", 0, "v", 1), VTC_INVALID_ARGUMENT);
    EXPECT_EQ(vtcSendInfo("n", 1, nullptr, VTC_NTS), VTC_INVALID_ARGUMENT);
    EXPECT_EQ(vtcSendInfo(nullptr, 2, "v", 1), VTC_INVALID_ARGUMENT);

    // Well-formed UTF-8 and its edges, then what is not UTF-8.
    const char* good[] = {"\x7F", "\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xED\x9F\xBF", "\xEE\x80\x80",
                          "\xEF\xBF\xBF", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF"};
    const char* bad[] = {"\x80", "\xBF", "\xC0\x80", "\xC1\xBF", "\xC2", "\xC2\x41", "\xE0\x9F\xBF",
                         "\xED\xA0\x80", "\xED\xBF\xBF", "\xE1\x80", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80",
                         "\xF5\x80\x80\x80", "\xF8\x88\x80\x80\x80", "\xFF", "\xF0\x90\x80", "\xE1\x80\x41",
                         "\xE1\x80\xC0", "\xF0\x90\x80\x7F", "\xF1\x80\xC0\x80"};
    for (const char* g : good) EXPECT_EQ(vtcSendKey(1, g, VTC_NTS), VTC_OK) << testing::PrintToString(g);
    for (const char* b : bad) {
        EXPECT_EQ(vtcSendKey(1, b, VTC_NTS), VTC_INVALID_ARGUMENT) << testing::PrintToString(b);
        EXPECT_EQ(vtcSendInfo("n", 1, b, VTC_NTS), VTC_INVALID_ARGUMENT) << testing::PrintToString(b);
    }
    // A sequence cut by the length is refused even when the bytes go on.
    EXPECT_EQ(vtcSendKey(1, "a\xC3\xA4", 2), VTC_INVALID_ARGUMENT);
    ASSERT_EQ(vtcStop(), VTC_OK);
    auto lines = withoutStamps(recordLines(logFiles(dir.path())[0]));
    EXPECT_EQ(countPrefix(lines, "Key;"), int(sizeof good / sizeof *good));
    EXPECT_EQ(countPrefix(lines, "SysInfo;n;"), 0);
}

TEST_F(CInterface, StateAndPathFollowTheirSizeRules) {
    EXPECT_EQ(vtcGetState(nullptr), VTC_INVALID_ARGUMENT);
    vtcState small;
    small.structSize = sizeof small - 1;
    EXPECT_EQ(vtcGetState(&small), VTC_STRUCT_SIZE);
    // A later, larger structure: this version's fields are filled, the rest kept.
    struct {
        vtcState s;
        uint64_t later;
    } larger;
    std::memset(&larger, 0x5A, sizeof larger);
    larger.s.structSize = sizeof larger;
    EXPECT_EQ(vtcGetState(&larger.s), VTC_OK);
    EXPECT_EQ(larger.s.structSize, sizeof larger);
    EXPECT_EQ(larger.s.recording, 0u);
    EXPECT_EQ(larger.later, 0x5A5A5A5A5A5A5A5Aull);

    char buf[512];
    size_t required = 99;
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(vtcGetLogPath(buf, sizeof buf, &required), VTC_IGNORED);
    EXPECT_EQ(required, 0u);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(vtcGetLogPath(nullptr, 0, nullptr), VTC_INVALID_ARGUMENT);

    ASSERT_EQ(start(dir.path()), VTC_OK);
    EXPECT_EQ(vtcGetLogPath(nullptr, 8, &required), VTC_INVALID_ARGUMENT);
    EXPECT_EQ(required, 0u);
    ASSERT_EQ(vtcGetLogPath(nullptr, 0, &required), VTC_OK);
    const std::string path = logPath();
    ASSERT_EQ(required, path.size() + 1);
    std::memset(buf, 'x', sizeof buf);
    size_t again = 0;
    EXPECT_EQ(vtcGetLogPath(buf, required - 1, &again), VTC_BUFFER_TOO_SMALL);
    EXPECT_EQ(again, required);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[required - 1], 'x');  // nothing written past the first byte
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(vtcGetLogPath(buf, required, nullptr), VTC_OK);
    EXPECT_EQ(std::string(buf), path);
    EXPECT_EQ(buf[required], 'x');
    EXPECT_EQ(path.rfind(dir.path() + os::pathSeparator(), 0), 0u);
    ASSERT_EQ(vtcStop(), VTC_OK);
    EXPECT_EQ(vtcGetLogPath(buf, sizeof buf, &required), VTC_IGNORED);
}

// A directory named in UTF-8 beyond any code page is made under that name.
TEST_F(CInterface, NonAsciiDirectoryKeepsItsName) {
    const std::string utf8Name = "Prot\xC3\xB6kolle-\xE6\x97\xA5\xE6\x9C\xAC-\xF0\x9F\x8E\xAE";
    const std::string utf8Dir = dir.join(utf8Name);
    ASSERT_EQ(start(utf8Dir), VTC_OK);
    const std::string path = logPath();
    ASSERT_EQ(vtcStop(), VTC_OK);
#if defined(_WIN32)
    const boost::filesystem::path made =
        boost::filesystem::path(dir.path()) / L"Prot\u00f6kolle-\u65e5\u672c-\U0001F3AE";
#else
    const boost::filesystem::path made = boost::filesystem::path(utf8Dir);
#endif
    ASSERT_TRUE(boost::filesystem::is_directory(made));
    std::vector<boost::filesystem::path> inside;
    for (boost::filesystem::directory_iterator it(made), end; it != end; ++it) inside.push_back(it->path());
    ASSERT_EQ(inside.size(), 1u);
    EXPECT_EQ(path, utf8Dir + os::pathSeparator() + inside[0].filename().string());
#if !defined(_WIN32)
    EXPECT_EQ(countPrefix(withoutStamps(recordLines(path)), "Info;Start;"), 1);
#endif
}

// While the disk takes nothing, records beyond the backlog are refused, said
// so to the host and counted; the log is whole again once the disk takes it.
TEST_F(CInterface, RefusedRecordsAreReportedAndCounted) {
    ASSERT_EQ(start(dir.path()), VTC_OK);
    std::atomic<bool> full{true};
    os::setWriteLimit([&](std::size_t n) { return full ? std::size_t(0) : n; });
    const std::string value(1000, 'v');
    int ok = 0, lost = 0;
    for (int i = 0; i < 20000 && lost < 3; ++i) {
        vtc_status s = vtcSendInfo("Fill", VTC_NTS, value.c_str(), value.size());
        ASSERT_TRUE(s == VTC_OK || s == VTC_RECORD_LOST) << s;
        (s == VTC_OK ? ok : lost)++;
    }
    ASSERT_EQ(lost, 3);
    EXPECT_EQ(state().recordsLost, 3u);
    full = false;
    ASSERT_EQ(vtcStop(), VTC_OK);
    const vtcState after = state();
    EXPECT_EQ(after.recordsLost, 3u);
    auto lines = withoutStamps(recordLines(logFiles(dir.path())[0]));
    EXPECT_EQ(after.recordsWritten, lines.size());
    EXPECT_EQ(countPrefix(lines, "SysInfo;Fill;"), ok);
    EXPECT_EQ(countPrefix(lines, "SysInfo;Records lost;Value:3"), 1);
}

// Hosts on both interfaces start and stop at once: one recording at a time,
// each start that succeeded with its own whole log, every other one refused.
TEST_F(CInterface, StartsThroughBothInterfacesTakeTurns) {
    std::atomic<int> started{0};
    std::vector<std::thread> hosts;
    for (int t = 0; t < 4; ++t) {
        hosts.emplace_back([&, t] {
            for (uint32_t i = 0; i < 20; ++i) {
                const uint32_t match = 1000u * uint32_t(t) + i;
                if (t % 2) {
                    const vtc_status s = start(dir.path(), match);
                    if (s == VTC_OK) ++started;
                    else if (s != VTC_ALREADY_RECORDING) ADD_FAILURE() << vtcStatusName(s);
                    if (i % 2) {
                        EXPECT_EQ(vtcStop(), VTC_OK);
                    }
                } else {
                    if (vtStart(12, match, 0, 0, dir.path().c_str()) == 0) ++started;
                    if (i % 2) {
                        EXPECT_EQ(vtStop(), 0);
                    }
                }
            }
        });
    }
    for (auto& h : hosts) h.join();
    ASSERT_EQ(vtcStop(), VTC_OK);

    EXPECT_GT(started, 0);
    EXPECT_EQ(state().recordings, uint64_t(started));
    const auto files = logFiles(dir.path());
    ASSERT_EQ(files.size(), std::size_t(started));
    for (const auto& f : files) {
        const auto lines = withoutStamps(recordLines(f));
        EXPECT_EQ(countPrefix(lines, "Info;Start;"), 1) << f;
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), "Info;Stop;Logfile end") << f;
    }
}

// Eight threads send facts while another starts and stops recordings: each
// fact that was taken is in a log exactly once, and no other is.
TEST_F(CInterface, FactsFromManyThreadsAcrossRecordings) {
    std::atomic<bool> done{false};
    std::vector<std::vector<std::string>> taken(8);
    std::vector<std::thread> senders;
    for (int t = 0; t < 8; ++t) {
        senders.emplace_back([&, t] {
            for (int n = 0; !done; ++n) {
                const std::string value = std::to_string(t) + "-" + std::to_string(n);
                const vtc_status s = vtcSendInfo("Thread", VTC_NTS, value.data(), value.size());
                if (s == VTC_OK) taken[std::size_t(t)].push_back(value);
                else if (s != VTC_IGNORED) ADD_FAILURE() << "vtcSendInfo gave " << s;
                if (n % 16 == 0) std::this_thread::yield();
            }
        });
    }
    std::uint64_t written = 0;
    for (uint32_t r = 0; r < 12; ++r) {
        ASSERT_EQ(start(dir.path(), 100 + r), VTC_OK);
        std::this_thread::sleep_for(std::chrono::milliseconds(r % 3 == 0 ? 1 : 10));
        ASSERT_EQ(vtcStop(), VTC_OK);
        written += state().recordsWritten;
    }
    done = true;
    for (auto& s : senders) s.join();

    std::vector<std::string> expected, found;
    for (const auto& t : taken) expected.insert(expected.end(), t.begin(), t.end());
    std::size_t lines = 0;
    for (const auto& file : logFiles(dir.path())) {
        auto records = withoutStamps(recordLines(file));
        lines += records.size();
        for (const auto& line : records)
            if (line.rfind("SysInfo;Thread;Value:", 0) == 0) found.push_back(line.substr(21));
    }
    std::sort(expected.begin(), expected.end());
    std::sort(found.begin(), found.end());
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(found, expected);
    EXPECT_EQ(written, lines);
    EXPECT_EQ(state().recordings, 12u);
}

}  // namespace
