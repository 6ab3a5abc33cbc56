#include "index/rows.h"

#include "index/calendar.h"

#include "common/schema.h"
#include "common/utf8.h"
#include "read/records.h"

#include <algorithm>
#include <deque>
#include <map>
#include <string_view>
#include <unordered_map>

namespace vt {
namespace index {

namespace {

using schema::Kind;

std::optional<std::int64_t> number(const std::string& text) {
    if (text.empty() || text.size() > 18) return {};
    std::size_t i = text[0] == '-' ? 1 : 0;
    if (i == text.size()) return {};
    std::int64_t v = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return {};
        v = v * 10 + (text[i] - '0');
    }
    return text[0] == '-' ? -v : v;
}

// A rate as the log writes it ("48397.7", "1.53377e+006"), by the readers' one rule.
std::optional<double> rate(const std::string& text) {
    double v = 0;
    if (!read::drawableNumber(text, v)) return {};
    return v;
}

bool plainAscii(const std::string& text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

const std::string& field(const read::Record& r, const char* label) {
    static const std::string none;
    for (const auto& f : r.fields)
        if (f.first == label) return f.second;
    return none;
}

// A field's value taken out of a record that is not looked at again.
std::string take(read::Record& r, const char* label) {
    for (auto& f : r.fields)
        if (f.first == label) return std::move(f.second);
    return {};
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

}  // namespace

// Cuts the lines of one log into rows.
class Rows::Builder {
public:
    explicit Builder(Parsed& p) : p_(p) {}

    bool line(const std::string& text, bool cut) {
        if (!p_.failure.empty()) return false;
        // Text is kept as every reader shows it: bytes that are not UTF-8 read as Latin-1.
        read::Record r = read::parseRecord(plainAscii(text) ? text : utf8::fromNarrow(text));
        // Records come many to a second: the last stamp's time is kept.
        if (r.stamp != lastStamp_) {
            lastStamp_.swap(r.stamp);
            lastIso_ = isoTime(lastStamp_);
            if (lastIso_.empty()) {
                lastAt_ = Parsed::kNoTime;
            } else {
                lastAt_ = std::int32_t(p_.times.size());
                p_.times.push_back(lastIso_);
            }
        }
        const std::string& at = lastIso_;
        if (!at.empty()) last_ = at;
        else ++p_.untimed;
        ++p_.records;
        if (p_.records == 1) return start(r, at, cut);
        if (p_.started.empty() && !at.empty()) begin(at);
        if (cut || !r.known || !r.type) {
            p_.others.push_back({lastAt_, std::move(r.kind), std::move(r.action), std::move(r.raw), cut, p_.records});
            return true;
        }
        switch (*r.type) {
        case Kind::UdpAdd:
        case Kind::TcpAdd: connectionAdded(r, at); break;
        case Kind::UdpDel:
        case Kind::TcpDel: connectionRemoved(r, at); break;
        case Kind::ProcessAdd: processAdded(r, at); break;
        case Kind::ProcessDel: processRemoved(r, at); break;
        case Kind::EthernetStats:
            p_.rates.push_back({lastAt_, take(r, schema::label::kAdapter), rate(field(r, schema::label::kTxD)),
                                rate(field(r, schema::label::kRxD)), p_.records});
            break;
        case Kind::PingStats: {
            Parsed::Ping ping;
            ping.at = lastAt_;
            ping.server = take(r, schema::label::kServer);
            ping.serverAddress = ipv4(ping.server);
            ping.milliseconds = number(field(r, schema::label::kActual));
            // A time is 0 to 500 ms; the monitor writes 1000 for no answer and
            // 501 for a reply without a plausible time.
            ping.answered = ping.milliseconds && *ping.milliseconds >= 0 && *ping.milliseconds <= 500;
            ping.line = p_.records;
            p_.pings.push_back(std::move(ping));
            break;
        }
        case Kind::KeyPressed: p_.keys.push_back({lastAt_, take(r, schema::label::kName), {}, p_.records}); break;
        case Kind::SysInfo: fact(r); break;
        case Kind::InfoStop: p_.ended = at; break;
        case Kind::InfoRecovered: p_.recoveredFrom = field(r, schema::label::kFrom); break;
        case Kind::InfoStart:
            p_.others.push_back({lastAt_, std::move(r.kind), std::move(r.action), std::move(r.raw), false, p_.records});
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
        const std::string end = p_.ended.empty() ? last_ : p_.ended;
        const auto a = secondsOf(p_.started), b = secondsOf(end);
        if (a && b && *b >= *a) p_.summary.seconds = *b - *a;
        std::vector<const Parsed::Ping*> all;
        std::map<std::string, std::vector<const Parsed::Ping*>> byServer;
        for (const auto& ping : p_.pings) {
            all.push_back(&ping);
            byServer[ping.server].push_back(&ping);
        }
        summarizePings(all, p_.summary);
        for (const auto& s : byServer) {
            Parsed::ServerSummary server;
            server.server = s.first;
            server.address = ipv4(s.first);
            summarizePings(s.second, server.ping);
            p_.servers.push_back(server);
        }
        // Throughput: the adapters' rates summed per moment, averaged over the
        // moments; a rate that cannot be read counts in neither (it is not a 0).
        struct Moment {
            double sum[2] = {0, 0};
            bool seen[2] = {false, false};
        };
        std::map<std::string_view, Moment> moments;
        for (const auto& r : p_.rates) {
            auto& m = moments[p_.time(r.at)];
            const std::optional<double>* both[2] = {&r.tx, &r.rx};
            for (int d = 0; d < 2; ++d)
                if (*both[d]) {
                    m.sum[d] += **both[d];
                    m.seen[d] = true;
                }
        }
        std::optional<double>* averages[2] = {&p_.summary.tx, &p_.summary.rx};
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

private:
    bool start(const read::Record& r, const std::string& at, bool cut) {
        const auto user = number(field(r, schema::label::kUserId));
        const auto match = number(field(r, schema::label::kMatchId));
        if (cut || r.type != Kind::InfoStart || !user || !match) {
            p_.failure = "it does not begin with a start record that names its user and match";
            return false;
        }
        p_.user = *user;
        p_.match = *match;
        firstStamp_ = lastStamp_;
        if (!at.empty()) begin(at);
        return true;
    }

    // The recording's start, day and week: of its start record, or when that
    // has no real time, of the first record that has one.
    void begin(const std::string& at) {
        p_.started = at;
        p_.day = at.substr(0, 10);
        p_.week = weekOf(p_.day);
        startSeconds_ = secondsOf(at);
    }

    // Processes and connections seen in the first poll were there before the recording.
    bool inFirstPoll(const std::string& at) const {
        const auto t = secondsOf(at);
        return t && startSeconds_ && *t - *startSeconds_ <= 2;
    }

    static std::string connectionKey(const read::Record& r) {
        std::string key = r.kind;
        for (const auto& f : r.fields) key += '\x1f' + f.second;
        return key;
    }

    void connectionAdded(const read::Record& r, const std::string& at) {
        Parsed::Connection c;
        c.protocol = r.kind;
        c.localIp = field(r, schema::label::kLocalIp);
        c.localPort = number(field(r, schema::label::kLocalPort));
        c.remoteIp = field(r, schema::label::kRemoteIp);
        c.remotePort = number(field(r, schema::label::kRemotePort));
        c.remoteAddress = ipv4(c.remoteIp);
        c.pid = number(field(r, schema::label::kPid));
        c.path = field(r, schema::label::kPath);
        c.opened = at;
        c.already = inFirstPoll(at);
        c.line = p_.records;
        openConnections_[connectionKey(r)].push_back(p_.connections.size());
        p_.connections.push_back(std::move(c));
    }

    void connectionRemoved(const read::Record& r, const std::string& at) {
        auto it = openConnections_.find(connectionKey(r));
        if (it != openConnections_.end() && !it->second.empty()) {
            auto& c = p_.connections[it->second.front()];
            it->second.pop_front();
            c.closed = at;
            c.still = false;
            return;
        }
        connectionAdded(r, at);
        auto& c = p_.connections.back();
        openConnections_[connectionKey(r)].pop_back();
        c.opened.clear();
        c.closed = at;
        c.already = true;
        c.still = false;
    }

    static std::string processKey(const read::Record& r) {
        return field(r, schema::label::kPid) + '\x1f' + field(r, schema::label::kPath);
    }

    void processAdded(const read::Record& r, const std::string& at) {
        Parsed::Process proc;
        proc.pid = number(field(r, schema::label::kPid));
        proc.path = field(r, schema::label::kPath);
        proc.started = at;
        proc.already = inFirstPoll(at);
        proc.line = p_.records;
        openProcesses_[processKey(r)].push_back(p_.processes.size());
        p_.processes.push_back(std::move(proc));
    }

    void processRemoved(const read::Record& r, const std::string& at) {
        auto it = openProcesses_.find(processKey(r));
        if (it != openProcesses_.end() && !it->second.empty()) {
            auto& proc = p_.processes[it->second.front()];
            it->second.pop_front();
            proc.ended = at;
            proc.still = false;
            return;
        }
        Parsed::Process proc;
        proc.pid = number(field(r, schema::label::kPid));
        proc.path = field(r, schema::label::kPath);
        proc.ended = at;
        proc.already = true;
        proc.still = false;
        proc.line = p_.records;
        p_.processes.push_back(std::move(proc));
    }

    void fact(const read::Record& r) {
        const std::string& value = field(r, schema::label::kValue);
        p_.facts.push_back({lastAt_, r.action, value, p_.records});
        if (r.action == schema::fact::kVolumeId && !value.empty()) {
            addIdentifier({"volume", value, r.action, volumeMark(value)});
        } else if (r.action == schema::fact::kMacAddress) {
            // "description @ address"
            const std::size_t atSign = value.rfind(" @ ");
            const std::string mac = macAddress(atSign == std::string::npos ? value : value.substr(atSign + 3));
            if (!mac.empty()) addIdentifier({"mac", mac, r.action, macMark(mac)});
        }
    }

    void addIdentifier(const Parsed::Identifier& id) {
        for (const auto& known : p_.identifiers)
            if (known.kind == id.kind && known.value == id.value) return;
        p_.identifiers.push_back(id);
    }

    Parsed& p_;
    std::string last_, lastStamp_, lastIso_, firstStamp_;
    std::int32_t lastAt_ = Parsed::kNoTime;
    std::optional<std::int64_t> startSeconds_;
    std::unordered_map<std::string, std::deque<std::size_t>> openConnections_, openProcesses_;
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
