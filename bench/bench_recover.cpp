// The key search of `vtl recover`: candidates per second against a bare
// Blowfish key schedule plus one block decryption (the floor of any search
// over Blowfish keys), the default search's time on every core, and the time
// to recover a log keyed from a generator never seeded (seed 1).
#include "bench_util.h"

#include "log/container.h"
#include "read/keysearch.h"
#include "read/salvage.h"

#include <openssl/blowfish.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using vt::keysearch::Generator;

volatile BF_LONG sink;

// The floor: n keys, each scheduled and used to decrypt one block.
void floorCandidates(std::size_t n) {
    unsigned char key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    BF_KEY schedule;
    BF_LONG acc = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::memcpy(key, &i, sizeof i < 8 ? sizeof i : 8);
        BF_set_key(&schedule, 16, key);
        BF_LONG block[2] = {0x01234567u, 0x89abcdefu};
        BF_decrypt(block, &schedule);
        acc ^= block[0];
    }
    sink = acc;
}

// The floor on every core at once: seconds for n candidates in all.
double floorSecondsOnCores(std::size_t n, unsigned cores) {
    auto start = bench::Clock::now();
    std::vector<std::thread> threads;
    for (unsigned c = 0; c < cores; ++c) threads.emplace_back([=] { floorCandidates(n / cores); });
    for (auto& t : threads) t.join();
    return bench::seconds(bench::Clock::now() - start);
}

// Bytes that look like ciphertext but no key of the search opens.
std::string noise() {
    std::mt19937 random(1);
    std::string s(64, '\0');
    for (auto& c : s) c = static_cast<char>(random());
    return s;
}

// The first blocks of a log keyed from the msvcrt generator seeded with 1.
std::string seedOneHead(unsigned offset) {
    const auto values = vt::keysearch::generatorValues(Generator::Msvcrt, 1, offset + 16);
    vt::Key16 key;
    for (int i = 0; i < 16; ++i) key[i] = static_cast<unsigned char>(values[offset + i] % 255);
    std::string text = "08.12.2026 17:55:21;Info;Start;Logfile start:UserId:12:MatchId:47\n";
    text.resize(64);
    std::string out(64, '\0');
    vt::cbcEncrypt(key, reinterpret_cast<const unsigned char*>(text.data()), reinterpret_cast<unsigned char*>(&out[0]),
                   64);
    return out;
}

}  // namespace

int main() {
    const std::string head = noise();
    const std::int64_t now = 1796000000;

    // One core: the search over 40 seconds (41 seeds and seed 1, 256 offsets,
    // two generators) against the floor over as many candidates.
    vt::keysearch::SearchBounds one;
    one.anchors = {{"a time", now}};
    one.window = 40;
    one.threads = 1;
    std::uint64_t candidates = 0;
    auto pair = bench::pairedMedians([&] { floorCandidates(42 * 512); },
                                     [&] { candidates = vt::keysearch::searchKey(head, one).tried; }, 7, 1);
    const double floorRate = 42 * 512 / pair.first, searchRate = double(candidates) / pair.second;
    std::printf("candidates per search: %llu\n", static_cast<unsigned long long>(candidates));
    bench::row("key search, one core (candidates/s)", searchRate, "1/s", floorRate, ">= 0.8");
    std::printf("%-58s %12.0f 1/s\n", "  floor: BF_set_key + one block, one core", floorRate);

    // Every core: the default search, one hour before one time, 256 offsets,
    // both generators, nothing found.
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    vt::keysearch::SearchBounds all;
    all.anchors = {{"a time", now}};
    // The reference: the floor on every core for an eighth of the candidates,
    // just before and just after, scaled to the whole search.
    const std::size_t total = 3601u * 512u + 512u;
    double reference = floorSecondsOnCores(total / 16, cores);
    auto start = bench::Clock::now();
    const auto r = vt::keysearch::searchKey(head, all);
    const double allSeconds = bench::seconds(bench::Clock::now() - start);
    reference += floorSecondsOnCores(total / 16, cores);
    const double expected = reference * 8 * double(r.tried) / double(total);
    std::printf("default search: %llu candidates on %u cores; floor on as many cores: %.1f s\n",
                static_cast<unsigned long long>(r.tried), cores, expected);
    bench::row("default search (1 h x 256 offsets x 2 generators), s", allSeconds, "s", expected,
               "<= 1.25");

    // Seed 1: found first, whatever the file's times.
    const std::string seedOne = seedOneHead(16);
    double found = bench::medianSeconds(
        [&] {
            auto f = vt::keysearch::searchKey(seedOne, all);
            if (!f.found || f.found->seed != 1) std::printf("seed 1 not found!\n");
        },
        5, 1);
    bench::row("seed-1 log recovered (default bounds), s", found, "s", 1.0, "< 1 s");
    return 0;
}
