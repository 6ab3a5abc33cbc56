// The console's pages: matches, an account with its links and cluster, an
// identifier, and trends. Every text from a log is escaped where it is written.
#include "server/console.h"

#include "index/queries.h"

#include <map>
#include <set>

namespace vt {
namespace server {
namespace console {

namespace {

const char kLinkWords[] =
    "A link is evidence, not a verdict. It says that two accounts recorded matches on a machine that reported "
    "the same volume id or MAC: the same player on two accounts, but just as well brothers on the family "
    "computer, a gaming caf\xc3\xa9, a school lab, a machine sold on, a cloned disk image, or an address set by "
    "software. Both identifiers come from the player's own machine and can be changed or copied by anyone who "
    "wants to; a log can be re-sealed, so a log that links two accounts may have been made to. A link says "
    "where to look: the matches, the days and the other evidence decide, and a person decides.";

std::string cell(const Row& r, const char* key) {
    const auto it = r.find(key);
    if (it == r.end() || it->is_null()) return {};
    if (it->is_string()) return esc(it->get<std::string>());
    if (it->is_number_float()) {
        char text[32];
        std::snprintf(text, sizeof text, "%.3g", it->get<double>());
        return text;
    }
    return esc(it->dump());
}

std::string input(const httplib::Request& req, const char* name, const char* label, const char* type = "text") {
    return std::string("<label>") + label + " <input name=\"" + name + "\" type=\"" + type + "\" value=\"" +
           esc(param(req, name)) + "\"></label>";
}

std::string errorNote(const std::string& error) {
    return error.empty() ? std::string() : "<p class=\"note\" role=\"alert\">" + esc(error) + "</p>";
}

}  // namespace

std::string matchTable(const Rows& rows, std::size_t most) {
    std::string t = "<table id=\"matches\"><thead><tr><th>Match</th><th>Account</th><th>Day</th><th>Started</th>"
                    "<th>Ended</th><th>State</th><th>Records</th></tr></thead><tbody>";
    for (std::size_t i = 0; i < rows.size() && i < most; ++i) {
        const Row& r = rows[i];
        t += "<tr><td><a class=\"match\" href=\"/match/" + cell(r, "id") + "\">" + cell(r, "match_id") +
             "</a></td><td><a class=\"account\" href=\"/account/" + cell(r, "user_id") + "\">" + cell(r, "user_id") +
             "</a></td><td>" + cell(r, "day") + "</td><td>" + cell(r, "started") + "</td><td>" + cell(r, "ended") +
             "</td><td>" + cell(r, "state") + "</td><td>" + cell(r, "records") + "</td></tr>";
    }
    return t + "</tbody></table>";
}

namespace {

void matchesPage(Context& c, const httplib::Request& req, httplib::Response& res, const Who& who) {
    const MatchFilter f = matchFilter(req);
    std::string error;
    Data data(c.options.database);
    const Rows rows = matches(data, f, error);
    std::string body = "<h1>Matches</h1><form id=\"search\" method=\"get\" action=\"/matches\">" +
                       input(req, "user", "User") + input(req, "match", "Match") +
                       input(req, "from", "From", "date") + input(req, "to", "To", "date") +
                       input(req, "program", "Program") + input(req, "path", "Path contains") +
                       input(req, "remote", "Remote (IP[/BITS][:PORT])") + input(req, "identifier", "Identifier") +
                       "<button type=\"submit\">Search</button></form>" + errorNote(error);
    body += matchTable(rows, kPageRows);
    if (rows.empty() && error.empty()) body += "<p>No recording answers this search.</p>";
    if (rows.size() > std::size_t(kPageRows)) {
        std::string next = "/matches?";
        for (const char* k : {"user", "match", "from", "to", "program", "path", "remote", "identifier"})
            if (!param(req, k).empty()) next += std::string(k) + "=" + urlEncode(param(req, k)) + "&";
        next += "page=" + std::to_string(f.page + 1);
        body += "<p><a rel=\"next\" href=\"" + esc(next) + "\">Next " + std::to_string(kPageRows) + "</a></p>";
    }
    sendPage(res, error.empty() ? 200 : 400, layout("Matches", body, &who));
}

std::string identifierLink(const Row& r, const char* valueKey) {
    const auto& kind = r.find("kind");
    const auto& value = r.find(valueKey);
    if (kind == r.end() || value == r.end() || !kind->is_string() || !value->is_string()) return cell(r, valueKey);
    return "<a class=\"identifier\" href=\"/identifier?kind=" + urlEncode(kind->get<std::string>()) +
           "&amp;value=" + esc(urlEncode(value->get<std::string>())) + "\">" + esc(value->get<std::string>()) +
           "</a>";
}

bool truthy(const Row& r, const char* key) {
    const auto it = r.find(key);
    if (it == r.end() || it->is_null()) return false;
    if (it->is_boolean()) return it->get<bool>();
    if (it->is_number()) return it->get<double>() != 0;
    return false;
}

// The identifiers of a pair's row ("volume da450130, mac 00-1b-...") each as a link.
std::string identifierLinks(const std::string& listed) {
    std::string out;
    std::size_t at = 0;
    while (at <= listed.size()) {
        std::size_t end = listed.find(", ", at);
        if (end == std::string::npos) end = listed.size();
        const std::string item = listed.substr(at, end - at);
        const std::size_t space = item.find(' ');
        const std::string kind = item.substr(0, space);
        if (space != std::string::npos && (kind == "mac" || kind == "volume")) {
            Row r{{"kind", kind}, {"value", item.substr(space + 1)}};
            out += "<div>" + esc(kind) + " " + identifierLink(r, "value") + "</div>";
        } else if (!item.empty()) {
            out += "<div>" + esc(item) + "</div>";
        }
        at = end + 2;
    }
    return out;
}

// One row per account linked to `user` (the pairs of its cluster it is in).
std::string linksTable(std::int64_t user, const Rows& pairs) {
    std::string t = "<table id=\"links\"><thead><tr><th>Account</th><th>Identifiers</th><th>Weak</th>"
                    "<th>Matches (this, that)</th><th>Days (this; that)</th><th>Strength</th><th>Same time</th>"
                    "</tr></thead><tbody>";
    std::size_t shown = 0;
    for (const Row& r : pairs) {
        const std::int64_t a = r.value("user_a", std::int64_t(0)), b = r.value("user_b", std::int64_t(0));
        if (a != user && b != user) continue;
        ++shown;
        const bool mine = a == user;
        const std::string o = std::to_string(mine ? b : a);
        const std::string sameTime = cell(r, "same_time");
        const auto ids = r.find("identifiers");
        t += "<tr><td><a class=\"account\" href=\"/account/" + o + "\">" + o + "</a></td><td>" +
             (ids != r.end() && ids->is_string() ? identifierLinks(ids->get<std::string>()) : std::string()) +
             "</td><td>" + (truthy(r, "weak") ? "weak (" + cell(r, "weak") + ")" : std::string()) + "</td><td>" +
             cell(r, mine ? "matches_a" : "matches_b") + ", " + cell(r, mine ? "matches_b" : "matches_a") +
             "</td><td>" + cell(r, mine ? "first_day_a" : "first_day_b") + " \xe2\x80\x93 " +
             cell(r, mine ? "last_day_a" : "last_day_b") + "; " + cell(r, mine ? "first_day_b" : "first_day_a") +
             " \xe2\x80\x93 " + cell(r, mine ? "last_day_b" : "last_day_a") + "</td><td>" + cell(r, "strength") +
             "</td><td>" +
             (truthy(r, "same_time") ? "<strong class=\"flag\">same time (" + sameTime + " matches)</strong>"
                                     : std::string()) +
             "</td></tr>";
    }
    if (!shown) t += "<tr><td colspan=\"7\">No account is linked at these settings.</td></tr>";
    return t + "</tbody></table>";
}

}  // namespace

// The question of /account and /api/v1/links from the request; false with the reason.
bool linksAsked(const httplib::Request& req, index::LinksQuestion& q, std::string& error) {
    std::int64_t n = 0;
    const std::string common = param(req, "common"), weak = param(req, "weak"), strength = param(req, "min-strength");
    if (!common.empty()) {
        if (!number(common, n) || n < 2) return error = "common is a number of accounts, 2 or more", false;
        q.common = n;
    }
    if (!weak.empty()) {
        if (weak != "0" && weak != "1") return error = "weak is 0 or 1", false;
        q.weak = weak == "1";
    }
    if (!strength.empty()) {
        try {
            std::size_t used = 0;
            q.strength = std::stod(strength, &used);
            if (used != strength.size() || !(q.strength >= 0)) throw std::invalid_argument("");
        } catch (const std::exception&) {
            return error = "min-strength is a number, 0 or more", false;
        }
    }
    q.from = param(req, "from");
    q.to = param(req, "to");
    return true;
}

namespace {

void accountPage(Context& c, const httplib::Request& req, httplib::Response& res, const Who& who) {
    std::int64_t user = 0;
    if (!number(req.matches[1], user)) {
        sendPage(res, 404, layout("No such account", "<h1>No such account</h1>", &who));
        return;
    }
    Data data(c.options.database);
    std::string error;
    index::LinksQuestion q;
    q.user = user;
    q.pairs = true;
    const bool asked = linksAsked(req, q, error);
    const std::string sql = asked ? index::linksSql(q, error) : std::string();
    MatchFilter f;
    f.user = std::to_string(user);
    const Rows mine = matches(data, f, error);
    const Rows ids = accountIdentifiers(data, user);
    const Rows pairs = sql.empty() ? Rows() : data.question(sql);
    const std::string u = std::to_string(user);
    std::string body = "<h1>Account " + u + "</h1>" + errorNote(error) +
                       "<form id=\"link-settings\" method=\"get\" action=\"/account/" + u + "\">" +
                       input(req, "common", "Common at most", "number") + input(req, "weak", "Weak (0 or 1)") +
                       input(req, "from", "From", "date") + input(req, "to", "To", "date") +
                       "<button type=\"submit\">Apply</button></form>";
    body += "<section id=\"account-matches\"><h2>Matches</h2>" + matchTable(mine, kPageRows);
    if (mine.size() > std::size_t(kPageRows))
        body += "<p><a rel=\"next\" href=\"/matches?user=" + u + "&amp;page=1\">More</a></p>";
    body += "</section><section id=\"identifiers\"><h2>Identifiers</h2><table><thead><tr><th>Kind</th><th>Value</th>"
            "<th>Weak</th><th>Matches</th><th>First day</th><th>Last day</th></tr></thead><tbody>";
    for (const Row& r : ids)
        body += "<tr><td>" + cell(r, "kind") + "</td><td>" + identifierLink(r, "value") + "</td><td>" +
                (truthy(r, "weak") ? "weak" : "") + (cell(r, "mark").empty() ? "" : " (" + cell(r, "mark") + ")") +
                "</td><td>" + cell(r, "matches") + "</td><td>" + cell(r, "first_day") + "</td><td>" +
                cell(r, "last_day") + "</td></tr>";
    body += "</tbody></table></section><section id=\"linked\"><h2>Linked accounts</h2>" + linksTable(user, pairs) +
            "<div class=\"cluster\">" + clusterSvg(user, pairs) + "<p class=\"proves\">" + esc(kLinkWords) +
            "</p></div></section>";
    sendPage(res, 200, layout("Account " + u, body, &who));
}

void identifierPage(Context& c, const httplib::Request& req, httplib::Response& res, const Who& who) {
    const std::string kind = param(req, "kind");
    std::string body = "<h1>Identifier</h1><form id=\"identifier\" method=\"get\" action=\"/identifier\">"
                       "<label>Kind <select name=\"kind\"><option value=\"\">either</option>";
    for (const char* k : {"volume", "mac"})
        body += std::string("<option value=\"") + k + "\"" + (kind == k ? " selected" : "") + ">" + k + "</option>";
    body += "</select></label>" + input(req, "value", "Value, as pasted from a log") +
            "<button type=\"submit\">Look up</button></form>";
    if (param(req, "value").empty()) {
        sendPage(res, 200, layout("Identifier", body, &who));
        return;
    }
    std::string error;
    Data data(c.options.database);
    const Rows rows = identifierRows(data, kind, param(req, "value"), error);
    if (!error.empty()) {
        sendPage(res, 400, layout("Identifier", body + errorNote(error), &who));
        return;
    }
    std::set<std::int64_t> accounts;
    for (const Row& r : rows) accounts.insert(r.value("user_id", std::int64_t(0)));
    body += "<section id=\"identifier-accounts\"><h2>Accounts that reported it</h2><ul>";
    for (const auto u : accounts)
        body += "<li><a class=\"account\" href=\"/account/" + std::to_string(u) + "\">" + std::to_string(u) + "</a></li>";
    body += "</ul></section><section id=\"identifier-matches\"><h2>Matches</h2><table id=\"matches\"><thead><tr>"
            "<th>Match</th><th>Account</th><th>Day</th><th>Started</th><th>Identifier</th><th>Reported as</th>"
            "</tr></thead><tbody>";
    for (const Row& r : rows)
        body += "<tr><td><a class=\"match\" href=\"/match/" + cell(r, "recording_id") + "\">" + cell(r, "match_id") +
                "</a></td><td><a class=\"account\" href=\"/account/" + cell(r, "user_id") + "\">" +
                cell(r, "user_id") + "</a></td><td>" + cell(r, "day") + "</td><td>" + cell(r, "started") +
                "</td><td>" + cell(r, "kind") + " " + cell(r, "identifier") + "</td><td>" + cell(r, "fact") +
                "</td></tr>";
    if (rows.empty()) body += "<tr><td colspan=\"6\">No recording reported it.</td></tr>";
    sendPage(res, 200, layout("Identifier", body + "</tbody></table></section>", &who));
}

}  // namespace

bool trendAsked(const httplib::Request& req, index::TrendQuestion& q, std::string& error) {
    if (!param(req, "by").empty()) q.by = param(req, "by");
    const std::string user = param(req, "user"), rate = param(req, "rate");
    std::int64_t n = 0;
    if (!user.empty()) {
        if (!number(user, n)) return error = "a user is a number: " + user, false;
        q.user = n;
    }
    if (!rate.empty() && rate != "0" && rate != "1") return error = "rate is 0 or 1", false;
    q.rate = rate == "1";
    q.server = param(req, "server");
    q.from = param(req, "from");
    q.to = param(req, "to");
    return true;
}

namespace {

void trendsPage(Context& c, const httplib::Request& req, httplib::Response& res, const Who& who) {
    std::string body = "<h1>Trends</h1><form id=\"trends\" method=\"get\" action=\"/trends\">" +
                       input(req, "user", "User") + input(req, "server", "Ping server") +
                       "<label>By <select name=\"by\">";
    const std::string by = param(req, "by").empty() ? "day" : param(req, "by");
    for (const char* b : {"day", "week", "match"})
        body += std::string("<option") + (by == b ? " selected" : "") + ">" + b + "</option>";
    body += "</select></label>" + input(req, "from", "From", "date") + input(req, "to", "To", "date") +
            "<button type=\"submit\">Draw</button></form>";
    index::TrendQuestion ping, rate;
    std::string error, sqlPing, sqlRate;
    if (trendAsked(req, ping, error) && trendAsked(req, rate, error)) {
        ping.rate = false;
        rate.rate = true;
        sqlPing = index::trendSql(ping, error);
        if (!sqlPing.empty()) sqlRate = index::trendSql(rate, error);
    }
    if (sqlPing.empty() || sqlRate.empty()) {
        sendPage(res, 400, layout("Trends", body + errorNote(error), &who));
        return;
    }
    Data data(c.options.database);
    body += chartSvg("Ping (ms)", data.question(sqlPing), {"ping_p50", "ping_p95"}, "ms");
    body += chartSvg("Throughput (bytes/s)", data.question(sqlRate), {"tx_bytes_per_s", "rx_bytes_per_s"}, "B/s");
    sendPage(res, 200, layout("Trends", body, &who));
}

}  // namespace

void addPages(httplib::Server& http, Context& c) {
    http.Get("/", page(c, [](const httplib::Request&, httplib::Response& res, const Who&) {
        res.set_redirect("/matches", 303);
    }));
    http.Get("/matches", page(c, [&c](const httplib::Request& req, httplib::Response& res, const Who& w) {
        matchesPage(c, req, res, w);
    }));
    http.Get(R"(/account/([^/]+))", page(c, [&c](const httplib::Request& req, httplib::Response& res, const Who& w) {
        accountPage(c, req, res, w);
    }));
    http.Get("/identifier", page(c, [&c](const httplib::Request& req, httplib::Response& res, const Who& w) {
        identifierPage(c, req, res, w);
    }));
    http.Get("/trends", page(c, [&c](const httplib::Request& req, httplib::Response& res, const Who& w) {
        trendsPage(c, req, res, w);
    }));
}

}  // namespace console
}  // namespace server
}  // namespace vt
