#include "report/model.h"

#include "read/records.h"
#include "report/text.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
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

    // A Del: closes the oldest open item of key, if there is one.
    bool close(const std::string& key, long long t) {
        noteFirstPoll(false, t);
        auto it = open_.find(key);
        if (it == open_.end() || it->second.empty()) return false;
        out_[it->second.front()].end = t;
        it->second.erase(it->second.begin());
        if (it->second.empty()) open_.erase(it);
        return true;
    }

    // A Del of nothing open (after close said so): it starts at the log's beginning.
    void unpaired(Item item, long long t, long long logStart) {
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
    if (!schema::realTime(year, month, day, hour, minute, second)) return false;
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

bool lineSeconds(const std::string& line, long long& seconds) {
    const std::size_t semi = line.find(';');
    return semi != std::string::npos && stampSeconds(line.substr(0, semi), seconds);
}


bool viewed(schema::Kind kind) {
    using schema::Kind;
    switch (kind) {
    case Kind::UdpAdd:
    case Kind::UdpDel:
    case Kind::TcpAdd:
    case Kind::TcpDel:
    case Kind::ProcessAdd:
    case Kind::ProcessDel:
    case Kind::EthernetStats:
    case Kind::PingStats:
    case Kind::KeyPressed:
    case Kind::SysInfo:
    case Kind::InfoStart:
    case Kind::InfoStop: return true;
    default: return false;
    }
}

Strings::Strings() : offsets_{0} {}

Strings::Id Strings::add(std::string_view text) {
    arena_.append(text);
    offsets_.push_back(arena_.size());
    return static_cast<Id>(offsets_.size() - 2);
}

Strings::Id Strings::intern(std::string_view text) {
    if (slots_.empty()) rehash(1024);
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = std::hash<std::string_view>()(text) & mask;
    for (; slots_[i] != kFree; i = (i + 1) & mask)
        if ((*this)[slots_[i]] == text) return slots_[i];
    const Id id = add(text);
    slots_[i] = id;
    if (++interned_ * 2 > slots_.size()) rehash(slots_.size() * 2);
    return id;
}

void Strings::rehash(std::size_t slots) {
    std::vector<Id> old(slots, kFree);
    old.swap(slots_);
    const std::size_t mask = slots - 1;
    for (const Id id : old) {
        if (id == kFree) continue;
        std::size_t i = std::hash<std::string_view>()((*this)[id]) & mask;
        while (slots_[i] != kFree) i = (i + 1) & mask;
        slots_[i] = id;
    }
}

struct ModelBuilder::State {
    Model m;
    std::optional<Strings::Id> keyStamp;  // the last key press's
    // A key's name, kept once while there are few of them (a host has a
    // keyboard's worth); a log of ever new names keeps each where it comes.
    std::unordered_map<std::string, Strings::Id> keyNames;
    Strings::Id keyName(Strings& strings, const std::string& name) {
        const auto it = keyNames.find(name);
        if (it != keyNames.end()) return it->second;
        const Strings::Id id = strings.add(name);
        if (keyNames.size() < 4096) keyNames.emplace(name, id);
        return id;
    }
    std::map<std::string, std::size_t> adapterIndex;
    std::vector<std::size_t> kindIndex = std::vector<std::size_t>(schema::kShapeCount, SIZE_MAX);
    // The log being read.
    LogSummary summary;
    std::unique_ptr<Pairing<Lifetime>> processes;
    std::unique_ptr<Pairing<Connection>> udp, tcp;
    long long logStart = 0, t = 0;
    bool lastStop = false, firstLine = true;
    bool learning = false;              // the log's first stamp is still to come
    std::vector<std::string> waiting;   // the lines before it
    std::string json;  // the lines not yet handed to the packer
    Strings::Id empty = 0;
};

ModelBuilder::ModelBuilder() : s_(new State) {
    s_->json = "{\"r\":[";
    s_->empty = s_->m.strings.intern("");
}

ModelBuilder::~ModelBuilder() = default;

void ModelBuilder::beginLog(const std::string& name, bool whole, const std::string& reason, bool timed,
                            long long first) {
    State& s = *s_;
    s.summary = LogSummary();
    s.summary.name = name;
    s.summary.whole = whole;
    s.summary.reason = reason;
    s.processes.reset(new Pairing<Lifetime>(s.m.processes));
    s.udp.reset(new Pairing<Connection>(s.m.connections));
    s.tcp.reset(new Pairing<Connection>(s.m.connections));
    // Lines before the first readable stamp take its time; later ones without
    // a readable stamp take the time of the line before them.
    s.logStart = s.t = timed ? first : 0;
    s.lastStop = false;
    s.learning = false;
}

void ModelBuilder::beginLog(const std::string& name, bool whole, const std::string& reason) {
    beginLog(name, whole, reason, false, 0);
    s_->learning = true;
}

void ModelBuilder::started(bool timed, long long first) {
    State& s = *s_;
    s.learning = false;
    s.logStart = s.t = timed ? first : 0;
    std::vector<std::string> waiting;
    waiting.swap(s.waiting);
    for (const auto& line : waiting) take(line);
}

void ModelBuilder::line(const std::string& raw) {
    State& s = *s_;
    if (s.learning) {
        long long first;
        if (lineSeconds(raw, first)) {
            started(true, first);
        } else {
            s.waiting.push_back(raw);
            if (s.waiting.size() >= 4096) started(false, 0);
            return;
        }
    }
    take(raw);
}

void ModelBuilder::take(const std::string& raw) {
    State& s = *s_;
    Model& m = s.m;
    ++s.summary.records;
    ++m.records;
    if (!s.firstLine) s.json += ',';
    s.firstLine = false;
    appendJson(s.json, raw);
    if (s.json.size() >= (1 << 16)) {
        m.packedLines.append(s.json);
        s.json.clear();
    }

    const read::Record r = read::parseRecord(raw);
    long long own;
    if (stampSeconds(r.stamp, own)) {
        s.t = own;
        if (!m.timed || own < m.first) m.first = own, m.firstStamp = r.stamp;
        if (!m.timed || own >= m.last) m.last = own, m.lastStamp = r.stamp;
        m.timed = true;
    }
    const long long t = s.t;
    if (r.kind.empty()) ++m.unreadable;
    using schema::Kind;
    namespace label = schema::label;
    const bool known = r.type.has_value();
    const Kind type = r.type.value_or(Kind::InfoRecovered);
    s.lastStop = known && type == Kind::InfoStop;
    if (!known) return;
    if (!viewed(type)) {
        // A table of its own, its columns from the schema.
        std::size_t& index = s.kindIndex[std::size_t(type)];
        const schema::Shape& shape = schema::shape(type);
        if (index == SIZE_MAX) {
            index = m.otherKinds.size();
            KindTable k;
            k.kind = type;
            k.columns.push_back("Time");
            if (!shape.action) k.columns.push_back("Action");
            for (std::size_t i = 0; i < shape.count; ++i) k.columns.push_back(shape.fields[i].label);
            m.otherKinds.push_back(std::move(k));
            std::sort(m.otherKinds.begin(), m.otherKinds.end(),
                      [](const KindTable& a, const KindTable& b) { return a.kind < b.kind; });
            for (std::size_t i = 0; i < m.otherKinds.size(); ++i) s.kindIndex[std::size_t(m.otherKinds[i].kind)] = i;
        }
        KindTable& k = m.otherKinds[index];
        k.json += k.rows++ ? ",[" : "[";
        appendJson(k.json, r.stamp);
        if (!shape.action) {
            k.json += ',';
            appendJson(k.json, r.action);
        }
        for (std::size_t i = 0; i < shape.count; ++i) {
            k.json += ',';
            appendJson(k.json, fieldOr(r, shape.fields[i].label));
        }
        k.json += ']';
        return;
    }
    switch (type) {
    case Kind::InfoStart:
        s.summary.user = fieldOr(r, label::kUserId);
        s.summary.match = fieldOr(r, label::kMatchId);
        remember(m.users, s.summary.user);
        remember(m.matches, s.summary.match);
        break;
    case Kind::SysInfo: {
        Event e{t, r.stamp, r.action, fieldOr(r, label::kValue)};
        if (!libraryFact(e.name)) m.hostFacts.push_back(e);
        m.facts.push_back(std::move(e));
        break;
    }
    case Kind::KeyPressed:
        // Key presses come many a second: their stamp is kept once for each.
        if (!s.keyStamp || m.strings[*s.keyStamp] != r.stamp) s.keyStamp = m.strings.add(r.stamp);
        m.keys.push_back({t, *s.keyStamp, s.keyName(m.strings, fieldOr(r, label::kName))});
        break;
    case Kind::PingStats: {
        long value;
        remember(m.servers, fieldOr(r, label::kServer));
        if (integer(fieldOr(r, label::kActual), value)) m.pings.push_back({t, value, classifyPing(value)});
        break;
    }
    case Kind::EthernetStats: {
        // Only finite numbers of a plausible size are drawn; the record
        // itself is in the table of all records either way.
        double sent, received;
        if (drawableNumber(fieldOr(r, label::kTxD), sent) && drawableNumber(fieldOr(r, label::kRxD), received)) {
            const std::string name = fieldOr(r, label::kAdapter);
            auto it = s.adapterIndex.find(name);
            if (it == s.adapterIndex.end()) {
                it = s.adapterIndex.emplace(name, m.adapters.size()).first;
                m.adapters.push_back({name, {}});
            }
            m.adapters[it->second].points.push_back({t, sent, received});
        }
        break;
    }
    case Kind::ProcessAdd:
    case Kind::ProcessDel: {
        Lifetime l;
        const std::string pid = fieldOr(r, label::kPid), path = fieldOr(r, label::kPath);
        const std::string key = pid + '\n' + path;
        if (type == Kind::ProcessAdd) {
            l.pid = m.strings.intern(pid);
            l.path = m.strings.intern(path);
            s.processes->add(key, l, t);
        } else if (!s.processes->close(key, t)) {
            l.pid = m.strings.intern(pid);
            l.path = m.strings.intern(path);
            s.processes->unpaired(l, t, s.logStart);
        }
        break;
    }
    case Kind::TcpAdd:
    case Kind::TcpDel:
    case Kind::UdpAdd:
    case Kind::UdpDel: {
        const bool isTcp = type == Kind::TcpAdd || type == Kind::TcpDel;
        const std::string local = fieldOr(r, label::kLocalIp) + ":" + fieldOr(r, label::kLocalPort);
        const std::string remote =
            isTcp ? fieldOr(r, label::kRemoteIp) + ":" + fieldOr(r, label::kRemotePort) : std::string();
        const std::string pid = fieldOr(r, label::kPid);
        // The owner's path may read differently when the row goes; the
        // addresses and the owner's id identify it.
        const std::string key = local + '\n' + remote + '\n' + pid;
        auto& pairing = isTcp ? *s.tcp : *s.udp;
        const bool add = type == Kind::TcpAdd || type == Kind::UdpAdd;
        if (!add && pairing.close(key, t)) break;
        Connection c;
        c.proto = m.strings.intern(r.kind);
        c.local = m.strings.add(local);
        c.remote = remote.empty() ? s.empty : m.strings.add(remote);
        c.pid = m.strings.intern(pid);
        c.path = m.strings.intern(fieldOr(r, label::kPath));
        if (add) pairing.add(key, c, t);
        else pairing.unpaired(c, t, s.logStart);
        break;
    }
    default:
        break;
    }
}

void ModelBuilder::notWhole(const std::string& reason) {
    s_->summary.whole = false;
    s_->summary.reason = reason;
}

void ModelBuilder::endLog() {
    State& s = *s_;
    if (s.learning) started(false, 0);
    const long long logEnd = s.t;
    s.processes->finish(logEnd);
    s.udp->finish(logEnd);
    s.tcp->finish(logEnd);
    s.summary.stopped = s.lastStop;
    s.m.logs.push_back(std::move(s.summary));
}

Model ModelBuilder::finish() {
    State& s = *s_;
    s.m.packedLines.append(s.json);
    s.json.clear();
    s.m.packedLines.close(false);
    return std::move(s.m);
}

Model buildModel(const std::vector<Source>& sources) {
    struct Order {
        const Source* source;
        bool timed = false;
        long long first = 0;
    };
    std::vector<Order> order;
    for (const auto& source : sources) {
        Order o{&source};
        read::LineSplitter find(read::kRecordLimit, [&o](const std::string& line, bool, std::uint64_t) {
            o.timed = lineSeconds(line, o.first);
            return !o.timed;
        });
        if (find.feed(source.text.data(), source.text.size())) find.finish();
        order.push_back(o);
    }
    std::stable_sort(order.begin(), order.end(), [](const Order& a, const Order& b) {
        if (a.timed != b.timed) return a.timed;
        return a.timed && a.first < b.first;
    });
    ModelBuilder builder;
    for (const auto& o : order) {
        builder.beginLog(o.source->name, o.source->whole, o.source->reason, o.timed, o.first);
        read::LineSplitter lines(read::kRecordLimit, [&builder](const std::string& line, bool, std::uint64_t) {
            builder.line(line);
            return true;
        });
        lines.feed(o.source->text.data(), o.source->text.size());
        lines.finish();
        builder.endLog();
    }
    return builder.finish();
}

}  // namespace report
}  // namespace vt
