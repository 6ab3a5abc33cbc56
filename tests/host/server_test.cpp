// The league's server as a game backend and an operator meet it: vtl serve on
// a loopback port, logs uploaded with tokens, the server killed and started
// again, and the uploads that were refused.
#include "index/sqlite.h"
#include "platform/os.h"
#include "server/client.h"
#include "server/registry.h"
#include "server/server.h"
#include "server/store.h"
#include "support/in_process_server.h"
#include "support/log_text.h"
#include "support/match_logs.h"
#include "support/spawned.h"
#include "support/temp_dir.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
namespace fs = boost::filesystem;
using testsupport::InProcessServer;
using testsupport::readBytes;
using vt::server::uploadLog;

const std::string kVtl = VT_VTL_PATH;

std::string matchLog(int i, int ticks = 40) {
    testsupport::MatchSpec m;
    m.user = 1 + i % 7;
    m.match = 5000 + i;
    m.ticks = ticks;
    m.facts = {{"Volume ID from C-Drive", "V-" + std::to_string(i % 5)}};
    return testsupport::sealedLog(testsupport::matchText(m));
}

std::vector<std::string> lines(const std::string& file) {
    std::istringstream in(readBytes(file));
    std::vector<std::string> out;
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

// The SHA-256 of every file in the store (only its .vtl files), and how many hold each.
std::map<std::string, int> storeHashes(const std::string& store) {
    std::map<std::string, int> out;
    for (const auto& f : testsupport::logFiles(store)) {
        std::string why;
        ++out[vt::server::sha256Hex(readBytes(f))];
    }
    return out;
}

std::map<std::string, int> indexHashes(const std::string& db) {
    std::map<std::string, int> out;
    if (!fs::exists(db)) return out;
    vt::index::Db d(db, vt::index::Db::Mode::ReadOnly);
    vt::index::Stmt s(d, "SELECT sha256 FROM files");
    while (s.step()) ++out[s.text(0)];
    return out;
}

bool eventually(const std::function<bool()>& done, std::chrono::seconds limit = 20s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return done();
}

// vtl serve on a free loopback port, its output in files.
class Serve {
public:
    Serve(const std::string& db, const std::string& store, const std::string& out,
          std::vector<std::string> extra = {})
        : out_(out), err_(out + ".err") {
        std::vector<std::string> args = {kVtl, "serve", db, "--store", store, "--listen", "127.0.0.1:0"};
        args.insert(args.end(), extra.begin(), extra.end());
        process_ = std::make_unique<testsupport::Spawned>(args, out_, err_);
        eventually([&] { return !lines(out_).empty(); }, 15s);
        const auto l = lines(out_);
        if (!l.empty() && l[0].rfind("listening on ", 0) == 0) url_ = l[0].substr(13);
    }
    const std::string& url() const { return url_; }
    std::string output() const { return readBytes(out_) + readBytes(err_); }
    void signal(int s) { process_->signal(s); }
    int wait() { return process_->wait(); }

private:
    std::string out_, err_, url_;
    std::unique_ptr<testsupport::Spawned> process_;
};

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        db = dir.join("league.db");
        store = dir.join("store");
        token = addToken("backend");
        ASSERT_EQ(token.size(), 64u);
    }

    std::string addToken(const std::string& name) {
        const std::string out = dir.join("token-" + name);
        testsupport::Spawned add({kVtl, "serve", db, "--add-token", name}, out, out + ".err");
        EXPECT_EQ(add.wait(), 0) << readBytes(out + ".err");
        const auto l = lines(out);
        return l.empty() ? std::string() : l[0];
    }

    static vt::server::ClientOptions quick() {
        vt::server::ClientOptions o;
        o.attempts = 1;
        o.timeout = 10s;
        return o;
    }

    testsupport::TempDir dir;
    std::string db, store, token;
};

