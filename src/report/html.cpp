#include "report/html.h"

#include "log/schema.h"
#include "report/pack.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace vt {
namespace report {
namespace {

// Chart geometry, in CSS pixels: every chart shares the same time axis.
constexpr double kWidth = 1120, kLeft = 96, kRight = 24;
constexpr double kPlot = kWidth - kLeft - kRight;

std::string num(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", v);
    return buf;
}

void appendUtf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xc0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3f));
    } else if (cp < 0x10000) {
        out += char(0xe0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3f));
        out += char(0x80 | (cp & 0x3f));
    } else {
        out += char(0xf0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3f));
        out += char(0x80 | ((cp >> 6) & 0x3f));
        out += char(0x80 | (cp & 0x3f));
    }
}

// Length of the valid UTF-8 sequence at p (0 when there is none) and its code point.
std::size_t utf8At(const unsigned char* p, std::size_t left, unsigned& cp) {
    const unsigned char b = p[0];
    std::size_t n;
    unsigned min;
    if (b >= 0xc2 && b <= 0xdf) n = 2, cp = b & 0x1f, min = 0x80;
    else if (b >= 0xe0 && b <= 0xef) n = 3, cp = b & 0x0f, min = 0x800;
    else if (b >= 0xf0 && b <= 0xf4) n = 4, cp = b & 0x07, min = 0x10000;
    else return 0;
    if (left < n) return 0;
    for (std::size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xc0) != 0x80) return 0;
        cp = (cp << 6) | (p[i] & 0x3f);
    }
    if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return 0;
    return n;
}

bool hiddenCodePoint(unsigned cp) {
    return cp < 0x20 || (cp >= 0x7f && cp <= 0x9f) || (cp >= 0x202a && cp <= 0x202e) ||
           (cp >= 0x2066 && cp <= 0x2069) || cp == 0x200e || cp == 0x200f || cp == 0x2028 || cp == 0x2029 ||
           cp == 0xfeff;
}

void appendVisible(std::string& out, unsigned cp) {
    char buf[16];
    if (!hiddenCodePoint(cp)) {
        appendUtf8(out, cp);
    } else if (cp < 0x100) {
        std::snprintf(buf, sizeof buf, "\\x%02X", cp);
        out += buf;
    } else {
        std::snprintf(buf, sizeof buf, "\\u%04X", cp);
        out += buf;
    }
}

// ---- time axis -----------------------------------------------------------------

struct Axis {
    long long first = 0, span = 1;
    double x(long long t) const { return kLeft + double(t - first) / double(span) * kPlot; }
};

Axis axisOf(const Model& m) {
    Axis a;
    a.first = m.first;
    a.span = std::max<long long>(1, m.last - m.first);
    return a;
}

std::vector<long long> timeTicks(const Axis& a) {
    static const long long steps[] = {1,   2,    5,    10,   15,   30,    60,    120,   300,   600,
                                      900, 1800, 3600, 7200, 10800, 21600, 43200, 86400, 172800, 604800};
    long long step = steps[sizeof steps / sizeof steps[0] - 1];
    for (long long s : steps)
        if (a.span / s <= 8) {
            step = s;
            break;
        }
    std::vector<long long> ticks;
    long long t = (a.first + step - 1) / step * step;
    if (a.first < 0) t = a.first;
    for (; t <= a.first + a.span && ticks.size() < 40; t += step) ticks.push_back(t);
    return ticks;
}

// The clock, and the date too when the axis spans days.
std::string tickLabel(const Axis& a, long long t) {
    return a.span >= 86400 ? dateText(t).substr(0, 6) + " " + clockText(t).substr(0, 5) : clockText(t);
}

// Vertical grid lines and clock labels under a plot from top to bottom.
void timeAxis(std::ostream& o, const Axis& a, double top, double bottom) {
    o << "<g class=\"axis\">";
    o << "<line x1=\"" << num(kLeft) << "\" y1=\"" << num(bottom) << "\" x2=\"" << num(kLeft + kPlot) << "\" y2=\""
      << num(bottom) << "\"/>";
    for (long long t : timeTicks(a)) {
        const double x = a.x(t);
        o << "<line class=\"grid\" x1=\"" << num(x) << "\" y1=\"" << num(top) << "\" x2=\"" << num(x) << "\" y2=\""
          << num(bottom) << "\"/>";
        o << "<text x=\"" << num(x) << "\" y=\"" << num(bottom + 15) << "\" text-anchor=\"middle\">" << tickLabel(a, t)
          << "</text>";
    }
    o << "</g>";
}

// A round upper bound for a scale and its step: 1, 2 or 5 times a power of ten.
void niceScale(double max, double& top, double& step) {
    if (!(max > 0)) max = 1;
    const double raw = max / 5;
    const double p = std::pow(10, std::floor(std::log10(raw)));
    const double f = raw / p;
    step = (f <= 1 ? 1 : f <= 2 ? 2 : f <= 5 ? 5 : 10) * p;
    top = std::ceil(max / step) * step;
}

