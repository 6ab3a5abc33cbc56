// The league's server: game backends upload their logs over HTTP(S) with a
// bearer token; each is stored whole and synced before it is answered, then
// indexed into the index database as `vtl index` does.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vt {
namespace server {

struct Options {
    std::string database;  // the index database
    std::string store;     // the directory of the uploaded logs
    std::string host;      // empty: 127.0.0.1, or every address under TLS
    int port = 8431;       // 0: a free one
    std::string cert, key; // both or neither: TLS
    std::uint64_t maxUpload = std::uint64_t(64) << 20;
    unsigned threads = 48;             // connections served at once
    std::size_t waiting = 64;          // accepted connections waiting for a thread
    // Whole files waiting to be indexed at most: an upload past them waits up
    // to 2 s for room, then is answered 503.
    std::size_t queueLimit = 192;
    std::chrono::milliseconds roomWait{2000};
    std::chrono::seconds readTimeout{10};
    // A body has this long, and a second more for every 64 KiB it announces.
    std::chrono::milliseconds bodyTime{30000};
    std::chrono::seconds searchLimit{600};  // the key search of one log that is not whole
    // The operators' console: a session ends after this long unused, and
    // this long after its login at the latest. The clock, seconds since the
    // epoch, is the system's unless given (tests move it).
    std::chrono::seconds sessionIdle{480 * 60};
    std::chrono::seconds sessionLimit{24 * 3600};
    std::function<std::int64_t()> clock;
    // Lines for standard output and for standard error (never a token,
    // password or session id).
    std::function<void(const std::string&)> say, warn;
};

class Server {
public:
    // Opens the tables and the store. Throws std::exception when either cannot be used.
    explicit Server(Options options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds the address, queues what the store holds that is not indexed yet,
    // and starts indexing. False with the reason when it cannot listen.
    bool start(std::string& error);
    // "http://HOST:PORT" or "https://...", once started.
    std::string url() const;
    // Accepts until stop(); then finishes what it read and what it stored.
    void run();
    // Safe from any thread, and more than once.
    void stop();
    // Waits until every stored file has been indexed (or its key searched).
    void waitIndexed();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace server
}  // namespace vt
