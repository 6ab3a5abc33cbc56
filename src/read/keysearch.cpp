#include "read/keysearch.h"

#include "log/format.h"
#include "log/keygen.h"
#include "common/schema.h"
#include "platform/os.h"

#include <openssl/blowfish.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <mutex>
#include <sstream>
#include <thread>

namespace vt {
namespace keysearch {

const char* generatorName(Generator g) {
    return g == Generator::Msvcrt ? "msvcrt LCG" : "glibc random_r TYPE_3";
}

namespace {

// glibc's additive feedback generator as srand()/rand() set it up: 31 words
// filled by a Lehmer generator from the seed, 310 values discarded, each
// value the sum of two words 3 apart, without its lowest bit.
class GlibcRandom {
public:
    explicit GlibcRandom(std::uint32_t seed) {
        if (seed == 0) seed = 1;
        std::int32_t word = static_cast<std::int32_t>(seed);
        state_[0] = word;
        for (int i = 1; i < 31; ++i) {
            const std::int64_t hi = word / 127773, lo = word % 127773;
            std::int64_t next = 16807 * lo - 2836 * hi;
            if (next < 0) next += 2147483647;
            word = static_cast<std::int32_t>(next);
            state_[i] = static_cast<std::uint32_t>(word);
        }
        for (int i = 0; i < 310; ++i) next();
    }
    std::uint32_t next() {
        const std::uint32_t value = state_[front_] + state_[rear_];
        state_[front_] = value;
        front_ = front_ == 30 ? 0 : front_ + 1;
        rear_ = rear_ == 30 ? 0 : rear_ + 1;
        return value >> 1;
    }

private:
    std::uint32_t state_[31];
    int front_ = 3, rear_ = 0;
};

// The start of every log: its stamp, then the start record's head. The block
// at 24 to 32 lies after the stamp and holds no digits, so it is known text.
constexpr std::size_t kStampSize = schema::kStampedWidth;
const std::string kStartText = schema::head(schema::Kind::InfoStart);
constexpr std::size_t kKnownAt = 24;
static_assert(kKnownAt >= kStampSize && kKnownAt % kBlock == 0, "the known block follows the stamp");
static_assert(kKnownAt + kBlock == kLeastHead, "the head the search needs ends with the known block");

std::uint32_t loadBigEndian(const unsigned char* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}

std::string localText(std::int64_t t) {
    const std::tm tm = calendarTime(t);
    char buf[80];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

bool inSpan(const SeedSpan& s, std::int64_t seed) {
    const std::int64_t last = s.first + s.step * (s.count - 1);
    return s.count > 0 && seed >= std::min(s.first, last) && seed <= std::max(s.first, last);
}

constexpr std::int64_t kMaxSeed = std::numeric_limits<std::uint32_t>::max();

// The seeds of the spans as one index space: index i is second i / n of span
// i % n, so every span advances at the same pace. A seed already covered by
// an earlier span, or out of range, is no seed.
class SeedIndex {
public:
    explicit SeedIndex(std::vector<SeedSpan> spans) : spans_(std::move(spans)) {
        for (const auto& s : spans_) longest_ = std::max(longest_, s.count);
    }
    std::uint64_t size() const { return std::uint64_t(longest_) * spans_.size(); }
    bool at(std::uint64_t i, std::uint32_t& seed) const {
        const std::size_t j = std::size_t(i % spans_.size());
        const std::int64_t d = std::int64_t(i / spans_.size());
        const SeedSpan& s = spans_[j];
        if (d >= s.count) return false;
        const std::int64_t value = s.first + s.step * d;
        if (value < 0 || value > kMaxSeed) return false;
        for (std::size_t k = 0; k < j; ++k)
            if (inSpan(spans_[k], value)) return false;
        seed = static_cast<std::uint32_t>(value);
        return true;
    }
    // How many seeds there are: the size of the spans' union within range.
    std::uint64_t seeds() const {
        std::vector<std::pair<std::int64_t, std::int64_t>> ranges;
        for (const auto& s : spans_) {
            if (s.count <= 0) continue;
            const std::int64_t last = s.first + s.step * (s.count - 1);
            const std::int64_t lo = std::max<std::int64_t>(0, std::min(s.first, last));
            const std::int64_t hi = std::min(kMaxSeed, std::max(s.first, last));
            if (lo <= hi) ranges.emplace_back(lo, hi);
        }
        std::sort(ranges.begin(), ranges.end());
        std::uint64_t n = 0;
        std::int64_t covered = -1;  // the highest seed counted so far
        for (const auto& r : ranges) {
            if (r.second <= covered) continue;
            n += std::uint64_t(r.second - std::max(r.first, covered + 1) + 1);
            covered = r.second;
        }
        return n;
    }

private:
    std::vector<SeedSpan> spans_;
    std::int64_t longest_ = 0;
};

}  // namespace

std::vector<std::uint32_t> generatorValues(Generator g, std::uint32_t seed, std::size_t n) {
    std::vector<std::uint32_t> out(n);
    if (g == Generator::Msvcrt) {
        keygen::Lcg lcg(seed);
        for (auto& v : out) v = lcg.next();
    } else {
        GlibcRandom r(seed);
        for (auto& v : out) v = r.next();
    }
    return out;
}

std::vector<SeedSpan> seedSpans(const SearchBounds& b) {
    std::vector<SeedSpan> spans;
    if (b.seedOne) spans.push_back({1, 1, 1, "a generator never seeded"});
    const std::int64_t window = std::max<std::int64_t>(0, b.window);
    for (const auto& a : b.anchors) {
        spans.push_back({a.second, window + 1, -1, a.first});
        if (b.bothSides && window > 0) spans.push_back({a.second + 1, window, 1, a.first});
    }
    return spans;
}

std::string describe(const SearchBounds& b) {
    std::ostringstream s;
    s << "generators " << generatorName(Generator::Msvcrt) << " and " << generatorName(Generator::Glibc)
      << "; offsets 0 to " << b.offsets << "; seeds";
    const char* sep = " ";
    if (b.seedOne) {
        s << sep << "1";
        sep = ", ";
    }
    const std::int64_t window = std::max<std::int64_t>(0, b.window);
    for (const auto& a : b.anchors) {
        const std::int64_t from = a.second - window, to = b.bothSides ? a.second + window : a.second;
        s << sep << localText(from) << " to " << localText(to) << " (" << window << " s "
          << (b.bothSides ? "around " : "before ") << a.first << ")";
        sep = ", ";
    }
    if (b.anchors.empty()) s << (b.seedOne ? " (no time of the file was known)" : " none");
    return s.str();
}

std::string describe(const Found& f) {
    std::ostringstream how;
    how << "key from the " << generatorName(f.generator) << " seeded with " << f.seed;
    if (f.seed != 1) how << " (" << localText(f.seed) << ")";
    how << " at offset " << f.offset;
    return how.str();
}

bool confirms(const unsigned char* body, std::size_t size, const Key16& key) {
    if (size < kLeastHead) return false;
    size = std::min(size, kHeadSize);
    size -= size % kBlock;
    unsigned char plain[kHeadSize];
    cbcDecrypt(key, body, plain, size);
    const char* text = reinterpret_cast<const char*>(plain);
    if (!schema::isStamp(std::string_view(text, size))) return false;
    const std::size_t known = std::min(size - kStampSize, kStartText.size());
    return std::memcmp(text + kStampSize, kStartText.data(), known) == 0;
}

SearchResult searchKey(const std::string& head, const SearchBounds& bounds, const ProgressFn& progress,
                       const std::atomic<bool>* stop) {
    SearchResult result;
    const auto* body = reinterpret_cast<const unsigned char*>(head.data());
    const std::size_t size = std::min(head.size(), kHeadSize);
    if (size < kLeastHead) return result;

    // A candidate key is right when the block at 24 decrypts to the known
    // text: D(C[24..32]) == C[16..24] xor the start text at 24.
    BF_LONG cipher[2] = {loadBigEndian(body + kKnownAt), loadBigEndian(body + kKnownAt + 4)};
    unsigned char want[kBlock];
    for (std::size_t i = 0; i < kBlock; ++i)
        want[i] = static_cast<unsigned char>(body[kKnownAt - kBlock + i] ^ kStartText[kKnownAt - kStampSize + i]);
    const BF_LONG wanted[2] = {loadBigEndian(want), loadBigEndian(want + 4)};

    const SeedIndex index(seedSpans(bounds));
    const std::size_t values = std::size_t(bounds.offsets) + 16;
    const std::uint64_t perSeed = 2 * (std::uint64_t(bounds.offsets) + 1);
    const std::uint64_t total = progress ? index.seeds() * perSeed : 0;

    std::atomic<std::uint64_t> next{0}, tried{0};
    std::atomic<bool> done{false};
    std::mutex mutex;
    std::condition_variable finished;
    unsigned running = 0;

    auto worker = [&] {
        std::vector<unsigned char> keyBytes(values);
        BF_KEY schedule;
        for (;;) {
            if (done.load(std::memory_order_relaxed) || (stop && stop->load(std::memory_order_relaxed))) break;
            const std::uint64_t i = next.fetch_add(1, std::memory_order_relaxed);
            if (i >= index.size()) break;
            std::uint32_t seed;
            if (!index.at(i, seed)) continue;
            for (Generator g : {Generator::Msvcrt, Generator::Glibc}) {
                if (done.load(std::memory_order_relaxed)) break;
                // Every offset's key is a window of 16 on the same values.
                if (g == Generator::Msvcrt) {
                    keygen::Lcg lcg(seed);
                    for (auto& k : keyBytes) k = static_cast<unsigned char>(lcg.next() % 255);
                } else {
                    GlibcRandom r(seed);
                    for (auto& k : keyBytes) k = static_cast<unsigned char>(r.next() % 255);
                }
                for (unsigned offset = 0; offset <= bounds.offsets; ++offset) {
                    const unsigned char* key = keyBytes.data() + offset;
                    BF_set_key(&schedule, 16, key);
                    BF_LONG block[2] = {cipher[0], cipher[1]};
                    BF_decrypt(block, &schedule);
                    if (block[0] != wanted[0] || block[1] != wanted[1]) continue;
                    Key16 candidate;
                    std::memcpy(candidate.data(), key, 16);
                    if (!confirms(body, size, candidate)) continue;
                    std::lock_guard<std::mutex> lock(mutex);
                    if (!result.found) result.found = Found{candidate, g, seed, offset};
                    done = true;
                }
            }
            tried.fetch_add(perSeed, std::memory_order_relaxed);
        }
        std::lock_guard<std::mutex> lock(mutex);
        --running;
        finished.notify_all();
    };

    unsigned threads = bounds.threads ? bounds.threads : std::max(1u, std::thread::hardware_concurrency());
    threads = unsigned(std::min<std::uint64_t>(threads, std::max<std::uint64_t>(1, index.size())));
    std::vector<std::thread> pool;
    {
        std::lock_guard<std::mutex> lock(mutex);
        running = threads;
    }
    for (unsigned t = 0; t < threads; ++t) {
        try {
            pool.emplace_back(worker);
        } catch (...) {
            std::lock_guard<std::mutex> lock(mutex);
            --running;  // the threads that did start share the work
        }
    }
    if (pool.empty()) {
        running = 1;
        worker();
    }
    const auto begin = std::chrono::steady_clock::now();
    auto lastReport = begin;
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (running > 0) {
            finished.wait_for(lock, std::chrono::milliseconds(100));
            const auto now = std::chrono::steady_clock::now();
            if (progress && running > 0 && now - lastReport >= std::chrono::seconds(1)) {
                lastReport = now;
                Progress p{tried.load(), total, std::chrono::duration<double>(now - begin).count()};
                lock.unlock();
                progress(p);
                lock.lock();
            }
        }
    }
    for (auto& t : pool) t.join();
    result.tried = tried.load();
    result.stopped = !result.found && stop && stop->load();
    return result;
}

// ---- the file's times ----------------------------------------------------------

namespace {

bool leapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// A date and time of the calendar as local time; nothing when it does not
// exist (30 February, 24:00, a 61st second).
std::optional<std::int64_t> localToTime(int year, int month, int day, int hour, int minute, int second) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1970 || month < 1 || month > 12 || hour > 23 || minute > 59 || second > 59) return {};
    const int inMonth = days[month - 1] + (month == 2 && leapYear(year) ? 1 : 0);
    if (day < 1 || day > inMonth) return {};
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1)) return {};
    return static_cast<std::int64_t>(t);
}

