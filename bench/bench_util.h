// Small helpers shared by the benchmark programs.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace bench {

using Clock = std::chrono::steady_clock;

inline double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The median time of one call of f over `rounds` rounds, each of `perRound` calls.
inline double medianSeconds(const std::function<void()>& f, int rounds, int perRound) {
    std::vector<double> t;
    for (int r = 0; r < rounds; ++r) {
        auto start = Clock::now();
        for (int i = 0; i < perRound; ++i) f();
        t.push_back(seconds(Clock::now() - start) / perRound);
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

// Medians of f and of g, measured in alternating rounds so that both see the
// same machine (caches, clock speed, other load).
inline std::pair<double, double> pairedMedians(const std::function<void()>& f, const std::function<void()>& g,
                                               int rounds, int perRound) {
    std::vector<double> a, b;
    for (int r = 0; r < rounds; ++r) {
        a.push_back(medianSeconds(f, 1, perRound));
        b.push_back(medianSeconds(g, 1, perRound));
    }
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    return {a[a.size() / 2], b[b.size() / 2]};
}

inline double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, std::size_t(p * double(v.size())))];
}

inline void row(const char* what, double value, const char* unit, double reference, const char* goal) {
    std::printf("%-58s %12.3f %-6s ratio %7.3f  (goal %s)\n", what, value, unit, reference > 0 ? value / reference : 0,
                goal);
}

// A program run to its end: its exit status (or 128 + the signal that ended
// it), its time and its peak resident memory.
struct ChildRun {
    int status = -1;
    double seconds = 0, peakMb = 0;
};

// Runs program with its output to /dev/null (and its errors too, when
// quietErrors), under GNU time for its peak resident memory: the rusage of a
// child started by this process would count this process's own pages, which
// the child shares until it executes the program.
inline ChildRun runUnderTime(const std::string& program, const std::vector<std::string>& args,
                             const std::string& peakFile, bool quietErrors) {
    const std::string time = "/usr/bin/time";
    std::vector<std::string> all = {time, "-f", "%M", "-o", peakFile, program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (quietErrors) posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    ChildRun c;
    const auto start = Clock::now();
    pid_t pid;
    const int spawned = posix_spawn(&pid, time.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return c;
    int status = 0;
    waitpid(pid, &status, 0);
    c.seconds = seconds(Clock::now() - start);
    c.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::ifstream peak(peakFile);
    double kb = 0;
    peak >> kb;
    c.peakMb = kb / 1024.0;
    return c;
}

}  // namespace bench
