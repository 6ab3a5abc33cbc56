#include "index/ingest.h"

#include "index/schema.h"

#include "common/civil.h"
#include "common/utf8.h"
#include "events/events.h"

#include "log/file_source.h"
#include "common/schema.h"
#include "read/records.h"

#include <boost/filesystem.hpp>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <string_view>
#include <thread>
#include <unordered_map>

namespace vt {
namespace index {

namespace {

namespace fs = boost::filesystem;
using schema::Kind;

// "YYYY-MM-DD" of a day count.
std::string dayText(std::int64_t days) {
    const civil::Date d = civil::civilFromDays(days);
    char out[48];
    std::snprintf(out, sizeof out, "%04lld-%02u-%02u", static_cast<long long>(d.year), d.month, d.day);
    return out;
}

// "YYYY-MM-DD hh:mm:ss" of seconds.
std::string isoOf(std::int64_t seconds) {
    const std::int64_t day = civil::dayOf(seconds), s = seconds - day * 86400;
    char clock[16];
    std::snprintf(clock, sizeof clock, " %02d:%02d:%02d", int(s / 3600), int(s / 60 % 60), int(s % 60));
    return dayText(day) + clock;
}

int digits(const std::string& s, std::size_t at, std::size_t n) {
    int v = 0;
    for (std::size_t i = 0; i < n; ++i) v = v * 10 + (s[at + i] - '0');
    return v;
}

// Seconds since 1970 of "YYYY-MM-DD hh:mm:ss" (no time zone: only differences are used).
std::optional<std::int64_t> secondsOf(const std::string& iso) {
    if (iso.size() != 19) return {};
    return civil::daysFromCivil(digits(iso, 0, 4), unsigned(digits(iso, 5, 2)), unsigned(digits(iso, 8, 2))) * 86400 +
           digits(iso, 11, 2) * 3600 + digits(iso, 14, 2) * 60 + digits(iso, 17, 2);
}

bool plainAscii(const std::string& text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

// A known record's field, taken out of a record that is not looked at again.
std::string take(read::Record& r, std::size_t at) { return std::move(r.fields[at].second); }

// Nearest-rank percentile of sorted values.
double percentile(const std::vector<std::int64_t>& sorted, double p) {
    std::size_t rank = static_cast<std::size_t>(p * double(sorted.size()) + 0.999999);
    rank = std::max<std::size_t>(1, std::min(rank, sorted.size()));
    return double(sorted[rank - 1]);
}

void summarizePings(const std::vector<const Parsed::Ping*>& pings, Parsed::Summary& s) {
    std::vector<std::int64_t> ms;
    s.pings = std::int64_t(pings.size());
    for (const auto* p : pings) {
        if (p->answered && p->milliseconds) ms.push_back(*p->milliseconds);
        else ++s.noAnswers;
    }
    if (ms.empty()) return;
    std::sort(ms.begin(), ms.end());
    s.p50 = percentile(ms, 0.5);
    s.p95 = percentile(ms, 0.95);
    double sum = 0;
    for (auto v : ms) sum += double(v);
    s.average = sum / double(ms.size());
}

// The recording's summary: the pings' figures, overall and per server, and
// the adapters' throughput.
void summarize(Parsed& p) {
    std::vector<const Parsed::Ping*> all;
    std::map<std::string, std::vector<const Parsed::Ping*>> byServer;
    for (const auto& ping : p.pings) {
        all.push_back(&ping);
        byServer[ping.server].push_back(&ping);
    }
    summarizePings(all, p.summary);
    for (const auto& s : byServer) {
        Parsed::ServerSummary server;
        server.server = s.first;
        server.address = ipv4(s.first);
        summarizePings(s.second, server.ping);
        p.servers.push_back(server);
    }
    // Throughput: the adapters' rates summed per moment, averaged over the
    // moments; a rate that cannot be read counts in neither (it is not a 0).
    struct Moment {
        double sum[2] = {0, 0};
        bool seen[2] = {false, false};
    };
    std::map<std::string_view, Moment> moments;
    for (const auto& r : p.rates) {
        auto& m = moments[p.time(r.at)];
        const std::optional<double>* both[2] = {&r.tx, &r.rx};
        for (int d = 0; d < 2; ++d)
            if (*both[d]) {
                m.sum[d] += **both[d];
                m.seen[d] = true;
            }
    }
    std::optional<double>* averages[2] = {&p.summary.tx, &p.summary.rx};
    for (int d = 0; d < 2; ++d) {
        double sum = 0;
        std::size_t n = 0;
        for (const auto& m : moments)
            if (m.second.seen[d]) {
                sum += m.second.sum[d];
                ++n;
            }
        if (n > 0) *averages[d] = sum / double(n);
    }
}

// Cuts the lines of one log into rows, from the log's events.
class Builder {
public:
    explicit Builder(Parsed& p) : p_(p) {}

    bool line(const std::string& text, bool cut) {
        if (!p_.failure.empty()) return false;
        // Text is kept as every reader shows it: bytes that are not UTF-8 read as Latin-1.
        read::Record r = read::parseRecord(plainAscii(text) ? text : utf8::fromNarrow(text));
        r.cut = cut;
        const events::Event e = reader_.take(r);
        if (e.newStamp) stamp(r.stamp, e.at.own);
        const std::string& at = lastIso_;
        if (!at.empty()) last_ = at;
        else ++p_.untimed;
        ++p_.records;
        if (p_.records == 1) return start(e);
        if (p_.started.empty() && !at.empty()) begin(at);
        switch (e.type) {
        case events::Type::Opened:
        case events::Type::Closed: break;  // the lifetimes are rows once the log is read
        case events::Type::Rate:
            p_.rates.push_back({lastAt_, take(r, 0), e.tx, e.rx, e.line});
            break;
        case events::Type::Ping: {
            Parsed::Ping ping;
            ping.at = lastAt_;
            ping.server = take(r, 0);
            ping.serverAddress = ipv4(ping.server);
            ping.milliseconds = e.number;
            // A time is 0 to 500 ms; the monitor writes 1000 for no answer and
            // 501 for a reply without a plausible time.
            ping.answered = ping.milliseconds && *ping.milliseconds >= 0 && *ping.milliseconds <= 500;
            ping.line = e.line;
            p_.pings.push_back(std::move(ping));
            break;
        }
        case events::Type::Key: p_.keys.push_back({lastAt_, take(r, 0), {}, e.line}); break;
        case events::Type::Fact: fact(r.action, std::string(e.value), e.line); break;
        case events::Type::Stop: p_.ended = at; break;
        case events::Type::Start:  // a start record after the first is no recording's start
        case events::Type::Other:
            // The recovery note names where the records came from, and stays a record.
            if (!cut && r.type == schema::Kind::InfoRecovered) p_.recoveredFrom = r.fields[0].second;
            p_.others.push_back({lastAt_, std::move(r.kind), std::move(r.action), std::move(r.raw), cut, e.line});
            break;
        }
        return true;
    }

    void finish() {
        if (!p_.failure.empty()) return;
        if (p_.records == 0) {
            p_.failure = "it holds no records";
            return;
        }
        if (p_.started.empty()) {
            p_.failure = "no record has a time that exists (the start record's is \"" + firstStamp_ + "\")";
            return;
        }
        reader_.finish();
        lifetimes();
        const std::string end = p_.ended.empty() ? last_ : p_.ended;
        const auto a = secondsOf(p_.started), b = secondsOf(end);
        if (a && b && *b >= *a) p_.summary.seconds = *b - *a;
        summarize(p_);
    }

private:
    // A stamp that reads differently from the one before: its time, once.
    void stamp(const std::string& text, bool real) {
        if (!real) {
            lastIso_.clear();
            lastAt_ = Parsed::kNoTime;
            return;
        }
        lastIso_.resize(19);
        civil::isoFromStamp(text, &lastIso_[0]);
        lastAt_ = std::int32_t(p_.times.size());
        p_.times.push_back(lastIso_);
    }

    bool start(const events::Event& e) {
        firstStamp_ = e.record->stamp;
        const auto user = events::integer(e.value);
        const auto match = events::integer(e.detail);
        if (e.type != events::Type::Start || !user || !match) {
            p_.failure = "it does not begin with a start record that names its user and match";
            return false;
        }
        p_.user = *user;
        p_.match = *match;
        if (!lastIso_.empty()) begin(lastIso_);
        return true;
    }

    // The recording's start, day and week: of its start record, or when that
    // has no real time, of the first record that has one.
    void begin(const std::string& at) {
        p_.started = at;
        p_.day = at.substr(0, 10);
        p_.week = weekOf(p_.day);
    }

    // The processes and connections, in the order of the records that began them.
    void lifetimes() {
        for (const events::Lifetime& l : reader_.lifetimes()) {
            const std::string opened = l.opened.own ? isoOf(l.opened.seconds) : std::string();
            const std::string closed = !l.open && l.closed.own ? isoOf(l.closed.seconds) : std::string();
            if (l.family == events::Family::Process) {
                Parsed::Process proc;
                proc.pid = events::integer(l.pid);
                proc.path = l.path;
                proc.started = opened;
                proc.ended = closed;
                proc.already = l.atStart;
                proc.still = l.open;
                proc.line = l.line;
                p_.processes.push_back(std::move(proc));
                continue;
            }
            Parsed::Connection c;
            c.protocol = l.family == events::Family::Tcp ? schema::word::kTcp : schema::word::kUdp;
            c.localIp = l.localIp;
            c.localPort = events::integer(l.localPort);
            c.remoteIp = l.remoteIp;
            c.remotePort = events::integer(l.remotePort);
            c.remoteAddress = ipv4(c.remoteIp);
            c.pid = events::integer(l.pid);
            c.path = l.path;
            c.opened = opened;
            c.closed = closed;
            c.already = l.atStart;
            c.still = l.open;
            c.line = l.line;
            p_.connections.push_back(std::move(c));
        }
    }

    void fact(const std::string& name, std::string value, std::int64_t line) {
        if (name == schema::fact::kVolumeId && !value.empty()) {
            addIdentifier({"volume", value, name, volumeMark(value)});
        } else if (name == schema::fact::kMacAddress) {
            // "description @ address"
            const std::size_t atSign = value.rfind(" @ ");
            const std::string mac = macAddress(atSign == std::string::npos ? value : value.substr(atSign + 3));
            if (!mac.empty()) addIdentifier({"mac", mac, name, macMark(mac)});
        }
        p_.facts.push_back({lastAt_, name, std::move(value), line});
    }

    void addIdentifier(const Parsed::Identifier& id) {
        for (const auto& known : p_.identifiers)
            if (known.kind == id.kind && known.value == id.value) return;
        p_.identifiers.push_back(id);
    }

    Parsed& p_;
    events::Reader reader_;
    std::string last_, lastIso_, firstStamp_;
    std::int32_t lastAt_ = Parsed::kNoTime;
};

const char* stateName(read::State s) {
    switch (s) {
    case read::State::NotAFile: return "not a file";
    case read::State::Unreadable: return "unreadable";
    case read::State::Whole: return "whole";
    case read::State::Appended: return "appended";
    case read::State::Recovered: return "recovered";
    case read::State::NoKey: return "no key";
    case read::State::NotALog: return "not a log";
    }
    return "unknown";
}

struct EvpDeleter {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

}  // namespace

std::size_t Parsed::rows() const {
    return processes.size() + connections.size() + pings.size() + rates.size() + keys.size() + facts.size() +
           others.size() + identifiers.size() + servers.size() + 3;
}

std::string isoTime(const std::string& stamp) {
    std::int64_t seconds = 0;
    if (!civil::stampSeconds(stamp, seconds)) return {};
    std::string iso(19, ' ');
    civil::isoFromStamp(stamp, &iso[0]);
    return iso;
}

std::string weekOf(const std::string& day) {
    if (day.size() != 10) return day;
    const std::int64_t days =
        civil::daysFromCivil(digits(day, 0, 4), unsigned(digits(day, 5, 2)), unsigned(digits(day, 8, 2)));
    // 1970-01-01 was a Thursday: Monday is three days before.
    const std::int64_t sinceMonday = ((days + 3) % 7 + 7) % 7;
    return dayText(days - sinceMonday);
}

std::optional<std::int64_t> ipv4(const std::string& text) {
    std::int64_t value = 0;
    std::size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        std::size_t end = at;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
        if (end == at || end - at > 3) return {};
        int octet = 0;
        for (std::size_t i = at; i < end; ++i) octet = octet * 10 + (text[i] - '0');
        if (octet > 255) return {};
        value = value * 256 + octet;
        if (part < 3) {
            if (end >= text.size() || text[end] != '.') return {};
            at = end + 1;
        } else if (end != text.size()) {
            return {};
        }
    }
    return value;
}

std::string macAddress(const std::string& text) {
    std::string hex;
    for (char c : text) {
        if (c == '-' || c == ':') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
        hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (hex.size() != 12) return {};
    std::string out;
    for (int i = 0; i < 6; ++i) {
        if (i) out += '-';
        out += hex.substr(std::size_t(i) * 2, 2);
    }
    return out;
}

std::string macMark(const std::string& mac) {
    if (mac.size() != 17) return {};
    if (mac == "00-00-00-00-00-00") return "zero";
    if (mac == "ff-ff-ff-ff-ff-ff") return "broadcast";
    // Fixed addresses of virtual adapters, the same on every machine that has
    // one (prefixes: what follows them is a fixed adapter number at most).
    static const char* const kVirtual[] = {
        "00-50-56-c0-00-",    // VMware's host-only and NAT adapters (VMnet1, VMnet8, ...)
        "00-1c-42-00-00-",    // Parallels' host-only and shared adapters
        "0a-00-27-00-00-",    // VirtualBox's host-only adapters
        "00-15-5d-",          // Hyper-V's virtual adapters
        "02-00-4c-4f-4f-50",  // Npcap's loopback adapter
        "02-42-",             // Docker's bridges
        "00-05-9a-3c-7a-00",  // Cisco AnyConnect's virtual adapter
    };
    for (const char* prefix : kVirtual)
        if (mac.compare(0, std::char_traits<char>::length(prefix), prefix) == 0) return "virtual";
    const int first = std::stoi(mac.substr(0, 2), nullptr, 16);
    // Bit 0 of the first octet: a group address; bit 1: locally administered.
    if (first & 0x01) return "multicast";
    if (first & 0x02) return "local";
    return {};
}

std::string volumeMark(const std::string& volume) { return volume == "00000000" ? "unreadable" : std::string(); }

std::string lowerAscii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

namespace {

// The lower case of a letter of Latin-1, Latin Extended-A, Greek or Cyrillic;
// any other code point as it is.
std::uint32_t lowerLetter(std::uint32_t cp) {
    if (cp >= 0xC0 && cp <= 0xDE && cp != 0xD7) return cp + 0x20;
    if (cp >= 0x100 && cp <= 0x17F) {
        if (cp == 0x130) return 'i';
        if (cp == 0x178) return 0xFF;
        if (cp == 0x131 || cp == 0x138 || cp == 0x149 || cp == 0x17F) return cp;
        // Capitals on odd code points here, on even ones elsewhere.
        const bool oddCapitals = (cp >= 0x139 && cp <= 0x148) || (cp >= 0x179 && cp <= 0x17E);
        return (cp % 2 == 1) == oddCapitals ? cp + 1 : cp;
    }
    if (cp >= 0x391 && cp <= 0x3A9 && cp != 0x3A2) return cp + 0x20;
    if (cp == 0x386) return 0x3AC;
    if (cp >= 0x388 && cp <= 0x38A) return cp + 0x25;
    if (cp == 0x38C) return 0x3CC;
    if (cp == 0x38E || cp == 0x38F) return cp + 0x3F;
    if (cp == 0x3C2) return 0x3C3;  // the final sigma
    if (cp >= 0x410 && cp <= 0x42F) return cp + 0x20;
    if (cp >= 0x400 && cp <= 0x40F) return cp + 0x50;
    return cp;
}

}  // namespace

std::string foldCase(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        std::uint32_t cp = 0;
        const std::size_t n = p[i] < 0x80 ? 0 : utf8::decode(p + i, text.size() - i, cp);
        if (n == 0) {
            const char c = text[i++];
            out += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        } else {
            utf8::append(out, lowerLetter(cp));
            i += n;
        }
    }
    return out;
}

std::string sha256File(const std::string& path, std::string& reason) {
    FileSource source;
    if (!source.open(path, reason)) return {};
    std::unique_ptr<EVP_MD_CTX, EvpDeleter> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
        reason = "SHA-256 is not available";
        return {};
    }
    std::vector<unsigned char> buffer(1 << 20);
    for (std::uint64_t at = 0; at < source.size();) {
        const std::size_t n = std::size_t(std::min<std::uint64_t>(buffer.size(), source.size() - at));
        if (!source.read(at, buffer.data(), n)) {
            reason = "it cannot be read to its end";
            return {};
        }
        EVP_DigestUpdate(ctx.get(), buffer.data(), n);
        at += n;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx.get(), digest, &length);
    static const char hexDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < length; ++i) {
        out += hexDigits[digest[i] >> 4];
        out += hexDigits[digest[i] & 0xF];
    }
    return out;
}

void parseText(const std::string& text, Parsed& out) {
    Builder b(out);
    for (const auto& line : read::lines(text))
        if (!b.line(line, false)) break;
    b.finish();
}

Parsed parseLog(const std::string& path, const read::Options& options, const KnownFn& known) {
    Parsed p;
    p.path = path;
    try {
        bool missing = false;
        const std::string notRegular = notRegularFile(path, missing);
        if (!notRegular.empty()) {
            p.failure = missing ? notRegular : "not a log file (" + notRegular + ")";
            return p;
        }
        std::string reason;
        {
            // Judged on its first blocks before it is hashed whole: a file of
            // gigabytes that is plainly no log is refused at once.
            FileSource source;
            if (!source.open(path, reason)) {
                p.failure = reason;
                return p;
            }
            bool unreadable = false;
            const std::string notALog = read::plainlyNotALog(source, source.size(), unreadable);
            if (unreadable || !notALog.empty()) {
                p.failure = unreadable ? "it cannot be read (it changed or vanished while it was read)" : notALog;
                return p;
            }
        }
        p.sha256 = sha256File(path, reason);
        if (p.sha256.empty()) {
            p.failure = reason;
            return p;
        }
        if (known) {
            if (auto as = known(p.sha256)) {
                p.known = true;
                p.knownAs = std::move(*as);
                return p;
            }
        }
        read::LogFile log(path, options);
        p.state = log.state();
        p.stateName = stateName(log.state());
        p.reason = log.reason();
        if (!log.regular()) {
            p.failure = "not a log file (" + log.reason() + ")";
            return p;
        }
        if (!log.readable()) {
            p.failure = log.state() == read::State::NotALog ? log.notALog() : "not whole: " + log.reason();
            if (log.interrupted()) p.failure = "its key search was interrupted";
            return p;
        }
        {
            std::uint64_t size = 0;
            FileSource s;
            std::string why;
            if (s.open(path, why)) size = s.size();
            p.size = size;
        }
        Builder b(p);
        const bool done = log.readLines([&](const std::string& line, bool cut, std::uint64_t) { return b.line(line, cut); });
        b.finish();
        if (p.failure.empty() && !done) p.failure = "it cannot be read to its end (it changed or vanished while it was read)";
    } catch (const std::bad_alloc&) {
        p.failure = "out of memory";
    } catch (const std::exception& e) {
        p.failure = e.what();
    }
    return p;
}

std::vector<std::string> collectFiles(const std::vector<std::string>& args, std::vector<std::string>& missing) {
    std::vector<std::string> out;
    for (const auto& arg : args) {
        boost::system::error_code ec;
        const fs::path top(arg);
        if (!fs::is_directory(top, ec)) {
            out.push_back(arg);  // a missing file is reported when it is read
            continue;
        }
        // Every directory that cannot be read is named; the walk goes on
        // with the others. Links to directories are not followed.
        std::vector<std::string> found;
        std::vector<fs::path> pending{top};
        while (!pending.empty()) {
            const fs::path dir = std::move(pending.back());
            pending.pop_back();
            fs::directory_iterator it(dir, ec), end;
            if (ec) {
                missing.push_back(dir.string() + ": cannot be read (" + ec.message() + ")");
                continue;
            }
            for (; !ec && it != end; it.increment(ec)) {
                boost::system::error_code entryEc;
                const fs::path& entry = it->path();
                if (fs::is_directory(it->symlink_status(entryEc))) {
                    pending.push_back(entry);
                } else if (lowerAscii(entry.extension().string()) == ".vtl" && fs::is_regular_file(entry, entryEc)) {
                    found.push_back(entry.string());
                }
            }
            if (ec) missing.push_back(dir.string() + ": cannot be read to its end (" + ec.message() + ")");
        }
        std::sort(found.begin(), found.end());
        out.insert(out.end(), found.begin(), found.end());
    }
    return out;
}

// ---- writing ------------------------------------------------------------------------

namespace {

// Rows written by one statement: the bulk tables take this many rows a step.
constexpr int kRowsPerInsert = 32;

// "INSERT ... VALUES (?,..),(?,..),...": rows of columns parameters each.
std::string insertRows(const std::string& head, int columns, int rows) {
    std::string row = "(";
    for (int c = 0; c < columns; ++c) row += c ? ",?" : "?";
    row += ")";
    std::string sql = head + " VALUES ";
    for (int r = 0; r < rows; ++r) {
        if (r) sql += ',';
        sql += row;
    }
    return sql;
}

// One table's insert: one row a statement, and kRowsPerInsert rows a statement.
struct BulkInsert {
    BulkInsert(Db& db, const std::string& head, int columns)
        : columns(columns), one(db, insertRows(head, columns, 1)), many(db, insertRows(head, columns, kRowsPerInsert)) {}
    // bindRow(stmt, first, row) binds a row's parameters from first + 1.
    template <typename T, typename BindRow>
    void write(const std::vector<T>& rows, BindRow bindRow) {
        std::size_t i = 0;
        for (; i + kRowsPerInsert <= rows.size(); i += kRowsPerInsert) {
            for (int k = 0; k < kRowsPerInsert; ++k) bindRow(many, k * columns, rows[i + std::size_t(k)]);
            many.run();
        }
        for (; i < rows.size(); ++i) {
            bindRow(one, 0, rows[i]);
            one.run();
        }
    }
    int columns;
    Stmt one, many;
};

}  // namespace

struct Writer::Statements {
    explicit Statements(Db& db)
        : known(db, "SELECT 1 FROM files WHERE sha256 = ?"),
          filePath(db, "SELECT path, recording_id FROM files WHERE sha256 = ?"),
          moveFile(db, "UPDATE files SET path = ? WHERE sha256 = ?"),
          moveRecording(db, "UPDATE recordings SET path = ? WHERE id = ? AND file_sha256 = ?"),
          recording(db, "SELECT id, file_sha256, whole, records, path FROM recordings "
                        "WHERE user_id = ? AND match_id = ? AND started = ?"),
          insertRecording(db, "INSERT INTO recordings (day, generation, user_id, match_id, started, ended, week, "
                              "file_sha256, path, whole, state, reason, records, recovered_from, untimed) "
                              "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)"),
          updateRecording(db, "UPDATE recordings SET generation = ?, ended = ?, file_sha256 = ?, path = ?, whole = ?, "
                              "state = ?, reason = ?, records = ?, recovered_from = ?, untimed = ? WHERE id = ?"),
          notCurrent(db, "UPDATE files SET current = 0 WHERE recording_id = ?"),
          touch(db, "UPDATE recordings SET generation = ? WHERE id = ?"),
          insertFile(db, "INSERT INTO files (sha256, day, recording_id, path, size, whole, state, reason, records, "
                         "current, indexed_at) VALUES (?,?,?,?,?,?,?,?,?,?,?)"),
          insertIdentifier(db, "INSERT INTO identifiers (kind, value, weak, mark) VALUES (?,?,?,?) "
                               "ON CONFLICT (kind, value) DO NOTHING"),
          identifier(db, "SELECT id FROM identifiers WHERE kind = ? AND value = ?"),
          insertSighting(db, "INSERT OR IGNORE INTO sightings (day, recording_id, identifier_id, fact) VALUES (?,?,?,?)"),
          insertProgram(db, "INSERT INTO programs (path, name, name_lower, path_lower) VALUES (?,?,?,?) "
                            "ON CONFLICT (path) DO NOTHING"),
          program(db, "SELECT id FROM programs WHERE path = ?"),
          insertProcess(db, "INSERT INTO processes (day, recording_id, pid, program_id, started, ended, "
                            "already_running, still_running, line)", 9),
          insertConnection(db, "INSERT INTO connections (day, recording_id, protocol, local_ip, local_port, remote_ip, "
                               "remote_port, remote_address, pid, program_id, opened, closed, already_open, still_open, line) "
                               "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)"),
          insertPing(db, "INSERT INTO pings (day, recording_id, at, server, server_address, milliseconds, answered, line)",
                     8),
          insertRate(db, "INSERT INTO throughput (day, recording_id, at, adapter, tx_bytes_per_s, rx_bytes_per_s, line)", 7),
          insertKey(db, "INSERT INTO keys (day, recording_id, at, name, line)", 5),
          insertFact(db, "INSERT INTO facts (day, recording_id, at, name, value, line)", 6),
          insertOther(db, "INSERT INTO other_records (day, recording_id, at, kind, action, raw, cut, line)", 8),
          insertSummary(db, "INSERT INTO summaries (day, recording_id, week, seconds, records, pings, no_answers, "
                            "ping_p50, ping_p95, ping_average, tx_average, rx_average, processes, connections, keys) "
                            "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)"),
          insertServer(db, "INSERT INTO ping_servers (day, recording_id, week, server, server_address, pings, "
                           "no_answers, ping_p50, ping_p95, ping_average) VALUES (?,?,?,?,?,?,?,?,?,?)") {}
    Stmt known, filePath, moveFile, moveRecording, recording, insertRecording, updateRecording, notCurrent, touch, insertFile, insertIdentifier, identifier,
        insertSighting, insertProgram, program;
    BulkInsert insertProcess;
    Stmt insertConnection;
    BulkInsert insertPing, insertRate, insertKey, insertFact, insertOther;
    Stmt insertSummary, insertServer;
    std::unordered_map<std::string, std::int64_t> programs;  // path: id, within the open transaction
};

namespace {

// Text, or null when empty.
void bindText(Stmt& s, int i, const std::string& v) {
    if (v.empty()) s.bindNull(i);
    else s.bindRef(i, v);
}
template <typename T>
void bindOptional(Stmt& s, int i, const std::optional<T>& v) {
    if (v) s.bind(i, *v);
    else s.bindNull(i);
}

const char* const kRecordingTables[] = {"processes", "connections", "pings",     "throughput",  "keys",
                                        "facts",     "other_records", "sightings", "summaries", "ping_servers"};

// Whether a file known by path `was` and found at `now` was renamed: a copy
// leaves the file where it was.
bool gone(const std::string& was, const std::string& now) {
    if (was == now) return false;
    boost::system::error_code ec;
    return fs::symlink_status(fs::path(was), ec).type() == fs::file_not_found;
}

// Now, UTC, as "YYYY-MM-DD hh:mm:ss".
std::string nowText() {
    const std::int64_t t = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::system_clock::now().time_since_epoch()).count();
    return isoOf(t);
}

}  // namespace