void valueAxis(std::ostream& o, double top, double bottom, double scaleTop, double step,
               std::string (*label)(double), const char* title) {
    o << "<g class=\"axis\"><line x1=\"" << num(kLeft) << "\" y1=\"" << num(top) << "\" x2=\"" << num(kLeft)
      << "\" y2=\"" << num(bottom) << "\"/>";
    for (double v = 0; v <= scaleTop + step / 2; v += step) {
        const double y = bottom - v / scaleTop * (bottom - top);
        o << "<line class=\"grid\" x1=\"" << num(kLeft) << "\" y1=\"" << num(y) << "\" x2=\"" << num(kLeft + kPlot)
          << "\" y2=\"" << num(y) << "\"/>";
        o << "<text x=\"" << num(kLeft - 6) << "\" y=\"" << num(y + 4) << "\" text-anchor=\"end\">" << label(v)
          << "</text>";
    }
    o << "<text class=\"unit\" transform=\"translate(14 " << num((top + bottom) / 2)
      << ") rotate(-90)\" text-anchor=\"middle\">" << title << "</text></g>";
}

std::string msLabel(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g ms", v);
    return buf;
}

std::string rateLabel(double v) { return rateText(v); }

void svgOpen(std::ostream& o, const char* id, double height, const std::string& label) {
    o << "<svg id=\"" << id << "\" class=\"chart\" role=\"img\" aria-label=\"" << escapeHtml(label)
      << "\" width=\"" << num(kWidth) << "\" height=\"" << num(height) << "\" viewBox=\"0 0 " << num(kWidth) << ' '
      << num(height) << "\">";
}

// ---- sections ------------------------------------------------------------------

std::string joined(const std::vector<std::string>& values, const char* none) {
    if (values.empty()) return none;
    std::string out;
    for (const auto& v : values) out += (out.empty() ? "" : ", ") + v;
    return out;
}

void header(std::ostream& o, const Model& m) {
    const std::string match = joined(m.matches, "?"), user = joined(m.users, "?");
    o << "<header><h1>Match " << escapeHtml(match) << " <span class=\"sub\">user " << escapeHtml(user)
      << "</span></h1>";
    const bool whole = m.allWhole();
    o << "<p class=\"verdict " << (whole ? "ok" : "bad") << "\">"
      << (whole ? (m.logs.size() > 1 ? "Every log is whole." : "The log is whole.")
                : "Not whole: this page shows what could be read.")
      << "</p>";
    if (m.matches.size() > 1) o << "<p class=\"verdict bad\">These logs belong to different matches.</p>";
    o << "<table class=\"facts\">";
    o << "<tr><th>User</th><td>" << escapeHtml(user) << "</td></tr>";
    o << "<tr><th>Match</th><td>" << escapeHtml(match) << "</td></tr>";
    o << "<tr><th>Server</th><td>" << escapeHtml(joined(m.servers, "none pinged")) << "</td></tr>";
    if (m.timed) {
        o << "<tr><th>First record</th><td>" << escapeHtml(m.firstStamp) << "</td></tr>";
        o << "<tr><th>Last record</th><td>" << escapeHtml(m.lastStamp) << "</td></tr>";
        o << "<tr><th>Duration</th><td>" << durationText(m.last - m.first) << "</td></tr>";
    } else {
        o << "<tr><th>Time</th><td>no readable time stamps</td></tr>";
    }
    o << "<tr><th>Records</th><td>" << m.lines.size();
    if (m.unreadable) o << " (" << m.unreadable << " of no known shape)";
    o << "</td></tr></table>";
    o << "<table class=\"logs\"><tr><th>Log file</th><th>Records</th><th>Verdict</th></tr>";
    for (const auto& l : m.logs) {
        o << "<tr><td>" << escapeHtml(l.name) << "</td><td>" << l.records << "</td><td class=\""
          << (l.whole ? "ok" : "bad") << "\">";
        if (l.whole) {
            o << "whole";
            if (!l.stopped) o << ", but its last record is not the end record";
        } else {
            o << "not whole: " << escapeHtml(l.reason);
            if (l.records == 0) o << "; nothing could be read";
            else o << "; the records that could be read are shown";
        }
        o << "</td></tr>";
    }
    o << "</table></header>";
}

void identifiers(std::ostream& o, const Model& m) {
    o << "<section id=\"identifiers\"><h2>Identifiers and facts</h2>";
    std::vector<std::string> volume, macs;
    for (const auto& f : m.facts) {
        if (f.name == schema::fact::kVolumeId) volume.push_back(f.value);
        if (f.name == schema::fact::kMacAddress) macs.push_back(f.value);
    }
    o << "<table class=\"facts\"><tr><th>Volume id</th><td>" << escapeHtml(joined(volume, "not recorded"))
      << "</td></tr><tr><th>Hardware addresses</th><td>";
    if (macs.empty()) o << "not recorded";
    for (std::size_t i = 0; i < macs.size(); ++i) o << (i ? "<br>" : "") << escapeHtml(macs[i]);
    o << "</td></tr></table>";
    if (m.facts.empty()) {
        o << "<p class=\"none\">No " << schema::word::kSysInfo << " records.</p>";
    } else {
        o << "<table class=\"list\"><tr><th>Time</th><th>Fact</th><th>Value</th><th>From</th></tr>";
        for (const auto& f : m.facts)
            o << "<tr><td>" << escapeHtml(f.stamp) << "</td><td>" << escapeHtml(f.name) << "</td><td>"
              << escapeHtml(f.value) << "</td><td>" << (libraryFact(f.name) ? "library" : "host") << "</td></tr>";
        o << "</table>";
    }
    o << "</section>";
}

