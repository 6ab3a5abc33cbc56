#include "log/recover.h"

#include "log/format.h"
#include "log/keygen.h"
#include "platform/os.h"

#include <boost/filesystem.hpp>
#include <openssl/blowfish.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <limits>
#include <mutex>
#include <ostream>
#include <sstream>
#include <thread>

// The file's birth time is not in Boost.Filesystem 1.74: statx on Linux, and
// on Windows the C runtime's stat, whose st_ctime is the creation time.
#include <sys/stat.h>
#if defined(__linux__)
#include <fcntl.h>
#endif

namespace vt {
namespace recover {

namespace fs = boost::filesystem;

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
// Enough of the body to confirm a key: the stamp and the start text.
constexpr std::size_t kHeadSize = 56;

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

bool confirms(const unsigned char* body, std::size_t size, const Key16& key) {
    if (size < kKnownAt + kBlock) return false;
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
    if (size < kKnownAt + kBlock) return result;

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

std::optional<std::int64_t> localToTime(int year, int month, int day, int hour, int minute, int second) {
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return {};
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
#if defined(__linux__)
    struct statx sx;
    if (statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_BTIME))
        add("the file's birth time", sx.stx_btime.tv_sec);
#elif defined(_WIN32)
    struct _stat64 st;
    if (_stat64(path.c_str(), &st) == 0) add("the file's creation time", st.st_ctime);
#endif
    boost::system::error_code ec;
    const std::time_t modified = fs::last_write_time(path, ec);
    if (!ec) add("the file's modification time", modified);
    if (auto t = nameTime(path)) add("the time in the file's name", *t);
    return out;
}

// ---- reading the records -------------------------------------------------------

Records readRecords(const std::string& bytes, const Key16& key) {
    Records r;
    const std::size_t size = bytes.size() - bytes.size() % kBlock;
    std::string plain(size, '\0');
    if (size) cbcDecrypt(key, reinterpret_cast<const unsigned char*>(bytes.data()),
                         reinterpret_cast<unsigned char*>(&plain[0]), size);
    static const std::string stop = schema::head(schema::Kind::InfoStop);
    std::size_t pos = 0;
    while (pos < size) {
        const std::size_t nl = plain.find('\n', pos);
        if (nl == std::string::npos) break;  // an unfinished record
        const char* line = plain.data() + pos;
        const std::size_t length = nl - pos;
        bool valid = schema::isStamp(std::string_view(line, length));
        for (std::size_t i = 0; valid && i < length; ++i) {
            const unsigned char c = static_cast<unsigned char>(line[i]);
            valid = c >= 0x20 && c != 0x7F;
        }
        if (!valid) {
            r.damaged = true;
            break;
        }
        ++r.count;
        pos = nl + 1;
        if (length == kStampSize + stop.size() && plain.compare(pos - 1 - stop.size(), stop.size(), stop) == 0) {
            r.stopRecord = true;  // what follows is padding and the trailer
            break;
        }
    }
    // Up to 7 spaces after the last line feed pad the last block, as the
    // trailer pads it and as every flush pads the block it writes provisionally;
    // anything else there is an unfinished record.
    r.unread = size - pos;
    if (!r.damaged && !r.stopRecord && r.unread < kBlock && plain.find_first_not_of(' ', pos) == std::string::npos)
        r.unread = 0;
    plain.resize(pos);
    r.text = std::move(plain);
    return r;
}

// ---- the command -----------------------------------------------------------------

std::atomic<bool>& interruptFlag() {
    static std::atomic<bool> flag{false};
    return flag;
}

namespace {

extern "C" void onInterrupt(int) { interruptFlag().store(true); }

// Ctrl-C raises the flag while a search runs; the previous handler comes back after.
class InterruptGuard {
public:
    InterruptGuard() {
        interruptFlag().store(false);
        previous_ = std::signal(SIGINT, onInterrupt);
    }
    ~InterruptGuard() {
        if (previous_ != SIG_ERR) std::signal(SIGINT, previous_);
    }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

private:
    void (*previous_)(int) = SIG_ERR;
};

bool readFile(const std::string& path, std::string& bytes) {
    boost::system::error_code ec;
    if (fs::is_directory(path, ec)) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    if (in.bad()) return false;
    bytes = s.str();
    return true;
}

// Ciphertext looks like noise; text and most binary formats do not. Says what
// the head looks like instead, or nothing when it could be ciphertext.
std::string notCiphertext(const std::string& bytes) {
    const std::size_t n = std::min<std::size_t>(bytes.size(), 4096);
    std::size_t counts[256] = {};
    std::size_t printable = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        ++counts[c];
        printable += (c >= 0x20 && c < 0x7F) || c == '\n' || c == '\r' || c == '\t';
    }
    if (printable * 10 >= n * 9) return "it reads as text";
    if (n >= 1024) {
        // Chi-square against even bytes: 255 degrees of freedom, mean 255,
        // deviation 23; ciphertext stays far below 700.
        const double expected = double(n) / 256;
        double chi = 0;
        for (std::size_t c : counts) chi += (double(c) - expected) * (double(c) - expected) / expected;
        if (chi > 700) return "its bytes are far from evenly spread, as ciphertext's are";
    } else if (counts[0] > n / 8 + 4) {
        return "it holds too many zero bytes for ciphertext";
    }
    return {};
}

std::string leafOf(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string stemOf(const std::string& path) {
    std::string leaf = leafOf(path);
    const std::size_t dot = leaf.rfind('.');
    if (dot != std::string::npos && dot > 0) leaf.resize(dot);
    return leaf;
}

std::string directoryOf(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) return ".";
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

// Creates a new file beside nothing: an existing name is never reused.
bool writeNew(const std::string& dir, const std::string& stem, const std::string& ext, const std::string& content,
              std::string& written, std::string& error) {
    for (int i = 0; i < 100; ++i) {
        const std::string name = stem + (i ? "_" + std::to_string(i) : std::string()) + ext;
        const std::string path = (fs::path(dir) / name).string();
        boost::system::error_code ec;
        if (fs::exists(fs::symlink_status(path, ec))) continue;
        auto file = os::createNewFile(path);
        if (!file) {
            if (fs::exists(fs::symlink_status(path, ec))) continue;  // appeared meanwhile
            error = "cannot create " + path;
            return false;
        }
        const bool ok = file->write(content.data(), content.size());
        const bool closed = file->close();
        if (!ok || !closed) {
            fs::remove(path, ec);
            error = "cannot write " + path;
            return false;
        }
        written = path;
        return true;
    }
    error = "no free name for " + stem + ext + " in " + dir;
    return false;
}

// The recovered records as a new sealed log, under the same key: its body
// begins with the same ciphertext as the original's. A record says that it was
// recovered; the stop record stays last, so readers take it as a whole log.
std::string sealed(const Records& records, const Key16& key, const std::string& source) {
    std::string out;
    CipherStream stream([&](const unsigned char* data, std::size_t size) {
        out.append(reinterpret_cast<const char*>(data), size);
    });
    stream.resetCipher(key.data());
    std::string text = records.text, stop;
    if (records.stopRecord) {
        const std::size_t last = text.rfind('\n', text.size() - 2);
        const std::size_t at = last == std::string::npos ? 0 : last + 1;
        stop = text.substr(at);
        text.resize(at);
    }
    const std::string stamp = recordStamp(calendarTime(os::currentTime())) + schema::kPartSeparator;
    if (stop.empty()) {
        stop = stamp;
        appendRecord(stop, schema::shape(schema::Kind::InfoStop), {}, {});
        stop += '\n';
    }
    std::string note = stamp;
    appendRecord(note, schema::shape(schema::Kind::InfoRecovered), {}, {source, std::to_string(records.count)});
    note += '\n';
    if (!text.empty()) stream.encryptAppend(text);
    stream.encryptAppend(note);
    stream.encryptAppend(stop);
    stream.writeTrailer(key);
    return out;
}

std::string rateText(double perSecond) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.0f", perSecond);
    return buf;
}

class Command {
public:
    Command(const Options& o, std::ostream& out, std::ostream& err) : o_(o), out_(out), err_(err) {}

