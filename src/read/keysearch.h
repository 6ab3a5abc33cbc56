// Finding the key of a log that was never closed.
//
// A log gets its trailer (and with it its key) only when the recording is
// closed. When the process dies first, the file holds every block the worker
// handed over, but no key. The key can usually be found again: it is 16
// values of a generator seeded with the time at which the library was loaded,
// each modulo 255, and the first record of every log is known text. So the
// search tries seeds (1, and every second in a window before the file's own
// times), offsets into the generator's sequence (earlier keys, a host's own
// rand() calls) and two generators: the Microsoft C runtime's LCG (the
// library's own generator, and the Windows C library's) and glibc's random_r
// TYPE_3 (older Linux builds). A candidate is confirmed by decrypting the
// first record.
#pragma once

#include "log/container.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vt {
namespace keysearch {

enum class Generator { Msvcrt, Glibc };
const char* generatorName(Generator g);

// The first n values of each generator after seeding it with seed, as the C
// library's rand() would return them.
std::vector<std::uint32_t> generatorValues(Generator g, std::uint32_t seed, std::size_t n);

// One span of seeds: from `first`, `count` seconds stepping by `step` (+1 or -1).
struct SeedSpan {
    std::int64_t first = 0;
    std::int64_t count = 0;
    int step = -1;
    std::string label;  // what the span is around, for the report
};

struct SearchBounds {
    // Times (seconds since 1970) the window is placed before, with what they are.
    std::vector<std::pair<std::string, std::int64_t>> anchors;
    std::int64_t window = 3600;  // seconds searched before each anchor
    bool bothSides = false;      // also `window` seconds after each anchor
    unsigned offsets = 255;      // values skipped before the key: 0 to offsets
    bool seedOne = true;         // a generator never seeded starts as if seeded with 1
    unsigned threads = 0;        // 0: one per core
};

// The spans in the order they are searched: seed 1 first, then each anchor's
// window, nearest seconds first. Seeds outside 0..2^32-1 are dropped.
std::vector<SeedSpan> seedSpans(const SearchBounds& bounds);
// The searched bounds in words, for "key not found within ...".
std::string describe(const SearchBounds& bounds);

struct Found {
    Key16 key{};
    Generator generator = Generator::Msvcrt;
    std::uint32_t seed = 0;
    unsigned offset = 0;
};

// How a key was found, in words: "key from the msvcrt LCG seeded with S
// (YYYY-MM-DD hh:mm:ss) at offset N".
std::string describe(const Found& found);

struct Progress {
    std::uint64_t tried = 0;  // candidate keys
    std::uint64_t total = 0;
    double seconds = 0;
};
using ProgressFn = std::function<void(const Progress&)>;

struct SearchResult {
    std::optional<Found> found;
    std::uint64_t tried = 0;
    bool stopped = false;  // the stop flag was raised before the search ended
};

// How much of a body the search looks at: the stamp and the start record's
// head; it needs at least the first 32 bytes.
constexpr std::size_t kHeadSize = 56;
constexpr std::size_t kLeastHead = 32;

// Whether a body's first blocks decrypt under key to the start record of a
// log. Needs at least 32 bytes.
bool confirms(const unsigned char* body, std::size_t size, const Key16& key);

// Searches the key of a body (the file's first bytes: at least 32, and 48 or
// more for the second confirming block). progress is called about once a
// second from the calling thread; stop, when set, ends the search early.
SearchResult searchKey(const std::string& head, const SearchBounds& bounds, const ProgressFn& progress = {},
                       const std::atomic<bool>* stop = nullptr);

// A file's own times: its birth time where the file system keeps it, its
// modification time, the last change of its entry where the system keeps it
// apart, and the local time in its name (YYYY-MM-DD_hh-mm-ss...).
std::vector<std::pair<std::string, std::int64_t>> fileAnchors(const std::string& path);
// The local time at the start of a log's file name; nothing for other names
// and for a date or time that does not exist.
std::optional<std::int64_t> nameTime(const std::string& fileName);
// "YYYY-MM-DD hh:mm:ss" or "YYYY-MM-DD_hh-mm-ss" (local time) or seconds since
// 1970; nothing for anything else, a date that does not exist among them.
std::optional<std::int64_t> parseTime(const std::string& text);

// The bounds a reader tries first around a file's own times: a few minutes
// before each and the first three recordings of a process. They hold the key
// of a host that loaded the library shortly before the match (as vtrecord
// does) at a fraction of the cost of the full bounds, which come second.
SearchBounds quickBounds(std::vector<std::pair<std::string, std::int64_t>> anchors);
// The full bounds: SearchBounds' defaults around the given times.
SearchBounds fullBounds(std::vector<std::pair<std::string, std::int64_t>> anchors);

}  // namespace keysearch
}  // namespace vt