void pingChart(std::ostream& o, const Model& m, const Axis& a) {
    o << "<section id=\"ping\"><h2>Ping to the server</h2>";
    if (m.pings.empty()) {
        o << "<p class=\"none\">No ping records.</p></section>";
        return;
    }
    double maxLatency = 0;
    std::size_t noAnswer = 0, implausible = 0, other = 0;
    for (const auto& p : m.pings) {
        if (p.cls == PingClass::Latency) maxLatency = std::max(maxLatency, double(p.value));
        noAnswer += p.cls == PingClass::NoAnswer;
        implausible += p.cls == PingClass::Implausible;
        other += p.cls == PingClass::Other;
    }
    double top, step;
    niceScale(std::max(maxLatency, 50.0), top, step);
    // Bands above the plot for the results that are not times.
    const double bandNo = 14, bandImpl = 34, bandOther = 54, plotTop = other ? 74 : 60, plotBottom = 230;
    svgOpen(o, "ping-chart", 272, "ping round-trip times");
    valueAxis(o, plotTop, plotBottom, top, step, msLabel, "round trip (ms)");
    timeAxis(o, a, plotTop, plotBottom);
    o << "<g class=\"band\"><text x=\"" << num(kLeft - 6) << "\" y=\"" << num(bandNo + 4)
      << "\" text-anchor=\"end\">no answer</text><text x=\"" << num(kLeft - 6) << "\" y=\"" << num(bandImpl + 4)
      << "\" text-anchor=\"end\">no time</text>";
    if (other) o << "<text x=\"" << num(kLeft - 6) << "\" y=\"" << num(bandOther + 4) << "\" text-anchor=\"end\">other</text>";
    o << "</g>";
    // The line joins neighbouring times only; a result that is not a time breaks it.
    std::string path;
    bool pen = false;
    for (const auto& p : m.pings) {
        if (p.cls != PingClass::Latency) {
            pen = false;
            continue;
        }
        const double y = plotBottom - double(p.value) / top * (plotBottom - plotTop);
        path += (pen ? "L" : "M") + num(a.x(p.t)) + " " + num(y);
        pen = true;
    }
    if (!path.empty()) o << "<path class=\"latency\" d=\"" << path << "\"/>";
    for (const auto& p : m.pings) {
        const std::string when = clockText(p.t);
        const double x = a.x(p.t);
        switch (p.cls) {
        case PingClass::Latency:
            o << "<circle class=\"latency\" cx=\"" << num(x) << "\" cy=\""
              << num(plotBottom - double(p.value) / top * (plotBottom - plotTop)) << "\" r=\"3\"><title>" << when
              << ": " << p.value << " ms</title></circle>";
            break;
        case PingClass::NoAnswer:
            o << "<rect class=\"noanswer\" x=\"" << num(x - 3) << "\" y=\"" << num(bandNo - 6)
              << "\" width=\"6\" height=\"12\"><title>" << when << ": no answer (1000)</title></rect>";
            break;
        case PingClass::Implausible:
            o << "<rect class=\"implausible\" x=\"" << num(x - 3) << "\" y=\"" << num(bandImpl - 6)
              << "\" width=\"6\" height=\"12\"><title>" << when
              << ": a reply, but no plausible time (501)</title></rect>";
            break;
        case PingClass::Other:
            o << "<rect class=\"other\" x=\"" << num(x - 3) << "\" y=\"" << num(bandOther - 6)
              << "\" width=\"6\" height=\"12\"><title>" << when << ": " << p.value
              << " (not a round-trip time)</title></rect>";
            break;
        }
    }
    o << "</svg>";
    o << "<p class=\"legend\"><span class=\"key latency\"></span>round-trip time, ms (" << (m.pings.size() - noAnswer - implausible - other)
      << ") <span class=\"key noanswer\"></span>no answer, logged as 1000 (" << noAnswer
      << ") <span class=\"key implausible\"></span>a reply without a plausible time, logged as 501 (" << implausible
      << ")";
    if (other) o << " <span class=\"key other\"></span>other values, not times (" << other << ")";
    o << "</p></section>";
}

