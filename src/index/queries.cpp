#include "index/queries.h"

#include "index/ingest.h"

#include "common/utf8.h"
#include "common/schema.h"

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <cstdio>

namespace vt {
namespace index {

namespace {

std::string num(std::int64_t v) { return std::to_string(v); }

// A LIKE pattern that matches text anywhere, its own % _ and \ taken literally.
std::string containsPattern(const std::string& text) {
    std::string out = "%";
    for (char c : text) {
        if (c == '%' || c == '_' || c == '\\') out += '\\';
        out += c;
    }
    return out + "%";
}

std::string dayFilter(const FindQuestion& q) {
    std::string out;
    if (!q.from.empty()) out += " AND r.day >= " + quote(q.from);
    if (!q.to.empty()) out += " AND r.day <= " + quote(q.to);
    return out;
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

std::string linksSql(const LinksQuestion& q) {
    std::string where = q.weak ? "" : " WHERE i.weak = 0";
    if (!q.kind.empty()) where += std::string(where.empty() ? " WHERE " : " AND ") + "i.kind = " + quote(q.kind);
    char least[32];
    std::snprintf(least, sizeof least, "%.3f", q.strength);
    // An identifier on n accounts weighs 2/n: 1 when only the two share it.
    const std::string strength = "ROUND(SUM(2.0 / accounts), 3)";
    std::string sql =
        "WITH RECURSIVE seen AS ("
        "SELECT s.identifier_id, r.user_id, COUNT(DISTINCT r.match_id) AS matches, "
        "MIN(r.day) AS first_day, MAX(r.day) AS last_day "
        "FROM sightings s JOIN recordings r ON r.id = s.recording_id "
        "GROUP BY s.identifier_id, r.user_id), "
        "shared AS ("
        "SELECT seen.identifier_id, COUNT(*) AS accounts "
        "FROM seen JOIN identifiers i ON i.id = seen.identifier_id" + where + " "
        "GROUP BY seen.identifier_id "
        "HAVING COUNT(*) >= 2 AND COUNT(*) <= " + num(q.common) + "), "
        "pairs AS ("
        "SELECT sh.identifier_id, sh.accounts, a.user_id AS user_a, b.user_id AS user_b, "
        "a.matches AS matches_a, b.matches AS matches_b, a.first_day AS first_day_a, a.last_day AS last_day_a, "
        "b.first_day AS first_day_b, b.last_day AS last_day_b "
        "FROM shared sh "
        "JOIN seen a ON a.identifier_id = sh.identifier_id "
        "JOIN seen b ON b.identifier_id = sh.identifier_id AND a.user_id < b.user_id), "
        "strengths AS ("
        "SELECT user_a, user_b, COUNT(*) AS shared, " + strength + " AS strength "
        "FROM pairs GROUP BY user_a, user_b HAVING " + strength + " >= " + least + ")";
    if (q.user)
        sql += ", cluster (user_id) AS ("
               "SELECT CAST(" + num(*q.user) + " AS BIGINT) "
               "UNION "
               "SELECT CAST(CASE WHEN st.user_a = c.user_id THEN st.user_b ELSE st.user_a END AS BIGINT) "
               "FROM strengths st JOIN cluster c ON st.user_a = c.user_id OR st.user_b = c.user_id)";
    sql += " SELECT p.user_a, p.user_b, st.strength, st.shared, i.kind, i.value AS identifier, i.weak, i.mark, "
           "p.accounts, p.matches_a, p.matches_b, p.first_day_a, p.last_day_a, p.first_day_b, p.last_day_b "
           "FROM pairs p JOIN strengths st ON st.user_a = p.user_a AND st.user_b = p.user_b "
           "JOIN identifiers i ON i.id = p.identifier_id";
    if (q.user) sql += " WHERE p.user_a IN (SELECT user_id FROM cluster)";
    sql += " ORDER BY st.strength DESC, p.user_a, p.user_b, i.id";
    return sql;
}

std::string findSql(const FindQuestion& q, std::string& error) {
    const int asked = int(!q.program.empty()) + int(!q.path.empty()) + int(!q.remote.empty());
    if (asked != 1) {
        error = "give exactly one of --program, --path and --remote";
        return {};
    }
    for (const auto* d : {&q.from, &q.to})
        if (!d->empty() && !isDay(*d)) {
            error = "a day is YYYY-MM-DD: " + *d;
            return {};
        }
    if (!q.remote.empty()) {
        Remote r;
        if (!parseRemote(q.remote, r)) {
            error = "--remote takes an IPv4 address, IP[/BITS][:PORT]: " + q.remote;
            return {};
        }
        std::string where = "c.remote_address >= " + num(r.first) + " AND c.remote_address <= " + num(r.last);
        if (r.port) where += " AND c.remote_port = " + num(*r.port);
        return "SELECT r.day, r.user_id, r.match_id, r.started, c.protocol, c.remote_ip, c.remote_port, "
               "g.path AS program, COUNT(*) AS connections, MIN(c.opened) AS first_opened, "
               "MAX(c.closed) AS last_closed, MAX(c.still_open) AS still_open "
               "FROM connections c JOIN recordings r ON r.id = c.recording_id "
               "LEFT JOIN programs g ON g.id = c.program_id "
               "WHERE " + where + dayFilter(q) + " "
               "GROUP BY r.id, r.day, r.user_id, r.match_id, r.started, c.protocol, c.remote_address, c.remote_ip, "
               "c.remote_port, g.id, g.path "
               "ORDER BY r.day, r.user_id, r.match_id, r.id, c.remote_address, COALESCE(c.remote_port, -1), "
               "c.protocol, COALESCE(g.id, 0)";
    }
    // The programs first (a few), then their processes by index.
    // Names are stored folded (foldCase); what is asked is folded alike.
    const auto folded = [](const std::string& text) { return foldCase(utf8::fromNarrow(text)); };
    const std::string match = !q.program.empty() ? "p.name_lower = " + quote(folded(q.program))
                                                  : "p.path_lower LIKE " + quote(containsPattern(folded(q.path))) +
                                                        " ESCAPE '\\'";
    const std::string where = "x.program_id IN (SELECT p.id FROM programs p WHERE " + match + ")";
    return "SELECT r.day, r.user_id, r.match_id, r.started, g.path AS program, COUNT(*) AS processes, "
           "MIN(x.started) AS first_started, MAX(x.ended) AS last_ended, MAX(x.already_running) AS already_running, "
           "MAX(x.still_running) AS still_running "
           "FROM processes x JOIN programs g ON g.id = x.program_id JOIN recordings r ON r.id = x.recording_id "
           "WHERE " + where + dayFilter(q) + " "
           "GROUP BY r.id, r.day, r.user_id, r.match_id, r.started, g.id, g.path "
           "ORDER BY r.day, r.user_id, r.match_id, r.id, g.id";
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
    std::string where = " WHERE 1 = 1";
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
            nlohmann::ordered_json row = nlohmann::ordered_json::object();
            for (int i = 0; i < n; ++i) {
                auto& v = row[names[std::size_t(i)]];
                switch (s.type(i)) {
                case SQLITE_INTEGER: v = s.integer(i); break;
                case SQLITE_FLOAT: v = s.real(i); break;
                case SQLITE_NULL: v = nullptr; break;
                default: v = s.text(i);
                }
            }
            out << row.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
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
