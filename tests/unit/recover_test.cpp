#include "log/container.h"
#include "log/format.h"
#include "log/keygen.h"
#include "log/logger.h"
#include "read/records.h"
#include "read/keysearch.h"
#include "read/logfile.h"
#include "read/salvage.h"
#include "verbs.h"
#include "platform/os.h"
#include "support/log_text.h"
#include "support/temp_dir.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace {

using testsupport::logFiles;
using testsupport::readBytes;
using testsupport::withoutStamps;
using testsupport::writeBytes;
using vt::keysearch::Generator;
namespace fs = boost::filesystem;

vt::Key16 keyAt(Generator g, std::uint32_t seed, unsigned offset) {
    const auto values = vt::keysearch::generatorValues(g, seed, offset + 16);
    vt::Key16 key;
    for (int i = 0; i < 16; ++i) key[i] = static_cast<unsigned char>(values[offset + i] % 255);
    return key;
}

// The key the one reading path finds for a log that is not whole.
std::optional<vt::Key16> foundKey(const std::string& path) {
    vt::read::LogFile log(path);
    if (log.state() != vt::read::State::Recovered) return {};
    return log.fileKey();
}

vt::Key16 trailerKey(const std::string& file) {
    vt::ContainerCheck c = vt::checkContainer(readBytes(file));
    EXPECT_EQ(c.verdict, vt::Verdict::Whole) << c.reason;
    return c.fileKey;
}

// The same log under another key, as an earlier build would have written it:
// whole (with its trailer) when the original is.
std::string rekeyed(const std::string& bytes, const vt::Key16& from, const vt::Key16& to, bool trailer) {
    const std::size_t body = trailer ? bytes.size() - vt::kTrailerSize : bytes.size() - bytes.size() % vt::kBlock;
    std::string text(body, '\0');
    vt::cbcDecrypt(from, reinterpret_cast<const unsigned char*>(bytes.data()), reinterpret_cast<unsigned char*>(&text[0]),
                   body);
    std::string out;
    vt::CipherStream s([&](const unsigned char* d, std::size_t n) { out.append(reinterpret_cast<const char*>(d), n); });
    s.resetCipher(to.data());
    s.encryptAppend(text);
    if (trailer) s.writeTrailer(to);
    return out;
}

const std::vector<std::string> kRecords = {
    "Info;Start;Logfile start:UserId:12:MatchId:47",
    "SysInfo;User ID;Value:12",
    "Process;Add;PID:4242:Path:C:\\Games\\client.exe",
    "Key;Pressed;Name:W",
    "Ping;Stats;Server:10.0.0.1:Actual:23",
    "Key;Pressed;Name:the last one, its tail in the last block",
};

// How many of kRecords lie wholly within the first `bytes` bytes of the text.
std::size_t recordsWithin(std::size_t bytes, std::size_t of = kRecords.size()) {
    std::size_t used = 0, n = 0;
    for (std::size_t i = 0; i < of; ++i) {
        used += 20 + kRecords[i].size() + 1;
        if (used > bytes) break;
        ++n;
    }
    return n;
}

std::size_t textSize(std::size_t records) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < records; ++i) n += 20 + kRecords[i].size() + 1;
    return n;
}

class RecoverTest : public ::testing::Test {
protected:
    void SetUp() override { seed = static_cast<std::uint32_t>(os::currentTime() - 5); }

    // One recording through the logger: its records after the start record;
    // left open (as a crash leaves it) unless closed.
    std::string record(vt::logger& log, bool close, std::uint32_t reference = 0, std::uint32_t match = 47) {
        EXPECT_TRUE(log.openLog(reference, 12, match, dir.path()));
        log.writeSysInfo("User ID", "12");
        vt::procwatch::SProcessEntry p;
        p.pid = 4242;
        p.path = "C:\\Games\\client.exe";
        log.writeProcessAdd(p);
        log.writeKeyPressed("W");
        log.writePingStats(23, "10.0.0.1");
        log.writeKeyPressed("the last one, its tail in the last block");
        log.flush();  // what the worker does after every tick
        std::string path = log.currentPath();
        if (close) log.closeLog();
        return path;
    }

    // A crash-left log (the logger dies with the file open) keyed from `seed`.
    std::string crashedLog() {
        vt::logger log;
        vt::keygen::seed(seed);
        return record(log, false);
    }