TEST_F(ServerTest, EveryAnsweredUploadSurvivesAKillAndIsIndexedOnceAfterTheRestart) {
    std::set<std::string> answered;
    std::set<int> answeredIndex;
    {
        Serve serve(db, store, dir.join("first.out"));
        ASSERT_FALSE(serve.url().empty()) << serve.output();
        EXPECT_EQ(serve.url().rfind("http://127.0.0.1:", 0), 0u);
        // Four backends upload at once; the server is killed while they do.
        std::mutex m;
        std::atomic<int> count{0};
        std::vector<std::thread> backends;
        for (int b = 0; b < 4; ++b)
            backends.emplace_back([&, b] {
                for (int i = b; i < 400; i += 4) {
                    const std::string log = matchLog(i);
                    const auto r = uploadLog(serve.url(), token, "m" + std::to_string(i) + ".vtl", log, quick());
                    if (r.status != 201 && r.status != 200) break;
                    std::lock_guard<std::mutex> lock(m);
                    answered.insert(vt::server::sha256Hex(log));
                    answeredIndex.insert(i);
                    ++count;
                }
            });
        eventually([&] { return count >= 60; });
        serve.signal(SIGKILL);
        EXPECT_EQ(serve.wait(), 128 + SIGKILL) << serve.output();
        for (auto& t : backends) t.join();
    }
    ASSERT_GE(answered.size(), 60u);
    ASSERT_LT(answered.size(), 400u) << "the server was not killed while uploads went on";
    // In the store after the kill: every answered file, whole, once; nothing half written.
    auto held = storeHashes(store);
    for (const auto& sha : answered) EXPECT_EQ(held[sha], 1) << sha;
    for (const auto& f : testsupport::logFiles(store)) EXPECT_TRUE(testsupport::openLog(f).whole) << f;

    // Started again, it indexes what it holds; vtl upload sends one more and one it has.
    Serve again(db, store, dir.join("second.out"));
    ASSERT_FALSE(again.url().empty()) << again.output();
    testsupport::writeBytes(dir.join("new.vtl"), matchLog(1000));
    // One the server answered before the kill (a backend stops at its first refusal).
    ASSERT_FALSE(answeredIndex.empty());
    const std::string heldName = "m" + std::to_string(*answeredIndex.begin()) + ".vtl";
    testsupport::writeBytes(dir.join(heldName), matchLog(*answeredIndex.begin()));
    ::setenv("VTL_TOKEN", token.c_str(), 1);
    const std::string upOut = dir.join("upload.out");
    testsupport::Spawned up({kVtl, "upload", again.url(), dir.join("new.vtl"), dir.join(heldName)}, upOut);
    EXPECT_EQ(up.wait(), 0) << readBytes(upOut);
    ::unsetenv("VTL_TOKEN");
    const auto said = lines(upOut);
    ASSERT_EQ(said.size(), 2u) << readBytes(upOut);
    EXPECT_NE(said[0].find(": stored as new.vtl, whole, 129 records, "), std::string::npos) << said[0];
    EXPECT_NE(said[1].find(": already held as " + heldName + ", whole, 129 records"), std::string::npos) << said[1];
    answered.insert(vt::server::sha256Hex(matchLog(1000)));

    held = storeHashes(store);
    EXPECT_TRUE(eventually([&] { return indexHashes(db).size() >= held.size(); }));
    const auto indexed = indexHashes(db);
    for (const auto& sha : answered) EXPECT_EQ(indexed.count(sha) ? indexed.at(sha) : 0, 1) << sha;
    EXPECT_EQ(indexed.size(), held.size());
    for (const auto& h : held) EXPECT_EQ(h.second, 1);

    // SIGTERM ends it with 0 once what it stored is indexed.
    testsupport::writeBytes(dir.join("last.vtl"), matchLog(1001));
    const auto last = uploadLog(again.url(), token, "last.vtl", readBytes(dir.join("last.vtl")), quick());
    EXPECT_EQ(last.status, 201) << last.body;
    again.signal(SIGTERM);
    EXPECT_EQ(again.wait(), 0) << again.output();
    EXPECT_EQ(indexHashes(db).count(vt::server::sha256Hex(readBytes(dir.join("last.vtl")))), 1u);
    EXPECT_EQ(again.output().find(token), std::string::npos);
}

