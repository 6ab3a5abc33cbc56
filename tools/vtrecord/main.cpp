// vtrecord: records a match on this machine, as a game client would, by
// loading the library at run time.
#include "host.h"
#include "log/container.h"
#include "log/file_source.h"
#include "common/schema.h"

#include <CLI/CLI.hpp>

#include <boost/filesystem.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <iostream>
#include <set>
#include <thread>

namespace {

std::atomic<bool> interrupted{false};
extern "C" void onInterrupt(int) { interrupted = true; }

bool parseAddress(const std::string& text, std::uint32_t& address) {
    unsigned a, b, c, d;
    char extra;
    if (std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &extra) != 4 || a > 255 || b > 255 || c > 255 ||
        d > 255)
        return false;
    address = (a << 24) | (b << 16) | (c << 8) | d;
    return true;
}

std::set<std::string> logsIn(const std::string& dir) {
    std::set<std::string> out;
    boost::system::error_code ec;
    for (boost::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().extension() == ".vtl") out.insert(it->path().string());
    return out;
}

const char* startFailure(std::int32_t code) {
    switch (code) {
    case 1: return "the library has no controller (it failed to initialise when loaded)";
    case 2: return "the user id must not be 0";
    default:
        return "the recording was refused: a recording already runs, the log directory cannot be used "
               "(its parent is missing, it is not a directory or not writable, or ten logs of this match "
               "were started in this second), or the worker thread could not start";
    }
}

// The library cannot tell its host that a write failed, so the finished log is
// read back: it must verify, and must not say that records were lost. The
// library writes its "Records lost" fact under the same name a host may use
// for a fact of its own, so the values this host sent under that name are not
// counted, one record each.
bool logIsWhole(const std::string& path, std::multiset<std::string> ownLossValues) {
    vt::FileSource source;
    std::string reason;
    if (!source.open(path, reason)) {
        std::cerr << "vtrecord: cannot read the log back from " << path << " (" << reason << ")\n";
        return false;
    }
    const vt::SealCheck check = vt::checkSealed(source, source.size());
    if (check.verdict != vt::Verdict::Whole) {
        std::cerr << "vtrecord: the log could not be written whole (" << check.reason
                  << "); the disk was full or failing when the recording ended. `vtl cat --force` reads what "
                     "reached it\n";
        return false;
    }
    // The text is read in pieces; a line is kept only as long as a loss fact can be.
    namespace schema = vt::schema;
    const std::string lost = schema::head(schema::Kind::SysInfo) + schema::fact::kRecordsLost +
                             schema::kPartSeparator + schema::label::kValue + schema::kFieldSeparator;
    const std::size_t longest = schema::kStampedWidth + lost.size() + 24;
    unsigned long long count = 0;
    std::string line;
    bool tooLong = false;
    auto endLine = [&] {
        if (!tooLong && line.size() > schema::kStampedWidth &&
            line.compare(schema::kStampedWidth, lost.size(), lost) == 0) {
            const std::string value = line.substr(schema::kStampedWidth + lost.size());
            const auto own = ownLossValues.find(value);
            if (own != ownLossValues.end()) ownLossValues.erase(own);
            else count += std::strtoull(value.c_str(), nullptr, 10);
        }
        line.clear();
        tooLong = false;
    };
    const bool read = vt::decryptText(source, check, [&](const char* text, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            if (text[i] == '\n') endLine();
            else if (line.size() < longest) line += text[i];
            else tooLong = true;
        }
        return true;
    });
    if (!read) {
        std::cerr << "vtrecord: cannot read the log back from " << path << "\n";
        return false;
    }
    if (count > 0) {
        std::cerr << "vtrecord: " << count
                  << " records were lost while the disk refused the log; the log verifies and holds the rest\n";
        return false;
    }
    return true;
}

}  // namespace

