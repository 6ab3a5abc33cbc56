#include "report/model.h"

#include "read/records.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <unordered_map>

namespace vt {
namespace report {
namespace {

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
long long daysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

bool digits(const std::string& s, std::size_t pos, std::size_t n, unsigned& value) {
    if (pos + n > s.size()) return false;
    value = 0;
    for (std::size_t i = pos; i < pos + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        value = value * 10 + unsigned(s[i] - '0');
    }
    return true;
}

const std::string* field(const read::Record& r, const char* label) {
    for (const auto& f : r.fields)
        if (f.first == label) return &f.second;
    return nullptr;
}

std::string fieldOr(const read::Record& r, const char* label) {
    const std::string* v = field(r, label);
    return v ? *v : std::string();
}

bool number(const std::string& text, double& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return errno == 0 && end == text.c_str() + text.size();
}

bool integer(const std::string& text, long& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtol(text.c_str(), &end, 10);
    return errno == 0 && end == text.c_str() + text.size();
}

void remember(std::vector<std::string>& distinct, const std::string& value) {
    if (value.empty()) return;
    if (std::find(distinct.begin(), distinct.end(), value) == distinct.end()) distinct.push_back(value);
}

// Add and Del records of one kind paired into lifetimes. Adds of the first
// poll (the first record of the kind and the Adds that follow it in the same
// or the next second, before any Del) are marked as present at the start.
template <class Item>
class Pairing {
public:
    explicit Pairing(std::vector<Item>& out) : out_(out) {}

    void add(const std::string& key, Item item, long long t) {
        noteFirstPoll(true, t);
        item.start = item.end = t;
        item.atStart = inFirstPoll_;
        open_[key].push_back(out_.size());
        out_.push_back(std::move(item));
    }

    // Closes the oldest open item of key; a Del of nothing open starts at the
    // log's beginning.
    void del(const std::string& key, Item item, long long t, long long logStart) {
        noteFirstPoll(false, t);
        auto it = open_.find(key);
        if (it != open_.end() && !it->second.empty()) {
            out_[it->second.front()].end = t;
            it->second.erase(it->second.begin());
            return;
        }
        item.start = logStart;
        item.end = t;
        item.addSeen = false;
        out_.push_back(std::move(item));
    }

    // Everything still open lasts to the end of its log.
    void finish(long long logEnd) {
        for (auto& entry : open_)
            for (std::size_t i : entry.second) {
                out_[i].end = std::max(out_[i].start, logEnd);
                out_[i].open = true;
            }
        open_.clear();
    }

private:
    void noteFirstPoll(bool isAdd, long long t) {
        if (!seen_) {
            seen_ = true;
            firstT_ = t;
            inFirstPoll_ = isAdd;
            return;
        }
        if (inFirstPoll_ && (!isAdd || t > firstT_ + 1)) inFirstPoll_ = false;
    }

