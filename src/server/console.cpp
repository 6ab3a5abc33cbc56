// The console's frame: its routes, the headers of every answer, its page
// layout, and its style and script (console.css, console.js).
#include "server/console.h"

#include "report/text.h"
#include "server/console_assets.h"

#include <cctype>

namespace vt {
namespace server {
namespace console {

const char kPolicy[] = "default-src 'none'; style-src 'self'; img-src 'self' data:; script-src 'self'; "
                       "connect-src 'self'; form-action 'self'; frame-ancestors 'none'; base-uri 'none'";

std::string esc(const std::string& text) { return report::escapeHtml(text); }

std::string layout(const std::string& title, const std::string& body, const Who* who) {
    std::string out = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                      "<meta name=\"viewport\" content=\"width=device-width\"><title>" +
                      esc(title) + " \xe2\x80\x93 vantorelle console</title>"
                      "<link rel=\"stylesheet\" href=\"/console.css\"></head><body><header>"
                      "<strong class=\"brand\">vantorelle</strong>";
    if (who) {
        out += "<nav><a href=\"/matches\">Matches</a><a href=\"/identifier\">Identifier</a>"
               "<a href=\"/trends\">Trends</a></nav>"
               "<form id=\"logout\" method=\"post\" action=\"/logout\"><input type=\"hidden\" name=\"csrf\" value=\"" +
               esc(who->csrf) + "\"><span class=\"who\">" + esc(who->name) +
               "</span> <button type=\"submit\">Log out</button></form>";
    }
    out += "</header><main>" + body + "</main><script src=\"/console.js\"></script></body></html>\n";
    return out;
}

void sendPage(httplib::Response& res, int status, const std::string& html) {
    res.status = status;
    res.set_content(html, "text/html; charset=utf-8");
}

void sendJson(httplib::Response& res, int status, const nlohmann::ordered_json& body) {
    res.status = status;
    res.set_content(body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n",
                    "application/json");
}

std::string urlEncode(const std::string& text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
            out += char(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

namespace {

template <bool Page>
httplib::Server::Handler guarded(Context& c, Handler fn) {
    return [&c, fn](const httplib::Request& req, httplib::Response& res) {
        const auto who = c.auth.who(req);
        if (!who) {
            if (Page) {
                std::string next = req.path;
                if (!req.params.empty()) next = req.target;
                res.set_redirect("/login?next=" + urlEncode(next), 303);
            } else {
                sendJson(res, 401, {{"error", "an operator's session is needed (log in at /login)"}});
            }
            return;
        }
        try {
            fn(req, res, *who);
        } catch (const std::exception& e) {
            const std::string why = std::string("the index cannot answer: ") + e.what();
            if (Page) sendPage(res, 500, layout("Failed", "<h1>Failed</h1><p>" + esc(why) + "</p>", &*who));
            else sendJson(res, 500, {{"error", why}});
        }
    };
}

}  // namespace

httplib::Server::Handler page(Context& c, Handler fn) { return guarded<true>(c, std::move(fn)); }
httplib::Server::Handler api(Context& c, Handler fn) { return guarded<false>(c, std::move(fn)); }

}  // namespace console

Console::Console(Registry& registry, const Options& options, const std::string& store, bool tls)
    : auth_(registry, options, tls), context_{auth_, registry, options, store} {}

Console::~Console() = default;

void Console::addRoutes(httplib::Server& http) {
    using namespace console;
    http.Get("/console.css", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(kConsoleStyle, "text/css; charset=utf-8");
    });
    http.Get("/console.js", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(kConsoleScript, "text/javascript; charset=utf-8");
    });
    http.Get("/login", [this](const httplib::Request& req, httplib::Response& res) { auth_.loginPage(req, res); });
    http.Post("/login", [this](const httplib::Request& req, httplib::Response& res) { auth_.login(req, res); });
    http.Post("/logout", [this](const httplib::Request& req, httplib::Response& res) { auth_.logout(req, res); });
    addPages(http, context_);
    addFiles(http, context_);
    addApi(http, context_);
    // Every answer, errors included: nothing from elsewhere, never framed, never kept.
    http.set_post_routing_handler([](const httplib::Request&, httplib::Response& res) {
        if (!res.has_header("Content-Security-Policy")) res.set_header("Content-Security-Policy", kPolicy);
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("Referrer-Policy", "no-referrer");
        if (!res.has_header("Cache-Control")) res.set_header("Cache-Control", "no-store");
    });
}

}  // namespace server
}  // namespace vt
