#include "platform/linux/procfs.h"

#include "common/hex.h"
#include "common/utf8.h"
#include "platform/os.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <netinet/in.h>

#include <cctype>
#include <cstring>

namespace procfs {
namespace {

template <typename T>
bool parseHex(std::string_view s, T& out) {
    if (s.empty() || s.size() > sizeof(T) * 2) return false;
    T v = 0;
    for (char c : s) {
        const int d = vt::hex::value(c);
        if (d < 0) return false;
        v = static_cast<T>((v << 4) | unsigned(d));
    }
    out = v;
    return true;
}

bool parseDec(std::string_view s, std::uint64_t& out) {
    if (s.empty() || s.size() > 20) return false;
    std::uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        std::uint64_t next = v * 10 + std::uint64_t(c - '0');
        if (next / 10 != v) return false;
        v = next;
    }
    out = v;
    return true;
}

// Splits on runs of blanks.
std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) out.push_back(line.substr(start, i - start));
    }
    return out;
}

template <typename F>
void forEachLine(std::string_view text, F f) {
    while (!text.empty()) {
        std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        f(line);
        if (nl == std::string_view::npos) break;
        text.remove_prefix(nl + 1);
    }
}

bool parseEndpoint(std::string_view s, std::uint32_t& addr, std::uint16_t& port) {
    std::size_t colon = s.find(':');
    if (colon != 8 || s.size() != 13) return false;  // IPv4 only: 8 hex digits, ':', 4 hex digits
    return parseHex(s.substr(0, 8), addr) && parseHex(s.substr(9), port);
}

}  // namespace

std::vector<SocketRow> parseSocketTable(std::string_view text) {
    std::vector<SocketRow> rows;
    forEachLine(text, [&](std::string_view line) {
        auto w = words(line);
        // sl local rem st tx:rx tr:when retrnsmt uid timeout inode ...
        if (w.size() < 10 || w[0].empty() || w[0].back() != ':') return;
        SocketRow r;
        std::uint64_t inode;
        if (!parseEndpoint(w[1], r.localAddr, r.localPort) || !parseEndpoint(w[2], r.remoteAddr, r.remotePort) ||
            !parseHex(w[3], r.state) || !parseDec(w[9], inode))
            return;
        r.inode = inode;
        rows.push_back(r);
    });
    return rows;
}

DiagStatus parseDiagMessages(const void* data, std::size_t length, std::vector<SocketRow>& rows) {
    const auto* p = static_cast<const unsigned char*>(data);
    if (length < sizeof(nlmsghdr)) return DiagStatus::Failed;  // a read holds at least one message
    while (length > 0) {
        nlmsghdr h;
        if (length < sizeof h) return DiagStatus::Failed;
        std::memcpy(&h, p, sizeof h);
        if (h.nlmsg_len < sizeof h || h.nlmsg_len > length) return DiagStatus::Failed;
        if (h.nlmsg_type == NLMSG_ERROR) {
            // An acknowledgement carries error 0; anything else means no table.
            int error = -1;
            if (h.nlmsg_len >= NLMSG_LENGTH(sizeof error)) std::memcpy(&error, p + NLMSG_HDRLEN, sizeof error);
            if (error != 0) return DiagStatus::Failed;
        } else if (h.nlmsg_type == NLMSG_DONE) {
            // A dump that the kernel could not finish ends with a negative error here.
            int error = 0;
            if (h.nlmsg_len >= NLMSG_LENGTH(sizeof error)) std::memcpy(&error, p + NLMSG_HDRLEN, sizeof error);
            return error < 0 ? DiagStatus::Failed : DiagStatus::Done;
        } else if (h.nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
            inet_diag_msg m;
            std::memcpy(&m, p + NLMSG_HDRLEN, sizeof m);
            if (m.idiag_family == AF_INET) {
                SocketRow r;
                r.localAddr = m.id.idiag_src[0];
                r.remoteAddr = m.id.idiag_dst[0];
                r.localPort = ntohs(m.id.idiag_sport);
                r.remotePort = ntohs(m.id.idiag_dport);
                r.state = m.idiag_state;
                r.inode = m.idiag_inode;
                rows.push_back(r);
            }
        }
        const std::size_t step = NLMSG_ALIGN(h.nlmsg_len);
        if (step >= length) break;
        p += step;
        length -= step;
    }
    return DiagStatus::More;
}

