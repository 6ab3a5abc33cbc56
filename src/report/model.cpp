#include "report/model.h"

#include "common/civil.h"
#include "events/events.h"
#include "read/records.h"
#include "report/text.h"

#include <algorithm>
#include <climits>
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

const std::string* field(const read::Record& r, const char* label) {
    for (const auto& f : r.fields)
        if (f.first == label) return &f.second;
    return nullptr;
}

std::string fieldOr(const read::Record& r, const char* label) {
    const std::string* v = field(r, label);
    return v ? *v : std::string();
}


void remember(std::vector<std::string>& distinct, const std::string& value) {
    if (value.empty()) return;
    if (std::find(distinct.begin(), distinct.end(), value) == distinct.end()) distinct.push_back(value);
}

}  // namespace

bool stampSeconds(const std::string& stamp, long long& seconds) {
    std::int64_t t = 0;
    if (!civil::stampSeconds(stamp, t)) return false;
    seconds = t;
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
    const civil::Date d = civil::civilFromDays(civil::dayOf(seconds));
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02u.%02u.%04lld", d.day, d.month, static_cast<long long>(d.year));
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
    std::int64_t t = 0;
    if (semi == std::string::npos || !civil::stampSeconds(std::string_view(line).substr(0, semi), t)) return false;
    seconds = t;
    return true;
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
    std::unique_ptr<events::Reader> reader;
    long long logStart = 0;
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
    // Lines before the first readable stamp take its time; later ones without
    // a readable stamp take the time of the line before them.
    s.logStart = timed ? first : 0;
    s.reader.reset(new events::Reader(s.logStart));
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
    s.logStart = timed ? first : 0;
    s.reader.reset(new events::Reader(s.logStart));
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

namespace {

// A record of a kind the page has no view of its own for, in that kind's table.
void tabulate(Model& m, std::vector<std::size_t>& kindIndex, const read::Record& r) {
    const schema::Kind type = *r.type;
    std::size_t& index = kindIndex[std::size_t(type)];
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
        for (std::size_t i = 0; i < m.otherKinds.size(); ++i) kindIndex[std::size_t(m.otherKinds[i].kind)] = i;
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
}

// The lifetimes of one log, as the page keeps them.
void keepLifetimes(Model& m, const std::vector<events::Lifetime>& lifetimes, Strings::Id empty) {
    for (const events::Lifetime& l : lifetimes) {
        if (l.family == events::Family::Process) {
            Lifetime p;
            p.pid = m.strings.intern(l.pid);
            p.path = m.strings.intern(l.path);
            p.start = l.opened.seconds;
            p.end = l.closed.seconds;
            p.atStart = l.atStart, p.addSeen = l.addSeen, p.open = l.open;
            m.processes.push_back(p);
            continue;
        }
        Connection c;
        const bool tcp = l.family == events::Family::Tcp;
        c.proto = m.strings.intern(tcp ? schema::word::kTcp : schema::word::kUdp);
        c.local = m.strings.add(l.localIp + ":" + l.localPort);
        c.remote = tcp ? m.strings.add(l.remoteIp + ":" + l.remotePort) : empty;
        c.pid = m.strings.intern(l.pid);
        c.path = m.strings.intern(l.path);
        c.start = l.opened.seconds;
        c.end = l.closed.seconds;
        c.atStart = l.atStart, c.addSeen = l.addSeen, c.open = l.open;
        m.connections.push_back(c);
    }
}

}  // namespace

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
    const events::Event e = s.reader->take(r);
    if (e.newStamp && e.at.own) {
        const long long own = e.at.seconds;
        if (!m.timed || own < m.first) m.first = own, m.firstStamp = r.stamp;
        if (!m.timed || own >= m.last) m.last = own, m.lastStamp = r.stamp;
        m.timed = true;
    }
    const long long t = e.at.seconds;
    if (r.kind.empty()) ++m.unreadable;
    s.lastStop = e.type == events::Type::Stop;
    switch (e.type) {
    case events::Type::Start:
        s.summary.user = std::string(e.value);
        s.summary.match = std::string(e.detail);
        remember(m.users, s.summary.user);
        remember(m.matches, s.summary.match);
        break;
    case events::Type::Fact: {
        Event f{t, r.stamp, r.action, std::string(e.value)};
        if (!libraryFact(f.name)) m.hostFacts.push_back(f);
        m.facts.push_back(std::move(f));
        break;
    }
    case events::Type::Key:
        // Key presses come many a second: their stamp is kept once for each.
        if (!s.keyStamp || m.strings[*s.keyStamp] != r.stamp) s.keyStamp = m.strings.add(r.stamp);
        m.keys.push_back({t, *s.keyStamp, s.keyName(m.strings, std::string(e.name))});
        break;
    case events::Type::Ping:
        remember(m.servers, std::string(e.name));
        if (e.number && *e.number >= LONG_MIN && *e.number <= LONG_MAX) {
            const long value = long(*e.number);
            m.pings.push_back({t, value, classifyPing(value)});
        }
        break;
    case events::Type::Rate:
        // Only finite numbers of a plausible size are drawn; the record
        // itself is in the table of all records either way.
        if (e.tx && e.rx) {
            const std::string name(e.name);
            auto it = s.adapterIndex.find(name);
            if (it == s.adapterIndex.end()) {
                it = s.adapterIndex.emplace(name, m.adapters.size()).first;
                m.adapters.push_back({name, {}});
            }
            m.adapters[it->second].points.push_back({t, *e.tx, *e.rx});
        }
        break;
    case events::Type::Opened:
    case events::Type::Closed:
    case events::Type::Stop: break;
    case events::Type::Other:
        if (r.type && !viewed(*r.type)) tabulate(m, s.kindIndex, r);
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
    s.reader->finish();
    keepLifetimes(s.m, s.reader->lifetimes(), s.empty);
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
