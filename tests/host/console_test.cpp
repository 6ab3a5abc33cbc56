// The operators' console as operators and attackers meet it: a server in this
// process over a small league of uploaded logs, its clock moved by the test.
#include "index/queries.h"
#include "index/sqlite.h"
#include "server/client.h"
#include "server/operators.h"
#include "server/registry.h"
#include "support/in_process_server.h"
#include "support/log_text.h"
#include "support/match_logs.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <sstream>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testsupport::InProcessServer;

const std::string kVtl = VT_VTL_PATH;
const std::string kPassword = "correct horse battery";
const std::string kHostilePath = "C:\\Games\\<script>alert(1)</script>.exe";
const std::string kHostileVolume = "<b>V\x01\x1b[31mX</b>";
constexpr std::int64_t kStart = 1800000000;

std::string log(std::int64_t user, std::int64_t match, const std::string& volume, const std::string& day = "08.12.2026",
                std::vector<std::pair<int, std::string>> extra = {}) {
    testsupport::MatchSpec m;
    m.user = user;
    m.match = match;
    m.day = day;
    m.ticks = 6;
    m.facts = {{"Volume ID from C-Drive", volume}, {"MAC Address", "Intel @ 00:1A:2B:3C:4D:" + std::to_string(10 + user)}};
    m.extra = std::move(extra);
    return testsupport::sealedLog(testsupport::matchText(m));
}

// What a browser keeps: the session cookie and the CSRF token of its pages.
struct Browser {
    explicit Browser(const std::string& url) : http(url) { http.set_read_timeout(20, 0); }

    httplib::Headers headers() const {
        httplib::Headers h;
        if (!session.empty()) h.emplace("Cookie", "vtl_session=" + session);
        return h;
    }
    httplib::Result get(const std::string& path) { return http.Get(path.c_str(), headers()); }

    // Logs in through the form; the status of the answer.
    int login(const std::string& name, const std::string& password) {
        auto form = http.Get("/login");
        if (!form) return 0;
        const std::string cookie = form->get_header_value("Set-Cookie");
        const std::string login = cookie.substr(0, cookie.find(';'));
        const std::string csrf = between(form->body, "name=\"csrf\" value=\"", "\"");
        httplib::Headers h{{"Cookie", login}};
        auto r = http.Post("/login", h, httplib::Params{{"name", name}, {"password", password}, {"csrf", csrf}});
        if (!r) return 0;
        last = r->body;
        retryAfter = r->get_header_value("Retry-After");
        for (std::size_t i = 0; i < r->get_header_value_count("Set-Cookie"); ++i) {
            const std::string c = r->get_header_value("Set-Cookie", i);
            if (c.rfind("vtl_session=", 0) == 0) {
                session = c.substr(12, c.find(';') - 12);
                sessionCookie = c;
            }
        }
        if (r->status == 303) {
            auto page = get("/matches");
            if (page) csrf_ = between(page->body, "name=\"csrf\" value=\"", "\"");
        }
        return r->status;
    }

    static std::string between(const std::string& text, const std::string& a, const std::string& b) {
        const auto i = text.find(a);
        if (i == std::string::npos) return {};
        const auto j = text.find(b, i + a.size());
        return text.substr(i + a.size(), j - i - a.size());
    }

    httplib::Client http;
    std::string session, sessionCookie, csrf_, last, retryAfter;
};

class ConsoleTest : public ::testing::Test {
protected:
    static std::atomic<std::int64_t> now;

    void SetUp() override {
        now = kStart;
        server = std::make_unique<InProcessServer>([this](vt::server::Options& o) {
            o.clock = [] { return now.load(); };
            o.sessionIdle = 30min;
            auto keep = [this](const std::string& line) {
                std::lock_guard<std::mutex> lock(outputMutex);
                output += line + "\n";
            };
            o.say = keep;
            o.warn = keep;
        });
        ASSERT_TRUE(server->started());
        vt::server::Registry(server->options().database).setOperator("alice", vt::server::hashPassword(kPassword));
        url = server->server().url();
    }

    void TearDown() override {
        std::lock_guard<std::mutex> lock(outputMutex);
        // No secret is ever written by the server.
        for (const auto& secret : secrets)
            if (!secret.empty()) {
                EXPECT_EQ(output.find(secret), std::string::npos) << "a secret in: " << output;
            }
    }