// A raw connection to the server, for what no well-behaved client sends.
class RawConnection {
public:
    explicit RawConnection(const std::string& url) {
        const int port = std::stoi(url.substr(url.rfind(':') + 1));
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(std::uint16_t(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~RawConnection() { ::close(fd_); }
    bool connected() const { return connected_; }
    bool send(const std::string& bytes) { return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size()); }
    // What the server answers until it closes or a time passes.
    std::string answer(std::chrono::seconds limit = 10s) {
        timeval tv{long(limit.count()), 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        std::string out;
        char buf[4096];
        for (ssize_t n; (n = ::recv(fd_, buf, sizeof buf, 0)) > 0;) {
            out.append(buf, std::size_t(n));
            // One whole answer is enough: the server may keep the connection open.
            const auto end = out.find("\r\n\r\n");
            const auto length = out.find("Content-Length: ");
            if (end != std::string::npos && length != std::string::npos && length < end &&
                out.size() >= end + 4 + std::stoul(out.substr(length + 16)))
                break;
        }
        return out;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

TEST_F(ServerTest, RefusedUploadsKeepNothingAndHostileNamesStayInTheStore) {
    Serve serve(db, store, dir.join("serve.out"), {"--max-upload", "100000"});
    ASSERT_FALSE(serve.url().empty()) << serve.output();
    const std::string log = matchLog(1);
    const auto stored = [&] { return testsupport::logFiles(store).size(); };

    EXPECT_EQ(uploadLog(serve.url(), "", "a.vtl", log, quick()).status, 401);
    EXPECT_EQ(uploadLog(serve.url(), std::string(64, 'a'), "a.vtl", log, quick()).status, 403);
    const std::string second = addToken("second");
    EXPECT_NE(second, token);
    {
        // A name in force is not given a second token.
        testsupport::Spawned again({kVtl, "serve", db, "--add-token", "second"}, dir.join("again.out"));
        EXPECT_EQ(again.wait(), 2);
        EXPECT_NE(readBytes(dir.join("again.out")).find("is in force"), std::string::npos);
    }
    EXPECT_EQ(second.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(uploadLog(serve.url(), second, "first.vtl", log, quick()).status, 201);
    {
        testsupport::Spawned revoke({kVtl, "serve", db, "--revoke-token", "second"}, dir.join("revoke.out"));
        EXPECT_EQ(revoke.wait(), 0);
    }
    const auto revoked = uploadLog(serve.url(), second, "b.vtl", matchLog(2), quick());
    EXPECT_EQ(revoked.status, 403) << "a revoked token is refused at once";
    EXPECT_EQ(nlohmann::json::parse(revoked.body)["error"], "this token is unknown or revoked");
    EXPECT_EQ(stored(), 1u);

    // Over the limit: said by its length before the body is sent, or found while it comes.
    const auto big = uploadLog(serve.url(), token, "big.vtl", matchLog(3, 3000), quick());
    EXPECT_EQ(big.status, 413) << big.body;
    {
        RawConnection c(serve.url());
        ASSERT_TRUE(c.connected());
        c.send("POST /api/v1/logs?name=chunked.vtl HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + token +
               "\r\nTransfer-Encoding: chunked\r\n\r\n");
        const std::string chunk(50000, 'x');
        for (int i = 0; i < 3; ++i) c.send("c350\r\n" + chunk + "\r\n");
        c.send("0\r\n\r\n");
        const std::string a = c.answer();
        EXPECT_EQ(a.rfind("HTTP/1.1 413", 0), 0u);
        EXPECT_NE(a.find("Connection: close"), std::string::npos) << "the body left unread ends the connection";
    }
    {
        RawConnection c(serve.url());
        ASSERT_TRUE(c.connected());
        c.send("POST /api/v1/logs?name=h.vtl HTTP/1.1\r\nHost: x\r\nX-Filler: " + std::string(20000, 'h') +
               "\r\nContent-Length: 5\r\n\r\nhello");
        const std::string a = c.answer();
        EXPECT_TRUE(a.empty() || a.rfind("HTTP/1.1 4", 0) == 0) << a.substr(0, 80);
    }
    // Not a log: 400, nothing kept, not even in the store's incoming files.
    const auto text = uploadLog(serve.url(), token, "notes.vtl", "these are not the logs you are looking for\n", quick());
    EXPECT_EQ(text.status, 400);
    EXPECT_NE(text.body.find("not a log"), std::string::npos) << text.body;
    EXPECT_EQ(stored(), 1u);
    EXPECT_TRUE(fs::is_empty(store + "/.incoming"));

    // Names that would leave the store or hurt whoever lists it.
    const std::vector<std::string> hostile = {"../../escape.vtl", "a/b\\c.vtl", std::string("nul\0byte.vtl", 12),
                                              "\xff\xfe\xc3(.vtl", "..", ".hidden.vtl", "line\nbreak.vtl", ""};
    int n = 10;
    for (const auto& name : hostile) {
        const auto r = uploadLog(serve.url(), token, name, matchLog(n++), quick());
        ASSERT_EQ(r.status, 201) << r.body;
        const std::string file = nlohmann::json::parse(r.body)["file"];
        SCOPED_TRACE(file);
        EXPECT_EQ(file.find('/'), std::string::npos);
        EXPECT_EQ(file.find('\\'), std::string::npos);
        EXPECT_EQ(file.find(".."), std::string::npos);
        EXPECT_NE(file[0], '.');
        for (const char c : file) EXPECT_GE(static_cast<unsigned char>(c), 0x20);
        EXPECT_TRUE(fs::is_regular_file(store + "/" + file));
    }
    EXPECT_EQ(stored(), 1 + hostile.size());
    EXPECT_FALSE(fs::exists(dir.join("escape.vtl")));
    EXPECT_FALSE(fs::exists(dir.path() + "/../escape.vtl"));
    // The same bytes from four backends at once: stored once, the others told it is held.
    {
        const std::string same = matchLog(99);
        std::vector<int> statuses(4);
        std::vector<std::string> bodies(4);
        std::vector<std::thread> at;
        for (int i = 0; i < 4; ++i)
            at.emplace_back([&, i] {
                const auto r = uploadLog(serve.url(), token, "same.vtl", same, quick());
                statuses[i] = r.status;
                bodies[i] = r.body;
            });
        for (auto& t : at) t.join();
        for (const auto& b : bodies) {
            const auto j = nlohmann::json::parse(b);
            EXPECT_EQ(j["file"], "same.vtl");
            EXPECT_EQ(j["records"], 129);
            EXPECT_EQ(j["recording"]["user"], 1 + 99 % 7);
            EXPECT_EQ(j["recording"]["match"], 5099);
        }
        std::sort(statuses.begin(), statuses.end());
        EXPECT_EQ(statuses, (std::vector<int>{200, 200, 200, 201}));
        EXPECT_EQ(storeHashes(store)[vt::server::sha256Hex(same)], 1);
    }
    // The operators' reads want a session, which no token is.
    RawConnection get(serve.url());
    get.send("GET /api/v1/matches HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + token + "\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(get.answer().rfind("HTTP/1.1 401", 0), 0u);

    serve.signal(SIGTERM);
    EXPECT_EQ(serve.wait(), 0);
    const std::string output = serve.output();
    EXPECT_EQ(output.find(token), std::string::npos);
    EXPECT_EQ(output.find(second), std::string::npos);
}

TEST_F(ServerTest, ASlowClientHoldsUpNoOtherUpload) {
    Serve serve(db, store, dir.join("serve.out"));
    ASSERT_FALSE(serve.url().empty()) << serve.output();
    std::atomic<bool> done{false};
    std::thread slow([&] {
        RawConnection c(serve.url());
        const std::string request = "POST /api/v1/logs?name=slow.vtl HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " +
                                    token + "\r\nContent-Length: 100000\r\n\r\n";
        for (std::size_t i = 0; i < request.size() && !done; ++i) {
            c.send(request.substr(i, 1));
            std::this_thread::sleep_for(i < 20 ? 1s : 10ms);
        }
    });
    std::this_thread::sleep_for(1500ms);  // the slow client is in the middle of its request line
    const auto begun = std::chrono::steady_clock::now();
    const auto r = uploadLog(serve.url(), token, "quick.vtl", matchLog(7), quick());
    const auto took = std::chrono::steady_clock::now() - begun;
    done = true;
    slow.join();
    EXPECT_EQ(r.status, 201) << r.body;
    EXPECT_LT(took, 2s);
}

TEST(ServerInProcess, AFullDiskGives507AndKeepsNoHalfFile) {
    InProcessServer in([](vt::server::Options& o) { o.searchLimit = 1s; });
    ASSERT_TRUE(in.started());
    auto& server = in.server();
    const auto& o = in.options();
    vt::server::ClientOptions quick;
    quick.attempts = 1;

    const std::string log = matchLog(1, 400);
    std::atomic<std::size_t> budget{4000};
    os::setWriteLimit([&](std::size_t n) {
        const std::size_t take = std::min(n, budget.load());
        budget -= take;
        return take;
    });
    const auto full = uploadLog(server.url(), "token-for-the-test", "m.vtl", log, quick);
    os::setWriteLimit(nullptr);
    EXPECT_EQ(full.status, 507) << full.body;
    EXPECT_TRUE(testsupport::logFiles(o.store).empty());
    EXPECT_TRUE(fs::is_empty(o.store + "/.incoming"));
    const auto again = uploadLog(server.url(), "token-for-the-test", "m.vtl", log, quick);
    EXPECT_EQ(again.status, 201) << again.body;
    const auto j = nlohmann::json::parse(again.body);
    EXPECT_EQ(j["state"], "whole");
    EXPECT_EQ(j["records"], 1209);
    EXPECT_EQ(j["recording"]["user"], 2);
    EXPECT_EQ(j["recording"]["match"], 5001);
    EXPECT_EQ(j["recording"]["started"], "2026-12-08 10:00:00");

    // A log cut short is kept and answered as not whole; its key is searched in the background, bounded.
    const std::string cut = log.substr(0, log.size() / 2);
    const auto partial = uploadLog(server.url(), "token-for-the-test", "cut.vtl", cut, quick);
    EXPECT_EQ(partial.status, 201) << partial.body;
    EXPECT_EQ(nlohmann::json::parse(partial.body)["state"], "not whole");
    server.waitIndexed();
    EXPECT_EQ(testsupport::logFiles(o.store).size(), 2u);
    EXPECT_EQ(indexHashes(o.database).count(vt::server::sha256Hex(log)), 1u);
    {
        vt::server::Registry registry(o.database);
        EXPECT_TRUE(registry.notIndexed().empty());
        EXPECT_EQ(registry.find(vt::server::sha256Hex(cut))->indexed, 2);
    }
    in.stop();
}

TEST(ServerInProcess, AFullQueueGives503AndTheClientWaitsAsToldButNeverRetriesARefusal) {
    InProcessServer in([](vt::server::Options& o) {
        o.queueLimit = 0;  // never room: every upload is told to come back
        o.roomWait = 50ms;
    });
    ASSERT_TRUE(in.started());
    auto& server = in.server();
    const auto& o = in.options();

    std::vector<std::chrono::milliseconds> waits;
    vt::server::ClientOptions c;
    c.attempts = 3;
    c.sleep = [&](std::chrono::milliseconds ms) { waits.push_back(ms); };
    const auto busy = uploadLog(server.url(), "token-for-the-test", "m.vtl", matchLog(1), c);
    EXPECT_EQ(busy.status, 503);
    EXPECT_EQ(busy.attempts, 3);
    EXPECT_EQ(waits, std::vector<std::chrono::milliseconds>(2, 2000ms)) << "Retry-After is honoured";
    EXPECT_TRUE(testsupport::logFiles(o.store).empty());

    waits.clear();
    const auto refused = uploadLog(server.url(), "not-a-token", "m.vtl", matchLog(1), c);
    EXPECT_EQ(refused.status, 403);
    EXPECT_EQ(refused.attempts, 1);
    EXPECT_TRUE(waits.empty());
    in.stop();

    // Nobody listens any more: tried again, each wait longer than the one before.
    waits.clear();
    const auto gone = uploadLog(server.url(), "token-for-the-test", "m.vtl", matchLog(1), c);
    EXPECT_EQ(gone.status, 0);
    EXPECT_FALSE(gone.failure.empty());
    EXPECT_EQ(gone.attempts, 3);
    EXPECT_EQ(waits, (std::vector<std::chrono::milliseconds>{250ms, 500ms}));
}

TEST(ServerInProcess, ABodyThatComesTooSlowlyIsCutOffAndNothingKept) {
    InProcessServer in([](vt::server::Options& o) { o.bodyTime = 1s; });
    ASSERT_TRUE(in.started());
    auto& server = in.server();
    const auto& o = in.options();
    {
        RawConnection c(server.url());
        ASSERT_TRUE(c.connected());
        const std::string log = matchLog(3);
        c.send("POST /api/v1/logs?name=slow.vtl HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer token-for-the-test\r\n"
               "Content-Length: " + std::to_string(log.size()) + "\r\n\r\n");
        // A byte every 200 ms: each read is quick, the whole is not.
        bool open = true;
        for (std::size_t i = 0; i < 12 && open; ++i) {
            open = c.send(log.substr(i, 1));
            std::this_thread::sleep_for(200ms);
        }
        c.send(log.substr(12));
        EXPECT_EQ(c.answer().rfind("HTTP/1.1 408", 0), 0u);
    }
    EXPECT_TRUE(testsupport::logFiles(o.store).empty());
    EXPECT_TRUE(fs::is_empty(o.store + "/.incoming"));
    in.stop();
}

TEST(ServerNames, StoredNamesKeepWhatIsSafeAndReplaceTheRest) {
    using vt::server::safeStem;
    EXPECT_EQ(safeStem("match-17 (final).vtl"), "match-17 (final)");
    EXPECT_EQ(safeStem("Ström_ü.vtl"), "Ström_ü");
    EXPECT_EQ(safeStem("../../etc/passwd"), "____etc_passwd");
    EXPECT_EQ(safeStem("a..b.vtl"), "a_b");
    EXPECT_EQ(safeStem(std::string("x\0y", 3)), "x_y");
    EXPECT_EQ(safeStem("\xff\xc3(ok"), "__(ok");
    EXPECT_EQ(safeStem("C:\\Logs\\m.vtl"), "C__Logs_m");
    EXPECT_EQ(safeStem(".vtl"), "upload");
    EXPECT_EQ(safeStem("."), "_");
    EXPECT_EQ(safeStem("trailing. "), "trailing__");
    EXPECT_EQ(safeStem("\xc2\x85next"), "_next");  // a C1 control
    EXPECT_EQ(safeStem(std::string(300, 'a')).size(), 120u);
    EXPECT_EQ(safeStem(std::string(119, 'a') + "\xc3\xa9").size(), 119u);  // never half a character
}

}  // namespace