Writer::Writer(Db& db) : db_(db) {}
Writer::~Writer() = default;

void Writer::begin() {
    transaction_ = std::make_unique<Transaction>(db_);
    if (!s_) s_ = std::make_unique<Statements>(db_);
    generation_ = db_.integer("SELECT value FROM meta WHERE name = 'generation'") + 1;
    db_.exec("UPDATE meta SET value = " + std::to_string(generation_) + " WHERE name = 'generation'");
}

void Writer::commit() {
    transaction_->commit();
    transaction_.reset();
}

void Writer::rollback() {
    transaction_.reset();
    if (s_) s_->programs.clear();
}

std::string Writer::moved(const Parsed& p) {
    if (!transaction_) return {};
    Statements& s = *s_;
    s.filePath.bind(1, p.sha256);
    if (!s.filePath.step()) {
        s.filePath.reset();
        return {};
    }
    const std::string was = s.filePath.text(0);
    const std::int64_t recording = s.filePath.integer(1);
    s.filePath.reset();
    if (!gone(was, p.path)) return {};
    s.moveFile.bind(1, p.path).bind(2, p.sha256).run();
    s.moveRecording.bind(1, p.path).bind(2, recording).bind(3, p.sha256).run();
    s.touch.bind(1, generation_).bind(2, recording).run();
    return was;
}

