// The console's JSON API under /api/v1: the rows of each page, as the CLI's
// --json prints them, in {"rows": [...]}. Every read needs a session; an
// upload token grants none.
#include "server/console.h"

#include "index/queries.h"

namespace vt {
namespace server {
namespace console {

namespace {

nlohmann::ordered_json rowsOf(Rows rows) {
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    out["rows"] = nlohmann::ordered_json::array();
    for (auto& r : rows) out["rows"].push_back(std::move(r));
    return out;
}

void refuse(httplib::Response& res, int status, const std::string& why) { sendJson(res, status, {{"error", why}}); }

void apiMatches(Context& c, const httplib::Request& req, httplib::Response& res) {
    const MatchFilter f = matchFilter(req);
    std::string error;
    Data data(c.options.database);
    Rows rows = matches(data, f, error);
    if (!error.empty()) return refuse(res, 400, error);
    const bool more = rows.size() > std::size_t(kPageRows);
    if (more) rows.pop_back();
    auto out = rowsOf(std::move(rows));
    out["more"] = more;
    sendJson(res, 200, out);
}

void apiMatch(Context& c, const httplib::Request& req, httplib::Response& res) {
    std::int64_t id = 0;
    std::optional<Recording> r;
    if (number(req.matches[1], id)) {
        Data data(c.options.database);
        r = recording(data, c.registry, c.store, id);
    }
    if (!r) return refuse(res, 404, "no such match");
    Rows files;
    for (const auto& f : r->files) {
        Row row = r->row;
        row["file_sha256"] = f.sha256;
        row["file_state"] = f.state;
        row["current"] = f.current;
        row["token"] = f.token;
        row["arrived"] = f.arrived;
        row["stored"] = !f.path.empty();
        files.push_back(std::move(row));
    }
    sendJson(res, 200, rowsOf(std::move(files)));
}

void apiAccount(Context& c, const httplib::Request& req, httplib::Response& res) {
    std::int64_t user = 0;
    if (!number(req.matches[1], user)) return refuse(res, 404, "no such account");
    index::LinksQuestion q;
    q.user = user;
    std::string error;
    if (!linksAsked(req, q, error)) return refuse(res, 400, error);
    Data data(c.options.database);
    MatchFilter f;
    f.user = std::to_string(user);
    Rows mine = matches(data, f, error);
    if (mine.size() > std::size_t(kPageRows)) mine.pop_back();
    auto out = rowsOf(accountIdentifiers(data, user));
    out["matches"] = mine;
    const std::string sql = index::linksSql(q, error);
    if (sql.empty()) return refuse(res, 400, error);
    out["links"] = data.question(sql);
    sendJson(res, 200, out);
}

void apiLinks(Context& c, const httplib::Request& req, httplib::Response& res) {
    index::LinksQuestion q;
    std::string error;
    const std::string user = param(req, "user");
    std::int64_t n = 0;
    if (!user.empty()) {
        if (!number(user, n)) return refuse(res, 400, "a user is a number: " + user);
        q.user = n;
    }
    if (!linksAsked(req, q, error)) return refuse(res, 400, error);
    const std::string pairs = param(req, "pairs");
    if (!pairs.empty() && pairs != "0" && pairs != "1") return refuse(res, 400, "pairs is 0 or 1");
    q.pairs = pairs == "1";
    const std::string sql = index::linksSql(q, error);
    if (sql.empty()) return refuse(res, 400, error);
    Data data(c.options.database);
    sendJson(res, 200, rowsOf(data.question(sql)));
}

void apiTrend(Context& c, const httplib::Request& req, httplib::Response& res) {
    index::TrendQuestion q;
    std::string error;
    if (!trendAsked(req, q, error)) return refuse(res, 400, error);
    const std::string sql = index::trendSql(q, error);
    if (sql.empty()) return refuse(res, 400, error);
    Data data(c.options.database);
    sendJson(res, 200, rowsOf(data.question(sql)));
}

void apiIdentifier(Context& c, const httplib::Request& req, httplib::Response& res) {
    std::string error;
    Data data(c.options.database);
    Rows rows = identifierRows(data, param(req, "kind"), param(req, "value"), error);
    if (!error.empty()) return refuse(res, 400, error);
    sendJson(res, 200, rowsOf(std::move(rows)));
}

using ApiFn = void (*)(Context&, const httplib::Request&, httplib::Response&);

}  // namespace

void addApi(httplib::Server& http, Context& c) {
    const std::pair<const char*, ApiFn> routes[] = {
        {"/api/v1/matches", apiMatches},     {R"(/api/v1/match/([^/]+))", apiMatch},
        {R"(/api/v1/account/([^/]+))", apiAccount}, {"/api/v1/links", apiLinks},
        {"/api/v1/trend", apiTrend},         {"/api/v1/identifier", apiIdentifier},
    };
    for (const auto& [path, fn] : routes)
        http.Get(path, api(c, [&c, fn = fn](const httplib::Request& req, httplib::Response& res, const Who&) {
            fn(c, req, res);
        }));
    // Anything else under the API still needs a session before it is told there is nothing there.
    http.Get("/api/v1/.*", api(c, [](const httplib::Request&, httplib::Response& res, const Who&) {
        refuse(res, 404, "no such place on this server");
    }));
}

}  // namespace console
}  // namespace server
}  // namespace vt