    std::vector<Item>& out_;
    std::unordered_map<std::string, std::vector<std::size_t>> open_;
    bool seen_ = false, inFirstPoll_ = false;
    long long firstT_ = 0;
};

struct Parsed {
    const Source* source;
    std::vector<std::string> lines;
    bool timed = false;
    long long first = 0;  // the first readable stamp
};

}  // namespace

bool stampSeconds(const std::string& stamp, long long& seconds) {
    // DD.MM.YYYY hh:mm:ss; the year has as many digits as it needs.
    unsigned day, month, year = 0, hour, minute, second;
    if (!digits(stamp, 0, 2, day) || stamp.size() < 3 || stamp[2] != '.' || !digits(stamp, 3, 2, month) ||
        stamp.size() < 6 || stamp[5] != '.')
        return false;
    std::size_t pos = 6, yearDigits = 0;
    while (pos < stamp.size() && stamp[pos] >= '0' && stamp[pos] <= '9' && yearDigits < 6) {
        year = year * 10 + unsigned(stamp[pos] - '0');
        ++pos;
        ++yearDigits;
    }
    if (yearDigits == 0 || stamp.size() != pos + 9 || stamp[pos] != ' ' || !digits(stamp, pos + 1, 2, hour) ||
        stamp[pos + 3] != ':' || !digits(stamp, pos + 4, 2, minute) || stamp[pos + 6] != ':' ||
        !digits(stamp, pos + 7, 2, second))
        return false;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return false;
    seconds = daysFromCivil(year, month, day) * 86400 + hour * 3600LL + minute * 60LL + second;
    return true;
}

std::string clockText(long long seconds) {
    long long s = seconds % 86400;
    if (s < 0) s += 86400;
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", int(s / 3600), int(s / 60 % 60), int(s % 60));
    return buf;
}

std::string dateText(long long seconds) {
    // The calendar date of a day count (the inverse of daysFromCivil).
    long long z = (seconds >= 0 ? seconds : seconds - 86399) / 86400 + 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned day = doy - (153 * mp + 2) / 5 + 1;
    const unsigned month = mp < 10 ? mp + 3 : mp - 9;
    const long long year = static_cast<long long>(yoe) + era * 400 + (month <= 2);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02u.%02u.%04lld", day, month, year);
    return buf;
}

std::string durationText(long long seconds) {
    if (seconds < 0) seconds = 0;
    char buf[64];
    if (seconds >= 3600)
        std::snprintf(buf, sizeof buf, "%lld h %02d min %02d s", seconds / 3600, int(seconds / 60 % 60),
                      int(seconds % 60));
    else if (seconds >= 60)
        std::snprintf(buf, sizeof buf, "%d min %02d s", int(seconds / 60), int(seconds % 60));
    else
        std::snprintf(buf, sizeof buf, "%d s", int(seconds));
    return buf;
}

PingClass classifyPing(long value) {
    if (value == 1000) return PingClass::NoAnswer;
    if (value == 501) return PingClass::Implausible;
    if (value >= 1 && value <= 500) return PingClass::Latency;
    return PingClass::Other;
}

bool libraryFact(const std::string& name) { return schema::libraryFact(name); }

bool Model::allWhole() const {
    return !logs.empty() && std::all_of(logs.begin(), logs.end(), [](const LogSummary& l) { return l.whole; });
}

Model buildModel(const std::vector<Source>& sources) {
    std::vector<Parsed> parsed;
    parsed.reserve(sources.size());
    for (const auto& source : sources) {
        Parsed p;
        p.source = &source;
        p.lines = read::lines(source.text);
        for (const auto& line : p.lines) {
            const std::size_t semi = line.find(';');
            if (semi != std::string::npos && stampSeconds(line.substr(0, semi), p.first)) {
                p.timed = true;
                break;
            }
        }
        parsed.push_back(std::move(p));
    }
    std::stable_sort(parsed.begin(), parsed.end(), [](const Parsed& a, const Parsed& b) {
        if (a.timed != b.timed) return a.timed;
        return a.timed && a.first < b.first;
    });

    Model m;
    std::map<std::string, std::size_t> adapterIndex;
    for (const auto& p : parsed) {
        LogSummary summary;
        summary.name = p.source->name;
        summary.whole = p.source->whole;
        summary.reason = p.source->reason;
        summary.records = p.lines.size();
        Pairing<Lifetime> processes(m.processes);
        Pairing<Connection> udp(m.connections), tcp(m.connections);
        // Lines before the first readable stamp take its time; later ones without
        // a readable stamp take the time of the line before them.
        const long long logStart = p.first;
        long long t = logStart;
        bool lastStop = false;
        for (auto& line : p.lines) {
            read::Record r = read::parseRecord(line);
            long long own;
            if (stampSeconds(r.stamp, own)) {
                t = own;
                if (!m.timed || own < m.first) m.first = own, m.firstStamp = r.stamp;
                if (!m.timed || own >= m.last) m.last = own, m.lastStamp = r.stamp;
                m.timed = true;
            }
            if (r.kind.empty()) ++m.unreadable;
            using schema::Kind;
            namespace label = schema::label;
            const Kind type = r.type.value_or(Kind::InfoRecovered);
            const bool known = r.type.has_value();
            lastStop = known && type == Kind::InfoStop;
            m.lines.push_back({t, r.kind, std::move(r.raw)});
            if (!known) continue;
            switch (type) {
            case Kind::InfoStart:
                summary.user = fieldOr(r, label::kUserId);
                summary.match = fieldOr(r, label::kMatchId);
                remember(m.users, summary.user);
                remember(m.matches, summary.match);
                break;
            case Kind::SysInfo: {
                Event e{t, r.stamp, r.action, fieldOr(r, label::kValue)};
                if (!libraryFact(e.name)) m.hostFacts.push_back(e);
                m.facts.push_back(std::move(e));
                break;
            }
            case Kind::KeyPressed:
                m.keys.push_back({t, r.stamp, fieldOr(r, label::kName), std::string()});
                break;
            case Kind::PingStats: {
                long value;
                remember(m.servers, fieldOr(r, label::kServer));
                if (integer(fieldOr(r, label::kActual), value)) m.pings.push_back({t, value, classifyPing(value)});
                break;
            }
            case Kind::EthernetStats: {
                double sent, received;
                if (number(fieldOr(r, label::kTxD), sent) && number(fieldOr(r, label::kRxD), received)) {
                    const std::string name = fieldOr(r, label::kAdapter);
                    auto it = adapterIndex.find(name);
                    if (it == adapterIndex.end()) {
                        it = adapterIndex.emplace(name, m.adapters.size()).first;
                        m.adapters.push_back({name, {}});
                    }
                    m.adapters[it->second].points.push_back({t, sent, received});
                }
                break;
            }
            case Kind::ProcessAdd:
            case Kind::ProcessDel: {
                Lifetime l;
                l.pid = fieldOr(r, label::kPid);
                l.path = fieldOr(r, label::kPath);
                const std::string key = l.pid + '\n' + l.path;
                if (type == Kind::ProcessAdd) processes.add(key, std::move(l), t);
                else processes.del(key, std::move(l), t, logStart);
                break;
            }
            case Kind::TcpAdd:
            case Kind::TcpDel:
            case Kind::UdpAdd:
            case Kind::UdpDel: {
                const bool isTcp = type == Kind::TcpAdd || type == Kind::TcpDel;
                Connection c;
                c.proto = r.kind;
                c.local = fieldOr(r, label::kLocalIp) + ":" + fieldOr(r, label::kLocalPort);
                if (isTcp) c.remote = fieldOr(r, label::kRemoteIp) + ":" + fieldOr(r, label::kRemotePort);
                c.pid = fieldOr(r, label::kPid);
                c.path = fieldOr(r, label::kPath);
                // The owner's path may read differently when the row goes; the
                // addresses and the owner's id identify it.
                const std::string key = c.local + '\n' + c.remote + '\n' + c.pid;
                auto& pairing = isTcp ? tcp : udp;
                if (type == Kind::TcpAdd || type == Kind::UdpAdd) pairing.add(key, std::move(c), t);
                else pairing.del(key, std::move(c), t, logStart);
                break;
            }
            case Kind::InfoStop:
            case Kind::InfoRecovered:
                break;
            }
        }
        const long long logEnd = t;
        processes.finish(logEnd);
        udp.finish(logEnd);
        tcp.finish(logEnd);
        summary.stopped = lastStop;
        m.logs.push_back(std::move(summary));
    }
    return m;
}

}  // namespace report
}  // namespace vt