bool Writer::known(const std::string& sha256) {
    if (!s_) s_ = std::make_unique<Statements>(db_);
    s_->known.bind(1, sha256);
    const bool found = s_->known.step();
    s_->known.reset();
    return found;
}

Outcome Writer::write(const Parsed& p) {
    Outcome o;
    o.path = p.path;
    if (!p.failure.empty()) {
        o.line = p.path + ": not indexed: " + p.failure;
        return o;
    }
    if (p.known || known(p.sha256)) {
        o.kind = Outcome::Already;
        o.line = p.path + ": already indexed";
        const std::string from = moved(p);
        if (!from.empty()) o.line += " (moved from " + from + ")";
        return o;
    }
    Statements& s = *s_;
    Savepoint file(db_, "file");

    std::int64_t id = 0;
    std::string replaced;
    s.recording.bind(1, p.user).bind(2, p.match).bind(3, p.started);
    const bool exists = s.recording.step();
    if (exists) {
        id = s.recording.integer(0);
        const bool whole = s.recording.integer(2) != 0;
        const std::int64_t records = s.recording.integer(3);
        const std::string path = s.recording.text(4);
        s.recording.reset();
        const bool better = (p.whole() && !whole) || (p.whole() == whole && p.records > records);
        if (!better) {
            s.insertFile.bind(1, p.sha256).bind(2, p.day).bind(3, id).bind(4, p.path).bind(5, std::int64_t(p.size))
                .bind(6, std::int64_t(p.whole())).bind(7, p.stateName);
            bindText(s.insertFile, 8, p.reason);
            s.insertFile.bind(9, p.records).bind(10, std::int64_t(0)).bind(11, nowText());
            s.insertFile.run();
            // The recording's rows changed (one more file): a copy takes its day again.
            s.touch.bind(1, generation_).bind(2, id).run();
            file.release();
            o.kind = Outcome::Already;
            o.line = p.path + ": already indexed (its recording is held " + (whole ? "whole" : "as far") + " by " +
                     path + ")";
            return o;
        }
        replaced = path;
        for (const char* table : kRecordingTables)
            db_.exec(std::string("DELETE FROM ") + table + " WHERE recording_id = " + std::to_string(id));
        s.notCurrent.bind(1, id).run();
        s.updateRecording.bind(1, generation_);
        bindText(s.updateRecording, 2, p.ended);
        s.updateRecording.bind(3, p.sha256).bind(4, p.path).bind(5, std::int64_t(p.whole())).bind(6, p.stateName);
        bindText(s.updateRecording, 7, p.reason);
        s.updateRecording.bind(8, p.records);
        bindText(s.updateRecording, 9, p.recoveredFrom);
        s.updateRecording.bind(10, p.untimed).bind(11, id).run();
    } else {
        s.insertRecording.bind(1, p.day).bind(2, generation_).bind(3, p.user).bind(4, p.match).bind(5, p.started);
        bindText(s.insertRecording, 6, p.ended);
        s.insertRecording.bind(7, p.week).bind(8, p.sha256).bind(9, p.path).bind(10, std::int64_t(p.whole()))
            .bind(11, p.stateName);
        bindText(s.insertRecording, 12, p.reason);
        s.insertRecording.bind(13, p.records);
        bindText(s.insertRecording, 14, p.recoveredFrom);
        s.insertRecording.bind(15, p.untimed).run();
        id = db_.integer("SELECT last_insert_rowid()");
    }

    s.insertFile.bind(1, p.sha256).bind(2, p.day).bind(3, id).bind(4, p.path).bind(5, std::int64_t(p.size))
        .bind(6, std::int64_t(p.whole())).bind(7, p.stateName);
    bindText(s.insertFile, 8, p.reason);
    s.insertFile.bind(9, p.records).bind(10, std::int64_t(1)).bind(11, nowText());
    s.insertFile.run();

    auto programId = [&](const std::string& path) -> std::int64_t {
        auto it = s.programs.find(path);
        if (it != s.programs.end()) return it->second;
        const std::size_t slash = path.find_last_of("\\/");
        const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        s.insertProgram.bind(1, path).bind(2, name).bind(3, foldCase(name)).bind(4, foldCase(path)).run();
        s.program.bind(1, path);
        if (!s.program.step()) throw Error("a program was not stored");
        const std::int64_t pid = s.program.integer(0);
        s.program.reset();
        s.programs.emplace(path, pid);
        return pid;
    };

    for (const auto& i : p.identifiers) {
        s.insertIdentifier.bind(1, i.kind).bind(2, i.value).bind(3, std::int64_t(!i.mark.empty()));
        bindText(s.insertIdentifier, 4, i.mark);
        s.insertIdentifier.run();
        s.identifier.bind(1, i.kind).bind(2, i.value);
        if (!s.identifier.step()) throw Error("an identifier was not stored");
        const std::int64_t iid = s.identifier.integer(0);
        s.identifier.reset();
        s.insertSighting.bind(1, p.day).bind(2, id).bind(3, iid).bind(4, i.fact).run();
    }
    s.insertProcess.write(p.processes, [&](Stmt& st, int at, const Parsed::Process& x) {
        st.bindRef(at + 1, p.day).bind(at + 2, id);
        bindOptional(st, at + 3, x.pid);
        st.bind(at + 4, programId(x.path));
        bindText(st, at + 5, x.started);
        bindText(st, at + 6, x.ended);
        st.bind(at + 7, std::int64_t(x.already)).bind(at + 8, std::int64_t(x.still)).bind(at + 9, x.line);
    });
    for (const auto& c : p.connections) {
        s.insertConnection.bind(1, p.day).bind(2, id).bind(3, c.protocol);
        bindText(s.insertConnection, 4, c.localIp);
        bindOptional(s.insertConnection, 5, c.localPort);
        bindText(s.insertConnection, 6, c.remoteIp);
        bindOptional(s.insertConnection, 7, c.remotePort);
        bindOptional(s.insertConnection, 8, c.remoteAddress);
        bindOptional(s.insertConnection, 9, c.pid);
        if (c.path.empty()) s.insertConnection.bindNull(10);
        else s.insertConnection.bind(10, programId(c.path));
        bindText(s.insertConnection, 11, c.opened);
        bindText(s.insertConnection, 12, c.closed);
        s.insertConnection.bind(13, std::int64_t(c.already)).bind(14, std::int64_t(c.still)).bind(15, c.line).run();
    }
    // The bulk of the rows: many to a statement, bound without copies (p
    // outlives each step).
    s.insertPing.write(p.pings, [&](Stmt& st, int at, const Parsed::Ping& x) {
        st.bindRef(at + 1, p.day).bind(at + 2, id);
        bindText(st, at + 3, p.time(x.at));
        st.bindRef(at + 4, x.server);
        bindOptional(st, at + 5, x.serverAddress);
        bindOptional(st, at + 6, x.milliseconds);
        st.bind(at + 7, std::int64_t(x.answered)).bind(at + 8, x.line);
    });
    s.insertRate.write(p.rates, [&](Stmt& st, int at, const Parsed::Rate& x) {
        st.bindRef(at + 1, p.day).bind(at + 2, id);
        bindText(st, at + 3, p.time(x.at));
        st.bindRef(at + 4, x.adapter);
        bindOptional(st, at + 5, x.tx);
        bindOptional(st, at + 6, x.rx);
        st.bind(at + 7, x.line);
    });
    s.insertKey.write(p.keys, [&](Stmt& st, int at, const Parsed::Named& x) {
        st.bindRef(at + 1, p.day).bind(at + 2, id);
        bindText(st, at + 3, p.time(x.at));
        st.bindRef(at + 4, x.name).bind(at + 5, x.line);
    });
    s.insertFact.write(p.facts, [&](Stmt& st, int at, const Parsed::Named& x) {
        st.bindRef(at + 1, p.day).bind(at + 2, id);
        bindText(st, at + 3, p.time(x.at));
        st.bindRef(at + 4, x.name).bindRef(at + 5, x.value).bind(at + 6, x.line);
    });
    s.insertOther.write(p.others, [&](Stmt& st, int at, const Parsed::Other& x) {
        st.bindRef(at + 1, p.day).bind(at + 2, id);
        bindText(st, at + 3, p.time(x.at));
        st.bindRef(at + 4, x.kind).bindRef(at + 5, x.action).bindRef(at + 6, x.raw).bind(at + 7, std::int64_t(x.cut))
            .bind(at + 8, x.line);
    });
    const auto& m = p.summary;
    s.insertSummary.bind(1, p.day).bind(2, id).bind(3, p.week);
    bindOptional(s.insertSummary, 4, m.seconds);
    s.insertSummary.bind(5, p.records).bind(6, m.pings).bind(7, m.noAnswers);
    bindOptional(s.insertSummary, 8, m.p50);
    bindOptional(s.insertSummary, 9, m.p95);
    bindOptional(s.insertSummary, 10, m.average);
    bindOptional(s.insertSummary, 11, m.tx);
    bindOptional(s.insertSummary, 12, m.rx);
    s.insertSummary.bind(13, std::int64_t(p.processes.size())).bind(14, std::int64_t(p.connections.size()))
        .bind(15, std::int64_t(p.keys.size())).run();
    for (const auto& x : p.servers) {
        s.insertServer.bind(1, p.day).bind(2, id).bind(3, p.week).bind(4, x.server);
        bindOptional(s.insertServer, 5, x.address);
        s.insertServer.bind(6, x.ping.pings).bind(7, x.ping.noAnswers);
        bindOptional(s.insertServer, 8, x.ping.p50);
        bindOptional(s.insertServer, 9, x.ping.p95);
        bindOptional(s.insertServer, 10, x.ping.average);
        s.insertServer.run();
    }
    file.release();

    o.kind = p.whole() ? Outcome::Indexed : Outcome::IndexedPartial;
    o.line = p.path + ": indexed " + std::to_string(p.records) + " records";
    if (!p.whole()) o.line += ", not whole: " + p.reason;
    if (!replaced.empty()) o.line += " (in place of " + replaced + ")";
    return o;
}

