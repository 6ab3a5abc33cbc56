// vtl on large logs: the peak resident memory of `vtl verify` and `vtl cat`
// on a 1 GB log against the same on a 1 MB log, and the throughput of
// `vtl cat` against Blowfish-CBC decryption of the same file, in one thread
// and bounded pieces, measured in the same run.
//
//   bench_vtl [megabytes of the large log, default 1024]
#include "bench_util.h"

#include "log/container.h"

#include <boost/filesystem.hpp>
#include <openssl/blowfish.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = boost::filesystem;

// A whole log of about `bytes` bytes: start, 100-byte key records, stop.
void writeLog(const std::string& path, std::uint64_t bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    vt::Key16 key{};
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<unsigned char>(i * 7 + 3);
    vt::CipherStream stream([&](const unsigned char* d, std::size_t n) { out.write(reinterpret_cast<const char*>(d), std::streamsize(n)); });
    stream.resetCipher(key.data());
    stream.encryptAppend("08.12.2026 10:00:00;Info;Start;Logfile start:UserId:1:MatchId:2\n");
    std::string block;
    for (int i = 0; i < 1000; ++i) {
        std::string line = "08.12.2026 10:00:01;Key;Pressed;Name:" + std::to_string(i);
        line.resize(99, 'k');
        block += line + "\n";
    }
    for (std::uint64_t written = 0; written < bytes; written += block.size()) stream.encryptAppend(block);
    stream.encryptAppend("08.12.2026 10:00:09;Info;Stop;Logfile end\n");
    stream.writeTrailer(key);
}

using Run = bench::ChildRun;

Run runVtl(const std::string& vtl, const std::vector<std::string>& args, const std::string& peakFile) {
    return bench::runUnderTime(vtl, args, peakFile, false);
}

// One thread, bounded pieces: what `vtl cat` has to do at the least.
double decryptSeconds(const std::string& path) {
    auto start = bench::Clock::now();
    std::ifstream in(path, std::ios::binary);
    std::vector<unsigned char> chunk(vt::kReadChunk), plain(vt::kReadChunk);
    vt::Key16 key{};
    BF_KEY schedule;
    BF_set_key(&schedule, 16, key.data());
    vt::Iv iv = vt::fixedIv();
    while (in.read(reinterpret_cast<char*>(chunk.data()), std::streamsize(chunk.size())) || in.gcount() > 0) {
        const std::size_t n = std::size_t(in.gcount()) - std::size_t(in.gcount()) % 8;
        BF_cbc_encrypt(chunk.data(), plain.data(), long(n), &schedule, iv.data(), BF_DECRYPT);
    }
    return bench::seconds(bench::Clock::now() - start);
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t largeMb = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    const std::string vtl = VT_VTL_PATH;
    const fs::path dir = fs::temp_directory_path() / fs::unique_path("vt-bench-vtl-%%%%-%%%%");
    fs::create_directories(dir);
    const std::string small = (dir / "small.vtl").string(), large = (dir / "large.vtl").string();
    writeLog(small, 1u << 20);
    writeLog(large, largeMb << 20);
    const double largeFileMb = double(fs::file_size(large)) / 1e6;

    std::printf("== vtl on a %.0f MB log against a 1 MB log\n", largeFileMb);
    decryptSeconds(large);  // the file into the page cache
    int failures = 0;
    const std::string peak = (dir / "peak").string();
    if (access("/usr/bin/time", X_OK) != 0) {
        std::printf("GNU time (/usr/bin/time, package time) is needed for the memory figures\n");
        return 1;
    }
    for (const char* command : {"verify", "cat"}) {
        Run s = runVtl(vtl, {command, small}, peak);
        Run l = runVtl(vtl, {command, large}, peak);
        if (s.status != 0 || l.status != 0) {
            std::printf("vtl %s failed: %d / %d\n", command, s.status, l.status);
            ++failures;
        }
        const std::string what = std::string("vtl ") + command + ", peak resident memory, large log";
        bench::row(("vtl " + std::string(command) + ", peak resident memory, 1 MB log (reference)").c_str(), s.peakMb,
                   "MB", s.peakMb, "-");
        bench::row(what.c_str(), l.peakMb, "MB", s.peakMb, "about 1");
        // The old reader held the whole file: the file's size is the figure to beat.
        bench::row(("vtl " + std::string(command) + ", large log, against the file's size").c_str(), l.peakMb, "MB",
                   largeFileMb, "far below 1");
    }
    // Throughput: the median of three runs each, alternating.
    std::vector<double> cat, decrypt;
    for (int i = 0; i < 3; ++i) {
        decrypt.push_back(decryptSeconds(large));
        cat.push_back(runVtl(vtl, {"cat", large}, peak).seconds);
    }
    const double decryptRate = largeFileMb / bench::percentile(decrypt, 0.5);
    const double catRate = largeFileMb / bench::percentile(cat, 0.5);
    bench::row("Blowfish-CBC decryption of the file, one thread (reference)", decryptRate, "MB/s", decryptRate, "-");
    bench::row("vtl cat FILE > /dev/null", catRate, "MB/s", decryptRate, ">= 0.7");
    fs::remove_all(dir);
    return failures ? 1 : 0;
}