    int file(const std::string& path) {
        std::string bytes;
        if (!readFile(path, bytes)) return fail(path, "cannot be read");
        if (bytes.empty()) return fail(path, "is empty: the recording wrote nothing before it ended; nothing to recover");

        const std::size_t whole = bytes.size() - bytes.size() % kBlock;
        if (whole >= kBlock + kTrailerSize && checkContainer(bytes.substr(0, whole)).verdict == Verdict::Whole) {
            out_ << path << ": whole; it needs no recovery and was left alone";
            if (whole != bytes.size())
                out_ << " (" << bytes.size() - whole << " bytes after its trailer do not belong to it)";
            out_ << "\n";
            return 0;
        }
        if (whole < kKnownAt + kBlock)
            return fail(path, "not a log: " + std::to_string(bytes.size()) + " bytes cannot hold the first record");
        const std::string why = notCiphertext(bytes);
        if (!why.empty()) return fail(path, "not a log: " + why);

        SearchBounds bounds;
        bounds.window = o_.window;
        bounds.offsets = o_.offsets;
        bounds.threads = o_.threads;
        if (!o_.around.empty()) {
            bounds.anchors.emplace_back(o_.around, *parseTime(o_.around));
            bounds.bothSides = true;
        } else {
            bounds.anchors = fileAnchors(path);
        }
        auto progress = [&](const Progress& p) {
            const double rate = p.seconds > 0 ? double(p.tried) / p.seconds : 0;
            err_ << path << ": searching: " << p.tried << " of " << p.total << " candidates, " << rateText(rate)
                 << "/s";
            if (rate > 0 && p.total > p.tried) err_ << ", at most " << rateText(double(p.total - p.tried) / rate) << " s left";
            err_ << std::endl;
        };
        const SearchResult r = searchKey(bytes.substr(0, kHeadSize), bounds, progress, &interruptFlag());
        if (r.stopped) {
            out_ << path << ": interrupted after " << r.tried << " candidates; nothing was written\n";
            return 130;
        }
        if (!r.found) return fail(path, "key not found within " + describe(bounds));

        const Found& f = *r.found;
        const Records records = readRecords(bytes, f.key);
        std::ostringstream how;
        how << "key from the " << generatorName(f.generator) << " seeded with " << f.seed;
        if (f.seed != 1) how << " (" << localText(f.seed) << ")";
        how << " at offset " << f.offset;
        if (records.count == 0) return fail(path, how.str() + ", but the file holds no whole record");

        const std::string dir = o_.outDir.empty() ? directoryOf(path) : o_.outDir;
        std::string written, error;
        const bool ok = o_.seal ? writeNew(dir, stemOf(path) + "_recovered", ".vtl", sealed(records, f.key, leafOf(path)),
                                           written, error)
                                : writeNew(dir, stemOf(path) + "_recovered", ".txt", records.text, written, error);
        if (!ok) return fail(path, how.str() + ", but " + error);
        out_ << path << ": recovered " << records.count << " records (" << records.text.size() << " bytes) into "
             << written << "; " << how.str();
        if (records.damaged)
            out_ << "; the file is damaged after byte " << records.text.size() << " and was read up to the damage";
        else if (records.stopRecord)
            out_ << "; the recording was closed but its trailer is missing or damaged";
        else if (records.unread)
            out_ << "; the last " << records.unread << " bytes hold an unfinished record";
        out_ << "\n";
        return 0;
    }

private:
    int fail(const std::string& path, const std::string& why) {
        out_ << path << ": " << why << "\n";
        return 1;
    }