void throughputCharts(std::ostream& o, const Model& m, const Axis& a) {
    o << "<section id=\"throughput\"><h2>Network throughput per adapter</h2>";
    if (m.adapters.empty()) o << "<p class=\"none\">No adapter statistics.</p>";
    int index = 0;
    for (const auto& ad : m.adapters) {
        double max = 0;
        for (const auto& p : ad.points) max = std::max({max, p.sent, p.received});
        double top, step;
        niceScale(std::max(max, 1000.0), top, step);
        const double plotTop = 12, plotBottom = 172;
        o << "<h3>" << escapeHtml(shorten(ad.name, 200)) << "</h3>";
        const std::string id = "throughput-" + std::to_string(index++);
        svgOpen(o, id.c_str(), 212, "throughput of " + ad.name);
        valueAxis(o, plotTop, plotBottom, top, step, rateLabel, "bytes per second");
        timeAxis(o, a, plotTop, plotBottom);
        for (int dir = 0; dir < 2; ++dir) {
            std::string path;
            for (const auto& p : ad.points) {
                const double v = std::max(0.0, dir == 0 ? p.sent : p.received);
                path += (path.empty() ? "M" : "L") + num(a.x(p.t)) + " " + num(plotBottom - v / top * (plotBottom - plotTop));
            }
            o << "<path class=\"" << (dir == 0 ? "sent" : "received") << "\" d=\"" << path << "\"/>";
        }
        // Points too, when there are few enough to tell apart.
        if (ad.points.size() <= 120)
            for (const auto& p : ad.points)
                for (int dir = 0; dir < 2; ++dir) {
                    const double v = std::max(0.0, dir == 0 ? p.sent : p.received);
                    o << "<circle class=\"" << (dir == 0 ? "sent" : "received") << "\" cx=\"" << num(a.x(p.t))
                      << "\" cy=\"" << num(plotBottom - v / top * (plotBottom - plotTop)) << "\" r=\"2.5\"><title>"
                      << clockText(p.t) << ": " << (dir == 0 ? "sent " : "received ") << rateText(v)
                      << "</title></circle>";
                }
        o << "</svg>";
        o << "<p class=\"legend\"><span class=\"key sent\"></span>sent <span class=\"key received\"></span>received "
             "(average over each 10 s sample; "
          << ad.points.size() << " samples)</p>";
    }
    o << "</section>";
}

void eventsChart(std::ostream& o, const Model& m, const Axis& a) {
    o << "<section id=\"events\"><h2>Key presses and host facts</h2>";
    if (m.keys.empty() && m.hostFacts.empty()) {
        o << "<p class=\"none\">No key presses and no facts from the host.</p></section>";
        return;
    }
    const double keyRow = 40, factRow = 96, bottom = 120;
    svgOpen(o, "events-chart", 142, "key presses and host facts over time");
    timeAxis(o, a, 8, bottom);
    o << "<g class=\"band\"><text x=\"" << num(kLeft - 6) << "\" y=\"" << num(keyRow + 4)
      << "\" text-anchor=\"end\">keys (" << m.keys.size() << ")</text><text x=\"" << num(kLeft - 6) << "\" y=\""
      << num(factRow + 4) << "\" text-anchor=\"end\">facts (" << m.hostFacts.size() << ")</text></g>";
    // Labels only where they do not run into the previous one; every mark has its title.
    double lastLabel = -1e9;
    for (const auto& k : m.keys) {
        const double x = a.x(k.t);
        o << "<line class=\"key\" x1=\"" << num(x) << "\" y1=\"" << num(keyRow - 8) << "\" x2=\"" << num(x)
          << "\" y2=\"" << num(keyRow + 8) << "\"><title>" << escapeHtml(k.stamp) << " key "
          << escapeHtml(shorten(k.name, 200)) << "</title></line>";
        if (x - lastLabel > 44) {
            o << "<text class=\"keyname\" x=\"" << num(x + 2) << "\" y=\"" << num(keyRow - 12) << "\">"
              << escapeHtml(shorten(k.name, 6)) << "</text>";
            lastLabel = x;
        }
    }
    lastLabel = -1e9;
    for (const auto& f : m.hostFacts) {
        const double x = a.x(f.t);
        o << "<path class=\"fact\" d=\"M" << num(x) << " " << num(factRow - 7) << "l6 7l-6 7l-6 -7z\"><title>"
          << escapeHtml(f.stamp) << " " << escapeHtml(shorten(f.name, 200)) << " = " << escapeHtml(shorten(f.value, 200))
          << "</title></path>";
        if (x - lastLabel > 120) {
            o << "<text class=\"factname\" x=\"" << num(x + 8) << "\" y=\"" << num(factRow - 10) << "\">"
              << escapeHtml(shorten(f.name + "=" + f.value, 18)) << "</text>";
            lastLabel = x;
        }
    }
    o << "</svg></section>";
}