static int run(int argc, char** argv) {
    CLI::App app{"vtrecord: record a match on this machine with the vantorelle library"};
    app.footer("Exit status: 0 recorded, and the log (if any) verifies whole; 2 bad arguments; 3 start refused;\n"
               "4 library unusable; 5 the log could not be written whole.");
    app.set_version_flag("--version", std::string("vtrecord ") + VT_VERSION);
    std::uint32_t user = 0, match = 0;
    std::string server, dir, library = vtrecord::defaultLibraryPath(argc > 0 ? argv[0] : nullptr);
    double seconds = 25;
    std::vector<std::string> keys, infos;
    app.add_option("--user", user, "user id (not 0)")->required();
    app.add_option("--match", match, "match id")->required();
    app.add_option("--server", server, "game server to ping, A.B.C.D");
    app.add_option("--dir", dir, "directory of the log; without it nothing is written");
    app.add_option("--seconds", seconds, "how long to record")->check(CLI::Range(0.0, 86400.0));
    app.add_option("--key", keys, "a key press to report (repeatable)");
    app.add_option("--info", infos, "a fact NAME=VALUE to report (repeatable)");
    app.add_option("--library", library, "the library to load");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Help and the version are no failure; every other parse error is bad arguments.
        return app.exit(e) == 0 ? 0 : 2;
    }

    std::uint32_t address = 0;
    if (!server.empty() && !parseAddress(server, address)) {
        std::cerr << "vtrecord: --server wants an IPv4 address A.B.C.D, not '" << server << "'\n";
        return 2;
    }
    for (const auto& info : infos)
        if (info.find('=') == std::string::npos) {
            std::cerr << "vtrecord: --info wants NAME=VALUE, not '" << info << "'\n";
            return 2;
        }

    vtrecord::Library lib(library);
    if (!lib.loaded() || !lib.bind()) {
        std::cerr << "vtrecord: cannot use " << library << ": " << lib.error() << "\n";
        return 4;
    }

    const std::set<std::string> before = dir.empty() ? std::set<std::string>() : logsIn(dir);
    const std::int32_t code =
        lib.start(user, match, address, static_cast<std::uint32_t>(std::time(nullptr)), dir.empty() ? nullptr : dir.c_str());
    if (code != 0) {
        std::cerr << "vtrecord: vtStart returned " << code << ": " << startFailure(code) << "\n";
        return 3;
    }
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);

    std::string logPath;
    if (!dir.empty()) {
        for (const auto& p : logsIn(dir))
            if (!before.count(p)) logPath = p;
    }
    std::cerr << "vtrecord: recording user " << user << ", match " << match << " for " << seconds << " s into "
              << (logPath.empty() ? (dir.empty() ? std::string("nothing (no --dir)") : dir) : logPath) << "\n";

    std::int32_t keyCode = 1;
    for (const auto& k : keys) lib.sendKey(keyCode++, k);
    std::multiset<std::string> ownLossValues;
    for (const auto& info : infos) {
        std::size_t eq = info.find('=');
        const std::string name = info.substr(0, eq), value = info.substr(eq + 1);
        lib.sendInfo(name, value);
        if (name == vt::schema::fact::kRecordsLost && !value.empty()) ownLossValues.insert(value);
    }
    // A line to wait for: what the host reports has been handed to the library.
    if (!keys.empty() || !infos.empty())
        std::cerr << "vtrecord: sent " << keys.size() << " key presses and " << infos.size() << " facts" << std::endl;

    using clock = std::chrono::steady_clock;
    const auto begin = clock::now();
    const auto length = std::chrono::duration<double>(seconds);
    // On a terminal the line is redrawn every second; elsewhere a line every 5 s.
    const bool terminal = vtrecord::stderrIsTerminal();
    int lastShown = -1;
    while (!interrupted && clock::now() - begin < length) {
        int elapsed = int(std::chrono::duration<double>(clock::now() - begin).count());
        if (elapsed != lastShown && (terminal || elapsed % 5 == 0)) {
            lastShown = elapsed;
            std::fprintf(stderr, terminal ? "\r  %3d s recorded, %3d s to go " : "  %3d s recorded, %3d s to go\n",
                         elapsed, int(seconds) - elapsed);
            std::fflush(stderr);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (terminal) std::fprintf(stderr, "\n");
    lib.stop();
    lib.unload();
    if (interrupted) std::cerr << "vtrecord: interrupted, recording stopped\n";
    if (logPath.empty()) return 0;
    std::cout << logPath << "\n";
    return logIsWhole(logPath, std::move(ownLossValues)) ? 0 : 5;
}

int main(int argc, char** argv) {
    // No exception leaves the program: a failure is reported and ends it with 2.
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "vtrecord: " << e.what() << "\n";
    } catch (...) {
        std::cerr << "vtrecord: unexpected failure\n";
    }
    return 2;
}
