// The tools as a user runs them: vtl and vtrecord's arguments, and a real
// recording killed mid-match, then read again by `vtl recover`.
#include "log/container.h"
#include "read/records.h"
#include "support/log_text.h"
#include "support/spawned.h"
#include "support/temp_dir.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using testsupport::logFiles;
using testsupport::readBytes;
namespace fs = boost::filesystem;

const std::string kTools = VT_TOOLS_DIR;

using testsupport::Spawned;

std::uintmax_t sizeOf(const std::string& path) {
    boost::system::error_code ec;
    const auto n = fs::file_size(path, ec);
    return ec ? 0 : n;
}

// Waits until the file is larger than `than`; false after the deadline.
bool grows(const std::string& path, std::uintmax_t than, std::chrono::seconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
        if (sizeOf(path) > than) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

int vtl(const std::vector<std::string>& args, const std::string& output) {
    std::vector<std::string> all{kTools + "/vtl"};
    all.insert(all.end(), args.begin(), args.end());
    Spawned p(all, output);
    return p.wait();
}

TEST(ToolArguments, EveryBadArgumentExitsWithTwoAndSaysWhy) {
    testsupport::TempDir scratch;
    const std::string said = scratch.join("said.txt");
    const std::vector<std::vector<std::string>> bad = {
        {kTools + "/vtl"},                                        // no command
        {kTools + "/vtl", "nonsense"},                            // no such command
        {kTools + "/vtl", "verify"},                              // a required argument missing
        {kTools + "/vtl", "cat", "a.vtl", "--bogus"},             // no such option
        {kTools + "/vtl", "recover", "--window", "abc", "a.vtl"}, // not a number
        {kTools + "/vtl", "recover", "--around", "2026-02-30 10:00:00", "a.vtl"},  // no such day
        {kTools + "/vtrecord", "--match", "1"},                   // --user missing
        {kTools + "/vtrecord", "--user", "x", "--match", "1"},    // not a number
        {kTools + "/vtrecord", "--user", "1", "--match", "1", "--seconds", "-1"},  // out of range
    };
    for (const auto& args : bad) {
        Spawned p(args, said);
        EXPECT_EQ(p.wait(), 2) << args.back();
        EXPECT_FALSE(readBytes(said).empty()) << args.back();
    }
    Spawned help({kTools + "/vtl", "--help"}, said);
    EXPECT_EQ(help.wait(), 0);
    EXPECT_NE(readBytes(said).find("Exit status"), std::string::npos);
}

TEST(ToolArguments, AHostsOwnRecordsLostFactIsNoLoss) {
    // The host may name a fact as the library names its own; only the
    // library's own counts as records lost.
    testsupport::TempDir dir, scratch;
    Spawned recorder({kTools + "/vtrecord", "--user", "12", "--match", "47", "--dir", dir.path(), "--seconds", "1",
                      "--info", "Records lost=3"},
                     scratch.join("said.txt"));
    EXPECT_EQ(recorder.wait(), 0) << readBytes(scratch.join("said.txt"));
    const auto files = logFiles(dir.path());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(testsupport::countPrefix(testsupport::recordLines(files[0]), "SysInfo;Records lost;Value:3"), 1);
}

bool contains(const std::string& file, const std::string& text) {
    return readBytes(file).find(text) != std::string::npos;
}

TEST(RecoverKilledRecording, EveryRecordBeforeTheLastFlushComesBackWhole) {
    testsupport::TempDir dir, out, scratch;
    const std::string said = scratch.join("vtrecord.txt");
    Spawned recorder({kTools + "/vtrecord", "--user", "12", "--match", "47", "--server", "127.0.0.2", "--dir",
                      dir.path(), "--seconds", "600", "--key", "W", "--info", "Map=harbour"},
                     said);
    ASSERT_GT(recorder.pid(), 0);

    // The host has handed its key press to the library ...
    for (int i = 0; i < 400 && !contains(said, "vtrecord: sent 1 key presses"); ++i)
        std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(contains(said, "vtrecord: sent 1 key presses")) << readBytes(said);
    auto files = logFiles(dir.path());
    ASSERT_EQ(files.size(), 1u) << readBytes(said);
    const std::string log = files[0];
    // ... and the file grows after that: a flush that came after the key.
    // A process appears, so that the next tick has something to write.
    Spawned sleeper({"/bin/sleep", "30"}, scratch.join("sleep.txt"));
    ASSERT_TRUE(grows(log, sizeOf(log), 30s)) << readBytes(said);
    kill(recorder.pid(), SIGKILL);
    ASSERT_EQ(recorder.wait(), 128 + SIGKILL);

    const std::string crashed = readBytes(log);
    ASSERT_GT(crashed.size(), 64u);
    EXPECT_EQ(crashed.size() % 8, 0u);  // whole blocks, no trailer
    EXPECT_EQ(vtl({"verify", log}, scratch.join("verify.txt")), 1);

    ASSERT_EQ(vtl({"recover", "--out", out.path(), log}, scratch.join("plain.txt")), 0)
        << readBytes(scratch.join("plain.txt"));
    ASSERT_EQ(vtl({"recover", "--seal", "--out", out.path(), log}, scratch.join("sealed.txt")), 0)
        << readBytes(scratch.join("sealed.txt"));
    EXPECT_TRUE(contains(scratch.join("plain.txt"), ": recovered ")) << readBytes(scratch.join("plain.txt"));
    EXPECT_FALSE(contains(scratch.join("plain.txt"), "unfinished")) << readBytes(scratch.join("plain.txt"));
    EXPECT_EQ(readBytes(log), crashed);  // the input is left as it was

    std::string text, sealedLog;
    for (fs::directory_iterator it(out.path()), end; it != end; ++it) {
        const std::string p = it->path().string();
        (it->path().extension() == ".vtl" ? sealedLog : text) = p;
    }
    ASSERT_FALSE(text.empty());
    ASSERT_FALSE(sealedLog.empty());
    const std::string recovered = readBytes(text);

    // The sealed copy is whole and carries the key; under it the crashed file
    // holds exactly the recovered records and the spaces that pad its last block.
    EXPECT_EQ(vtl({"verify", sealedLog}, scratch.join("verify2.txt")), 0) << readBytes(scratch.join("verify2.txt"));
    const vt::ContainerCheck sealed = vt::checkContainer(readBytes(sealedLog));
    ASSERT_EQ(sealed.verdict, vt::Verdict::Whole) << sealed.reason;
    std::string plain(crashed.size(), '\0');
    vt::cbcDecrypt(sealed.fileKey, reinterpret_cast<const unsigned char*>(crashed.data()),
                   reinterpret_cast<unsigned char*>(&plain[0]), crashed.size());
    ASSERT_GE(plain.size(), recovered.size());
    EXPECT_EQ(plain.substr(0, recovered.size()), recovered);
    const std::string tail = plain.substr(recovered.size());
    EXPECT_LT(tail.size(), 8u);
    EXPECT_EQ(tail.find_first_not_of(' '), std::string::npos) << tail;
    EXPECT_EQ(sealed.text.compare(0, recovered.size(), recovered), 0);

    const auto lines = vt::read::lines(recovered);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(testsupport::withoutStamps(lines)[0], "Info;Start;Logfile start:UserId:12:MatchId:47");
    EXPECT_EQ(testsupport::countPrefix(lines, "SysInfo;User ID;Value:12"), 1);
    EXPECT_EQ(testsupport::countPrefix(lines, "Key;Pressed;Name:W"), 1);
    EXPECT_EQ(testsupport::countPrefix(lines, "SysInfo;Map;Value:harbour"), 1);
    EXPECT_EQ(testsupport::countPrefix(lines, "Info;Stop;"), 0);
}

}  // namespace
