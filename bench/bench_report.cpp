// The match report of a one-hour log (7,200 ticks, about 50,000 records):
// the time to make the page against `vtl cat` of the same file, and the
// page's size against the log's text. Then the same machine over a day
// (10^6 records): the peak memory of `vtl report` as a program against the
// log's text, and its time against `vtl cat`'s. With a directory argument
// the logs and their pages stay there (for a look in a browser).
//   bench_report [DIR [RECORDS]]     (RECORDS of the large log, default 10^6; 0: none)
#include "bench_util.h"

#include "log/container.h"
#include "read/records.h"
#include "verbs.h"
#include "report/report.h"

#include <boost/filesystem.hpp>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = boost::filesystem;

struct Random {
    unsigned state = 20261208;
    unsigned next(unsigned n) {
        state = state * 1103515245u + 12345u;
        return (state >> 8) % n;
    }
};

std::string stampAt(int second) {
    char buf[32];
    const int s = 17 * 3600 + second;
    std::snprintf(buf, sizeof buf, "%02d.12.2026 %02d:%02d:%02d;", 8 + s / 86400, s / 3600 % 24, s / 60 % 60, s % 60);
    return buf;
}

// A busy machine over an hour: 250 processes and 100 endpoints at the start,
// a short-lived program every two seconds, two new TCP connections and one
// UDP endpoint every tick, a key press every three seconds, statistics of two
// adapters and the ping every ten seconds (a few without an answer). Ticks
// go on past the hour until there are at least `atLeast` records.
std::string busyLog(std::size_t& records, std::size_t atLeast = 0) {
    static const char* programs[] = {
        "C:\\Program Files\\Game\\client.exe", "C:\\Windows\\System32\\svchost.exe",
        "C:\\Windows\\explorer.exe", "C:\\Program Files (x86)\\Steam\\steam.exe",
        "C:\\Program Files\\Mozilla Firefox\\firefox.exe", "C:\\Users\\player\\AppData\\Local\\Discord\\app-1.0.9\\Discord.exe",
        "C:\\Windows\\System32\\conhost.exe", "C:\\Program Files\\NVIDIA Corporation\\NvContainer\\nvcontainer.exe",
        "C:\\Windows\\System32\\RuntimeBroker.exe", "C:\\Program Files\\Windows Defender\\MsMpEng.exe",
        "System: No Handle available", "C:\\Windows\\System32\\backgroundTaskHost.exe"};
    const unsigned nPrograms = sizeof programs / sizeof programs[0];
    Random rnd;
    std::string text;
    records = 0;
    auto line = [&](int second, const std::string& body) {
        text += stampAt(second);
        text += body;
        text += '\n';
        ++records;
    };
    line(0, "Info;Start;Logfile start:UserId:12:MatchId:47");
    line(0, "SysInfo;User ID;Value:12");
    line(0, "SysInfo;Match ID;Value:47");
    line(0, "SysInfo;NTP Time;Value:1796749200");
    line(0, "SysInfo;Volume ID from C-Drive;Value:1a2b3c4d");
    struct Open {
        int until;
        std::string body;
        const char* kind;
    };
    std::vector<Open> open;
    unsigned pid = 1000, port = 49152;
    auto tcpBody = [&](unsigned owner, const char* path) {
        return "LocalIp:192.168.1.10:LocalPort:" + std::to_string(port++ % 65536) + ":RemoteIp:" +
               std::to_string(20 + rnd.next(200)) + "." + std::to_string(rnd.next(256)) + "." +
               std::to_string(rnd.next(256)) + "." + std::to_string(rnd.next(256)) +
               ":RemotePort:" + (rnd.next(2) ? "443" : "80") + ":PID:" + std::to_string(owner) + ":Path:" + path;
    };
    auto udpBody = [&](unsigned owner, const char* path) {
        return "LocalIp:0.0.0.0:LocalPort:" + std::to_string(port++ % 65536) + ":PID:" + std::to_string(owner) +
               ":Path:" + path;
    };
    for (int i = 0; i < 250; ++i)
        line(0, "Process;Add;PID:" + std::to_string(4 * i + 4) + ":Path:" + programs[rnd.next(nPrograms)]);
    for (int i = 0; i < 60; ++i) line(0, "TCP;Add;" + tcpBody(4 * rnd.next(250) + 4, programs[rnd.next(nPrograms)]));
    for (int i = 0; i < 40; ++i) line(0, "UDP;Add;" + udpBody(4 * rnd.next(250) + 4, programs[rnd.next(nPrograms)]));
    int last = 0;
    for (int tick = 1; atLeast ? records < atLeast : tick <= 7200; ++tick) {
        const int second = last = tick / 2;
        for (std::size_t i = 0; i < open.size();) {
            if (open[i].until <= tick) {
                line(second, std::string(open[i].kind) + ";Del;" + open[i].body);
                open[i] = open.back();
                open.pop_back();
            } else {
                ++i;
            }
        }
        for (int c = 0; c < 2; ++c) {
            Open o{tick + 2 + int(rnd.next(60)), tcpBody(4 * rnd.next(250) + 4, programs[rnd.next(nPrograms)]), "TCP"};
            line(second, "TCP;Add;" + o.body);
            open.push_back(std::move(o));
        }
        Open u{tick + 2 + int(rnd.next(40)), udpBody(4 * rnd.next(250) + 4, programs[rnd.next(nPrograms)]), "UDP"};
        line(second, "UDP;Add;" + u.body);
        open.push_back(std::move(u));
        if (tick % 4 == 0) {
            Open p{tick + 4 + int(rnd.next(60)),
                   "PID:" + std::to_string(pid++) + ":Path:C:\\Users\\player\\AppData\\Local\\Temp\\tool" +
                       std::to_string(rnd.next(40)) + ".exe",
                   "Process"};
            line(second, "Process;Add;" + p.body);
            open.push_back(std::move(p));
        }
        if (tick % 6 == 0) line(second, std::string("Key;Pressed;Name:") + "WASD"[rnd.next(4)]);
        if (tick % 20 == 0) {
            line(second, "Ethernet;Stats;Adapter:Intel(R) Ethernet Connection I219-V:TxD:" +
                             std::to_string(1000 + rnd.next(50000)) + ":Bytes/s:RxD:" +
                             std::to_string(5000 + rnd.next(900000)) + ":Bytes/s");
            line(second, "Ethernet;Stats;Adapter:Loopback Pseudo-Interface 1:TxD:0:Bytes/s:RxD:0:Bytes/s");
            const unsigned r = rnd.next(100);
            line(second, "Ping;Stats;Server:203.0.113.7:Actual:" +
                             std::to_string(r < 3 ? 1000 : r < 5 ? 501 : 20 + int(rnd.next(60))));
        }
        if (tick % 360 == 0) line(second, "SysInfo;Round;Value:" + std::to_string(tick / 360));
    }
    line(last, "Info;Stop;Logfile end");
    return text;
}