// "YYYY?MM?DD?hh?mm?ss" with the separators given, digits elsewhere.
std::optional<std::int64_t> stampAt(const std::string& s, const char* separators) {
    if (s.size() < 19) return {};
    const std::size_t seps[] = {4, 7, 10, 13, 16};
    for (std::size_t i = 0; i < 19; ++i) {
        const std::size_t* p = std::find(std::begin(seps), std::end(seps), i);
        if (p != std::end(seps)) {
            if (s[i] != separators[p - std::begin(seps)]) return {};
        } else if (s[i] < '0' || s[i] > '9') {
            return {};
        }
    }
    auto num = [&](std::size_t at, std::size_t n) { return std::stoi(s.substr(at, n)); };
    return localToTime(num(0, 4), num(5, 2), num(8, 2), num(11, 2), num(14, 2), num(17, 2));
}

}  // namespace

std::optional<std::int64_t> nameTime(const std::string& fileName) {
    const std::size_t slash = fileName.find_last_of("/\\");
    const std::string name = slash == std::string::npos ? fileName : fileName.substr(slash + 1);
    return stampAt(name, "--_--");
}

std::optional<std::int64_t> parseTime(const std::string& text) {
    if (!text.empty() && text.size() <= 12 && text.find_first_not_of("0123456789") == std::string::npos)
        return std::stoll(text);
    if (text.size() != 19) return {};
    if (auto t = stampAt(text, "-- ::")) return t;
    return stampAt(text, "--_--");
}

std::vector<std::pair<std::string, std::int64_t>> fileAnchors(const std::string& path) {
    std::vector<std::pair<std::string, std::int64_t>> out;
    auto add = [&](const char* label, std::int64_t t) {
        for (const auto& a : out)
            if (a.second == t) return;
        out.emplace_back(label, t);
    };
    os::FileTimes times;
    if (os::fileTimes(path, times)) {
        if (times.hasBirth) add("the file's birth time", times.birth);
        add("the file's modification time", times.modified);
        if (times.hasChange) add("the last change of the file's entry", times.changed);
    }
    if (auto t = nameTime(path)) add("the time in the file's name", *t);
    return out;
}

SearchBounds quickBounds(std::vector<std::pair<std::string, std::int64_t>> anchors) {
    SearchBounds b;
    b.anchors = std::move(anchors);
    b.window = 300;
    b.offsets = 47;
    return b;
}

SearchBounds fullBounds(std::vector<std::pair<std::string, std::int64_t>> anchors) {
    SearchBounds b;
    b.anchors = std::move(anchors);
    return b;
}

}  // namespace keysearch
}  // namespace vt
