#include "index/rows.h"

#include "index/calendar.h"

#include "common/civil.h"
#include "common/schema.h"
#include "common/utf8.h"
#include "events/events.h"
#include "read/records.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <string_view>

namespace vt {
namespace index {

namespace {

bool plainAscii(const std::string& text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

// A known record's field, taken out of a record that is not looked at again.
std::string take(read::Record& r, std::size_t at) { return std::move(r.fields[at].second); }

// "YYYY-MM-DD hh:mm:ss" of seconds.
std::string isoOf(std::int64_t seconds) {
    const std::int64_t day = civil::dayOf(seconds), s = seconds - day * 86400;
    char clock[16];
    std::snprintf(clock, sizeof clock, " %02d:%02d:%02d", int(s / 3600), int(s / 60 % 60), int(s % 60));
    return civilFromDays(day) + clock;
}

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

}  // namespace

// Cuts the lines of one log into rows, from the log's events.
class Rows::Builder {
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

Rows::Rows(Parsed& p) : b_(std::make_unique<Builder>(p)) {}
Rows::~Rows() = default;
bool Rows::line(const std::string& text, bool cut) { return b_->line(text, cut); }
void Rows::finish() { b_->finish(); }

std::size_t Parsed::rows() const {
    return processes.size() + connections.size() + pings.size() + rates.size() + keys.size() + facts.size() +
           others.size() + identifiers.size() + servers.size() + 3;
}

void parseText(const std::string& text, Parsed& out) {
    Rows b(out);
    for (const auto& line : read::lines(text))
        if (!b.line(line, false)) break;
    b.finish();
}

}  // namespace index
}  // namespace vt