    int recover(const std::vector<std::string>& files, std::int64_t window = 10, unsigned offsets = 40,
                bool seal = false, const std::string& around = "") {
        vtl::recover::Options o;
        o.files = files;
        o.window = window;
        o.offsets = offsets;
        o.seal = seal;
        o.around = around;
        o.outDir = out.path();
        std::ostringstream o1, e1;
        const int status = vtl::recover::run(o, o1, e1);
        said = o1.str();
        progress = e1.str();
        return status;
    }

    std::vector<std::string> outputs() {
        std::vector<std::string> names;
        for (fs::directory_iterator it(out.path()), end; it != end; ++it) names.push_back(it->path().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // The lines of the one recovered text file, without stamps.
    std::vector<std::string> recoveredLines() {
        auto files = outputs();
        EXPECT_EQ(files.size(), 1u) << said;
        if (files.size() != 1) return {};
        return withoutStamps(vt::read::lines(readBytes(files[0])));
    }

    std::vector<std::string> firstRecords(std::size_t n) {
        return std::vector<std::string>(kRecords.begin(), kRecords.begin() + long(n));
    }

    std::uint32_t seed = 0;
    testsupport::TempDir dir, out;
    std::string said, progress;
};

// ---- the library's own generator ------------------------------------------------

TEST(KeyGenerator, IsTheMicrosoftRuntimesSequence) {
    // The first values msvcrt's rand() gives without srand (seed 1).
    const auto v = vt::keysearch::generatorValues(Generator::Msvcrt, 1, 5);
    EXPECT_EQ(v, (std::vector<std::uint32_t>{41, 18467, 6334, 26500, 19169}));
    // And glibc's rand() after srand(1), on every platform.
    EXPECT_EQ(vt::keysearch::generatorValues(Generator::Glibc, 1, 4),
              (std::vector<std::uint32_t>{1804289383u, 846930886u, 1681692777u, 1714636915u}));
    vt::keygen::seed(1);
    EXPECT_EQ(vt::keygen::nextKey(), keyAt(Generator::Msvcrt, 1, 0));
    EXPECT_EQ(vt::keygen::nextKey(), keyAt(Generator::Msvcrt, 1, 16));
}

TEST(KeyGenerator, SearchedSequencesMatchTheCLibrary) {
    // The generator of this platform's C library, for every kind of seed.
#if defined(_WIN32)
    const Generator own = Generator::Msvcrt;
#else
    const Generator own = Generator::Glibc;
#endif
    for (std::uint32_t s : {0u, 1u, 2u, 1796000000u, 0x7fffffffu, 0x80000001u, 0xffffffffu}) {
        std::srand(s);
        std::vector<std::uint32_t> host;
        for (int i = 0; i < 400; ++i) host.push_back(static_cast<std::uint32_t>(std::rand()));
        EXPECT_EQ(vt::keysearch::generatorValues(own, s, 400), host) << "seed " << s;
    }
}

TEST(KeyGenerator, LeavesTheHostsRandAlone) {
    testsupport::TempDir dir;
    std::srand(777);
    std::vector<int> expected;
    for (int i = 0; i < 8; ++i) expected.push_back(std::rand());

    std::srand(777);
    std::vector<int> got{std::rand(), std::rand()};
    {
        vt::logger log;  // seeds its generator as the library's load does
        ASSERT_TRUE(log.openLog(0, 1, 2, dir.path()));
        got.push_back(std::rand());
        log.closeLog();
        ASSERT_TRUE(log.openLog(0, 1, 3, dir.path()));
        log.closeLog();
    }
    while (got.size() < expected.size()) got.push_back(std::rand());
    EXPECT_EQ(got, expected);
}

TEST(KeyGenerator, TheNthRecordingsKeyIsAtOffset16n) {
    testsupport::TempDir dir;
    const auto before = os::currentTime();
    vt::logger log;
    const auto after = os::currentTime();
    for (std::uint32_t match = 1; match <= 3; ++match) {
        ASSERT_TRUE(log.openLog(0, 9, match, dir.path()));
        log.closeLog();
    }
    auto files = logFiles(dir.path());
    ASSERT_EQ(files.size(), 3u);
    std::sort(files.begin(), files.end(), [](const std::string& a, const std::string& b) {
        return a.substr(a.find("_MID_")) < b.substr(b.find("_MID_"));
    });
    // The load time is the seed; the n-th file takes values 16n to 16n+15.
    bool matched = false;
    for (auto s = before; s <= after && !matched; ++s) {
        matched = true;
        for (unsigned n = 0; n < 3; ++n)
            matched = matched && trailerKey(files[n]) == keyAt(Generator::Msvcrt, std::uint32_t(s), 16 * n);
    }
    EXPECT_TRUE(matched);
}

// ---- logs cut off as a crash leaves them ------------------------------------------

TEST_F(RecoverTest, NoTrailerTheLibrarysGenerator) {
    const std::string log = crashedLog();
    const std::string original = readBytes(log);
    ASSERT_EQ(original.size() % 8, 0u);
    EXPECT_EQ(recover({log}), 0) << said;
    EXPECT_NE(said.find("recovered 6 records"), std::string::npos) << said;
    EXPECT_NE(said.find("seeded with " + std::to_string(seed)), std::string::npos) << said;
    EXPECT_NE(said.find("offset 0"), std::string::npos) << said;
    // Every record, the last one too: its tail reached the file in the
    // provisional last block of the last flush, padded with spaces.
    EXPECT_NE(textSize(6) % 8, 0u);
    EXPECT_EQ(original.size(), textSize(6) + 8 - textSize(6) % 8);
    EXPECT_EQ(recoveredLines(), firstRecords(6));
    EXPECT_EQ(said.find("unfinished"), std::string::npos) << said;
    const std::string leaf = log.substr(log.find_last_of("/\\") + 1);
    EXPECT_EQ(fs::path(outputs()[0]).filename().string(), leaf.substr(0, leaf.size() - 4) + "_recovered.txt");
    EXPECT_EQ(readBytes(log), original);  // the input is never written
}

TEST_F(RecoverTest, CatAndJsonForceReadALogThatWasNeverClosed) {
    const std::string log = crashedLog();
    std::ostringstream out, err;
    EXPECT_EQ(vtl::cat(log, false, out, err), 1);  // without --force nothing is searched
    EXPECT_TRUE(out.str().empty());
    EXPECT_EQ(err.str().find("searching"), std::string::npos) << err.str();

    EXPECT_EQ(vtl::cat(log, true, out, err), 1);  // shown, but still not whole
    EXPECT_EQ(withoutStamps(vt::read::lines(out.str())), firstRecords(6));
    EXPECT_NE(err.str().find("warning: not whole: never closed; 6 records read back with its key found again"), std::string::npos) << err.str();

    std::ostringstream json;
    EXPECT_EQ(vtl::json(log, true, json, err), 1);
    const auto objects = vt::read::lines(json.str());
    ASSERT_EQ(objects.size(), 6u) << json.str();
    EXPECT_NE(objects[4].find("\"Ping\""), std::string::npos) << objects[4];
}

TEST_F(RecoverTest, NoTrailerTheCLibrarysGenerator) {
    const std::string log = crashedLog();
    const std::string bytes = readBytes(log);
    const vt::Key16 glibcKey = keyAt(Generator::Glibc, seed - 3, 0);
    writeBytes(log, rekeyed(bytes, keyAt(Generator::Msvcrt, seed, 0), glibcKey, false));
    EXPECT_EQ(recover({log}), 0) << said;
    EXPECT_NE(said.find("glibc random_r TYPE_3 seeded with " + std::to_string(seed - 3)), std::string::npos) << said;
    EXPECT_EQ(foundKey(log), glibcKey);
    EXPECT_EQ(recoveredLines(), firstRecords(6));
}

TEST_F(RecoverTest, HalfATrailerForBothGenerators) {
    for (Generator g : {Generator::Msvcrt, Generator::Glibc}) {
        testsupport::TempDir here;
        vt::logger log;
        vt::keygen::seed(seed);
        const std::string path = record(log, true);
        std::string bytes = readBytes(path);
        bytes = rekeyed(bytes, keyAt(Generator::Msvcrt, seed, 0), keyAt(g, seed, 0), true);
        bytes.resize(bytes.size() - 12);  // the process died writing the trailer
        const std::string cut = here.join("2026-12-08_17-55-21_MID_47_0.vtl");
        writeBytes(cut, bytes);
        ASSERT_EQ(recover({cut}), 0) << said;
        EXPECT_NE(said.find(vt::keysearch::generatorName(g)), std::string::npos) << said;
        EXPECT_NE(said.find("closed but its trailer is missing"), std::string::npos) << said;
        auto lines = recoveredLines();
        auto expected = firstRecords(kRecords.size());
        expected.push_back("Info;Stop;Logfile end");
        EXPECT_EQ(lines, expected);
        fs::remove(outputs()[0]);
    }
}

TEST_F(RecoverTest, LastBlockCut) {
    const std::string log = crashedLog();
    std::string bytes = readBytes(log);
    bytes.resize(bytes.size() - 3);
    writeBytes(log, bytes);
    EXPECT_EQ(recover({log}), 0) << said;
    const std::size_t whole = bytes.size() - bytes.size() % 8;
    EXPECT_EQ(recoveredLines(), firstRecords(recordsWithin(whole)));
    EXPECT_GE(recordsWithin(whole), 4u);
    EXPECT_NE(said.find("the last " + std::to_string(whole - textSize(recordsWithin(whole))) +
                        " bytes hold an unfinished record"),
              std::string::npos)
        << said;
}

TEST_F(RecoverTest, DamageStopsTheReading) {
    const std::string log = crashedLog();
    std::string bytes = readBytes(log);
    const std::size_t at = textSize(3) + 10;  // inside the fourth record
    bytes[at] = static_cast<char>(bytes[at] ^ 0x40);
    writeBytes(log, bytes);
    EXPECT_EQ(recover({log}), 0) << said;
    EXPECT_NE(said.find("damaged"), std::string::npos) << said;
    // The block before the damaged one decrypts as well: records up to it stay.
    EXPECT_EQ(recoveredLines(), firstRecords(recordsWithin(at - at % 8)));
}

TEST_F(RecoverTest, AClosedLogDamagedLaterIsNotCalledNeverClosed) {
    vt::keygen::seed(seed);
    std::string closed;
    {
        vt::logger log;
        closed = record(log, true);
    }
    const std::string crashed = crashedLog();
    for (const std::string& log : {closed, crashed}) {
        std::string bytes = readBytes(log);
        const std::size_t at = textSize(3) + 10;  // inside the fourth record
        bytes[at] = static_cast<char>(bytes[at] ^ 0x40);
        writeBytes(log, bytes);
    }
    const vt::read::LogFile damaged(closed), neverClosed(crashed);
    ASSERT_EQ(damaged.state(), vt::read::State::Recovered) << damaged.reason();
    EXPECT_EQ(damaged.reason().rfind("closed, but damaged later; 3 records read back", 0), 0u) << damaged.reason();
    EXPECT_EQ(neverClosed.reason().rfind("never closed; 3 records read back", 0), 0u) << neverClosed.reason();
}

TEST_F(RecoverTest, AReaderSearchesWiderWhenTheQuickBoundsDoNotHoldTheKey) {
    // The sixth recording of a process: offset 80, beyond the first three
    // recordings the quick search covers, within the full bounds.
    vt::logger log;
    vt::keygen::seed(static_cast<std::uint32_t>(os::currentTime()));
    for (int i = 0; i < 5; ++i) vt::keygen::nextKey();
    record(log, false);
    const std::string path = log.currentPath();
    std::vector<std::string> said;
    vt::read::Options options;
    options.progress = [&said](const std::string& line) { said.push_back(line); };
    vt::read::LogFile read(path, options);
    ASSERT_EQ(read.state(), vt::read::State::Recovered) << read.reason();
    ASSERT_TRUE(read.found());
    EXPECT_EQ(read.found()->offset, 80u);
    EXPECT_EQ(read.scan().count, kRecords.size());
    bool wider = false;
    for (const auto& line : said) wider = wider || line.find("searching wider") != std::string::npos;
    EXPECT_TRUE(wider);
}

TEST_F(RecoverTest, RefusedOpensDrawNoKey) {
    // However often a start is refused, the next file still has the key at
    // offset 16 per file made before it, within the search's bounds.
    vt::logger log;
    vt::keygen::seed(seed);
    record(log, true, 0, 1);
    // A directory where each candidate name of match 2 would go, for this
    // second and the next few: the file cannot be created.
    testsupport::TempDir blocked;
    const std::int64_t now = os::currentTime();
    for (std::int64_t t = now; t <= now + 3; ++t)
        for (int i = 0; i <= 9; ++i)
            fs::create_directory(blocked.join(vt::fileNameStamp(vt::calendarTime(t)) + "_MID_2_" + char('0' + i) + ".vtl"));
    for (int i = 0; i < 40; ++i) EXPECT_FALSE(log.openLog(0, 12, 2, blocked.path()));
    const std::string second = record(log, true, 0, 2);
    EXPECT_EQ(trailerKey(second), keyAt(Generator::Msvcrt, seed, 16));
}

TEST_F(RecoverTest, ALaterRecordingOfTheProcess) {
    vt::logger log;
    vt::keygen::seed(seed);
    record(log, true, 0, 1);
    record(log, true, 0, 2);
    const std::string third = record(log, false, 0, 3);
    log.flush();
    EXPECT_EQ(recover({third}), 0) << said;
    EXPECT_NE(said.find("offset 32"), std::string::npos) << said;
    auto lines = recoveredLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "Info;Start;Logfile start:UserId:12:MatchId:3");
}

TEST_F(RecoverTest, KeysAfterForeignRandCallsAndOffsetsBeyondTheDefault) {
    const std::string log = crashedLog();
    const std::string bytes = readBytes(log);
    writeBytes(log, rekeyed(bytes, keyAt(Generator::Msvcrt, seed, 0), keyAt(Generator::Glibc, seed, 3), false));
    EXPECT_EQ(recover({log}, 10, 3), 0) << said;
    EXPECT_NE(said.find("offset 3"), std::string::npos) << said;
    fs::remove(outputs()[0]);

    // An offset beyond the searched ones is reported with the bounds.
    writeBytes(log, rekeyed(bytes, keyAt(Generator::Msvcrt, seed, 0), keyAt(Generator::Msvcrt, seed, 41), false));
    EXPECT_EQ(recover({log}, 10, 40), 1);
    EXPECT_NE(said.find("key not found within"), std::string::npos) << said;
    EXPECT_NE(said.find("offsets 0 to 40"), std::string::npos) << said;
    EXPECT_TRUE(outputs().empty());
    EXPECT_EQ(recover({log}, 10, 41), 0) << said;
}

TEST_F(RecoverTest, ThreadSeedOneNeedsNoTime) {
    const std::string log = crashedLog();
    writeBytes(log, rekeyed(readBytes(log), keyAt(Generator::Msvcrt, seed, 0), keyAt(Generator::Msvcrt, 1, 16), false));
    EXPECT_EQ(recover({log}, 0, 16, false, "1000000000"), 0) << said;
    EXPECT_NE(said.find("seeded with 1 at offset 16"), std::string::npos) << said;
}

TEST_F(RecoverTest, AHostClockAheadOfTheMachines) {
    vt::logger log;
    vt::keygen::seed(seed);
    const std::uint32_t ahead = static_cast<std::uint32_t>(os::currentTime() + 7200);
    const std::string path = record(log, false, ahead);
    log.flush();
    const auto named = vt::keysearch::nameTime(path);
    ASSERT_TRUE(named);
    EXPECT_GE(*named - seed, 7200);

    // The file's own times (machine clock) find it.
    EXPECT_EQ(recover({path}, 10, 0), 0) << said;
    fs::remove(outputs()[0]);

    // From the name alone, the window must reach back over the difference.
    vt::keysearch::SearchBounds bounds;
    bounds.anchors = {{"the time in the file's name", *named}};
    bounds.offsets = 0;
    bounds.window = *named - seed - 1;
    const std::string head = readBytes(path).substr(0, 64);
    EXPECT_FALSE(vt::keysearch::searchKey(head, bounds).found);
    bounds.window = *named - seed;
    auto r = vt::keysearch::searchKey(head, bounds);
    ASSERT_TRUE(r.found);
    EXPECT_EQ(r.found->seed, seed);
}

// ---- what is not recovered -----------------------------------------------------------

TEST_F(RecoverTest, AWholeLogIsLeftAlone) {
    vt::logger log;
    const std::string path = record(log, true);
    const std::string bytes = readBytes(path);
    EXPECT_EQ(recover({path}), 0);
    EXPECT_NE(said.find("whole; it needs no recovery"), std::string::npos) << said;
    EXPECT_TRUE(outputs().empty());
    EXPECT_EQ(readBytes(path), bytes);
    EXPECT_FALSE(foundKey(path));

    // Bytes appended after the trailer do not make it a log to recover.
    writeBytes(path, bytes + "abc");
    EXPECT_EQ(recover({path}), 0);
    EXPECT_NE(said.find("whole; it needs no recovery and was left alone (3 bytes after its trailer"),
              std::string::npos)
        << said;
    EXPECT_TRUE(outputs().empty());
}

TEST_F(RecoverTest, NotALogIsRefused) {
    std::mt19937 random(5);
    std::string text;
    while (text.size() < 5000) text += "01.02.2026 10:00:00;this is a plain text file\n";
    std::string zeros(3000, '\0');
    std::string noise(4096, '\0');
    for (auto& c : noise) c = static_cast<char>(random());
    const std::string files[] = {dir.join("text.vtl"), dir.join("zeros.vtl"), dir.join("short.vtl"),
                                 dir.join("empty.vtl"), dir.join("noise.vtl")};
    writeBytes(files[0], text);
    writeBytes(files[1], zeros);
    writeBytes(files[2], noise.substr(0, 31));
    writeBytes(files[3], "");
    writeBytes(files[4], noise);
    EXPECT_EQ(recover({files[0], files[1], files[2], files[3], dir.path(), files[4]}, 5, 2), 1);
    EXPECT_NE(said.find("text.vtl: not a log: it reads as text"), std::string::npos) << said;
    EXPECT_NE(said.find("zeros.vtl: not a log"), std::string::npos) << said;
    EXPECT_NE(said.find("short.vtl: not a log: 31 bytes"), std::string::npos) << said;
    EXPECT_NE(said.find("empty.vtl: it is empty"), std::string::npos) << said;
    EXPECT_NE(said.find(dir.path() + ": not a log file (a directory)"), std::string::npos) << said;
    // Noise looks like ciphertext: the whole bounded search runs and says what it covered.
    EXPECT_NE(said.find("noise.vtl: key not found within generators msvcrt LCG and glibc random_r TYPE_3; "
                        "offsets 0 to 2; seeds 1, "),
              std::string::npos)
        << said;
    EXPECT_TRUE(outputs().empty());
    EXPECT_FALSE(foundKey(files[0]));
}

#if !defined(_WIN32)
TEST_F(RecoverTest, OnlyRegularFilesAndOneFailureNeverStopsTheOthers) {
    // A FIFO nobody writes to would block a reader for ever, /dev/zero never
    // ends; neither is read, and the log after them is still recovered.
    const std::string fifo = dir.join("fifo.vtl");
    ASSERT_TRUE(testsupport::makeFifo(fifo));
    const std::string log = crashedLog();
    EXPECT_EQ(recover({fifo, "/dev/zero", log}), 1) << said;
    EXPECT_NE(said.find(fifo + ": not a log file (a FIFO)"), std::string::npos) << said;
    EXPECT_NE(said.find("/dev/zero: not a log file (a device)"), std::string::npos) << said;
    EXPECT_NE(said.find("recovered 6 records"), std::string::npos) << said;
}

TEST_F(RecoverTest, ALargeFileOfZerosIsRefusedFromItsFirstBlocks) {
    // Never allocated on a Linux file system: refused from its head.
    const std::string zeros = dir.join("zeros.vtl");
    { std::ofstream(zeros, std::ios::binary) << std::string(8, '\0'); }
    fs::resize_file(zeros, std::uint64_t(20) << 30);  // 20 GB, judged on its head before it is hashed
    EXPECT_EQ(recover({zeros}), 1);
    EXPECT_NE(said.find("zeros.vtl: not a log: its bytes are far from evenly spread"), std::string::npos) << said;
}
#endif

TEST_F(RecoverTest, AShortWriteIsAFailureAndLeavesNoHalfFile) {
    const std::string log = crashedLog();
    for (const bool seal : {false, true}) {
        std::size_t taken = 0;
        os::setWriteLimit([&taken](std::size_t n) {  // the disk takes 100 bytes, then nothing
            const std::size_t room = taken < 100 ? 100 - taken : 0;
            const std::size_t now = std::min(n, room);
            taken += now;
            return now;
        });
        const int status = recover({log}, 10, 40, seal);
        os::setWriteLimit(nullptr);
        EXPECT_EQ(status, 1) << said;
        EXPECT_NE(said.find("cannot write"), std::string::npos) << said;
        EXPECT_NE(said.find("the disk took 100 of "), std::string::npos) << said;
        EXPECT_EQ(said.find(": recovered "), std::string::npos) << said;
        EXPECT_TRUE(outputs().empty()) << outputs()[0];
    }
}

TEST_F(RecoverTest, BadOptionsAreRefused) {
    const std::string log = crashedLog();
    EXPECT_EQ(recover({log}, -1), 2);
    EXPECT_EQ(recover({log}, 10, 70000), 2);
    EXPECT_EQ(recover({log}, 10, 40, false, "yesterday"), 2);
    vtl::recover::Options o;
    o.files = {log};
    o.outDir = dir.join("missing");
    std::ostringstream s;
    EXPECT_EQ(vtl::recover::run(o, s, s), 2);
    EXPECT_TRUE(outputs().empty());
}

// ---- what is written ------------------------------------------------------------------

TEST_F(RecoverTest, ASealedRecoveryIsAWholeLogThatSaysSo) {
    const std::string log = crashedLog();
    ASSERT_EQ(recover({log}, 10, 40, true), 0) << said;
    ASSERT_EQ(recover({log}, 10, 40, true), 0) << said;  // a second run never replaces the first
    auto files = outputs();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_NE(files[0], files[1]);
    for (const auto& f : files) {
        testsupport::OpenedLog o = testsupport::openLog(f, false);
        ASSERT_TRUE(o.whole) << o.reason;
        auto lines = withoutStamps(vt::read::lines(o.text));
        auto expected = firstRecords(6);
        expected.push_back("Info;Recovered;Logfile recovered:From:" + log.substr(log.find_last_of("/\\") + 1) +
                           ":Records:6");
        expected.push_back("Info;Stop;Logfile end");
        EXPECT_EQ(lines, expected);
    }
    // Under the same key, its body begins with the original's ciphertext.
    const std::string original = readBytes(log), sealed = readBytes(files[0]);
    const std::size_t common = textSize(6) - textSize(6) % 8;
    EXPECT_EQ(sealed.substr(0, common), original.substr(0, common));
}

TEST_F(RecoverTest, CtrlCStopsTheSearch) {
    std::mt19937 random(9);
    std::string noise(4096, '\0');
    for (auto& c : noise) c = static_cast<char>(random());
    const std::string file = dir.join("noise.vtl");
    writeBytes(file, noise);
    std::thread interrupter([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        std::raise(SIGINT);
    });
    const int status = recover({file}, 100000000, 255);
    interrupter.join();
    EXPECT_EQ(status, 130) << said;
    EXPECT_NE(said.find("interrupted after"), std::string::npos) << said;
    EXPECT_NE(progress.find("candidates"), std::string::npos) << progress;
    EXPECT_TRUE(outputs().empty());

    // The next run starts afresh.
    EXPECT_EQ(recover({crashedLog()}), 0) << said;

    vt::keysearch::SearchBounds bounds;
    std::atomic<bool> stop{true};
    auto r = vt::keysearch::searchKey(noise, bounds, {}, &stop);
    EXPECT_TRUE(r.stopped);
    EXPECT_EQ(r.tried, 0u);
}

// ---- pieces ------------------------------------------------------------------------------

TEST(RecoverPieces, TimesOfNamesAndOptions) {
    const auto t = vt::keysearch::nameTime("/logs/2026-12-08_17-55-21_MID_47_0.vtl");
    ASSERT_TRUE(t);
    EXPECT_EQ(vt::fileNameStamp(vt::calendarTime(*t)), "2026-12-08_17-55-21");
    EXPECT_EQ(vt::keysearch::nameTime("C:\\logs\\2026-12-08_17-55-21_MID_47_0.vtl"), t);
    EXPECT_EQ(vt::keysearch::parseTime("2026-12-08 17:55:21"), t);
    EXPECT_EQ(vt::keysearch::parseTime("2026-12-08_17-55-21"), t);
    EXPECT_EQ(vt::keysearch::parseTime("1796000000"), 1796000000);
    const auto january = vt::keysearch::nameTime("2027-01-01_00-00-00_MID_1_0.vtl");
    ASSERT_TRUE(january);
    EXPECT_EQ(vt::fileNameStamp(vt::calendarTime(*january)), "2027-01-01_00-00-00");
    for (const char* bad : {"match.vtl", "2026-13-08_17-55-21_MID_1_0.vtl", "2026-1a-08_17-55-21_MID_1_0.vtl",
                            "2026-12-08-17-55-21.vtl", "26-12-08_17-55-21"})
        EXPECT_FALSE(vt::keysearch::nameTime(bad)) << bad;
    EXPECT_FALSE(vt::keysearch::parseTime("2026-12-08T17:55:21"));
    EXPECT_FALSE(vt::keysearch::parseTime(""));
    // Dates and times that do not exist are refused, never moved on to the next that does.
    for (const char* missing : {"2026-02-30 10:00:00", "2025-02-29 10:00:00", "2100-02-29 10:00:00",
                                "2026-04-31 10:00:00", "2026-12-08 24:00:00", "2026-12-08 17:60:00",
                                "2026-12-08 17:55:60", "2026-00-08 17:55:21", "2026-12-00 17:55:21"})
        EXPECT_FALSE(vt::keysearch::parseTime(missing)) << missing;
    for (const char* leap : {"2024-02-29 10:00:00", "2000-02-29 10:00:00", "2026-12-31 23:59:59"}) {
        const auto when = vt::keysearch::parseTime(leap);
        ASSERT_TRUE(when) << leap;
        EXPECT_EQ(vt::recordStamp(vt::calendarTime(*when)).substr(0, 5), std::string(leap + 8, 2) + "." + std::string(leap + 5, 2))
            << leap;
    }
}

TEST(RecoverPieces, SeedsAreSearchedNearestFirstWithoutRepeats) {
    vt::keysearch::SearchBounds b;
    b.anchors = {{"a", 100}, {"b", 102}};
    b.window = 3;
    auto spans = vt::keysearch::seedSpans(b);
    ASSERT_EQ(spans.size(), 3u);
    EXPECT_EQ(spans[0].first, 1);
    EXPECT_EQ(spans[1].first, 100);
    EXPECT_EQ(spans[1].step, -1);
    EXPECT_EQ(spans[1].count, 4);
    const std::string d = vt::keysearch::describe(b);
    EXPECT_NE(d.find("offsets 0 to 255; seeds 1, "), std::string::npos) << d;
    EXPECT_NE(d.find("(3 s before a)"), std::string::npos) << d;
    b.bothSides = true;
    EXPECT_EQ(vt::keysearch::seedSpans(b).size(), 5u);
    EXPECT_NE(vt::keysearch::describe(b).find("(3 s around b)"), std::string::npos);
}

TEST(RecoverPieces, EverySeedOnceAndNoneOutOfRange) {
    std::string noise(64, '\0');
    std::mt19937 random(3);
    for (auto& c : noise) c = static_cast<char>(random());
    vt::keysearch::SearchBounds b;
    b.offsets = 3;  // 4 offsets x 2 generators a seed
    b.window = 9;
    b.anchors = {{"a", 1000}, {"b", 1005}, {"c", 1003}};  // 991 to 1005, and seed 1
    auto r = vt::keysearch::searchKey(noise, b);
    EXPECT_FALSE(r.found);
    EXPECT_EQ(r.tried, 16u * 8);
    b.anchors = {{"near the start", 3}};  // 0 to 3; 1 only once
    EXPECT_EQ(vt::keysearch::searchKey(noise, b).tried, 4u * 8);
    b.anchors = {{"near the end", 0xffffffffLL - 2}};
    b.bothSides = true;  // nothing beyond 2^32 - 1
    b.seedOne = false;
    EXPECT_EQ(vt::keysearch::searchKey(noise, b).tried, 12u * 8);
    b.threads = 1;
    EXPECT_EQ(vt::keysearch::searchKey(noise, b).tried, 12u * 8);
}

TEST(RecoverPieces, ConfirmingAndReadingRecords) {
    vt::Key16 key{}, wrong{};
    for (int i = 0; i < 16; ++i) key[i] = static_cast<unsigned char>(i + 1), wrong[i] = static_cast<unsigned char>(i + 2);
    std::string text = "08.12.2026 17:55:21;Info;Start;Logfile start:UserId:1:MatchId:2\n"
                       "08.12.2026 17:55:22;Key;Pressed;Name:A\n"
                       "08.12.2026 17:55:23;Key;Pressed;Name:B\x01\n"
                       "08.12.2026 17:55:24;Key;Pressed;Name:C\n";
    text.resize(text.size() + (8 - text.size() % 8) % 8, ' ');
    std::string bytes(text.size(), '\0');
    vt::cbcEncrypt(key, reinterpret_cast<const unsigned char*>(text.data()), reinterpret_cast<unsigned char*>(&bytes[0]),
                   text.size());
    const auto* body = reinterpret_cast<const unsigned char*>(bytes.data());
    EXPECT_TRUE(vt::keysearch::confirms(body, 32, key));
    EXPECT_TRUE(vt::keysearch::confirms(body, bytes.size(), key));
    EXPECT_FALSE(vt::keysearch::confirms(body, 31, key));
    EXPECT_FALSE(vt::keysearch::confirms(body, bytes.size(), wrong));

    // A control byte is not log text: reading stops before that record.
    auto r = vt::salvage::readRecords(bytes, key);
    EXPECT_EQ(r.count, 2u);
    EXPECT_TRUE(r.damaged);
    EXPECT_EQ(r.text, text.substr(0, text.find("08.12.2026 17:55:23")));
}

}  // namespace