std::uint32_t windowsTcpState(std::uint32_t linuxState) {
    // Linux: 1 ESTABLISHED .. 11 CLOSING; Windows MIB_TCP_STATE: 1 CLOSED .. 12 DELETE_TCB.
    static const std::uint32_t map[] = {0, 5, 3, 4, 6, 7, 11, 1, 8, 9, 2, 10};
    return linuxState < sizeof map / sizeof map[0] ? map[linuxState] : 0;
}

std::vector<DevCounters> parseNetDev(std::string_view text) {
    std::vector<DevCounters> out;
    forEachLine(text, [&](std::string_view line) {
        std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) return;
        std::string_view name = line.substr(0, colon);
        while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
        auto w = words(line.substr(colon + 1));
        if (name.empty() || w.size() < 16) return;
        std::uint64_t v[16];
        for (int i = 0; i < 16; ++i)
            if (!parseDec(w[i], v[i])) return;
        DevCounters d;
        d.name = std::string(name);
        d.rxBytes = v[0];
        d.rxPackets = v[1];
        d.rxMulticast = v[7];
        d.txBytes = v[8];
        d.txPackets = v[9];
        out.push_back(std::move(d));
    });
    return out;
}

std::vector<std::uint8_t> parseHardwareAddress(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
    std::vector<std::uint8_t> out;
    if (text.empty()) return out;
    while (true) {
        std::uint8_t b;
        if (text.size() < 2 || !parseHex(text.substr(0, 2), b)) return {};
        out.push_back(b);
        text.remove_prefix(2);
        if (text.empty()) break;
        if (text.front() != ':' || out.size() >= 32) return {};
        text.remove_prefix(1);
    }
    return out;
}

std::uint64_t parseSocketLink(std::string_view link) {
    constexpr std::string_view prefix = "socket:[";
    if (link.size() <= prefix.size() + 1 || link.substr(0, prefix.size()) != prefix || link.back() != ']') return 0;
    std::uint64_t v;
    return parseDec(link.substr(prefix.size(), link.size() - prefix.size() - 1), v) ? v : 0;
}

bool parsePid(std::string_view name, std::uint32_t& pid) {
    std::uint64_t v;
    if (!parseDec(name, v) || v > 0xFFFFFFFFu) return false;
    pid = std::uint32_t(v);
    return true;
}

bool parseDecimal(std::string_view text, std::uint64_t& value) {
    std::size_t nl = text.find('\n');
    return parseDec(text.substr(0, nl), value);
}

std::uint32_t interfaceType(std::uint64_t arphrd, bool wireless) {
    switch (arphrd) {
    case 1: return wireless ? os::IF_TYPE_IEEE80211 : os::IF_TYPE_ETHERNET_CSMACD;  // ARPHRD_ETHER
    case 512: return os::IF_TYPE_PPP;                                               // ARPHRD_PPP
    case 772: return os::IF_TYPE_SOFTWARE_LOOPBACK;                                 // ARPHRD_LOOPBACK
    default: return os::IF_TYPE_OTHER;
    }
}

std::wstring utf8ToWide(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        std::uint32_t cp;
        const std::size_t n = vt::utf8::decode(text.substr(i), cp);
        if (n == 0) {
            out.push_back(wchar_t(0xDC00 + static_cast<unsigned char>(text[i])));  // never ASCII: 0xDC80 and up
            ++i;
        } else {
            out.push_back(wchar_t(cp));
            i += n;
        }
    }
    return out;
}

bool wideToUtf8(std::wstring_view text, std::string& out) {
    out.clear();
    bool exact = true;
    for (wchar_t wc : text) {
        if (!vt::utf8::append(out, static_cast<std::uint32_t>(wc))) {
            out.push_back('?');
            exact = false;
        }
    }
    return exact;
}

bool parseStartTime(std::string_view stat, std::uint64_t& start) {
    std::size_t close = stat.rfind(')');
    if (close == std::string_view::npos) return false;
    std::size_t nl = stat.find('\n', close);
    auto w = words(stat.substr(close + 1, nl == std::string_view::npos ? std::string_view::npos : nl - close - 1));
    // w[0] is field 3 (the state), so field 22 is w[19].
    return w.size() >= 20 && parseDec(w[19], start);
}

}  // namespace procfs
