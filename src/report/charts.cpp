#include "report/charts.h"

#include "common/schema.h"
#include "report/text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

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


}  // namespace

// ---- time axis -----------------------------------------------------------------

double Axis::x(long long t) const { return kLeft + double(t - first) / double(span) * kPlot; }

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


namespace {

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


}  // namespace

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
          << "\" y2=\"" << num(keyRow + 8) << "\"><title>" << escapeHtml(m.text(k.stamp)) << " key "
          << escapeHtml(shorten(m.text(k.name), 200)) << "</title></line>";
        if (x - lastLabel > 44) {
            o << "<text class=\"keyname\" x=\"" << num(x + 2) << "\" y=\"" << num(keyRow - 12) << "\">"
              << escapeHtml(shorten(m.text(k.name), 6)) << "</text>";
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

}  // namespace report
}  // namespace vt
