// The log: records per second against the cipher's own speed, the reader
// against plain decryption, and the latency of vtSendKey.
#include "bench_util.h"

#include "controller/library.h"
#include "support/controller_access.h"
#include "log/container.h"
#include "log/logger.h"
#include "read/records.h"
#include "verbs.h"
#include "vantorelle/vantorelle.h"

#include <boost/filesystem.hpp>
#include <openssl/blowfish.h>
#include <openssl/md5.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

namespace fs = boost::filesystem;

std::string tempDir() {
    auto p = fs::temp_directory_path() / fs::unique_path("vt-bench-%%%%-%%%%");
    fs::create_directories(p);
    return p.string();
}

// Floor: Blowfish-CBC and MD5 over the same bytes, 100 at a time, no formatting, no file.
double floorRecordsPerSecond(int records) {
    unsigned char key[16] = {1, 2, 3};
    BF_KEY schedule;
    BF_set_key(&schedule, 16, key);
    MD5_CTX md5;
    MD5_Init(&md5);
    unsigned char iv[8] = {};
    std::string pending;
    const std::string record(100, 'r');
    unsigned char out[512];
    auto start = bench::Clock::now();
    for (int i = 0; i < records; ++i) {
        pending += record;
        std::size_t whole = pending.size() - pending.size() % 8;
        BF_cbc_encrypt(reinterpret_cast<const unsigned char*>(pending.data()), out, long(whole), &schedule, iv,
                       BF_ENCRYPT);
        MD5_Update(&md5, out, whole);
        pending.erase(0, whole);
    }
    unsigned char digest[16];
    MD5_Final(digest, &md5);
    return records / bench::seconds(bench::Clock::now() - start);
}

double loggerRecordsPerSecond(int records) {
    const std::string dir = tempDir();
    vt::logger log;
    log.openLog(0, 1, 1, dir);
    // 100 bytes a line: stamp (20) + "Key;Pressed;Name:" (17) + 62 + line feed.
    const std::string name(62, 'k');
    auto start = bench::Clock::now();
    for (int i = 0; i < records; ++i) log.writeKeyPressed(name);
    log.closeLog();
    double rate = records / bench::seconds(bench::Clock::now() - start);
    fs::remove_all(dir);
    return rate;
}

void readerAgainstDecryption() {
    const std::string dir = tempDir();
    {
        vt::logger log;
        log.openLog(0, 1, 1, dir);
        const std::string name(62, 'k');
        for (int i = 0; i < 400000; ++i) log.writeKeyPressed(name);
        log.closeLog();
    }
    std::string file;
    for (fs::directory_iterator it(dir), end; it != end; ++it) file = it->path().string();
    const double mb = double(fs::file_size(file)) / 1e6;
    std::string bytes;
    {
        std::ifstream in(file, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::string plain(bytes.size(), '\0');
    vt::Key16 key{};
    double decrypt = bench::medianSeconds(
        [&] {
            vt::cbcDecrypt(key, reinterpret_cast<const unsigned char*>(bytes.data()),
                           reinterpret_cast<unsigned char*>(&plain[0]), bytes.size() - bytes.size() % 8);
        },
        5, 1);
    double cat = bench::medianSeconds(
        [&] {
            std::ofstream out("/dev/null");  // as the tool writes to a file or a pipe
            std::ostringstream err;
            vtl::cat(file, false, out, err);
        },
        5, 1);
    bench::row("Blowfish-CBC decryption of the file (reference)", mb / decrypt, "MB/s", mb / decrypt, "-");
    bench::row("vtl cat of the same file (read, verify, decrypt, print)", mb / cat, "MB/s", mb / decrypt, ">= 0.7");
    fs::remove_all(dir);
}

std::vector<double> keyLatencies(int keys) {
    std::vector<double> t;
    t.reserve(std::size_t(keys));
    const std::string name = "Space";
    for (int i = 0; i < keys; ++i) {
        auto start = bench::Clock::now();
        vtSendKey(1, name);
        t.push_back(bench::seconds(bench::Clock::now() - start) * 1e6);
        if (i % 64 == 0) std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    return t;
}

void sendKeyLatency() {
    const std::string dir = tempDir();
    // Idle: an open log, no worker writes (ticks far apart, nothing changes).
    vt::controllerTestAccess::setDefaultSchedule(1000000, 20);
    vt::attachLibrary();
    vtStart(1, 1, 0, 0, dir.c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the first tick's records are written
    auto idle = keyLatencies(50000);
    vtStop();
    vt::detachLibrary(vt::vantorelle::Unload::Normal);

    // Busy: the worker polls every millisecond while another host thread writes facts.
    vt::controllerTestAccess::setDefaultSchedule(1, 20);
    vt::attachLibrary();
    vtStart(1, 2, 0, 0, dir.c_str());
    std::atomic<bool> done{false};
    std::thread other([&] {
        while (!done) {
            vtSendInfo("fact", "value");
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    auto busy = keyLatencies(50000);
    done = true;
    other.join();
    vtStop();
    vt::detachLibrary(vt::vantorelle::Unload::Normal);

    const double idleMedian = bench::percentile(idle, 0.5), idleP99 = bench::percentile(idle, 0.99);
    bench::row("vtSendKey median, idle log (reference)", idleMedian, "us", idleMedian, "-");
    bench::row("vtSendKey p99, idle log", idleP99, "us", idleMedian, "-");
    bench::row("vtSendKey median, worker and another host thread writing", bench::percentile(busy, 0.5), "us",
               idleMedian, "-");
    bench::row("vtSendKey p99, worker and another host thread writing", bench::percentile(busy, 0.99), "us", idleP99,
               "p99 <= 50 us");
    fs::remove_all(dir);
}

}  // namespace

int main() {
    std::printf("== log\n");
    const int records = 1000000;
    const double floor = floorRecordsPerSecond(records);
    const double logger = loggerRecordsPerSecond(records);
    bench::row("BF-CBC + MD5 over 100-byte records (floor)", floor / 1e6, "M/s", floor / 1e6, "-");
    bench::row("logger: 100-byte key records, stamped and written", logger / 1e6, "M/s", floor / 1e6, ">= 0.5");
    readerAgainstDecryption();
    sendKeyLatency();
    return 0;
}
