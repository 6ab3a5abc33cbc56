#include "index/queries.h"
#include "index/queries_sql.h"

#include "index/ingest.h"

#include "common/utf8.h"
#include "common/schema.h"

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <cctype>

namespace vt {
namespace index {

namespace {

using sql::num;

// A LIKE pattern that matches text anywhere, its own % _ and \ taken literally.
std::string containsPattern(const std::string& text) {
    std::string out = "%";
    for (char c : text) {
        if (c == '%' || c == '_' || c == '\\') out += '\\';
        out += c;
    }
    return out + "%";
}

std::string tsvField(const std::string& v) {
    std::string out;
    for (char c : v) {
        switch (c) {
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\\': out += "\\\\"; break;
        default: out += c;
        }
    }
    return out;
}

}  // namespace

bool isDay(const std::string& t) {
    if (t.size() != 10 || t[4] != '-' || t[7] != '-') return false;
    for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (t[i] < '0' || t[i] > '9') return false;
    const unsigned year = unsigned(std::stoi(t.substr(0, 4)));
    const unsigned month = unsigned((t[5] - '0') * 10 + (t[6] - '0')), day = unsigned((t[8] - '0') * 10 + (t[9] - '0'));
    return schema::realTime(year, month, day, 0, 0, 0);
}

bool parseRemote(const std::string& text, Remote& out) {
    std::string address = text;
    out = Remote();
    const std::size_t colon = address.find(':');
    if (colon != std::string::npos) {
        const std::string port = address.substr(colon + 1);
        if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
        out.port = std::stoll(port);
        if (*out.port > 65535) return false;
        address.resize(colon);
    }
    int bits = 32;
    const std::size_t slash = address.find('/');
    if (slash != std::string::npos) {
        const std::string b = address.substr(slash + 1);
        if (b.empty() || b.size() > 2 || b.find_first_not_of("0123456789") != std::string::npos) return false;
        bits = std::stoi(b);
        if (bits > 32) return false;
        address.resize(slash);
    }
    const auto ip = ipv4(address);
    if (!ip) return false;
    const std::int64_t size = std::int64_t(1) << (32 - bits);
    out.first = *ip / size * size;
    out.last = out.first + size - 1;
    return true;
}

namespace {

std::string trimmed(const std::string& t) {
    const char* const space = " \t\r\n";
    const std::size_t first = t.find_first_not_of(space);
    if (first == std::string::npos) return {};
    return t.substr(first, t.find_last_not_of(space) - first + 1);
}

bool allHex(const std::string& t) {
    for (char c : t)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    return !t.empty();
}

// A path as pasted: without the line end a copy may bring along, nor the
// quotes of a shell or of Explorer's "Copy as path".
std::string pastedPath(std::string t) {
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
    if (t.size() >= 2 && t.front() == '"' && t.back() == '"') t = t.substr(1, t.size() - 2);
    return t;
}

std::string folded(const std::string& text) { return foldCase(utf8::fromNarrow(text)); }

std::string remoteSql(const FindQuestion& q, const std::string& filter, std::string& error) {
    Remote r;
    if (!parseRemote(q.remote, r)) {
        error = "--remote takes an IPv4 address, IP[/BITS][:PORT]: " + q.remote;
        return {};
    }
    std::string where = "c.remote_address >= " + num(r.first) + " AND c.remote_address <= " + num(r.last);
    if (r.port) where += " AND c.remote_port = " + num(*r.port);
    return "SELECT r.day, r.user_id, r.match_id, r.started, c.protocol, c.remote_ip, c.remote_port, "
           "g.path AS program, COUNT(*) AS connections, MIN(c.opened) AS first_opened, "
           "MAX(c.closed) AS last_closed, MAX(c.still_open) AS still_open, r.id AS recording_id "
           "FROM connections c JOIN recordings r ON r.id = c.recording_id "
           "LEFT JOIN programs g ON g.id = c.program_id "
           "WHERE " + where + filter + " "
           "GROUP BY r.id, r.day, r.user_id, r.match_id, r.started, c.protocol, c.remote_address, c.remote_ip, "
           "c.remote_port, g.id, g.path "
           "ORDER BY r.day, r.user_id, r.match_id, r.id, c.remote_address, COALESCE(c.remote_port, -1), "
           "c.protocol, COALESCE(g.id, 0)";
}

std::string programSql(const FindQuestion& q, const std::string& filter) {
    // The programs first (a few), then their processes by index. Names and
    // paths are stored folded (foldCase); what is asked is folded alike. A
    // "program" with a separator in it is a whole path, pasted from a log.
    const std::string program = pastedPath(q.program), path = pastedPath(q.path);
    std::string match;
    if (program.find_first_of("\\/") != std::string::npos) match = "p.path_lower = " + quote(folded(program));
    else if (!program.empty()) match = "p.name_lower = " + quote(folded(program));
    else match = "p.path_lower LIKE " + quote(containsPattern(folded(path))) + " ESCAPE '\\'";
    const std::string where = "x.program_id IN (SELECT p.id FROM programs p WHERE " + match + ")";
    return "SELECT r.day, r.user_id, r.match_id, r.started, g.path AS program, COUNT(*) AS processes, "
           "MIN(x.started) AS first_started, MAX(x.ended) AS last_ended, MAX(x.already_running) AS already_running, "
           "MAX(x.still_running) AS still_running, r.id AS recording_id "
           "FROM processes x JOIN programs g ON g.id = x.program_id JOIN recordings r ON r.id = x.recording_id "
           "WHERE " + where + filter + " "
           "GROUP BY r.id, r.day, r.user_id, r.match_id, r.started, g.id, g.path "
           "ORDER BY r.day, r.user_id, r.match_id, r.id, g.id";
}

std::string identifierSql(const FindQuestion& q, const std::string& filter, std::string& error) {
    IdentifierValue id;
    if (!identifierAsIndexed(q.identifier, q.identifierKind, id, error)) return {};
    std::string match = "i.kind = " + quote(id.kind) + " AND ";
    // A MAC is stored in one spelling; a volume id as the log wrote it, which
    // the library writes as eight lower-case digits, and others otherwise.
    if (id.kind == "mac") match += "i.value = " + quote(id.value);
    else if (id.value.size() == 8 && allHex(id.value)) match += "REPLACE(LOWER(i.value), '-', '') = " + quote(id.value);
    else match += "LOWER(i.value) = " + quote(id.value);
    return "SELECT r.day, r.user_id, r.match_id, r.started, r.ended, i.kind, i.value AS identifier, i.weak, i.mark, "
           "s.fact, r.id AS recording_id "
           "FROM identifiers i JOIN sightings s ON s.identifier_id = i.id JOIN recordings r ON r.id = s.recording_id "
           "WHERE " + match + filter + " "
           "ORDER BY r.day, r.user_id, r.match_id, r.id, i.id";
}

std::string recordingsSql(const std::string& filter) {
    return "SELECT r.day, r.user_id, r.match_id, r.started, r.ended, r.whole, r.state, r.records, r.path, "
           "r.id AS recording_id FROM recordings r WHERE 1 = 1" + filter + " "
           "ORDER BY r.day, r.user_id, r.match_id, r.id";
}

}  // namespace

std::string checkDays(const std::string& from, const std::string& to) {
    for (const auto* d : {&from, &to})
        if (!d->empty() && !isDay(*d)) return "a day is YYYY-MM-DD: " + *d;
    if (!from.empty() && !to.empty() && to < from) return "--to " + to + " is before --from " + from;
    return {};
}

bool identifierAsIndexed(const std::string& pasted, const std::string& kind, IdentifierValue& out,
                         std::string& error) {
    const std::string text = trimmed(pasted);
    if (!kind.empty() && kind != "mac" && kind != "volume") {
        error = "--kind is mac or volume: " + kind;
        return false;
    }
    if (text.empty()) {
        error = "--identifier is empty";
        return false;
    }
    if (kind != "volume") {
        // "Intel(R) Ethernet @ 00-1b-21-aa-bb-cc" as the fact reads; Cisco's 001b.21aa.bbcc.
        const std::size_t at = text.rfind(" @ ");
        std::string mac = at == std::string::npos ? text : trimmed(text.substr(at + 3));
        if (mac.size() == 14 && mac[4] == '.' && mac[9] == '.') mac = mac.substr(0, 4) + mac.substr(5, 4) + mac.substr(10);
        out = {"mac", macAddress(mac)};
        if (!out.value.empty()) return true;
        if (kind == "mac") {
            error = "not a MAC address (six hex pairs, with '-', ':' or none): " + text;
            return false;
        }
    }
    std::string volume = lowerAscii(text);
    if (volume.size() == 9 && volume[4] == '-') volume.erase(4, 1);
    if (volume.size() == 8 && allHex(volume)) {
        out = {"volume", volume};
        return true;
    }
    if (kind.empty()) {
        error = "neither a MAC address (six hex pairs) nor a volume id (eight hex digits): " + text +
                " (--kind volume looks for any other volume id)";
        return false;
    }
    out = {"volume", lowerAscii(text)};
    return true;
}

std::string findSql(const FindQuestion& q, std::string& error) {
    // A pasted path of quotes alone asks nothing (and would match every path).
    const int asked = int(!pastedPath(q.program).empty()) + int(!pastedPath(q.path).empty()) +
                      int(!q.remote.empty()) + int(!trimmed(q.identifier).empty());
    if (asked > 1) {
        error = "give one of --program, --path, --remote and --identifier, not more";
        return {};
    }
    if (asked == 0 && !q.user && !q.match) {
        error = "give one of --program, --path, --remote and --identifier, or --user or --match";
        return {};
    }
    if (!q.identifierKind.empty() && trimmed(q.identifier).empty()) {
        error = "--kind goes with --identifier";
        return {};
    }
    error = checkDays(q.from, q.to);
    if (!error.empty()) return {};
    std::string filter = sql::dayRange("r.day", q.from, q.to);
    if (q.user) filter += " AND r.user_id = " + num(*q.user);
    if (q.match) filter += " AND r.match_id = " + num(*q.match);
    if (!q.remote.empty()) return remoteSql(q, filter, error);
    if (!trimmed(q.identifier).empty()) return identifierSql(q, filter, error);
    if (asked == 1) return programSql(q, filter);
    return recordingsSql(filter);
}

std::string trendSql(const TrendQuestion& q, std::string& error) {
    std::string bucket, group, order;
    if (q.by == "day") {
        bucket = "r.day";
        group = order = "r.day";
    } else if (q.by == "week") {
        bucket = "s.week";
        group = order = "s.week";
    } else if (q.by == "match") {
        bucket = "r.day, r.user_id, r.match_id, r.started";
        group = "r.id, r.day, r.user_id, r.match_id, r.started";
        order = "r.day, r.user_id, r.match_id, r.id";
    } else {
        error = "--by is day, week or match: " + q.by;
        return {};
    }
    error = checkDays(q.from, q.to);
    if (!error.empty()) return {};
    std::string where = " WHERE 1 = 1" + sql::dayRange("r.day", q.from, q.to);
    if (q.user) where += " AND r.user_id = " + num(*q.user);
    // Matches, not player logs: the players of one match each have their own.
    const std::string matches = "COUNT(DISTINCT r.match_id) AS matches";
    std::string sql;
    if (!q.rate) {
        const std::string table = q.server.empty() ? "summaries" : "ping_servers";
        if (!q.server.empty()) where += " AND s.server = " + quote(q.server);
        sql = "SELECT " + bucket + ", " + matches + ", SUM(s.pings) AS pings, SUM(s.no_answers) AS no_answers, "
              "AVG(s.ping_p50) AS ping_p50, AVG(s.ping_p95) AS ping_p95, MAX(s.ping_p95) AS worst_p95, "
              "SUM(s.ping_average * (s.pings - s.no_answers)) / NULLIF(SUM(s.pings - s.no_answers), 0) AS ping_average "
              "FROM " + table + " s JOIN recordings r ON r.id = s.recording_id" + where;
    } else {
        if (!q.server.empty())
            where += " AND r.id IN (SELECT recording_id FROM ping_servers WHERE server = " + quote(q.server) + ")";
        sql = "SELECT " + bucket + ", " + matches + ", AVG(s.tx_average) AS tx_bytes_per_s, "
              "AVG(s.rx_average) AS rx_bytes_per_s, MAX(s.tx_average) AS top_tx_bytes_per_s, "
              "MAX(s.rx_average) AS top_rx_bytes_per_s "
              "FROM summaries s JOIN recordings r ON r.id = s.recording_id" + where;
    }
    return sql + " GROUP BY " + group + " ORDER BY " + order;
}

std::string jsonRow(Stmt& s, const std::vector<std::string>& names) {
    nlohmann::ordered_json row = nlohmann::ordered_json::object();
    for (int i = 0; i < int(names.size()); ++i) {
        auto& v = row[names[std::size_t(i)]];
        switch (s.type(i)) {
        case SQLITE_INTEGER: v = s.integer(i); break;
        case SQLITE_FLOAT: v = s.real(i); break;
        case SQLITE_NULL: v = nullptr; break;
        default: v = s.text(i);
        }
    }
    return row.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::int64_t printRows(Db& db, const std::string& sql, bool json, std::ostream& out) {
    Stmt s(db, sql);
    if (s.trailing()) throw Error("give one statement only");
    const int n = s.columns();
    std::vector<std::string> names;
    for (int i = 0; i < n; ++i) names.push_back(s.name(i));
    if (!json) {
        for (int i = 0; i < n; ++i) out << (i ? "\t" : "") << tsvField(names[std::size_t(i)]);
        out << '\n';
    }
    std::int64_t rows = 0;
    while (s.step()) {
        ++rows;
        if (json) {
            out << jsonRow(s, names) << '\n';
        } else {
            for (int i = 0; i < n; ++i) {
                if (i) out << '\t';
                if (s.type(i) == SQLITE_NULL) out << "\\N";
                else out << tsvField(s.text(i));
            }
            out << '\n';
        }
        if (!out) break;
    }
    return rows;
}

}  // namespace index
}  // namespace vt
