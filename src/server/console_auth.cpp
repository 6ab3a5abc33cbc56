// Who may use the console: logins checked against argon2id hashes, limited per
// address and per name; sessions by a random id in an HttpOnly, SameSite=Strict
// cookie, kept in the registry only as its SHA-256; CSRF tokens on every form.
#include "server/console.h"

#include "common/printable.h"
#include "server/operators.h"

#include <sodium.h>

#include <ctime>

namespace vt {
namespace server {
namespace console {

namespace {

constexpr std::int64_t kWindow = 15 * 60;     // the window failed logins are counted in
constexpr std::size_t kMostFailures = 5;      // failures in it before logins are refused
constexpr std::int64_t kLoginFormLife = 30 * 60;
constexpr std::size_t kMostKeys = 100000;     // addresses and names remembered at most
constexpr std::size_t kLongestField = 1024;   // a longer name or password is wrong

// Only a path of this server, never another origin ("//host", "/\host").
bool localPath(const std::string& next) {
    if (next.size() < 1 || next[0] != '/' || next.size() > 2000) return false;
    if (next.size() > 1 && (next[1] == '/' || next[1] == '\\')) return false;
    for (unsigned char c : next)
        if (c <= 0x20 || c >= 0x7f || c == '\\') return false;
    return true;
}

}  // namespace

std::string cookie(const httplib::Request& req, const std::string& name) {
    const std::size_t headers = req.get_header_value_count("Cookie");
    for (std::size_t h = 0; h < headers; ++h) {
        const std::string line = req.get_header_value("Cookie", h);
        std::size_t at = 0;
        while (at < line.size()) {
            std::size_t end = line.find(';', at);
            if (end == std::string::npos) end = line.size();
            std::size_t b = at;
            while (b < end && line[b] == ' ') ++b;
            const std::size_t eq = line.find('=', b);
            if (eq != std::string::npos && eq < end && line.compare(b, eq - b, name) == 0) {
                std::size_t e = end;
                while (e > eq + 1 && line[e - 1] == ' ') --e;
                return line.substr(eq + 1, e - eq - 1);
            }
            at = end + 1;
        }
    }
    return {};
}

std::string param(const httplib::Request& req, const char* name) {
    return req.has_param(name) ? req.get_param_value(name) : std::string();
}

Auth::Auth(Registry& registry, const Options& options, bool tls)
    : registry_(registry), options_(options), tls_(tls), key_(crypto_auth_KEYBYTES, '\0') {
    if (sodium_init() < 0) throw std::runtime_error("libsodium cannot be initialised");
    crypto_auth_keygen(reinterpret_cast<unsigned char*>(&key_[0]));
    // A name that is no operator costs the same time as one that is.
    dummyHash_ = hashPassword(randomHex());
}

std::int64_t Auth::now() const {
    return options_.clock ? options_.clock() : std::int64_t(std::time(nullptr));
}

std::string Auth::cookieAttributes() const {
    return std::string("; HttpOnly; SameSite=Strict; Path=/") + (tls_ ? "; Secure" : "");
}

std::optional<Who> Auth::who(const httplib::Request& req) {
    const std::string id = cookie(req, "vtl_session");
    if (id.size() != 64) return std::nullopt;
    const std::string idHash = sha256Hex(id);
    const auto s = registry_.session(idHash);
    if (!s) return std::nullopt;
    const std::int64_t t = now();
    if (t - s->seen > options_.sessionIdle.count() || t - s->created > options_.sessionLimit.count()) {
        registry_.endSession(idHash);
        return std::nullopt;
    }
    registry_.touchSession(idHash, t);
    return Who{s->name, s->csrf};
}

bool Auth::csrfGiven(const httplib::Request& req, const Who& who) {
    std::string given = param(req, "csrf");
    if (given.empty()) given = req.get_header_value("X-CSRF-Token");
    return sameSecret(given, who.csrf);
}

std::string Auth::loginCsrf(const std::string& value) const {
    unsigned char mac[crypto_auth_BYTES];
    crypto_auth(mac, reinterpret_cast<const unsigned char*>(value.data()), value.size(),
                reinterpret_cast<const unsigned char*>(key_.data()));
    char text[crypto_auth_BYTES * 2 + 1];
    sodium_bin2hex(text, sizeof text, mac, sizeof mac);
    return text;
}

void Auth::loginPage(const httplib::Request& req, httplib::Response& res, int status, const std::string& note) {
    // The form's token is tied to a short-lived cookie of its own: "RANDOM.ISSUED", signed.
    const std::string value = randomHex() + "." + std::to_string(now());
    res.set_header("Set-Cookie", "vtl_login=" + value + "; Max-Age=" + std::to_string(kLoginFormLife) +
                                     cookieAttributes());
    std::string next = param(req, "next");
    if (!localPath(next)) next.clear();
    std::string body = "<h1>Log in</h1>";
    if (!note.empty()) body += "<p class=\"note\" role=\"alert\">" + esc(note) + "</p>";
    body += "<form id=\"login\" method=\"post\" action=\"/login\">"
            "<label>Name <input name=\"name\" autocomplete=\"username\" required></label>"
            "<label>Password <input name=\"password\" type=\"password\" autocomplete=\"current-password\" "
            "required></label>"
            "<input type=\"hidden\" name=\"csrf\" value=\"" + loginCsrf(value) + "\">";
    if (!next.empty()) body += "<input type=\"hidden\" name=\"next\" value=\"" + esc(next) + "\">";
    body += "<button type=\"submit\">Log in</button></form>";
    sendPage(res, status, layout("Log in", body, nullptr));
}

std::int64_t Auth::lockedFor(const std::string& address, const std::string& name) {
    std::lock_guard<std::mutex> lock(failures_.mutex);
    const std::int64_t t = now();
    std::int64_t wait = 0;
    for (const std::string& key : {"address:" + address, "name:" + name}) {
        auto it = failures_.times.find(key);
        if (it == failures_.times.end()) continue;
        auto& q = it->second;
        while (!q.empty() && q.front() <= t - kWindow) q.pop_front();
        if (q.empty()) {
            failures_.times.erase(it);
            continue;
        }
        if (q.size() >= kMostFailures) wait = std::max(wait, q[q.size() - kMostFailures] + kWindow - t);
    }
    return wait;
}

void Auth::failed(const std::string& address, const std::string& name) {
    std::lock_guard<std::mutex> lock(failures_.mutex);
    const std::int64_t t = now();
    if (failures_.times.size() >= kMostKeys) {
        for (auto it = failures_.times.begin(); it != failures_.times.end();)
            it = !it->second.empty() && it->second.back() > t - kWindow ? std::next(it) : failures_.times.erase(it);
    }
    for (const std::string& key : {"address:" + address, "name:" + name}) {
        if (failures_.times.size() >= kMostKeys && !failures_.times.count(key)) continue;
        auto& q = failures_.times[key];
        q.push_back(t);
        while (q.size() > kMostFailures) q.pop_front();
    }
}

void Auth::login(const httplib::Request& req, httplib::Response& res) {
    const std::string formCookie = cookie(req, "vtl_login");
    const std::size_t dot = formCookie.find('.');
    std::int64_t issued = 0;
    const bool fresh = dot != std::string::npos && number(formCookie.substr(dot + 1), issued) &&
                       now() - issued <= kLoginFormLife && issued <= now() + 60;
    if (!fresh || !sameSecret(loginCsrf(formCookie), param(req, "csrf"))) {
        loginPage(req, res, 403, "CSRF token missing or wrong; the form was too old or not this server's. Try again.");
        return;
    }
    const std::string name = param(req, "name"), password = param(req, "password");
    if (const std::int64_t wait = lockedFor(req.remote_addr, name.substr(0, kLongestField))) {
        res.set_header("Retry-After", std::to_string(wait));
        loginPage(req, res, 429, "too many attempts; try again in " + std::to_string(wait) + " s");
        return;
    }
    bool right = false;
    {
        const bool sane = !name.empty() && name.size() <= kLongestField && password.size() <= kLongestField;
        const auto hash = sane ? registry_.operatorHash(name) : std::nullopt;
        std::lock_guard<std::mutex> lock(hashing_);
        right = passwordMatches(hash ? *hash : dummyHash_, password) && hash;
    }
    if (!right) {
        failed(req.remote_addr, name.substr(0, kLongestField));
        loginPage(req, res, 401, "wrong name or password");
        return;
    }
    const std::int64_t t = now();
    registry_.endSessionsBefore(t - options_.sessionIdle.count(), t - options_.sessionLimit.count());
    const std::string id = randomHex();
    registry_.addSession(sha256Hex(id), Session{name, randomHex(), t, t});
    res.set_header("Set-Cookie", "vtl_session=" + id + cookieAttributes());
    res.set_header("Set-Cookie", "vtl_login=; Max-Age=0" + cookieAttributes());
    const std::string next = param(req, "next");
    res.set_redirect(localPath(next) ? next : "/matches", 303);
    options_.say("vtl serve: operator " + printable(name) + " logged in from " + req.remote_addr);
}

void Auth::logout(const httplib::Request& req, httplib::Response& res) {
    const auto w = who(req);
    if (!w) {
        res.set_redirect("/login", 303);
        return;
    }
    if (!csrfGiven(req, *w)) {
        sendPage(res, 403, layout("Refused", "<h1>Refused</h1><p>CSRF token missing or wrong</p>", &*w));
        return;
    }
    registry_.endSession(sha256Hex(cookie(req, "vtl_session")));
    res.set_header("Set-Cookie", "vtl_session=; Max-Age=0" + cookieAttributes());
    res.set_redirect("/login", 303);
}

}  // namespace console
}  // namespace server
}  // namespace vt