    // A league of three accounts: 1 and 2 share a volume (2 also with a
    // hostile volume and process), 3 is alone; one log of 1 cut short.
    void upload() {
        vt::server::ClientOptions quick;
        quick.attempts = 1;
        const std::vector<std::string> logs = {
            log(1, 7001, "AAAA-1111"), log(2, 7001, "AAAA-1111"), log(1, 7002, "AAAA-1111", "09.12.2026"),
            log(2, 7003, kHostileVolume, "09.12.2026", {{3, "Process;Add;PID:300:Path:" + kHostilePath}}),
            log(3, 7004, "CCCC-3333")};
        for (std::size_t i = 0; i < logs.size(); ++i) {
            const auto r = vt::server::uploadLog(url, InProcessServer::kToken, "m" + std::to_string(i) + ".vtl",
                                                 logs[i], quick);
            ASSERT_EQ(r.status, 201) << r.body;
            uploaded.push_back(logs[i]);
        }
        server->server().waitIndexed();
    }

    // The recordings.id of a user's match.
    std::int64_t recording(std::int64_t user, std::int64_t match) {
        vt::index::Db db(server->options().database, vt::index::Db::Mode::ReadOnly);
        return db.integer("SELECT id FROM recordings WHERE user_id = " + std::to_string(user) +
                          " AND match_id = " + std::to_string(match));
    }

    std::unique_ptr<InProcessServer> server;
    std::string url;
    std::mutex outputMutex;
    std::string output;
    std::vector<std::string> secrets{kPassword, InProcessServer::kToken};
    std::vector<std::string> uploaded;
};
std::atomic<std::int64_t> ConsoleTest::now{kStart};

const std::vector<std::string> kPages = {"/",          "/matches?user=1", "/match/1", "/match/1/report",
                                         "/match/1/log", "/match/1/jsonl", "/account/1", "/identifier?kind=volume&value=x",
                                         "/trends"};
const std::vector<std::string> kApi = {"/api/v1/matches", "/api/v1/match/1",  "/api/v1/account/1", "/api/v1/links",
                                       "/api/v1/trend",   "/api/v1/identifier?kind=volume&value=x", "/api/v1/other"};

TEST_F(ConsoleTest, EveryPageAndReadNeedsASessionAndAnUploadTokenIsNone) {
    upload();
    Browser b(url);
    const std::vector<httplib::Headers> strangers = {
        {}, {{"Authorization", std::string("Bearer ") + InProcessServer::kToken}},
        {{"Cookie", "vtl_session=" + std::string(64, 'a')}}};
    for (const auto& h : strangers) {
        for (const auto& p : kPages) {
            auto r = b.http.Get(p.c_str(), h);
            ASSERT_TRUE(r) << p;
            EXPECT_EQ(r->status, 303) << p;
            EXPECT_EQ(r->get_header_value("Location").rfind("/login", 0), 0u) << p;
            EXPECT_EQ(r->body.find("AAAA"), std::string::npos) << p;
        }
        for (const auto& p : kApi) {
            auto r = b.http.Get(p.c_str(), h);
            ASSERT_TRUE(r) << p;
            EXPECT_EQ(r->status, 401) << p;
            EXPECT_TRUE(json::parse(r->body).contains("error")) << p;
        }
    }
    ASSERT_EQ(b.login("alice", kPassword), 303);
    secrets.push_back(b.session);
    secrets.push_back(b.csrf_);
    EXPECT_NE(b.sessionCookie.find("; HttpOnly; SameSite=Strict; Path=/"), std::string::npos);
    const std::string rid = std::to_string(recording(1, 7001));
    for (auto p : kPages) {
        if (p.rfind("/match/1", 0) == 0) p.replace(7, 1, rid);
        auto r = b.get(p);
        ASSERT_TRUE(r) << p;
        EXPECT_EQ(r->status, p == "/" ? 303 : 200) << p << ": " << r->body;
        EXPECT_EQ(r->get_header_value("X-Content-Type-Options"), "nosniff") << p;
        EXPECT_EQ(r->get_header_value("Cache-Control"), "no-store") << p;
        if (p.find("/report") == std::string::npos && p.find("/log") == std::string::npos &&
            p.find("/jsonl") == std::string::npos && p != "/") {
            EXPECT_NE(r->body.find("<form id=\"logout\" method=\"post\" action=\"/logout\">"), std::string::npos) << p;
        }
    }
    for (const auto& p : kApi) {
        auto r = b.get(p == "/api/v1/match/1" ? "/api/v1/match/" + rid : p);
        ASSERT_TRUE(r) << p;
        EXPECT_EQ(r->status, p == "/api/v1/other" ? 404 : 200) << p << ": " << r->body;
    }
}