// Logs of short records, where what the report keeps per record weighs most
// against the text: key presses only; a mix of every kind the page draws; and
// key presses, processes, pings and connections a quarter each. A second
// passes every 10 records.
enum class Mix { Keys, Mixed, Quarters };

std::string shortLog(Mix mix, std::size_t n) {
    Random rnd;
    std::string text;
    std::size_t records = 0;
    auto line = [&](const std::string& body) {
        text += stampAt(int(records / 10));
        text += body;
        text += '\n';
        ++records;
    };
    line("Info;Start;Logfile start:UserId:12:MatchId:47");
    unsigned pid = 1000, port = 49152;
    std::vector<std::string> open;  // Del records to come
    for (std::size_t i = 0; records + 1 < n; ++i) {
        const unsigned kind = mix == Mix::Keys ? 0 : mix == Mix::Quarters ? unsigned(i % 4) : unsigned(i % 7);
        switch (kind) {
        case 0: line(std::string("Key;Pressed;Name:") + "WASDQER"[rnd.next(7)]); break;
        case 1:
            if (!open.empty() && rnd.next(2)) {
                line(open.back());
                open.pop_back();
            } else {
                const std::string body = "PID:" + std::to_string(pid++) + ":Path:C:\\Tools\\t" + std::to_string(rnd.next(30)) + ".exe";
                line("Process;Add;" + body);
                open.push_back("Process;Del;" + body);
            }
            break;
        case 2: line("Ping;Stats;Server:203.0.113.7:Actual:" + std::to_string(20 + rnd.next(60))); break;
        case 3: {
            const std::string body = "LocalIp:10.0.0.2:LocalPort:" + std::to_string(port++ % 65536) +
                                     ":RemoteIp:203.0.113.7:RemotePort:443:PID:4:Path:C:\\g.exe";
            line((rnd.next(2) ? "TCP;Add;" : "TCP;Del;") + body);
            break;
        }
        case 4: line("Ethernet;Stats;Adapter:eth0:TxD:" + std::to_string(rnd.next(90000)) + ":Bytes/s:RxD:" +
                     std::to_string(rnd.next(90000)) + ":Bytes/s");
            break;
        case 5: line("UDP;Add;LocalIp:0.0.0.0:LocalPort:" + std::to_string(port++ % 65536) + ":PID:8:Path:C:\\u.exe"); break;
        default: line("SysInfo;Round;Value:" + std::to_string(i)); break;
        }
    }
    line("Info;Stop;Logfile end");
    return text;
}

std::string sealed(const std::string& text) {
    const vt::Key16 key = {3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9, 3};
    std::string records;
    for (const auto& line : vt::read::lines(text)) records += line + "\n";
    return vt::sealText(records, key);
}

using Child = bench::ChildRun;

Child runVtl(const std::vector<std::string>& args, const std::string& peakFile) {
    return bench::runUnderTime(VT_VTL_PATH, args, peakFile, true);
}

}  // namespace