// ---- the two threads ----------------------------------------------------------------

namespace {

// Parsed logs handed from the reading thread to the writing one, a few at a time.
class Queue {
public:
    void push(Parsed p) {
        std::unique_lock<std::mutex> lock(m_);
        notFull_.wait(lock, [&] { return items_.size() < kCapacity || closed_; });
        if (closed_) return;
        items_.push_back(std::move(p));
        notEmpty_.notify_one();
    }
    // False when the queue is finished and empty.
    bool pop(Parsed& out) {
        std::unique_lock<std::mutex> lock(m_);
        notEmpty_.wait(lock, [&] { return !items_.empty() || finished_; });
        if (items_.empty()) return false;
        out = std::move(items_.front());
        items_.pop_front();
        notFull_.notify_one();
        return true;
    }
    enum Got { Item, Waited, Done };
    // pop, waiting at most `wait`.
    Got popFor(Parsed& out, std::chrono::milliseconds wait) {
        std::unique_lock<std::mutex> lock(m_);
        if (!notEmpty_.wait_for(lock, wait, [&] { return !items_.empty() || finished_; })) return Waited;
        if (items_.empty()) return Done;
        out = std::move(items_.front());
        items_.pop_front();
        notFull_.notify_one();
        return Item;
    }
    void finish() {
        std::lock_guard<std::mutex> lock(m_);
        finished_ = true;
        notEmpty_.notify_all();
    }
    // A parsed log that has been written goes back to the reading thread to be
    // freed there: memory freed by the thread that took it is freed without
    // contention for the allocator's locks.
    void bury(Parsed&& p) {
        std::lock_guard<std::mutex> lock(m_);
        graveyard_.push_back(std::move(p));
    }
    void sweep() {
        std::deque<Parsed> dead;
        {
            std::lock_guard<std::mutex> lock(m_);
            dead.swap(graveyard_);
        }
    }
    // The reader stops: nothing more is taken.
    void close() {
        std::lock_guard<std::mutex> lock(m_);
        closed_ = true;
        notFull_.notify_all();
    }

private:
    static constexpr std::size_t kCapacity = 8;
    std::mutex m_;
    std::condition_variable notEmpty_, notFull_;
    std::deque<Parsed> items_, graveyard_;
    bool finished_ = false, closed_ = false;
};

// Joins the reading thread however the writing one ends.
class Joiner {
public:
    Joiner(std::thread& t, Queue& q, std::atomic<bool>& quit) : t_(t), q_(q), quit_(quit) {}
    ~Joiner() {
        quit_.store(true);
        q_.close();
        if (t_.joinable()) t_.join();
    }

private:
    std::thread& t_;
    Queue& q_;
    std::atomic<bool>& quit_;
};

}  // namespace

