// The process watch with 300 extra sleeping processes: a tick without change
// and a tick with one new process, against listing /proc alone.
#include "bench_util.h"

#include "monitors/procwatch/procwatch.h"

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace {

pid_t sleeper() {
    pid_t pid = fork();
    if (pid == 0) {
        pause();
        _exit(0);
    }
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
    const double floor = bench::medianSeconds([&] { sink = sink + listProc(); }, 15, 50);
    const double steady = bench::medianSeconds([&] { watch.pollProcesses(); }, 15, 50);

    const double lookup = bench::medianSeconds([&] { vt::processPath(std::uint32_t(children[0]), {}); }, 15, 50);
    std::vector<double> changed;
    for (int i = 0; i < 200; ++i) {
        pid_t extra = sleeper();
        auto start = bench::Clock::now();
        watch.pollProcesses();
        changed.push_back(bench::seconds(bench::Clock::now() - start));
        reap(extra);
        watch.pollProcesses();
    }
    const double oneNew = bench::percentile(changed, 0.5);

    bench::row("listing the identifiers of /proc (floor)", floor * 1e6, "us", floor * 1e6, "-");
    bench::row("tick without change", steady * 1e6, "us", floor * 1e6, "<= 1.5");
    bench::row("floor + one image path lookup (reference)", (floor + lookup) * 1e6, "us", (floor + lookup) * 1e6, "-");
    bench::row("tick with one new process", oneNew * 1e6, "us", (floor + lookup) * 1e6, "-");
    for (pid_t c : children) reap(c);
    return 0;
}