int main(int argc, char** argv) {
    const bool keep = argc > 1;
    const std::size_t largeRecords = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1000000;
    const fs::path dir = keep ? fs::path(argv[1]) : fs::temp_directory_path() / fs::unique_path("vt-bench-%%%%-%%%%");
    fs::create_directories(dir);
    std::size_t records = 0;
    const std::string text = busyLog(records);
    const std::string log = (dir / "one-hour.vtl").string(), page = (dir / "one-hour.html").string();
    {
        std::ofstream f(log, std::ios::binary);
        f << sealed(text);
    }
    std::printf("one-hour log: %zu records, %.2f MB of text\n", records, text.size() / 1e6);

    const std::string catOut = (dir / "cat.txt").string();
    auto [report, cat] = bench::pairedMedians(
        [&] {
            std::ostringstream out, err;
            if (vt::report::run({log}, page, true, out, err) != 0) std::fprintf(stderr, "report failed: %s", err.str().c_str());
        },
        [&] {
            std::ofstream out(catOut, std::ios::binary);
            std::ostringstream err;
            vtl::cat(log, false, out, err);
        },
        7, 1);
    const double pageMb = double(fs::file_size(page)) / 1e6;
    bench::row("vtl report of the one-hour log", report * 1000, "ms", cat * 1000, "<= 3");
    std::printf("%-58s %12.3f %-6s\n", "  vtl cat of the same file (reference)", cat * 1000, "ms");
    bench::row("page size", pageMb, "MB", text.size() / 1e6, "<= 0.30");
    std::printf("%-58s %12.3f %-6s\n", "  the log's text (reference)", text.size() / 1e6, "MB");

    if (largeRecords > 0) {
        // A day of the same machine: the records stream through the report.
        std::size_t n = 0;
        double textMb = 0;
        const std::string large = (dir / "large.vtl").string(), largePage = (dir / "large.html").string();
        {
            const std::string big = busyLog(n, largeRecords);
            textMb = big.size() / 1e6;
            const vt::Key16 key = {3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9, 3};
            std::ofstream f(large, std::ios::binary);
            f << vt::sealText(big, key);
        }
        std::printf("large log: %zu records, %.2f MB of text\n", n, textMb);
        const std::string peakFile = (dir / "peak.txt").string();
        const Child r = runVtl({"report", large, "-o", largePage}, peakFile);
        const Child c = runVtl({"cat", large}, peakFile);
        if (r.status != 0 || c.status != 0) std::fprintf(stderr, "vtl report exit %d, vtl cat exit %d\n", r.status, c.status);
        bench::row("vtl report of the large log: peak memory", r.peakMb * 1.048576, "MB", textMb, "<= 2");
        std::printf("%-58s %12.3f %-6s\n", "  the log's text (reference)", textMb, "MB");
        bench::row("vtl report of the large log: time", r.seconds * 1000, "ms", c.seconds * 1000, "<= 3");
        std::printf("%-58s %12.3f %-6s  (peak %.1f MB)\n", "  vtl cat of the same file (reference)", c.seconds * 1000,
                    "ms", c.peakMb * 1.048576);
        bench::row("  page size of the large log", double(fs::file_size(largePage)) / 1e6, "MB", textMb, "<= 0.30");
        if (!keep) {
            fs::remove(large);
            fs::remove(largePage);
        }
    }
    if (largeRecords > 0) {
        // Short records: the report's memory per record against the text.
        const std::string shortLogPath = (dir / "short.vtl").string(), shortPage = (dir / "short.html").string();
        const std::pair<Mix, const char*> mixes[] = {{Mix::Keys, "key presses"},
                                                     {Mix::Mixed, "mixed"},
                                                     {Mix::Quarters, "keys, processes, pings, connections"}};
        for (const auto& m : mixes) {
            double textMb = 0;
            {
                const std::string t = shortLog(m.first, largeRecords);
                textMb = t.size() / 1e6;
                const vt::Key16 key = {3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9, 3};
                std::ofstream f(shortLogPath, std::ios::binary);
                f << vt::sealText(t, key);
            }
            const std::string peakFile = (dir / "peak.txt").string();
            const Child r = runVtl({"report", shortLogPath, "-o", shortPage}, peakFile);
            if (r.status != 0) std::fprintf(stderr, "vtl report exit %d\n", r.status);
            bench::row((std::string("vtl report, short records (") + m.second + "): peak memory").c_str(), r.peakMb * 1.048576,
                       "MB", textMb, "<= 2");
            std::printf("%-58s %12.3f %-6s\n", "  the log's text (reference)", textMb, "MB");
        }
        if (!keep) {
            fs::remove(shortLogPath);
            fs::remove(shortPage);
        }
    }
    if (!keep) fs::remove_all(dir);
    else std::printf("kept %s and %s\n", log.c_str(), page.c_str());
    return 0;
}
