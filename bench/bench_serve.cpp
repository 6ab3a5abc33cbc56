// vtl serve under a league's load: thousands of small logs and some of 1 MB
// uploaded by 32 concurrent clients on loopback, against vtl index of the
// same files in the same run. Prints logs/s, MB/s, the upload latency, the lag
// from an answer to the log being in the index, and checks that every log is
// in the index exactly once.
#include "bench_util.h"

#include "index/sqlite.h"
#include "server/client.h"
#include "server/registry.h"
#include "support/match_logs.h"
#include "support/spawned.h"

#include <boost/filesystem.hpp>

#include <atomic>
#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

namespace {

namespace fs = boost::filesystem;
using bench::Clock;

const std::string kVtl = VT_VTL_PATH;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

struct Log {
    std::string name, bytes, sha;
    bool large = false;
    Clock::time_point answered;
    double latency = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const int small = argc > 1 ? std::atoi(argv[1]) : 4000;
    const int large = argc > 2 ? std::atoi(argv[2]) : 100;
    const int clients = 32;
    const fs::path dir = fs::temp_directory_path() / fs::unique_path("vt-bench-serve-%%%%-%%%%");
    fs::create_directories(dir / "league");

    // The league: matches of two minutes (about 8 KB), and of an hour (about 1 MB).
    std::vector<Log> logs;
    double megabytes = 0;
    for (int i = 0; i < small + large; ++i) {
        testsupport::MatchSpec m;
        m.user = 1 + i % 500;
        m.match = 100000 + i;
        m.day = "0" + std::to_string(1 + i % 9) + ".12.2026";
        const bool big = large > 0 && i % ((small + large) / large) == 0 && i / ((small + large) / large) < large;
        m.ticks = big ? 5400 : 40;
        m.facts = {{"Volume ID from C-Drive", "V-" + std::to_string(i % 700)}};
        Log l;
        l.name = "m" + std::to_string(m.match) + ".vtl";
        l.bytes = testsupport::sealedLog(testsupport::matchText(m));
        l.sha = vt::server::sha256Hex(l.bytes);
        l.large = big;
        megabytes += double(l.bytes.size()) / 1e6;
        writeFile((dir / "league" / l.name).string(), l.bytes);
        logs.push_back(std::move(l));
    }
    std::size_t largeCount = 0, largeBytes = 0;
    for (const auto& l : logs)
        if (l.large) ++largeCount, largeBytes += l.bytes.size();
    std::printf("league: %zu logs, %.1f MB (%zu of %.2f MB each)\n", logs.size(), megabytes, largeCount,
                largeCount ? double(largeBytes) / 1e6 / double(largeCount) : 0.0);

    // The reference: vtl index of the same files.
    const auto peak = (dir / "peak").string();
    const auto ref = bench::runUnderTime(kVtl, {"index", (dir / "ref.db").string(), (dir / "league").string(),
                                                "--no-search"}, peak, true);
    if (ref.status != 0) {
        std::fprintf(stderr, "vtl index failed (%d)\n", ref.status);
        return 1;
    }
    const double indexRate = double(logs.size()) / ref.seconds;

    // The server, and a token for the clients.
    const std::string db = (dir / "league.db").string();
    std::string token;
    {
        testsupport::Spawned add({kVtl, "serve", db, "--add-token", "bench"}, (dir / "token").string(), "/dev/null");
        add.wait();
        std::istringstream in(readFile((dir / "token").string()));
        std::getline(in, token);
    }
    const std::string out = (dir / "serve.out").string();
    testsupport::Spawned serve({kVtl, "serve", db, "--store", (dir / "store").string(), "--listen", "127.0.0.1:0"},
                               out, (dir / "serve.err").string());
    std::string url;
    for (int i = 0; i < 500 && url.empty(); ++i) {
        std::istringstream in(readFile(out));
        std::string first;
        if (std::getline(in, first) && first.rfind("listening on ", 0) == 0) url = first.substr(13);
        else std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (url.empty()) {
        std::fprintf(stderr, "vtl serve did not start: %s\n", readFile((dir / "serve.err").string()).c_str());
        return 1;
    }

    // Every log's first sighting in the index, polled while the uploads go on.
    std::map<std::string, Clock::time_point> seen;
    std::atomic<bool> uploaded{false};
    std::thread watcher([&] {
        Clock::time_point giveUp = Clock::time_point::max();
        while (Clock::now() < giveUp) {
            if (uploaded && giveUp == Clock::time_point::max()) giveUp = Clock::now() + std::chrono::seconds(120);
            try {
                if (fs::exists(db)) {
                    vt::index::Db d(db, vt::index::Db::Mode::ReadOnly);
                    vt::index::Stmt s(d, "SELECT sha256 FROM files");
                    const auto now = Clock::now();
                    while (s.step()) seen.emplace(s.text(0), now);
                }
            } catch (const std::exception&) {
            }
            if (seen.size() >= logs.size()) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });

    std::atomic<std::size_t> next{0}, failed{0}, retried{0};
    std::set<std::string> expectedPaced;
    const auto started = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&] {
            vt::server::Uploader uploader(url, token);
            for (std::size_t i; (i = next++) < logs.size();) {
                auto& l = logs[i];
                const auto t0 = Clock::now();
                const auto r = uploader.upload(l.name, l.bytes);
                l.answered = Clock::now();
                l.latency = bench::seconds(l.answered - t0);
                if (r.status != 201) ++failed;
                if (r.attempts > 1) ++retried;
            }
        });
    for (auto& t : threads) t.join();
    const double uploadSeconds = bench::seconds(Clock::now() - started);
    uploaded = true;
    watcher.join();
    Clock::time_point last = started;
    std::vector<double> smallLatency, largeLatency, lag;
    for (const auto& l : logs) {
        (l.large ? largeLatency : smallLatency).push_back(l.latency * 1000);
        const auto it = seen.find(l.sha);
        if (it == seen.end()) continue;
        last = std::max(last, it->second);
        lag.push_back(std::max(0.0, bench::seconds(it->second - l.answered)));
    }
    const double ingestSeconds = bench::seconds(last - started);

