// The process watch with 300 extra sleeping processes: a tick without change
// (which checks the identity of a share of the processes)
// and a tick with one new process, against listing /proc alone.
#include "bench_util.h"

#include "monitors/procwatch/procwatch.h"

#include <dirent.h>
#include <spawn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

extern char** environ;

namespace {

pid_t sleeper() {
    pid_t pid = fork();
    if (pid == 0) {
        pause();
        _exit(0);
    }
    return pid;
}

// A new process without fork's copy-on-write faults in this one afterwards.
pid_t spawnSleep() {
    pid_t pid;
    char* const args[] = {const_cast<char*>("sleep"), const_cast<char*>("60"), nullptr};
    posix_spawn(&pid, "/bin/sleep", nullptr, nullptr, args, environ);
    return pid;
}

void reap(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// The floor: the identifiers of /proc, nothing else.
std::size_t listProc() {
    std::size_t n = 0;
    DIR* d = opendir("/proc");
    while (dirent* e = readdir(d))
        if (e->d_name[0] >= '0' && e->d_name[0] <= '9') ++n;
    closedir(d);
    return n;
}

}  // namespace

int main() {
    std::vector<pid_t> children;
    for (int i = 0; i < 300; ++i) children.push_back(sleeper());
    std::printf("== process watch (%zu processes)\n", listProc());

    vt::procwatch watch;
    watch.pollProcesses();
    volatile std::size_t sink = 0;
    const auto m = bench::pairedMedians([&] { sink = sink + listProc(); }, [&] { watch.pollProcesses(); }, 31, 20);
    const double floor = m.first, steady = m.second;

    // The reference under the same conditions as the tick below: the listing
    // plus the lookup of a process that has just started.
    std::vector<double> lookups;
    for (int i = 0; i < 200; ++i) {
        pid_t extra = spawnSleep();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        auto start = bench::Clock::now();
        sink = sink + listProc();
        vt::processPath(std::uint32_t(extra), {});
        lookups.push_back(bench::seconds(bench::Clock::now() - start));
        reap(extra);
    }
    const double reference = bench::percentile(lookups, 0.5);
    std::vector<double> changed;
    for (int i = 0; i < 200; ++i) {
        pid_t extra = spawnSleep();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));  // let it exec
        auto start = bench::Clock::now();
        watch.pollProcesses();
        changed.push_back(bench::seconds(bench::Clock::now() - start));
        reap(extra);
        watch.pollProcesses();
    }
    const double oneNew = bench::percentile(changed, 0.5);

    bench::row("listing the identifiers of /proc (floor)", floor * 1e6, "us", floor * 1e6, "-");
    bench::row("tick without change", steady * 1e6, "us", floor * 1e6, "<= 2");
    bench::row("listing + image path lookup of a new process (reference)", reference * 1e6, "us", reference * 1e6, "-");
    bench::row("tick with one new process", oneNew * 1e6, "us", reference * 1e6, "-");
    for (pid_t c : children) reap(c);
    return 0;
}
