#include "report/text.h"

#include "common/hex.h"
#include "common/utf8.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace vt {
namespace report {
namespace {

bool hiddenCodePoint(std::uint32_t cp) {
    return cp < 0x20 || (cp >= 0x7f && cp <= 0x9f) || (cp >= 0x202a && cp <= 0x202e) ||
           (cp >= 0x2066 && cp <= 0x2069) || cp == 0x200e || cp == 0x200f || cp == 0x2028 || cp == 0x2029 ||
           cp == 0xfeff;
}

void appendVisible(std::string& out, std::uint32_t cp) {
    if (!hiddenCodePoint(cp)) {
        utf8::append(out, cp);
    } else if (cp < 0x100) {
        out += "\\x";
        hex::appendByte(out, static_cast<unsigned char>(cp), true);
    } else {
        out += "\\u";
        out += hex::number(cp, 4, true);
    }
}

bool plain(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
}

void appendVisibleText(std::string& out, std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        if (p[i] < 0x80) {
            appendVisible(out, p[i]);
            ++i;
            continue;
        }
        std::uint32_t cp;
        const std::size_t len = utf8::decode(p + i, n - i, cp);
        if (len == 0) {
            appendVisible(out, p[i]);  // a byte of a narrow code page, taken as Latin-1
            ++i;
        } else {
            appendVisible(out, cp);
            i += len;
        }
    }
}

}  // namespace

std::string visible(std::string_view text) {
    // Most log text is plain printable ASCII.
    if (plain(text)) return std::string(text);
    std::string out;
    out.reserve(text.size());
    appendVisibleText(out, text);
    return out;
}

std::string escapeHtml(std::string_view text) {
    const std::string v = visible(text);
    std::string out;
    out.reserve(v.size() + v.size() / 8);
    for (char c : v) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

void appendJson(std::string& out, std::string_view text) {
    out += '"';
    // Runs of plain printable ASCII go as they are; anything else is made
    // visible first. Only '"' and '\\' are left to quote then: visible()
    // took every control character.
    const char* p = text.data();
    const char* const end = p + text.size();
    while (p < end) {
        const char* run = p;
        while (p < end && *p >= 0x20 && *p < 0x7f && *p != '"' && *p != '\\') ++p;
        out.append(run, static_cast<std::size_t>(p - run));
        if (p == end) break;
        if (*p == '"' || *p == '\\') {
            out += '\\';
            out += *p++;
            continue;
        }
        // A stretch of other bytes, up to the next plain one.
        const char* odd = p;
        while (p < end && !(*p >= 0x20 && *p < 0x7f)) ++p;
        // A UTF-8 sequence may run on into plain bytes only by being broken; take whole stretch.
        std::string v;
        appendVisibleText(v, std::string_view(odd, static_cast<std::size_t>(p - odd)));
        for (char c : v) {
            if (c == '"' || c == '\\') out += '\\';
            out += c;
        }
    }
    out += '"';
}

std::string jsonString(std::string_view text) {
    std::string out;
    appendJson(out, text);
    return out;
}

std::string shorten(std::string_view text, std::size_t max) {
    const std::string v = visible(text);
    std::size_t count = 0, i = 0;
    for (; i < v.size(); ++i) {
        if ((static_cast<unsigned char>(v[i]) & 0xc0) != 0x80 && count++ == max) break;
    }
    if (i >= v.size()) return v;
    return v.substr(0, i) + "\xe2\x80\xa6";
}

std::string rateText(double v) {
    char buf[32];
    if (!(v >= 0)) v = 0;
    if (v < 1000) std::snprintf(buf, sizeof buf, "%g B/s", std::round(v * 10) / 10);
    else if (v < 1e6) std::snprintf(buf, sizeof buf, "%g kB/s", std::round(v / 100) / 10);
    else if (v < 1e9) std::snprintf(buf, sizeof buf, "%g MB/s", std::round(v / 1e5) / 10);
    else std::snprintf(buf, sizeof buf, "%g GB/s", std::round(v / 1e8) / 10);
    return buf;
}

}  // namespace report
}  // namespace vt