    // 1 MB logs at about half of the rate measured above, as a league's day
    // sends them: each client one log every `pace` seconds.
    std::vector<double> pacedLatency;
    {
        const double capacity = megabytes / ingestSeconds;  // MB/s
        const double pace = double(clients) / std::max(0.5, capacity / 2);
        std::mutex m;
        std::vector<std::thread> paced;
        for (int c = 0; c < clients; ++c)
            paced.emplace_back([&, c] {
                vt::server::Uploader uploader(url, token);
                std::this_thread::sleep_for(std::chrono::duration<double>(pace * c / clients));
                for (int k = 0; k < 2; ++k) {
                    const auto due = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(pace));
                    testsupport::MatchSpec ms;
                    ms.user = 900 + c;
                    ms.match = 900000 + c * 10 + k;
                    ms.ticks = 5400;
                    const std::string bytes = testsupport::sealedLog(testsupport::matchText(ms));
                    const auto t0 = Clock::now();
                    const auto r = uploader.upload("paced.vtl", bytes);
                    const double ms1 = bench::seconds(Clock::now() - t0) * 1000;
                    std::lock_guard<std::mutex> lock(m);
                    if (r.status == 201) pacedLatency.push_back(ms1);
                    else ++failed;
                    expectedPaced.insert(vt::server::sha256Hex(bytes));
                    std::this_thread::sleep_until(due);
                }
            });
        for (auto& t : paced) t.join();
        std::printf("paced: %zu logs of 1 MB, one from each of %d clients every %.1f s (%.1f MB/s)\n",
                    pacedLatency.size(), clients, pace, double(clients) * 1.05 / pace);
    }
    serve.signal(SIGTERM);
    const int stopped = serve.wait();

    // Every log in the index once, and in the store once.
    std::int64_t rows = 0, distinct = 0;
    {
        vt::index::Db d(db, vt::index::Db::Mode::ReadOnly);
        rows = d.integer("SELECT count(*) FROM files");
        distinct = d.integer("SELECT count(DISTINCT sha256) FROM files");
    }
    std::size_t stored = 0;
    for (fs::directory_iterator it(dir / "store"), end; it != end; ++it) stored += it->path().extension() == ".vtl";

    std::printf("%d clients on loopback, 2 cores shared; vtl index took %.2f s (%.0f logs/s)\n", clients, ref.seconds,
                indexRate);
    bench::row("uploads answered (logs/s)", double(logs.size()) / uploadSeconds, "logs/s", indexRate, ">= 0.5");
    bench::row("ingest: uploaded and in the index (logs/s)", double(logs.size()) / ingestSeconds, "logs/s", indexRate,
               ">= 0.5");
    bench::row("ingest (MB/s)", megabytes / ingestSeconds, "MB/s", megabytes / ref.seconds, ">= 0.5");
    bench::row("upload latency of a small log, p50", bench::percentile(smallLatency, 0.5), "ms", 0, "-");
    bench::row("upload latency of a small log, p99", bench::percentile(smallLatency, 0.99), "ms", 0, "-");
    bench::row("upload latency of a 1 MB log, p50", bench::percentile(largeLatency, 0.5), "ms", 0, "-");
    bench::row("upload latency of a 1 MB log, p99", bench::percentile(largeLatency, 0.99), "ms", 0, "<= 250 ms");
    bench::row("upload latency of a 1 MB log at half the rate, p50", bench::percentile(pacedLatency, 0.5), "ms", 0, "-");
    bench::row("upload latency of a 1 MB log at half the rate, p99", bench::percentile(pacedLatency, 0.99), "ms", 0,
               "<= 250 ms");
    bench::row("answer to indexed, p50", bench::percentile(lag, 0.5), "s", 0, "-");
    bench::row("answer to indexed, p99", bench::percentile(lag, 0.99), "s", 0, "-");
    bench::row("answer to indexed, max", bench::percentile(lag, 1.0), "s", 0, "<= 2 s");
    std::printf("refused or failed: %zu, tried again: %zu; in the index %lld rows of %lld files, %zu in the store; "
                "the server stopped with %d\n",
                failed.load(), retried.load(), static_cast<long long>(rows), static_cast<long long>(distinct), stored,
                stopped);
    boost::system::error_code ec;
    fs::remove_all(dir, ec);
    const std::size_t all = logs.size() + expectedPaced.size();
    const bool once = failed == 0 && rows == std::int64_t(all) && distinct == rows && stored == all;
    if (!once) std::printf("FAILED: not every log is in the index and the store exactly once\n");
    return once && stopped == 0 ? 0 : 1;
}
