// The C interface's cost: vtcSendKey against vtSendKey, called in turn on
// the same open log in the same run, so that both see the same machine.
#include "bench_util.h"

#include "controller/library.h"
#include "support/controller_access.h"
#include "vantorelle/vantorelle.h"
#include "vantorelle/vantorelle_c.h"

#include <boost/filesystem.hpp>

#include <thread>

int main() {
    namespace fs = boost::filesystem;
    const fs::path dir = fs::temp_directory_path() / fs::unique_path("vt-bench-%%%%-%%%%");
    fs::create_directories(dir);
    // An open log and no worker writes (ticks far apart).
    vt::controllerTestAccess::setDefaultSchedule(1000000, 20);
    vt::attachLibrary();
    vtcStart(1, 1, 0, 0, dir.string().c_str(), VTC_NTS);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    const std::string name = "Space";
    std::vector<double> cpp, c;
    const int keys = 200000;
    cpp.reserve(keys);
    c.reserve(keys);
    auto cppBlock = [&] {
        for (int k = 0; k < 64; ++k) {
            auto start = bench::Clock::now();
            vtSendKey(1, name);
            cpp.push_back(bench::seconds(bench::Clock::now() - start) * 1e6);
        }
    };
    auto cBlock = [&] {
        for (int k = 0; k < 64; ++k) {
            auto start = bench::Clock::now();
            vtcSendKey(1, "Space", 5);
            c.push_back(bench::seconds(bench::Clock::now() - start) * 1e6);
        }
    };
    // Blocks of 64 of each, with a pause after every pair as a host's key
    // presses have; which comes first after the pause (the slower call, its
    // caches cold) alternates.
    for (int i = 0; i < keys; i += 64) {
        if ((i / 64) % 2 == 0) {
            cppBlock();
            cBlock();
        } else {
            cBlock();
            cppBlock();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    vtcStop();
    vt::detachLibrary(vt::vantorelle::Unload::Normal);
    fs::remove_all(dir);

    const double cppMedian = bench::percentile(cpp, 0.5), cppP99 = bench::percentile(cpp, 0.99);
    std::printf("== C interface\n");
    bench::row("vtSendKey median (reference)", cppMedian, "us", cppMedian, "-");
    bench::row("vtcSendKey median", bench::percentile(c, 0.5), "us", cppMedian, "-");
    bench::row("vtSendKey p99 (reference)", cppP99, "us", cppP99, "-");
    bench::row("vtcSendKey p99", bench::percentile(c, 0.99), "us", cppP99, "<= 1.2");
    return 0;
}