    const Options& o_;
    std::ostream& out_;
    std::ostream& err_;
};

}  // namespace

std::optional<Key16> findKey(const std::string& path, const SearchBounds& given) {
    try {
        std::string bytes;
        if (!readFile(path, bytes)) return {};
        const std::size_t whole = bytes.size() - bytes.size() % kBlock;
        if (whole < kKnownAt + kBlock || !notCiphertext(bytes).empty()) return {};
        if (whole >= kBlock + kTrailerSize && checkContainer(bytes.substr(0, whole)).verdict == Verdict::Whole)
            return {};
        SearchBounds bounds = given;
        if (bounds.anchors.empty()) bounds.anchors = fileAnchors(path);
        const SearchResult r = searchKey(bytes.substr(0, kHeadSize), bounds);
        if (r.found) return r.found->key;
    } catch (...) {
    }
    return {};
}

int run(const Options& o, std::ostream& out, std::ostream& err) {
    try {
        if (o.window < 0 || o.window > 10LL * 366 * 86400) {
            err << "vtl recover: --window must be 0 to 316224000 seconds\n";
            return 2;
        }
        if (o.offsets > 65535) {
            err << "vtl recover: --offsets must be 0 to 65535\n";
            return 2;
        }
        if (!o.around.empty() && !parseTime(o.around)) {
            err << "vtl recover: --around wants \"YYYY-MM-DD hh:mm:ss\" (local time) or seconds since 1970, not '"
                << o.around << "'\n";
            return 2;
        }
        if (!o.outDir.empty()) {
            boost::system::error_code ec;
            if (!fs::is_directory(o.outDir, ec)) {
                err << "vtl recover: --out " << o.outDir << " is not a directory\n";
                return 2;
            }
        }
        InterruptGuard guard;
        Command command(o, out, err);
        int status = 0;
        for (const auto& path : o.files) {
            const int s = command.file(path);
            if (s == 130) return 130;
            status = std::max(status, s);
        }
        return status;
    } catch (const std::exception& e) {
        err << "vtl recover: " << e.what() << "\n";
    } catch (...) {
        err << "vtl recover: unexpected failure\n";
    }
    return 1;
}

}  // namespace recover
}  // namespace vt
