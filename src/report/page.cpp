#include "report/html.h"

#include "common/schema.h"
#include "report/assets.h"
#include "report/charts.h"
#include "report/pack.h"

#include <openssl/sha.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vt {
namespace report {
namespace {

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
    o << "<tr><th>Records</th><td>" << m.records;
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

// The rest of the page's data after the record lines (which the model packed
// as they came, as `{"r":[...`), packed into tail piece by piece.
void packData(const Model& m, Packed& tail) {
    const long long t0 = m.first;
    std::string o;
    auto put = [&o, &tail](bool force = false) {
        if (force || o.size() >= (1 << 16)) {
            tail.append(o);
            o.clear();
        }
    };
    o += "],\"t0\":" + std::to_string(t0) + ",\"t1\":" + std::to_string(m.timed ? m.last : t0) + ",\"ticks\":[";
    Axis a = axisOf(m);
    bool first = true;
    for (long long t : timeTicks(a)) {
        o += (first ? "[" : ",[") + std::to_string(t - t0) + ",";
        appendJson(o, tickLabel(a, t));
        o += "]";
        first = false;
    }
    o += "],\"p\":[";
    first = true;
    // Programs with a path first, in the order they started; the placeholders
    // for system processes without one after them.
    std::vector<std::uint32_t> order(m.processes.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::uint32_t>(i);
    const auto system = [&m](const Lifetime& l) { return m.text(l.path).compare(0, 8, "System: ") == 0; };
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        const Lifetime &la = m.processes[a], &lb = m.processes[b];
        const bool pa = system(la), pb = system(lb);
        if (pa != pb) return pb;
        return la.start < lb.start;
    });
    for (std::uint32_t i : order) {
        const Lifetime& p = m.processes[i];
        const int flags = (p.atStart ? 1 : 0) | (p.open ? 2 : 0) | (p.addSeen ? 0 : 4);
        o += first ? "[" : ",[";
        appendJson(o, m.text(p.pid));
        o += ',';
        appendJson(o, m.text(p.path));
        o += "," + std::to_string(p.start - t0) + "," + std::to_string(p.end - t0) + "," + std::to_string(flags) + "]";
        first = false;
        put();
    }
    o += "],\"c\":[";
    first = true;
    for (const auto& c : m.connections) {
        const int flags = (c.atStart ? 1 : 0) | (c.open ? 2 : 0) | (c.addSeen ? 0 : 4);
        o += first ? "[" : ",[";
        for (Strings::Id id : {c.proto, c.local, c.remote, c.pid, c.path}) {
            appendJson(o, m.text(id));
            o += ',';
        }
        o += std::to_string(c.start - t0) + "," + std::to_string(c.end - t0) + "," + std::to_string(flags) + "]";
        first = false;
        put();
    }
    o += "],\"g\":[";
    first = true;
    for (const auto& k : m.otherKinds) {
        const schema::Shape& shape = schema::shape(k.kind);
        o += first ? "{\"kind\":" : ",{\"kind\":";
        appendJson(o, std::string(shape.kind) + (shape.action ? std::string(" ") + shape.action : std::string()));
        o += ",\"columns\":[";
        for (std::size_t i = 0; i < k.columns.size(); ++i) {
            if (i) o += ',';
            appendJson(o, k.columns[i]);
        }
        o += "],\"rows\":[";
        put(true);
        tail.append(k.json);
        o += "]}";
        first = false;
    }
    o += "]}";
    put(true);
    tail.close(true);
}

// Kinds of records the page shows in a table of their own, built from the schema.
void otherKinds(std::ostream& o, const Model& m) {
    if (m.otherKinds.empty()) return;
    o << "<section id=\"other-kinds\"><h2>Other kinds of records</h2>"
         "<p class=\"legend\" style=\"margin-left:0\">Records of kinds this page has no view of its own for, one table "
         "per kind with the fields the record schema gives it.</p><div id=\"kind-tables\">";
    for (std::size_t i = 0; i < m.otherKinds.size(); ++i) {
        const KindTable& k = m.otherKinds[i];
        const schema::Shape& shape = schema::shape(k.kind);
        o << "<h3>" << escapeHtml(shape.kind) << (shape.action ? std::string(" ") + shape.action : std::string())
          << " <span class=\"count\" id=\"kind-count-" << i << "\">" << k.rows << (k.rows == 1 ? " record" : " records")
          << "</span></h3>"
          << "<table class=\"list\"><thead><tr>";
        for (const auto& c : k.columns) o << "<th>" << escapeHtml(c) << "</th>";
        o << "</tr></thead><tbody id=\"kind-body-" << i << "\"></tbody></table>";
    }
    o << "</div></section>\n";
}

}  // namespace

std::string contentSecurityPolicy() {
    // The page's one script by its SHA-256, so that no other script runs even
    // if markup from a log ever slipped through; style attributes need the
    // style's 'unsafe-inline'.
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(kPageScript), std::strlen(kPageScript), digest);
    return "default-src 'none'; style-src 'unsafe-inline'; script-src 'sha256-" +
           base64(std::string_view(reinterpret_cast<const char*>(digest), sizeof digest)) + "'";
}

void writePage(const Model& m, std::ostream& o) {
    const Axis a = axisOf(m);
    const std::string title = "Match " + joined(m.matches, "?") + ", user " + joined(m.users, "?");
    o << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<meta http-equiv=\"Content-Security-Policy\" content=\""
      << contentSecurityPolicy()
      << "\"><meta name=\"generator\" content=\"" << kGenerator << "\">"
         "<meta name=\"viewport\" content=\"width=device-width\"><title>"
      << escapeHtml(title) << " \xe2\x80\x93 vantorelle match report</title><style>" << kPageStyle
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
    otherKinds(o, m);
    o << "<script type=\"application/octet-stream\" id=\"data\" data-packing=\"" << (packs() ? "gzip" : "none")
      << "\">";
    Packed tail;
    packData(m, tail);
    writeGzipBase64(m.packedLines, tail, o);
    o << "</script>\n<script>" << kPageScript << "</script>\n</body></html>\n";
}

}  // namespace report
}  // namespace vt