TEST_F(ConsoleTest, FormsWithoutTheirCsrfTokenAreRefused) {
    Browser b(url);
    // The login form's token belongs to its own cookie.
    auto form = b.http.Get("/login");
    ASSERT_TRUE(form);
    const std::string csrf = Browser::between(form->body, "name=\"csrf\" value=\"", "\"");
    EXPECT_EQ(csrf.size(), 64u);
    auto bare = b.http.Post("/login", httplib::Params{{"name", "alice"}, {"password", kPassword}, {"csrf", csrf}});
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->status, 403);
    EXPECT_NE(bare->body.find("CSRF token missing or wrong"), std::string::npos);
    auto other = b.http.Get("/login");
    const std::string cookie = other->get_header_value("Set-Cookie");
    auto mixed = b.http.Post("/login", {{"Cookie", cookie.substr(0, cookie.find(';'))}},
                             httplib::Params{{"name", "alice"}, {"password", kPassword}, {"csrf", csrf}});
    EXPECT_EQ(mixed->status, 403);
    auto missing = b.http.Post("/login", {{"Cookie", cookie.substr(0, cookie.find(';'))}},
                               httplib::Params{{"name", "alice"}, {"password", kPassword}});
    EXPECT_EQ(missing->status, 403);

    ASSERT_EQ(b.login("alice", kPassword), 303);
    secrets.push_back(b.session);
    secrets.push_back(b.csrf_);
    auto noToken = b.http.Post("/logout", b.headers(), httplib::Params{});
    EXPECT_EQ(noToken->status, 403);
    auto wrong = b.http.Post("/logout", b.headers(), httplib::Params{{"csrf", std::string(64, '0')}});
    EXPECT_EQ(wrong->status, 403);
    EXPECT_EQ(b.get("/matches")->status, 200);  // the session goes on
    auto viaHeader = b.headers();
    viaHeader.emplace("X-CSRF-Token", b.csrf_);
    auto out = b.http.Post("/logout", viaHeader, httplib::Params{});
    EXPECT_EQ(out->status, 303);
    EXPECT_EQ(out->get_header_value("Location"), "/login");
    EXPECT_EQ(b.get("/matches")->status, 303);
    EXPECT_EQ(b.get("/api/v1/matches")->status, 401);
}

// A login posted from another loopback address, over a socket of its own.
int loginFrom(const std::string& url, const char* address, const std::string& name, const std::string& password) {
    Browser b(url);
    auto form = b.http.Get("/login");
    const std::string cookie = form->get_header_value("Set-Cookie");
    const std::string csrf = Browser::between(form->body, "name=\"csrf\" value=\"", "\"");
    const std::string body = "name=" + name + "&password=" + password + "&csrf=" + csrf;
    const std::string request = "POST /login HTTP/1.1\r\nHost: x\r\nConnection: close\r\nCookie: " +
                                cookie.substr(0, cookie.find(';')) +
                                "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                                std::to_string(body.size()) + "\r\n\r\n" + body;
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    inet_pton(AF_INET, address, &from.sin_addr);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    to.sin_port = htons(std::uint16_t(std::stoi(url.substr(url.rfind(':') + 1))));
    int status = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
        connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        send(s, request.data(), request.size(), 0) == ssize_t(request.size())) {
        char head[64] = {};
        if (recv(s, head, sizeof head - 1, MSG_WAITALL) > 12) status = std::atoi(head + 9);
    }
    close(s);
    return status;
}

