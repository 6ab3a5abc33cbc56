// `vtl serve DB --store DIR`: the league's server, its upload tokens and its
// console's operators.
#include "verbs.h"

#include <iostream>
#include <memory>

#if defined(VT_HAVE_SERVER)
#include "common/printable.h"
#include "server/operators.h"
#include "server/registry.h"
#include "server/server.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <algorithm>
#include <mutex>
#include <thread>
#endif

namespace vtl {

namespace {

struct ServeArgs {
    std::string database, store, listen, cert, key, addToken, revokeToken, addOperator, removeOperator;
    std::uint64_t maxUpload = std::uint64_t(64) << 20;
    unsigned sessionMinutes = 480;
};

#if defined(VT_HAVE_SERVER)
std::atomic<bool> stopSignal{false};
extern "C" void onStopSignal(int) { stopSignal = true; }

bool splitListen(const std::string& listen, std::string& host, int& port) {
    const auto colon = listen.rfind(':');
    if (colon == std::string::npos) return false;
    host = listen.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    try {
        std::size_t used = 0;
        port = std::stoi(listen.substr(colon + 1), &used);
        return used == listen.size() - colon - 1 && port >= 0 && port <= 65535 && !host.empty();
    } catch (const std::exception&) {
        return false;
    }
}

// The password from the first line of standard input; the line and every
// copy of it are overwritten before they go.
int operators(const ServeArgs& a, std::istream& in) {
    vt::server::Registry registry(a.database);
    if (!a.removeOperator.empty()) {
        if (!registry.removeOperator(a.removeOperator)) {
            std::cerr << "vtl serve: no operator " << vt::printable(a.removeOperator) << '\n';
            return kNotWhole;
        }
        std::cout << "operator " << vt::printable(a.removeOperator) << " removed" << std::endl;
        return kWhole;
    }
    std::string password;
    std::getline(in, password);
    if (!password.empty() && password.back() == '\r') password.pop_back();
    std::string hash;
    const bool shortOne = password.size() < vt::server::kShortestPassword;
    if (!shortOne) hash = vt::server::hashPassword(password);
    std::fill(password.begin(), password.end(), '\0');
    if (shortOne) {
        std::cerr << "vtl serve: give the password on the first line of standard input, "
                  << vt::server::kShortestPassword << " bytes at least\n";
        return kUsage;
    }
    registry.setOperator(a.addOperator, hash);
    std::cout << "operator " << vt::printable(a.addOperator) << " added" << std::endl;
    return kWhole;
}

int serve(const ServeArgs& a) {
    try {
        if (!a.addOperator.empty() || !a.removeOperator.empty()) return operators(a, std::cin);
        if (!a.addToken.empty() || !a.revokeToken.empty()) {
            vt::server::Registry registry(a.database);
            if (!a.addToken.empty()) {
                const std::string token = vt::server::newToken();
                std::string error;
                if (!registry.addToken(a.addToken, token, error)) {
                    std::cerr << "vtl serve: " << error << '\n';
                    return kUsage;
                }
                std::cout << token << std::endl;
                std::cerr << "vtl serve: the upload token \"" << a.addToken
                          << "\" is printed once; only its hash is kept\n";
                return std::cout ? kWhole : kUsage;
            }
            if (!registry.revokeToken(a.revokeToken)) {
                std::cerr << "vtl serve: no token \"" << a.revokeToken << "\" is in force\n";
                return kNotWhole;
            }
            std::cout << "revoked \"" << a.revokeToken << "\"" << std::endl;
            return kWhole;
        }
        if (a.store.empty()) {
            std::cerr << "vtl serve: --store DIR is needed to serve\n";
            return kUsage;
        }
        vt::server::Options o;
        o.database = a.database;
        o.store = a.store;
        o.cert = a.cert;
        o.key = a.key;
        o.maxUpload = a.maxUpload;
        o.sessionIdle = std::chrono::minutes(a.sessionMinutes);
        if (!a.listen.empty() && !splitListen(a.listen, o.host, o.port)) {
            std::cerr << "vtl serve: --listen takes HOST:PORT, not " << a.listen << '\n';
            return kUsage;
        }
        auto out = std::make_shared<std::mutex>();
        o.say = [out](const std::string& line) {
            std::lock_guard<std::mutex> lock(*out);
            std::cout << line << std::endl;
        };
        o.warn = [out](const std::string& line) {
            std::lock_guard<std::mutex> lock(*out);
            std::cerr << line << std::endl;
        };
        vt::server::Server server(o);
        std::string error;
        if (!server.start(error)) {
            std::cerr << "vtl serve: " << error << '\n';
            return kUsage;
        }
        stopSignal = false;
        const auto previousTerm = std::signal(SIGTERM, onStopSignal);
        const auto previousInt = std::signal(SIGINT, onStopSignal);
#if defined(SIGPIPE)
        std::signal(SIGPIPE, SIG_IGN);
#endif
        std::atomic<bool> ended{false};
        std::thread watcher([&] {
            while (!ended) {
                if (stopSignal) server.stop();
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
        o.say("listening on " + server.url());
        server.run();
        ended = true;
        watcher.join();
        std::signal(SIGTERM, previousTerm);
        std::signal(SIGINT, previousInt);
        o.say("stopped; every stored file is indexed");
        return kWhole;
    } catch (const std::exception& e) {
        std::cerr << "vtl serve: " << e.what() << '\n';
    } catch (...) {
        std::cerr << "vtl serve: unexpected failure\n";
    }
    return kUsage;
}
#else
int serve(const ServeArgs&) {
    std::cerr << "vtl serve: this vtl was built without the server\n";
    return kUsage;
}
#endif

}  // namespace

Verb addServe(CLI::App& app) {
    auto a = std::make_shared<ServeArgs>();
    auto* c = app.add_subcommand("serve", "the league's server: takes logs uploaded with a token, stores and "
                                          "indexes them");
    c->add_option("database", a->database, "the index database (made when missing); the server's own tables "
                                           "are beside it in DATABASE.server")
        ->required();
    c->add_option("--store", a->store, "the directory the uploaded logs are kept in");
    c->add_option("--listen", a->listen, "HOST:PORT to listen on (port 0: a free one); default 127.0.0.1:8431, "
                                         "or every address with TLS");
    auto* cert = c->add_option("--cert", a->cert, "the server's certificate (PEM): serve HTTPS");
    auto* key = c->add_option("--key", a->key, "the certificate's private key (PEM)");
    cert->needs(key);
    key->needs(cert);
    c->add_option("--max-upload", a->maxUpload, "the largest upload taken, in bytes (default 64 MiB)")
        ->check(CLI::Range(std::uint64_t(1), std::uint64_t(1) << 40));
    auto* add = c->add_option("--add-token", a->addToken, "make an upload token NAME, print it once and exit");
    auto* revoke = c->add_option("--revoke-token", a->revokeToken, "revoke the upload token NAME at once and exit");
    c->add_option("--session-minutes", a->sessionMinutes,
                  "a console session ends after this many minutes unused (default 480; 24 h after its login at most)")
        ->check(CLI::Range(1u, 24u * 60u));
    auto* addOp = c->add_option("--add-operator", a->addOperator,
                                "add the console operator NAME (or give it a new password, ending its sessions) "
                                "with the password on the first line of standard input, and exit");
    auto* removeOp = c->add_option("--remove-operator", a->removeOperator,
                                   "remove the console operator NAME and end its sessions at once, and exit");
    add->excludes(revoke);
    for (auto* one : {add, revoke}) {
        one->excludes(addOp);
        one->excludes(removeOp);
    }
    addOp->excludes(removeOp);
    c->footer("Prints \"listening on URL\" once it accepts, then a line per stored upload; SIGTERM stops it "
              "gracefully. Exit status: 0 stopped or done; 1 no such token to revoke or operator to remove; 2 bad arguments, or it "
              "cannot listen or use its database or store.");
    return {c, [a] { return serve(*a); }};
}

}  // namespace vtl