const char* kStyle = R"CSS(
body{font:14px/1.4 system-ui,-apple-system,"Segoe UI",Roboto,"DejaVu Sans",sans-serif;color:#1d2430;background:#fff;margin:0 auto;max-width:1180px;padding:16px 24px}
h1{font-size:24px;margin:4px 0}h1 .sub{font-weight:normal;color:#5b6573;font-size:18px}
h2{font-size:18px;margin:28px 0 8px;border-bottom:1px solid #d6dbe3;padding-bottom:4px}h3{font-size:14px;margin:12px 0 2px}
.verdict{font-size:16px;font-weight:600;padding:6px 10px;border-radius:4px;display:inline-block;margin:6px 0}
.verdict.ok{background:#e4f5e8;color:#17612c}.verdict.bad{background:#fde8e7;color:#9c1c13}
td.ok{color:#17612c}td.bad{color:#9c1c13;font-weight:600}
table{border-collapse:collapse;margin:6px 0}th,td{text-align:left;padding:2px 10px 2px 0;vertical-align:top}
table.facts th{color:#5b6573;font-weight:normal;width:150px}
table.list,table.logs{font-size:13px}table.list th,table.logs th{border-bottom:1px solid #d6dbe3}
table.list td,table.logs td{border-bottom:1px solid #eef0f4;word-break:break-all}
#conn-table,#rec-table{table-layout:fixed;width:100%}#conn-table th:nth-child(-n+1){width:48px}
#conn-table th:nth-child(2),#conn-table th:nth-child(3){width:150px}#conn-table th:nth-child(4){width:56px}
#conn-table th:nth-child(6),#conn-table th:nth-child(7){width:100px}#rec-table th:first-child{width:56px}
.none{color:#5b6573;font-style:italic}
svg.chart{display:block;font-size:11px;fill:#1d2430}
.axis line{stroke:#7a8494;stroke-width:1}.axis line.grid{stroke:#e3e7ee}.axis text,.band text{fill:#4a5363}.unit{font-size:12px}
path.latency{fill:none;stroke:#2563c9;stroke-width:1.5}circle.latency{fill:#2563c9}
rect.noanswer,.key.noanswer{fill:#d12d20;background:#d12d20}rect.implausible,.key.implausible{fill:#e59a0b;background:#e59a0b}
rect.other,.key.other{fill:#7b4bb7;background:#7b4bb7}
path.sent{fill:none;stroke:#2563c9;stroke-width:1.5}path.received{fill:none;stroke:#16924a;stroke-width:1.5}
circle.sent{fill:#2563c9}circle.received{fill:#16924a}
line.key{stroke:#1d2430;stroke-width:1.5}path.fact{fill:#b3541e}.keyname,.factname{font-size:10px;fill:#4a5363}
.legend{font-size:12px;color:#4a5363;margin:2px 0 0 96px}
.legend .key{display:inline-block;width:12px;height:10px;margin:0 4px 0 10px;vertical-align:-1px}
.key.latency,.key.sent{background:#2563c9}.key.received{background:#16924a}
.filter{margin:6px 0;font-size:13px}.filter input{width:280px;padding:3px 6px;font:inherit}.filter select{font:inherit}
.count{color:#5b6573;margin-left:10px}
#proc-rows{font-size:12px}.tl{display:flex;align-items:center;height:18px;border-bottom:1px solid #f1f3f6}
.tl .pid{width:56px;text-align:right;padding-right:8px;color:#5b6573;flex:none}
.tl .name{width:330px;overflow:hidden;white-space:nowrap;text-overflow:ellipsis;flex:none}
.tl .name b{font-weight:600}.tl .name span{color:#6b7482}
.tl .track{position:relative;width:560px;height:12px;background:#f6f7f9;flex:none;margin:0 8px}
.tl .bar{position:absolute;top:1px;height:10px;min-width:2px;background:#5b8fd9;border-radius:2px}
.tl .bar.from{border-top-left-radius:0;border-bottom-left-radius:0;background:#8aa9d6}
.tl .bar.open{border-right:3px solid #1d4f9c}.tl .bar.noadd{background:#c7a14a}
.tl .when{width:170px;color:#5b6573;white-space:nowrap;flex:none}
.tl.head{height:22px;border-bottom:1px solid #7a8494;font-weight:600}.tl.head .track{background:none}
.tick{position:absolute;top:0;font-size:10px;font-weight:normal;color:#4a5363;transform:translateX(-50%)}
.more{margin:6px 0;color:#5b6573}
)CSS";

// The page's script: unpacks the data and draws the process timeline and the
// tables with text nodes only, so nothing in a log is ever read as markup.
const char* kScript = R"JS(
(function(){
'use strict';
function el(tag,cls,text){var e=document.createElement(tag);if(cls)e.className=cls;if(text!==undefined)e.textContent=text;return e;}
function clock(t){var s=((t%86400)+86400)%86400;function two(n){return (n<10?'0':'')+n;}return two(Math.floor(s/3600))+':'+two(Math.floor(s/60)%60)+':'+two(s%60);}
function status(id,text){var n=document.getElementById(id);if(n)n.textContent=text;}
// The data is a gzip member of one deflate block with the fixed code table,
// as vtl writes it; unpacked here, synchronously, with no help from the browser.
var LB=[3,4,5,6,7,8,9,10,11,13,15,17,19,23,27,31,35,43,51,59,67,83,99,115,131,163,195,227,258];
var LE=[0,0,0,0,0,0,0,0,1,1,1,1,2,2,2,2,3,3,3,3,4,4,4,4,5,5,5,5,0];
var DB=[1,2,3,4,5,7,9,13,17,25,33,49,65,97,129,193,257,385,513,769,1025,1537,2049,3073,4097,6145,8193,12289,16385,24577];
var DE=[0,0,0,0,1,1,2,2,3,3,4,4,5,5,6,6,7,7,8,8,9,9,10,10,11,11,12,12,13,13];
var LIT=new Int32Array(512),DIST=new Int32Array(32);
(function(){
  function rev(v,n){var r=0;for(var i=0;i<n;++i){r=(r<<1)|(v&1);v>>=1;}return r;}
  // Indexed by the next 9 bits as they come (first bit lowest): the symbol and its code length.
  function put(sym,code,len){for(var i=rev(code,len);i<512;i+=1<<len)LIT[i]=(sym<<4)|len;}
  var s;for(s=0;s<144;++s)put(s,0x30+s,8);for(s=144;s<256;++s)put(s,0x190+s-144,9);
  for(s=256;s<280;++s)put(s,s-256,7);for(s=280;s<288;++s)put(s,0xc0+s-280,8);
  for(s=0;s<32;++s)DIST[rev(s,5)]=s;
})();
function unpack(b64){
  var bin=atob(b64),n=bin.length,src=new Uint8Array(n);for(var i=0;i<n;++i)src[i]=bin.charCodeAt(i);
  if(n<18||src[0]!==0x1f||src[1]!==0x8b||src[2]!==8||src[3]!==0)throw new Error('the packed data is damaged');
  var size=(src[n-4]|src[n-3]<<8|src[n-2]<<16|src[n-1]<<24)>>>0,out=new Uint8Array(size),o=0,pos=10,buf=0,cnt=0;
  function need(k){while(cnt<k){if(pos>=n)throw new Error('the packed data is cut short');buf|=src[pos++]<<cnt;cnt+=8;}}
  function bits(k){need(k);var v=buf&((1<<k)-1);buf>>>=k;cnt-=k;return v;}
  if(bits(1)!==1||bits(2)!==1)throw new Error('the packed data is not in the expected form');
  for(;;){
    need(9);var e=LIT[buf&511],sym=e>>4;buf>>>=e&15;cnt-=e&15;
    if(sym<256){if(o>=size)throw new Error('the packed data is damaged');out[o++]=sym;continue;}
    if(sym===256)break;
    var l=sym-257;if(l>28)throw new Error('the packed data is damaged');
    var len=LB[l]+bits(LE[l]),dc=DIST[bits(5)];if(dc>29)throw new Error('the packed data is damaged');
    var dist=DB[dc]+bits(DE[dc]);if(dist>o||o+len>size)throw new Error('the packed data is damaged');
    for(var k=0;k<len;++k,++o)out[o]=out[o-dist];
  }
  if(o!==size)throw new Error('the packed data is damaged');
  return JSON.parse(new TextDecoder('utf-8').decode(out));
}
function filterOf(input){var v=input.value.trim().toLowerCase();return function(s){return v===''||s.toLowerCase().indexOf(v)>=0;};}
function later(f){var t=null;return function(){clearTimeout(t);t=setTimeout(f,120);};}
function draw(d){
  var span=Math.max(1,d.t1-d.t0),pLimit=1000,cLimit=500;
  function moreButton(id,f){var b=document.getElementById(id);b.addEventListener('click',f);return b;}
  function pct(t){return (Math.min(Math.max(t,0),span)/span*100).toFixed(3)+'%';}
  // Process timeline
  var rows=document.getElementById('proc-rows'),pf=document.getElementById('proc-filter');
  function drawProcs(){
    var match=filterOf(pf),shown=0,total=0,frag=document.createDocumentFragment();
    var head=el('div','tl head');head.appendChild(el('span','pid','PID'));head.appendChild(el('span','name','Program and path'));
    var track=el('div','track');
    d.ticks.forEach(function(k){var t=el('span','tick',k[1]);t.style.left=pct(k[0]);if(k[0]/span>0.9)t.style.transform='translateX(-100%)';else if(k[0]/span<0.1)t.style.transform='none';track.appendChild(t);});
    head.appendChild(track);head.appendChild(el('span','when','Start \u2013 end'));frag.appendChild(head);
    d.p.forEach(function(p){
      if(changed.checked&&(p[4]&3)===3)return;if(!match(p[0]+' '+p[1]))return;++total;if(shown>=pLimit)return;++shown;
      var r=el('div','tl');r.appendChild(el('span','pid',p[0]));
      var n=el('span','name');n.title=p[1];var cut=Math.max(p[1].lastIndexOf('/'),p[1].lastIndexOf('\\'));
      n.appendChild(el('b','',p[1].slice(cut+1)||p[1]));if(cut>=0)n.appendChild(el('span','',' '+p[1].slice(0,cut+1)));
      r.appendChild(n);
      var tr=el('div','track'),bar=el('div','bar'+(p[4]&1?' from':'')+(p[4]&2?' open':'')+(p[4]&4?' noadd':''));
      bar.style.left=pct(p[2]);bar.style.width='calc('+pct(p[3]-p[2])+' + 2px)';
      bar.title=p[0]+' '+p[1]+'\n'+clock(p[2]+d.t0)+' \u2013 '+clock(p[3]+d.t0);tr.appendChild(bar);r.appendChild(tr);
      r.appendChild(el('span','when',(p[4]&1?'from the start':(p[4]&4?'before the log':clock(p[2]+d.t0)))+' \u2013 '+(p[4]&2?'still running':clock(p[3]+d.t0))));
      frag.appendChild(r);
    });
    rows.textContent='';rows.appendChild(frag);pMore.hidden=shown>=total;
    status('proc-count',total+' of '+d.p.length+' processes'+(shown<total?'; '+shown+' drawn':''));
  }
  var pMore=moreButton('proc-more',function(){pLimit+=2000;drawProcs();});
  var changed=document.getElementById('proc-changed');
  pf.addEventListener('input',later(function(){pLimit=1000;drawProcs();}));
  changed.addEventListener('change',function(){pLimit=1000;drawProcs();});drawProcs();
  // Connections
  var cb=document.getElementById('conn-body'),cf=document.getElementById('conn-filter'),cp=document.getElementById('conn-proto');
  function drawConns(){
    var match=filterOf(cf),proto=cp.value,shown=0,total=0,frag=document.createDocumentFragment();
    d.c.forEach(function(c){
      if(proto&&c[0]!==proto)return;if(!match(c.join(' ')))return;++total;if(shown>=cLimit)return;++shown;
      var tr=el('tr');
      [c[0],c[1],c[2]||'\u2013',c[3],c[4],c[7]&1?'from the start':(c[7]&4?'before the log':clock(c[5]+d.t0)),c[7]&2?'still open':clock(c[6]+d.t0)].forEach(function(v){tr.appendChild(el('td','',v));});
      frag.appendChild(tr);
    });
    cb.textContent='';cb.appendChild(frag);cMore.hidden=shown>=total;
    status('conn-count',total+' of '+d.c.length+' connections'+(shown<total?'; '+shown+' listed':''));
  }
  var cMore=moreButton('conn-more',function(){cLimit+=2000;drawConns();});
  cf.addEventListener('input',later(function(){cLimit=500;drawConns();}));cp.addEventListener('change',function(){cLimit=500;drawConns();});drawConns();
  // All records
  var rb=document.getElementById('rec-body'),rf=document.getElementById('rec-filter'),rk=document.getElementById('rec-kind'),more=document.getElementById('rec-more'),limit=500;
  var recs=d.r.map(function(raw){var p=raw.split(';');return [p.length>3?p[1]:'',raw];});
  var kinds={};recs.forEach(function(r){kinds[r[0]]=1;});
  Object.keys(kinds).sort().forEach(function(k){var o=el('option','',k||'(no known shape)');o.value=k;rk.appendChild(o);});
  function drawRecs(){
    var match=filterOf(rf),kind=rk.value,shown=0,total=0,frag=document.createDocumentFragment();
    recs.forEach(function(r,i){
      if(kind!=='*'&&r[0]!==kind)return;if(!match(r[1]))return;++total;if(shown>=limit)return;++shown;
      var tr=el('tr');tr.appendChild(el('td','',String(i+1)));tr.appendChild(el('td','',r[1]));frag.appendChild(tr);
    });
    rb.textContent='';rb.appendChild(frag);more.hidden=shown>=total;
    status('rec-count',total+' of '+d.r.length+' records'+(shown<total?'; '+shown+' shown':''));
  }
  rf.addEventListener('input',later(function(){limit=500;drawRecs();}));rk.addEventListener('change',function(){limit=500;drawRecs();});
  more.addEventListener('click',function(){limit+=5000;drawRecs();});drawRecs();
  document.body.setAttribute('data-drawn','yes');
  void document.body.offsetHeight;  // lay the page out now, to time it
  document.body.setAttribute('data-drawn-ms',String(Math.round(performance.now())));
}
try{
  draw(unpack(document.getElementById('data').textContent.trim()));
}catch(e){status('proc-count','The data of this page could not be drawn: '+e.message);}
})();
)JS";

}  // namespace

std::string visible(const std::string& text) {
    // Most log text is plain printable ASCII.
    if (std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7f; })) return text;
    std::string out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        if (p[i] < 0x80) {
            appendVisible(out, p[i]);
            ++i;
            continue;
        }
        unsigned cp;
        const std::size_t len = utf8At(p + i, n - i, cp);
        if (len == 0) {
            appendVisible(out, p[i]);  // a byte of a narrow code page, taken as Latin-1
            ++i;
        } else {
            appendVisible(out, cp);
            i += len;
        }
    }
    return out;
}

std::string escapeHtml(const std::string& text) {
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

std::string jsonString(const std::string& text) {
    const std::string v = visible(text);
    std::string out = "\"";
    for (char c : v) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string shorten(const std::string& text, std::size_t max) {
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

std::string pageData(const Model& m) {
    const long long t0 = m.first;
    std::string o;
    o.reserve(m.lines.size() * 120 + 1024);
    o += "{\"t0\":" + std::to_string(t0) + ",\"t1\":" + std::to_string(m.timed ? m.last : t0) + ",\"ticks\":[";
    Axis a = axisOf(m);
    bool first = true;
    for (long long t : timeTicks(a)) {
        o += (first ? "[" : ",[") + std::to_string(t - t0) + "," + jsonString(tickLabel(a, t)) + "]";
        first = false;
    }
    o += "],\"p\":[";
    first = true;
    // Programs with a path first, in the order they started; the placeholders
    // for system processes without one after them.
    std::vector<const Lifetime*> order;
    for (const auto& p : m.processes) order.push_back(&p);
    std::stable_sort(order.begin(), order.end(), [](const Lifetime* a, const Lifetime* b) {
        const bool pa = a->path.compare(0, 8, "System: ") == 0, pb = b->path.compare(0, 8, "System: ") == 0;
        if (pa != pb) return pb;
        return a->start < b->start;
    });
    for (const Lifetime* pp : order) {
        const Lifetime& p = *pp;
        const int flags = (p.atStart ? 1 : 0) | (p.open ? 2 : 0) | (p.addSeen ? 0 : 4);
        o += (first ? "[" : ",[") + jsonString(p.pid) + "," + jsonString(p.path) + "," + std::to_string(p.start - t0) +
             "," + std::to_string(p.end - t0) + "," + std::to_string(flags) + "]";
        first = false;
    }
    o += "],\"c\":[";
    first = true;
    for (const auto& c : m.connections) {
        const int flags = (c.atStart ? 1 : 0) | (c.open ? 2 : 0) | (c.addSeen ? 0 : 4);
        o += (first ? "[" : ",[") + jsonString(c.proto) + "," + jsonString(c.local) + "," + jsonString(c.remote) + "," +
             jsonString(c.pid) + "," + jsonString(c.path) + "," + std::to_string(c.start - t0) + "," +
             std::to_string(c.end - t0) + "," + std::to_string(flags) + "]";
        first = false;
    }
    o += "],\"r\":[";
    first = true;
    for (const auto& l : m.lines) {
        o += first ? "" : ",";
        o += jsonString(l.raw);
        first = false;
    }
    o += "]}";
    return o;
}

void writePage(const Model& m, std::ostream& o) {
    const Axis a = axisOf(m);
    const std::string title = "Match " + joined(m.matches, "?") + ", user " + joined(m.users, "?");
    o << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'; "
         "script-src 'unsafe-inline'\">"
         "<meta name=\"viewport\" content=\"width=device-width\"><title>"
      << escapeHtml(title) << " \xe2\x80\x93 vantorelle match report</title><style>" << kStyle
      << "</style></head><body>\n";
    header(o, m);
    identifiers(o, m);
    if (m.timed) {
        pingChart(o, m, a);
        throughputCharts(o, m, a);
        eventsChart(o, m, a);
    } else {
        o << "<p class=\"none\">No readable time stamps: no charts.</p>";
    }
    o << "<section id=\"processes\"><h2>Processes</h2>"
         "<p class=\"legend\" style=\"margin-left:0\">One row per process, a bar from its start to its end. A pale bar "
         "that touches the left edge: already running when the log began. A dark right edge: still running when the "
         "log ended.</p>"
         "<div class=\"filter\"><label>Filter by name, path or PID <input id=\"proc-filter\" type=\"search\"></label> "
         "<label><input id=\"proc-changed\" type=\"checkbox\"> only those that started or ended during the log</label>"
         "<span class=\"count\" id=\"proc-count\">"
         "<noscript>The timeline and the tables below need JavaScript.</noscript></span></div>"
         "<div id=\"proc-rows\"></div><button id=\"proc-more\" hidden>Show more</button></section>\n"
         "<section id=\"connections\"><h2>Connections</h2>"
         "<div class=\"filter\"><label>Filter <input id=\"conn-filter\" type=\"search\"></label> "
         "<select id=\"conn-proto\"><option value=\"\">TCP and UDP</option><option>TCP</option><option>UDP</option>"
         "</select><span class=\"count\" id=\"conn-count\"></span></div>"
         "<table class=\"list\" id=\"conn-table\"><thead><tr><th>Proto</th><th>Local</th><th>Remote</th><th>PID</th>"
         "<th>Owner</th><th>Opened</th><th>Closed</th></tr></thead><tbody id=\"conn-body\"></tbody></table>"
         "<button id=\"conn-more\" hidden>Show more</button></section>\n"
         "<section id=\"records\"><h2>All records</h2>"
         "<div class=\"filter\"><label>Filter <input id=\"rec-filter\" type=\"search\"></label> "
         "<select id=\"rec-kind\"><option value=\"*\">every kind</option></select>"
         "<span class=\"count\" id=\"rec-count\"></span></div>"
         "<table class=\"list\" id=\"rec-table\"><thead><tr><th>#</th><th>Record</th></tr></thead>"
         "<tbody id=\"rec-body\"></tbody></table><button id=\"rec-more\" hidden>Show more</button></section>\n";
    o << "<script type=\"application/octet-stream\" id=\"data\">" << base64(gzip(pageData(m))) << "</script>\n";
    o << "<script>" << kScript << "</script>\n</body></html>\n";
}

}  // namespace report
}  // namespace vt
