// vtrecord on a disk that fills up: a small tmpfs, filled to the last block,
// emptied again during the recording or not at all.
#include "support/log_text.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <boost/filesystem.hpp>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using testsupport::countPrefix;
using testsupport::logFiles;
using testsupport::recordLines;
using testsupport::withoutStamps;

// A 256 KiB tmpfs at a fresh directory, unmounted at the end.
class SmallDisk {
public:
    explicit SmallDisk(const std::string& at) : path_(at) {
        boost::filesystem::create_directory(at);
        if (::mount("tmpfs", at.c_str(), "tmpfs", 0, "size=256k") == 0) mounted_ = true;
        else error_ = std::strerror(errno);
    }
    ~SmallDisk() {
        if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    const std::string& error() const { return error_; }
    // Takes every free block with one file.
    void fill() {
        std::FILE* f = std::fopen(filler().c_str(), "wb");
        ASSERT_NE(f, nullptr);
        static const char zeros[4096] = {};
        while (std::fwrite(zeros, 1, sizeof zeros, f) == sizeof zeros) {
        }
        std::fclose(f);
        struct stat st;
        ASSERT_EQ(::stat(filler().c_str(), &st), 0);
        ASSERT_GT(st.st_size, 100 * 1024);
    }
    void empty() { ASSERT_EQ(std::remove(filler().c_str()), 0); }
    std::string filler() const { return path_ + "/filler"; }

private:
    std::string path_;
    bool mounted_ = false;
    std::string error_;
};

struct Outcome {
    int status = -1;
    std::string out, err;
};

Outcome record(const testsupport::TempDir& scratch, const std::string& dir, double seconds) {
    const std::string out = scratch.join("out.txt"), err = scratch.join("err.txt");
    const std::string cmd = std::string(VT_TOOLS_DIR) + "/vtrecord --user 5 --match 9 --key Space --info Map=dust --seconds " +
                            std::to_string(seconds) + " --dir " + dir + " > " + out + " 2> " + err;
    Outcome r;
    const int status = std::system(cmd.c_str());
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = testsupport::readBytes(out);
    r.err = testsupport::readBytes(err);
    return r;
}

#define REQUIRE_SMALL_DISK(disk)                                                                              \
    if (::geteuid() != 0 || !(disk).mounted())                                                                \
    GTEST_SKIP() << "skipped: cannot mount a small tmpfs here ("                                              \
                 << (::geteuid() != 0 ? std::string("not root") : (disk).error())                             \
                 << "); the full-disk recording needs root and the right to mount"

TEST(FullDisk, ADiskFullForAWhileLosesNothing) {
    testsupport::TempDir scratch;
    SmallDisk disk(scratch.join("disk"));
    REQUIRE_SMALL_DISK(disk);
    disk.fill();
    Outcome run;
    std::thread recorder([&] { run = record(scratch, scratch.join("disk"), 5); });
    std::this_thread::sleep_for(2s);
    // Records were made (the start record at least), but nothing could be written.
    const auto files = logFiles(scratch.join("disk"));
    boost::system::error_code ec;
    const auto sizeWhileFull = files.size() == 1 ? boost::filesystem::file_size(files[0], ec) : 1;
    disk.empty();
    recorder.join();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(sizeWhileFull, 0u);
    EXPECT_EQ(run.status, 0) << run.err;
    auto lines = withoutStamps(recordLines(files[0]));  // fails unless whole
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "Info;Start;Logfile start:UserId:5:MatchId:9");
    EXPECT_EQ(countPrefix(lines, "Key;Pressed;Name:Space"), 1);
    EXPECT_EQ(countPrefix(lines, "SysInfo;Map;Value:dust"), 1);
    EXPECT_EQ(countPrefix(lines, "SysInfo;Records lost;"), 0);
    EXPECT_EQ(lines.back(), "Info;Stop;Logfile end");
}

TEST(FullDisk, ALogTheDiskNeverTookIsReported) {
    testsupport::TempDir scratch;
    SmallDisk disk(scratch.join("disk"));
    REQUIRE_SMALL_DISK(disk);
    disk.fill();
    const Outcome run = record(scratch, scratch.join("disk"), 1);
    EXPECT_EQ(run.status, 5) << run.err;
    EXPECT_NE(run.err.find("could not be written whole"), std::string::npos) << run.err;
    EXPECT_FALSE(run.out.empty());  // the path is still printed
}

}  // namespace
#endif