TEST_F(ConsoleTest, WrongPasswordsAreLimitedByAddressAndByName) {
    vt::server::Registry(server->options().database).setOperator("bob", vt::server::hashPassword(kPassword));
    Browser b(url);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(b.login("alice", "wrong password"), 401) << i;
        EXPECT_NE(b.last.find("wrong name or password"), std::string::npos);
    }
    // The right password is refused as well until the window has passed, from this address for any name.
    EXPECT_EQ(b.login("alice", kPassword), 429);
    EXPECT_NE(b.last.find("too many attempts"), std::string::npos);
    EXPECT_EQ(b.retryAfter, "900");
    EXPECT_TRUE(b.session.empty());
    EXPECT_EQ(b.login("bob", kPassword), 429);
    // From another address the name alice is still refused; bob is not.
    EXPECT_EQ(loginFrom(url, "127.0.0.2", "alice", kPassword), 429);
    EXPECT_EQ(loginFrom(url, "127.0.0.2", "bob", kPassword), 303);
    now += 14 * 60;
    EXPECT_EQ(b.login("alice", kPassword), 429);
    now += 61;
    EXPECT_EQ(b.login("alice", kPassword), 303);
    secrets.push_back(b.session);
    // Unknown names count as wrong passwords.
    for (int i = 0; i < 5; ++i) EXPECT_EQ(loginFrom(url, "127.0.0.3", "nobody" + std::to_string(i), "x"), 401);
    EXPECT_EQ(loginFrom(url, "127.0.0.3", "bob", kPassword), 429);
}

TEST_F(ConsoleTest, SessionsEndWhenIdleAfterADayAndWhenTheOperatorGoes) {
    Browser idle(url);
    ASSERT_EQ(idle.login("alice", kPassword), 303);
    now += 29 * 60;
    EXPECT_EQ(idle.get("/matches")->status, 200);
    now += 31 * 60;
    EXPECT_EQ(idle.get("/matches")->status, 303);
    EXPECT_EQ(idle.get("/api/v1/matches")->status, 401);

    // Used often, a session still ends 24 hours after its login.
    Browser busy(url);
    ASSERT_EQ(busy.login("alice", kPassword), 303);
    for (int i = 0; i < 24 * 3; ++i) {
        now += 20 * 60;
        ASSERT_EQ(busy.get("/matches")->status, 200) << i;
    }
    now += 20 * 60;
    EXPECT_EQ(busy.get("/matches")->status, 303);

    // Removing the operator (from another process) ends its sessions at once.
    Browser removed(url);
    ASSERT_EQ(removed.login("alice", kPassword), 303);
    Browser kept(url);
    vt::server::Registry(server->options().database).setOperator("carol", vt::server::hashPassword(kPassword));
    ASSERT_EQ(kept.login("carol", kPassword), 303);
    const std::string db = server->options().database;
    const std::string out = db + ".out";
    EXPECT_EQ(std::system((kVtl + " serve '" + db + "' --remove-operator alice > '" + out + "' 2>&1").c_str()), 0);
    EXPECT_EQ(testsupport::readBytes(out), "operator alice removed\n");
    EXPECT_EQ(removed.get("/matches")->status, 303);
    EXPECT_EQ(kept.get("/matches")->status, 200);
    EXPECT_NE(std::system((kVtl + " serve '" + db + "' --remove-operator alice > '" + out + "' 2>&1").c_str()), 0);
    EXPECT_NE(testsupport::readBytes(out).find("no operator alice"), std::string::npos);
    EXPECT_EQ(removed.login("alice", kPassword), 401);

    // A new password for a name ends its sessions too; the password never shows.
    EXPECT_EQ(std::system(("echo 'another password' | " + kVtl + " serve '" + db + "' --add-operator carol > '" +
                           out + "' 2>&1").c_str()), 0);
    EXPECT_EQ(testsupport::readBytes(out), "operator carol added\n");
    EXPECT_EQ(kept.get("/matches")->status, 303);
    EXPECT_EQ(kept.login("carol", "another password"), 303);
    EXPECT_NE(std::system(("echo 'short' | " + kVtl + " serve '" + db + "' --add-operator dave > '" + out +
                           "' 2>&1").c_str()), 0);
    EXPECT_EQ(testsupport::readBytes(out).find("short"), std::string::npos);
    for (const auto* b : {&idle, &busy, &removed, &kept}) secrets.push_back(b->session);
}

}  // namespace
