// The worker thread: its CPU use while recording this machine at the real
// schedule, and resident memory after many fast ticks.
#include "bench_util.h"

#include "controller/vantorelle.h"
#include "support/controller_access.h"
#include "platform/linux/linux_system.h"

#include <netinet/in.h>
#include <time.h>

#include <boost/filesystem.hpp>

#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <set>
#include <thread>

namespace {

namespace fs = boost::filesystem;

std::set<std::string> tasks() {
    std::set<std::string> out;
    DIR* d = opendir("/proc/self/task");
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') out.insert(e->d_name);
    closedir(d);
    return out;
}

// Nanoseconds the thread has run, from the scheduler's own account.
double threadCpuSeconds(const std::string& tid) {
    std::ifstream in("/proc/self/task/" + tid + "/schedstat");
    unsigned long long ns = 0;
    in >> ns;
    return double(ns) / 1e9;
}

double residentMb() {
    std::ifstream in("/proc/self/statm");
    unsigned long long size = 0, resident = 0;
    in >> size >> resident;
    return double(resident) * double(sysconf(_SC_PAGESIZE)) / 1e6;
}

void waitTicks(vt::vantorelle& c, std::uint64_t n) {
    while (vt::controllerTestAccess::ticks(c) < n) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    auto dir = fs::temp_directory_path() / fs::unique_path("vt-bench-%%%%-%%%%");
    fs::create_directories(dir);

    std::printf("== worker\n");
    {
        vt::vantorelle controller;  // the library's schedule: 500 ms ticks, statistics every 20th
        auto before = tasks();
        controller.start(dir.string(), 1, 1, 0x7F000002u /* 127.0.0.2 */, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::string worker;
        for (const auto& t : tasks())
            if (!before.count(t)) worker = t;
        // The floor, alongside: the kernel's dumps of the two socket tables at the
        // same rate, nothing else, measured from that thread's own CPU clock.
        double floorCpu = 0;
        std::atomic<bool> done{false};
        std::thread floor([&] {
            std::vector<procfs::SocketRow> rows;
            auto& machine = os::linux_backend::LinuxSystem::machine();
            timespec t0, t1;
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t0);
            while (!done) {
                machine.readSockets("udp", IPPROTO_UDP, rows);
                machine.readSockets("tcp", IPPROTO_TCP, rows);
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
            }
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t1);
            floorCpu = double(t1.tv_sec - t0.tv_sec) + double(t1.tv_nsec - t0.tv_nsec) / 1e9;
        });
        const double cpu0 = threadCpuSeconds(worker);
        auto start = bench::Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const double cpu = threadCpuSeconds(worker) - cpu0;
        const double wall = bench::seconds(bench::Clock::now() - start);
        done = true;
        floor.join();
        controller.stop();
        char what[96];
        std::snprintf(what, sizeof what, "socket table dumps alone, every 500 ms (floor), %% of one core");
        bench::row(what, 100.0 * floorCpu / wall, "%", 100.0 * floorCpu / wall, "-");
        std::snprintf(what, sizeof what, "worker CPU over %d s of recording, %% of one core", seconds);
        bench::row(what, 100.0 * cpu / wall, "%", 100.0 * floorCpu / wall, "<= 0.5 %");
    }
    {
        vt::controllerTestAccess::setDefaultSchedule(0, 20);
        vt::vantorelle controller;
        controller.start(dir.string(), 1, 2, 0x7F000002u, 0);
        waitTicks(controller, 100);
        const double after100 = residentMb();
        waitTicks(controller, 10000);
        const double after10000 = residentMb();
        controller.stop();
        bench::row("resident memory after 100 fast ticks (reference)", after100, "MB", after100, "-");
        bench::row("resident memory after 10,000 fast ticks", after10000, "MB", after100, "about 1");
    }
    fs::remove_all(dir);
    return 0;
}
