// The console's tests share this: a server in this process over a small
// league of uploaded logs, its clock moved by the test, and a browser's cookies.
#pragma once

#include "index/sqlite.h"
#include "report/html.h"
#include "server/client.h"
#include "server/console.h"
#include "server/operators.h"
#include "server/registry.h"
#include "support/in_process_server.h"
#include "support/log_text.h"
#include "support/match_logs.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

using namespace std::chrono_literals;

inline const std::string kVtl = VT_VTL_PATH;
inline const std::string kPassword = "correct horse battery";
inline const std::string kHostilePath = "C:\\Games\\<script>alert(1)</script>.exe";
inline const std::string kHostileVolume = "<b>V\x01\x1b[31mX</b>";
constexpr std::int64_t kStart = 1800000000;

inline std::string log(std::int64_t user, std::int64_t match, const std::string& volume, const std::string& day = "08.12.2026",
                std::vector<std::pair<int, std::string>> extra = {}) {
    testsupport::MatchSpec m;
    m.user = user;
    m.match = match;
    m.day = day;
    m.ticks = 6;
    m.facts = {{"Volume ID from C-Drive", volume}, {"Mac Address", "Intel @ 00:1A:2B:3C:4D:" + std::to_string(10 + user)}};
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
    int login(const std::string& name, const std::string& password, const std::string& next = {}) {
        auto form = http.Get("/login");
        if (!form) return 0;
        const std::string cookie = form->get_header_value("Set-Cookie");
        const std::string login = cookie.substr(0, cookie.find(';'));
        const std::string csrf = between(form->body, "name=\"csrf\" value=\"", "\"");
        httplib::Headers h{{"Cookie", login}};
        httplib::Params fields{{"name", name}, {"password", password}, {"csrf", csrf}};
        if (!next.empty()) fields.emplace("next", next);
        auto r = http.Post("/login", h, fields);
        if (!r) return 0;
        location = r->get_header_value("Location");
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
    std::string session, sessionCookie, csrf_, last, retryAfter, location;
};

// The clock the servers of these tests keep, moved by the tests.
inline std::atomic<std::int64_t> consoleNow{kStart};

class ConsoleTest : public ::testing::Test {
protected:
    std::atomic<std::int64_t>& now = consoleNow;

    void SetUp() override {
        now = kStart;
        server = std::make_unique<InProcessServer>([this](vt::server::Options& o) {
            o.clock = [] { return consoleNow.load(); };
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

}  // namespace testsupport
