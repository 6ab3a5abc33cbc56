// Writes a small league of sealed match logs into a directory, the same every
// time for one seed, with the cases an operator looks for:
//
//   101 and 102   one machine (its volume id and its maker's MAC), on
//                 alternate days
//   103 and 104   a machine sold on: 103 has it days 1-10, 104 from day 11
//                 (103 plays on with a new machine)
//   105 and 106   a cloned MAC: both report it, often in the same match
//   111 and 112   one machine on alternate days; 112 is hostile: a program
//                 path, a fact, an adapter's name and a second volume id are
//                 markup and control bytes
//   many          VMware's host adapter MAC, the same on every machine (weak)
//
// Two matches a day over 20 days, four players each; each log has pings (a
// latency of its own per account and day), an adapter's rates, processes and
// a TCP connection.
//
//   make_league DIR [--seed N]     prints "wrote N logs to DIR"
#include "common/schema.h"
#include "support/match_logs.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fact = vt::schema::fact;

constexpr int kDays = 20;
constexpr int kMatchesPerDay = 2;
constexpr int kPlayersPerMatch = 4;
constexpr std::int64_t kFirstUser = 101, kLastUser = 112;
constexpr std::int64_t kHostile = 112;

// What the hostile account writes where a name or a value goes.
const char kMarkupPath[] = "C:\\Users\\x\\<img src=x onerror=alert(1)>.exe";
const char kMarkupFact[] = "<script>document.title='pwned'</script>\x1b[31m\x07\x01";
const char kMarkupAdapter[] = "<b onmouseover=alert(3)>Ethernet</b>";
const char kMarkupVolume[] = "<svg onload=alert(2)>";

const char kVmwareMac[] = "00-50-56-c0-00-08";
const char kClonedMac[] = "00-1b-21-c1-0e-05";

struct Machine {
    std::string volume, mac, adapter = "Intel(R) Ethernet Connection";
};

// A machine of its own for each number: a volume id and a MAC of Intel's or
// Realtek's.
Machine machine(int n) {
    char volume[16], mac[24];
    std::snprintf(volume, sizeof volume, "%04X-%04X", 0x5A00 + n, 0xC000 + n * 7);
    std::snprintf(mac, sizeof mac, "%s-%02x-%02x-%02x", n % 2 ? "00-1b-21" : "00-e0-4c", n, n * 3 % 256, 0x40 + n);
    return {volume, mac, n % 2 ? "Intel(R) Ethernet Connection" : "Realtek PCIe GbE Family Controller"};
}

// The machine an account plays on, on day d (1-based).
Machine machineOf(std::int64_t user, int day) {
    switch (user) {
    case 101:
    case 102: return machine(1);
    case 103: return day <= 10 ? machine(3) : machine(30);
    case 104: return machine(3);
    case 105: return {machine(5).volume, kClonedMac};
    case 106: return {machine(6).volume, kClonedMac};
    case 111:
    case 112: return machine(11);
    default: return machine(int(user - 100));
    }
}

bool hasVmware(std::int64_t user) { return user == 103 || user == 105 || (user >= 107 && user <= 111); }

std::string day(int d) {  // days of November 2026
    char out[16];
    std::snprintf(out, sizeof out, "%02d.11.2026", d);
    return out;
}

