// How long vtStop takes while the worker sleeps between ticks.
#include "bench_util.h"

#include "controller/library.h"
#include "vantorelle/vantorelle.h"

#include <thread>

int main() {
    vt::attachLibrary();
    std::vector<double> stops;
    for (int i = 0; i < 20; ++i) {
        vtStart(1, 1, 0, 0, nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));  // the first tick is done; the pause runs
        auto start = bench::Clock::now();
        vtStop();
        stops.push_back(bench::seconds(bench::Clock::now() - start) * 1e3);
    }
    vt::detachLibrary(vt::vantorelle::Unload::Normal);
    std::printf("== stop\n");
    bench::row("tick pause (reference)", 500, "ms", 500, "-");
    bench::row("vtStop during the pause, median", bench::percentile(stops, 0.5), "ms", 500, "far below 1");
    bench::row("vtStop during the pause, worst", bench::percentile(stops, 1.0), "ms", 500, "far below 1");
    return 0;
}