bool indexFiles(const std::string& database, const std::vector<std::string>& files, const Options& options,
                const std::function<void(const Outcome&)>& report, std::string& error) {
    try {
        // SQLite would open a device or a FIFO, and make its journal beside it.
        bool missing = false;
        const std::string notRegular = notRegularFile(database, missing);
        if (!notRegular.empty() && !missing) {
            error = "the database must be a regular file or not exist yet, and this is " + notRegular;
            return false;
        }
        Db db(database, Db::Mode::ReadWrite);
        prepareForWriting(db);
        Writer writer(db);

        Queue queue;
        std::atomic<bool> quit{false};
        auto stopped = [&] { return quit.load() || (options.stop && options.stop->load()); };
        std::thread reader([&] {
            try {
                std::unique_ptr<Db> lookup;
                try {
                    lookup = std::make_unique<Db>(database, Db::Mode::ReadOnly);
                } catch (const Error&) {
                }
                std::unique_ptr<Stmt> known;
                if (lookup) known = std::make_unique<Stmt>(*lookup, "SELECT path FROM files WHERE sha256 = ?");
                read::Options ro;
                ro.search = options.search;
                ro.progress = options.progress;
                ro.stop = options.stop;
                auto isKnown = [&](const std::string& sha) -> std::optional<std::string> {
                    if (!known) return {};
                    try {
                        known->bind(1, sha);
                        std::optional<std::string> path;
                        if (known->step()) path = known->text(0);
                        known->reset();
                        return path;
                    } catch (const Error&) {
                        known->reset();
                        return {};  // the writer looks again
                    }
                };
                for (const auto& f : files) {
                    if (stopped()) break;
                    queue.sweep();
                    queue.push(parseLog(f, ro, isKnown));
                }
                queue.sweep();
            } catch (...) {
                // Out of memory: the files not handed over are not indexed, and said so below.
            }
            queue.finish();
        });
        Joiner joiner(reader, queue, quit);

        std::vector<Outcome> pending;
        std::size_t done = 0;
        std::int64_t records = 0;
        auto lastProgress = std::chrono::steady_clock::now();
        const auto started = lastProgress;
        auto flush = [&] {
            if (writer.open()) writer.commit();
            for (const auto& o : pending) report(o);
            pending.clear();
        };
        try {
            Parsed p;
            auto begun = std::chrono::steady_clock::now();
            for (;;) {
                // A transaction is held while files come; when the reader is
                // slow (a key search), what was written is committed first.
                if (writer.open() && options.idle) {
                    const auto got = queue.popFor(p, std::chrono::milliseconds(200));
                    if (got == Queue::Done) break;
                    if (got == Queue::Waited) {
                        flush();
                        continue;
                    }
                } else if (!queue.pop(p)) {
                    break;
                }
                if (options.stop && options.stop->load()) break;
                // A known file changes nothing (no transaction) unless it was renamed.
                if ((!p.failure.empty() || (p.known && !gone(p.knownAs, p.path))) && !writer.open()) {
                    report(writer.write(p));
                } else {
                    if (!writer.open()) {
                        writer.begin();
                        begun = std::chrono::steady_clock::now();
                    }
                    pending.push_back(writer.write(p));
                    if (options.afterFile) options.afterFile(p);
                }
                ++done;
                records += p.records;
                queue.bury(std::move(p));
                p = Parsed();
                const auto now = std::chrono::steady_clock::now();
                if (pending.size() >= options.batch || (options.idle && now - begun > std::chrono::seconds(1))) flush();
                if (options.progress && now - lastProgress > std::chrono::seconds(1)) {
                    lastProgress = now;
                    const double s = std::chrono::duration<double>(now - started).count();
                    options.progress("indexing: " + std::to_string(done) + " of " + std::to_string(files.size()) +
                                     " files, " + std::to_string(std::int64_t(double(records) / s)) + " records/s");
                }
            }
            flush();
        } catch (const std::exception& e) {
            writer.rollback();
            error = e.what();
            for (auto& o : pending) {
                o.kind = Outcome::NotIndexed;
                o.line = o.path + ": not indexed: the database refused its batch (" + error + ")";
                report(o);
            }
            return false;
        }
        if (done < files.size() && !(options.stop && options.stop->load()))
            error = std::to_string(files.size() - done) + " files were not read";
        return error.empty();
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
}

}  // namespace index
}  // namespace vt
