// vtl links: pairs of accounts that share a machine identifier, as one SELECT.
#include "index/queries.h"
#include "index/queries_sql.h"

#include <cstdio>

namespace vt {
namespace index {

using sql::num;

namespace {

// The tables every form of the question starts from: seen (each account's
// matches and days with each identifier), shared (identifiers on 2..common
// accounts), pairs (one row per pair and identifier), strengths (the pairs
// strong enough), cluster (with a user), near (the sightings of shared
// identifiers) and meets (a match in which both of a pair reported one at
// overlapping times).
std::string commonTables(const LinksQuestion& q) {
    std::string where = q.weak ? " WHERE 1 = 1" : " WHERE i.weak = 0";
    if (!q.kind.empty()) where += " AND i.kind = " + quote(q.kind);
    const std::string days = sql::dayRange("r.day", q.from, q.to);
    char least[32];
    std::snprintf(least, sizeof least, "%.3f", q.strength);
    // An identifier on n accounts weighs 2/n: 1 when only the two share it.
    const std::string strength = "ROUND(SUM(2.0 / accounts), 3)";
    std::string out =
        "WITH RECURSIVE seen AS ("
        "SELECT s.identifier_id, r.user_id, COUNT(DISTINCT r.match_id) AS matches, "
        "MIN(r.day) AS first_day, MAX(r.day) AS last_day "
        "FROM sightings s JOIN recordings r ON r.id = s.recording_id"
        + (days.empty() ? std::string() : " WHERE 1 = 1" + days) + " "
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
        "FROM pairs GROUP BY user_a, user_b HAVING " + strength + " >= " + least + "), ";
    if (q.user)
        out += "cluster (user_id) AS ("
               "SELECT CAST(" + num(*q.user) + " AS BIGINT) "
               "UNION "
               "SELECT CAST(CASE WHEN st.user_a = c.user_id THEN st.user_b ELSE st.user_a END AS BIGINT) "
               "FROM strengths st JOIN cluster c ON st.user_a = c.user_id OR st.user_b = c.user_id), ";
    // A recording without its end (never closed) counts as the moment it started.
    out += "near AS ("
           "SELECT s.identifier_id, r.user_id, r.match_id, r.started, COALESCE(r.ended, r.started) AS ended "
           "FROM shared sh JOIN sightings s ON s.identifier_id = sh.identifier_id "
           "JOIN recordings r ON r.id = s.recording_id WHERE 1 = 1" + days + "), "
           "meets AS ("
           "SELECT DISTINCT a.identifier_id, a.user_id AS user_a, b.user_id AS user_b, a.match_id "
           "FROM near a JOIN near b ON b.identifier_id = a.identifier_id AND b.match_id = a.match_id "
           "AND a.user_id < b.user_id AND a.started <= b.ended AND b.started <= a.ended)";
    return out;
}

std::string inCluster(const LinksQuestion& q, const std::string& column) {
    return q.user ? " WHERE " + column + " IN (SELECT user_id FROM cluster)" : std::string();
}

// One row per pair and identifier.
std::string identifierRows(const LinksQuestion& q) {
    return commonTables(q) +
           ", together AS (SELECT identifier_id, user_a, user_b, COUNT(*) AS same_time FROM meets "
           "GROUP BY identifier_id, user_a, user_b) "
           "SELECT p.user_a, p.user_b, st.strength, st.shared, i.kind, i.value AS identifier, i.weak, i.mark, "
           "p.accounts, p.matches_a, p.matches_b, p.first_day_a, p.last_day_a, p.first_day_b, p.last_day_b, "
           "COALESCE(t.same_time, 0) AS same_time "
           "FROM pairs p JOIN strengths st ON st.user_a = p.user_a AND st.user_b = p.user_b "
           "JOIN identifiers i ON i.id = p.identifier_id "
           "LEFT JOIN together t ON t.identifier_id = p.identifier_id AND t.user_a = p.user_a "
           "AND t.user_b = p.user_b" +
           inCluster(q, "p.user_a") + " ORDER BY st.strength DESC, p.user_a, p.user_b, i.id";
}

// One row per pair: its identifiers joined into one text ("volume da450130,
// mac 00-1b-21-aa-bb-cc", in the order they were first indexed) by a
// recursive join, which both engines read (they share no aggregate that
// joins texts).
std::string pairRows(const LinksQuestion& q) {
    return commonTables(q) +
           ", ranked AS ("
           "SELECT p.user_a, p.user_b, i.kind || ' ' || i.value AS item, "
           "ROW_NUMBER() OVER (PARTITION BY p.user_a, p.user_b ORDER BY i.id) AS n "
           "FROM pairs p JOIN strengths st ON st.user_a = p.user_a AND st.user_b = p.user_b "
           "JOIN identifiers i ON i.id = p.identifier_id), "
           "listed (user_a, user_b, n, identifiers) AS ("
           "SELECT user_a, user_b, n, CAST(item AS TEXT) FROM ranked WHERE n = 1 "
           "UNION ALL "
           "SELECT l.user_a, l.user_b, r.n, CAST(l.identifiers || ', ' || r.item AS TEXT) "
           "FROM listed l JOIN ranked r ON r.user_a = l.user_a AND r.user_b = l.user_b AND r.n = l.n + 1), "
           "evidence AS ("
           "SELECT p.user_a, p.user_b, SUM(i.weak) AS weak, MIN(p.first_day_a) AS first_day_a, "
           "MAX(p.last_day_a) AS last_day_a, MIN(p.first_day_b) AS first_day_b, MAX(p.last_day_b) AS last_day_b "
           "FROM pairs p JOIN identifiers i ON i.id = p.identifier_id GROUP BY p.user_a, p.user_b), "
           // A side's matches with any of the pair's identifiers, each once.
           "sides AS ("
           "SELECT p.user_a, p.user_b, p.user_a AS user_id, p.identifier_id FROM pairs p "
           "UNION ALL SELECT p.user_a, p.user_b, p.user_b, p.identifier_id FROM pairs p), "
           "played AS ("
           "SELECT s.user_a, s.user_b, s.user_id, COUNT(DISTINCT n.match_id) AS matches "
           "FROM sides s JOIN near n ON n.identifier_id = s.identifier_id AND n.user_id = s.user_id "
           "GROUP BY s.user_a, s.user_b, s.user_id), "
           "together AS (SELECT user_a, user_b, COUNT(DISTINCT match_id) AS same_time FROM meets "
           "GROUP BY user_a, user_b) "
           "SELECT st.user_a, st.user_b, st.strength, st.shared, l.identifiers, e.weak, ma.matches AS matches_a, "
           "mb.matches AS matches_b, "
           "e.first_day_a, e.last_day_a, e.first_day_b, e.last_day_b, COALESCE(t.same_time, 0) AS same_time "
           "FROM strengths st "
           "JOIN listed l ON l.user_a = st.user_a AND l.user_b = st.user_b AND l.n = st.shared "
           "JOIN evidence e ON e.user_a = st.user_a AND e.user_b = st.user_b "
           "JOIN played ma ON ma.user_a = st.user_a AND ma.user_b = st.user_b AND ma.user_id = st.user_a "
           "JOIN played mb ON mb.user_a = st.user_a AND mb.user_b = st.user_b AND mb.user_id = st.user_b "
           "LEFT JOIN together t ON t.user_a = st.user_a AND t.user_b = st.user_b" +
           inCluster(q, "st.user_a") + " ORDER BY st.strength DESC, st.user_a, st.user_b";
}

}  // namespace

std::string linksSql(const LinksQuestion& q, std::string& error) {
    error = checkDays(q.from, q.to);
    if (!error.empty()) return {};
    if (!q.kind.empty() && q.kind != "volume" && q.kind != "mac") {
        error = "--kind is volume or mac: " + q.kind;
        return {};
    }
    return q.pairs ? pairRows(q) : identifierRows(q);
}

}  // namespace index
}  // namespace vt
