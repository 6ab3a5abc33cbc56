#include "events/events.h"

#include "common/civil.h"

namespace vt {
namespace events {
namespace {

using schema::Kind;

// A known record's fields stand where its shape puts them.
const std::string& at(const read::Record& r, std::size_t i) { return r.fields[i].second; }

// The places of the fields in each shape (see schema.h).
namespace place {
constexpr std::size_t kLocalIp = 0, kLocalPort = 1, kUdpPid = 2, kUdpPath = 3;
constexpr std::size_t kRemoteIp = 2, kRemotePort = 3, kTcpPid = 4, kTcpPath = 5;
constexpr std::size_t kProcessPid = 0, kProcessPath = 1;
}  // namespace place

}  // namespace

std::optional<std::int64_t> integer(std::string_view text) {
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

bool Reader::Poll::add(Family family, std::int64_t t) {
    // The order in which each tick polls the kinds.
    const int place = family == Family::Udp ? 0 : family == Family::Tcp ? 1 : 2;
    if (!seen) {
        seen = listing = true;
        first = t;
    } else if (listing && (t > first + 1 || place < rank)) {
        listing = false;
    }
    rank = place;
    return listing;
}

void Reader::stamp(const read::Record& r, Event& e) {
    // Records come many to a second: a stamp that reads as the one before is not converted again.
    e.newStamp = !anyRecord_ || r.stamp != lastStamp_;
    anyRecord_ = true;
    if (e.newStamp) {
        lastStamp_ = r.stamp;
        std::int64_t seconds = 0;
        moment_.own = civil::stampSeconds(r.stamp, seconds);
        if (moment_.own) {
            moment_.seconds = seconds;
            if (!timed_ || seconds < first_) first_ = seconds;
            timed_ = true;
        }
    }
    e.at = moment_;
}

Event Reader::take(const read::Record& r) {
    Event e;
    e.record = &r;
    e.line = ++line_;
    stamp(r, e);
    // A record cut short is not the record its first bytes begin.
    if (r.cut || !r.type) return e;
    switch (*r.type) {
    case Kind::InfoStart:
        e.type = Type::Start;
        e.value = at(r, 0);
        e.detail = at(r, 1);
        break;
    case Kind::InfoStop: e.type = Type::Stop; break;
    case Kind::SysInfo:
        e.type = Type::Fact;
        e.name = r.action;
        e.value = at(r, 0);
        break;
    case Kind::KeyPressed:
        e.type = Type::Key;
        e.name = at(r, 0);
        break;
    case Kind::PingStats:
        e.type = Type::Ping;
        e.name = at(r, 0);
        e.value = at(r, 1);
        e.number = integer(e.value);
        break;
    case Kind::EthernetStats: {
        e.type = Type::Rate;
        e.name = at(r, 0);
        double v = 0;
        if (read::drawableNumber(at(r, 1), v)) e.tx = v;
        if (read::drawableNumber(at(r, 2), v)) e.rx = v;
        break;
    }
    case Kind::ProcessAdd: opened(r, Family::Process, e); break;
    case Kind::UdpAdd: opened(r, Family::Udp, e); break;
    case Kind::TcpAdd: opened(r, Family::Tcp, e); break;
    case Kind::ProcessDel: closed(r, Family::Process, e); break;
    case Kind::UdpDel: closed(r, Family::Udp, e); break;
    case Kind::TcpDel: closed(r, Family::Tcp, e); break;
    default:
        // A kind with no meaning of its own here (the recovery note, and any
        // kind the schema gains): kept as it is.
        break;
    }
    return e;
}

std::string Reader::key(const read::Record& r, Family family) const {
    // Every field but the last, the program's path, which may read
    // differently when the row goes: for a process its PID, for a connection
    // its addresses and the owner's PID.
    std::string k(1, family == Family::Process ? 'P' : family == Family::Udp ? 'U' : 'T');
    for (std::size_t i = 0; i + 1 < r.fields.size(); ++i) {
        k += '\x1f';
        k += at(r, i);
    }
    return k;
}

std::size_t Reader::make(const read::Record& r, Family family, const Moment& from) {
    Lifetime l;
    l.family = family;
    l.opened = from;
    l.closed = moment_;
    l.line = line_;
    if (family == Family::Process) {
        l.pid = at(r, place::kProcessPid);
        l.path = at(r, place::kProcessPath);
    } else {
        const bool tcp = family == Family::Tcp;
        l.localIp = at(r, place::kLocalIp);
        l.localPort = at(r, place::kLocalPort);
        if (tcp) {
            l.remoteIp = at(r, place::kRemoteIp);
            l.remotePort = at(r, place::kRemotePort);
        }
        l.pid = at(r, tcp ? place::kTcpPid : place::kUdpPid);
        l.path = at(r, tcp ? place::kTcpPath : place::kUdpPath);
    }
    lifetimes_.push_back(std::move(l));
    return lifetimes_.size() - 1;
}

void Reader::opened(const read::Record& r, Family family, Event& e) {
    e.type = Type::Opened;
    const bool atStart = poll_.add(family, moment_.seconds);
    e.lifetime = make(r, family, moment_);
    lifetimes_[e.lifetime].atStart = atStart;
    open_[key(r, family)].push_back(e.lifetime);
}

void Reader::closed(const read::Record& r, Family family, Event& e) {
    e.type = Type::Closed;
    poll_.del();
    const auto it = open_.find(key(r, family));
    if (it != open_.end()) {
        e.lifetime = it->second.front();
        it->second.pop_front();
        if (it->second.empty()) open_.erase(it);
        Lifetime& l = lifetimes_[e.lifetime];
        l.closed = moment_;
        l.open = false;
        return;
    }
    // Gone without having come: it was there before the log began.
    Moment start;
    start.seconds = timed_ ? first_ : moment_.seconds;
    e.lifetime = make(r, family, start);
    Lifetime& l = lifetimes_[e.lifetime];
    l.atStart = true;
    l.addSeen = false;
    l.open = false;
}

void Reader::finish() {
    for (const auto& entry : open_)
        for (std::size_t i : entry.second) {
            Lifetime& l = lifetimes_[i];
            l.closed = moment_;
            l.closed.own = false;
            if (l.closed.seconds < l.opened.seconds) l.closed.seconds = l.opened.seconds;
        }
    open_.clear();
}

}  // namespace events
}  // namespace vt
