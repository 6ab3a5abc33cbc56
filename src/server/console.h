// The operators' console inside the server: HTML pages and a JSON API over
// the index's questions, behind a login. What its parts share.
#pragma once

#include "index/queries.h"
#include "server/registry.h"
#include "server/server.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vt {
namespace server {
namespace console {

using Row = nlohmann::ordered_json;
using Rows = std::vector<Row>;

// Every answer of the console carries this policy unless it set its own.
extern const char kPolicy[];

// Text from a log or a request, safe in markup and attributes.
std::string esc(const std::string& text);
// A page of the console around body: its head, navigation and logout form (with who).
std::string layout(const std::string& title, const std::string& body, const struct Who* who);
// Percent-encoded for a URL's path or query ("/" kept).
std::string urlEncode(const std::string& text);
void sendPage(httplib::Response& res, int status, const std::string& html);
void sendJson(httplib::Response& res, int status, const nlohmann::ordered_json& body);

// The operator behind a request.
struct Who {
    std::string name, csrf;
};

// Logins, sessions and the CSRF tokens of forms.
class Auth {
public:
    Auth(Registry& registry, const Options& options, bool tls);

    std::int64_t now() const;
    // The operator of the request's session cookie, if it is one in force;
    // its idle time starts again. A bearer token is no session.
    std::optional<Who> who(const httplib::Request& req);
    // Whether a state-changing request carries its session's CSRF token
    // (form field csrf, or header X-CSRF-Token).
    static bool csrfGiven(const httplib::Request& req, const Who& who);

    void loginPage(const httplib::Request& req, httplib::Response& res, int status = 200,
                   const std::string& note = {});
    void login(const httplib::Request& req, httplib::Response& res);
    void logout(const httplib::Request& req, httplib::Response& res);

private:
    // Failed logins in the last 15 minutes, by "address:" or "name:" key.
    struct Failures {
        std::mutex mutex;
        std::map<std::string, std::deque<std::int64_t>> times;
    };
    // Seconds until a login of this address or name may be tried again; 0: now.
    std::int64_t lockedFor(const std::string& address, const std::string& name);
    void failed(const std::string& address, const std::string& name);
    std::string loginCsrf(const std::string& cookie) const;
    std::string cookieAttributes() const;

    Registry& registry_;
    const Options& options_;
    const bool tls_;
    std::string key_;  // signs the login form's tokens
    std::string dummyHash_;
    Failures failures_;
    std::mutex hashing_;  // one password hash at a time: each takes 64 MiB
};

// A cookie's value from the request's Cookie headers; empty when absent.
std::string cookie(const httplib::Request& req, const std::string& name);
// A parameter, or empty.
std::string param(const httplib::Request& req, const char* name);

// The index's rows for the console, on a read-only connection.
class Data {
public:
    explicit Data(const std::string& database);
    ~Data();
    bool ready() const { return db_ != nullptr; }
    // Rows of a statement, each column by name (as printRows gives them).
    Rows rows(const std::string& sql, const std::vector<std::string>& binds = {});
    // Rows of one of the index's questions, exactly as its --json prints them.
    Rows question(const std::string& sql);

private:
    std::unique_ptr<index::Db> db_;
};

struct MatchFilter {
    std::string user, match, from, to, program, path, remote, identifier;
    std::int64_t page = 0;
};
constexpr int kPageRows = 50;
// Recordings for the filter (at most kPageRows + 1 of them); empty with the
// reason in error when the filter is not well formed.
Rows matches(Data& data, const MatchFilter& f, std::string& error);
MatchFilter matchFilter(const httplib::Request& req);

// The recordings that reported an identifier, as `vtl find --identifier` gives
// them (kind: mac, volume or empty); empty with the reason in error.
Rows identifierRows(Data& data, const std::string& kind, const std::string& value, std::string& error);
Rows accountIdentifiers(Data& data, std::int64_t user);

// The recording with its files, and what the store knows of each.
struct StoredFile {
    std::string sha256, path, state, token, arrived;  // path: in the store, empty when not there
    bool current = false;
};
struct Recording {
    Row row;
    std::vector<StoredFile> files;
};
std::optional<Recording> recording(Data& data, Registry& registry, const std::string& store, std::int64_t id);

// Whether text is a whole decimal number that fits; value takes it.
bool number(const std::string& text, std::int64_t& value);

// SVG drawings (console_graph.cpp).
std::string clusterSvg(std::int64_t user, const Rows& pairs);
std::string chartSvg(const std::string& title, const Rows& rows, const std::vector<std::string>& columns,
                     const std::string& unit);

// Shared by the pages and the API (console_pages.cpp).
std::string matchTable(const Rows& rows, std::size_t most);
bool linksAsked(const httplib::Request& req, index::LinksQuestion& q, std::string& error);
bool trendAsked(const httplib::Request& req, index::TrendQuestion& q, std::string& error);

// Routes (console_pages.cpp, console_api.cpp, console_files.cpp).
struct Context {
    Auth& auth;
    Registry& registry;
    const Options& options;
    std::string store;
};
using Handler = std::function<void(const httplib::Request&, httplib::Response&, const Who&)>;
// A page's handler behind the session check: without one, 303 to /login.
httplib::Server::Handler page(Context& c, Handler fn);
// An API answer's: without a session, 401 {"error": ...}.
httplib::Server::Handler api(Context& c, Handler fn);
void addPages(httplib::Server& http, Context& c);
void addApi(httplib::Server& http, Context& c);
void addFiles(httplib::Server& http, Context& c);

}  // namespace console

// Adds the console's routes; the context lives as long as the server.
class Console {
public:
    Console(Registry& registry, const Options& options, const std::string& store, bool tls);
    ~Console();
    void addRoutes(httplib::Server& http);

private:
    console::Auth auth_;
    console::Context context_;
};

}  // namespace server
}  // namespace vt
