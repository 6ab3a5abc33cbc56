// The operators' console as attackers meet it: every read behind a session,
// forms behind their CSRF tokens, logins limited, sessions that end.
#include "support/console_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace {

using namespace testsupport;
using nlohmann::json;

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
    // A login form older than half an hour is no longer taken.
    auto old = b.http.Get("/login");
    const std::string oldCookie = old->get_header_value("Set-Cookie");
    now += 31 * 60;
    auto late = b.http.Post("/login", {{"Cookie", oldCookie.substr(0, oldCookie.find(';'))}},
                            httplib::Params{{"name", "alice"}, {"password", kPassword},
                                            {"csrf", Browser::between(old->body, "name=\"csrf\" value=\"", "\"")}});
    EXPECT_EQ(late->status, 403);

    // After the login the browser goes back where it was sent from, on this server only.
    ASSERT_EQ(b.login("alice", kPassword, "//elsewhere.example/"), 303);
    EXPECT_EQ(b.location, "/matches");
    secrets.push_back(b.session);
    ASSERT_EQ(b.login("alice", kPassword, "/account/1?common=5"), 303);
    EXPECT_EQ(b.location, "/account/1?common=5");
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