testsupport::MatchSpec logOf(std::int64_t user, std::int64_t match, int d, std::mt19937& rng) {
    testsupport::MatchSpec m;
    m.user = user;
    m.match = match;
    m.day = day(d);
    m.ticks = 20;
    const Machine mc = machineOf(user, d);
    m.facts.push_back({fact::kVolumeId, mc.volume});
    m.facts.push_back({fact::kMacAddress, (user == kHostile ? kMarkupAdapter : mc.adapter) + " @ " + mc.mac});
    if (hasVmware(user)) m.facts.push_back({fact::kMacAddress, "VMware Virtual Ethernet Adapter for VMnet8 @ " + std::string(kVmwareMac)});
    m.facts.push_back({"Map", d % 2 ? "harbour" : "quarry"});
    // After the ticks, in the order of their stamps: programs started late,
    // then a second minute of pings at the account's own latency, higher on
    // some days.
    const int later = m.ticks + 1;
    if (user % 4 == 3)
        m.extra.push_back({later, "Process;Add;PID:310:Path:C:\\Program Files\\Overlay\\overlay.exe"});
    if (user == kHostile) {
        m.facts.push_back({"Note", kMarkupFact});
        m.facts.push_back({fact::kVolumeId, kMarkupVolume});
        m.extra.push_back({later, std::string("Process;Add;PID:666:Path:") + kMarkupPath});
        m.extra.push_back({later, std::string("TCP;Add;LocalIp:192.168.1.2:LocalPort:50100:RemoteIp:198.51.100.66:"
                                          "RemotePort:8080:PID:666:Path:") + kMarkupPath});
    }
    const int base = 15 + int(user % 10) * 6 + (d % 7 == 0 ? 40 : 0);
    for (int s = 1; s <= m.ticks; ++s)
        m.extra.push_back({later + s, "Ping;Stats;Server:203.0.113.7:Actual:" + std::to_string(base + int(rng() % 12))});
    return m;
}

// The eight players of a day, the first four in its first match. Of two
// accounts on one machine, one plays on odd days and the other on even ones;
// 104 plays only once it has the machine; 105 and 106 meet at least every
// third day; 112 plays at least every fourth.
std::vector<std::int64_t> playersOf(int d, std::mt19937& rng) {
    std::vector<std::int64_t> all;
    for (std::int64_t u = kFirstUser; u <= kLastUser; ++u)
        if (!(u == 104 && d <= 10) && !(u == 101 && d % 2 == 0) && !(u == 102 && d % 2 == 1) &&
            !(u == 111 && d % 2 == 1) && !(u == 112 && d % 2 == 0))
            all.push_back(u);
    std::shuffle(all.begin(), all.end(), rng);
    auto putAt = [&all](std::int64_t u, std::size_t at) {
        all.erase(std::find(all.begin(), all.end(), u));
        all.insert(all.begin() + std::ptrdiff_t(at), u);
    };
    if (d % 3 == 0) {
        putAt(105, 0);
        putAt(106, 1);
    }
    if (d % 4 == 1) putAt(kHostile, 2);
    all.resize(kMatchesPerDay * kPlayersPerMatch);
    return all;
}

int run(const std::string& dir, unsigned seed) {
    std::mt19937 rng(seed);
    int written = 0;
    for (int d = 1; d <= kDays; ++d) {
        const std::vector<std::int64_t> players = playersOf(d, rng);
        for (int k = 0; k < kMatchesPerDay; ++k) {
            const std::int64_t match = 9000 + (d - 1) * kMatchesPerDay + k;
            for (int p = 0; p < kPlayersPerMatch; ++p) {
                const std::int64_t user = players[std::size_t(k * kPlayersPerMatch + p)];
                const std::string text = testsupport::matchText(logOf(user, match, d, rng));
                const std::string bytes = testsupport::sealedLog(text, static_cast<unsigned char>(rng()));
                const std::string file = dir + "/u" + std::to_string(user) + "_m" + std::to_string(match) + ".vtl";
                std::ofstream out(file, std::ios::binary | std::ios::trunc);
                out.write(bytes.data(), std::streamsize(bytes.size()));
                if (!out.flush()) {
                    std::fprintf(stderr, "make_league: cannot write %s\n", file.c_str());
                    return 1;
                }
                ++written;
            }
        }
    }
    std::printf("wrote %d logs to %s\n", written, dir.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir;
    unsigned seed = 32;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seed" && i + 1 < argc) {
            seed = unsigned(std::strtoul(argv[++i], nullptr, 10));
        } else if (dir.empty() && !a.empty() && a[0] != '-') {
            dir = a;
        } else {
            dir.clear();
            break;
        }
    }
    if (dir.empty()) {
        std::fprintf(stderr, "usage: make_league DIR [--seed N]\n");
        return 2;
    }
    try {
        return run(dir, seed);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_league: %s\n", e.what());
        return 1;
    }
}
