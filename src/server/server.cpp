#include "server/server.h"

#include "index/ingest.h"
#include "server/console.h"
#include "server/registry.h"
#include "server/store.h"

#include <boost/filesystem.hpp>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace vt {
namespace server {

namespace fs = boost::filesystem;
using nlohmann::json;

namespace {

using Clock = std::chrono::steady_clock;

// The connections being served: a fixed number of threads, and a bounded
// number of accepted connections waiting for one. When both are taken the
// accepting thread waits, and further clients wait in the system's backlog.
class BoundedPool : public httplib::TaskQueue {
public:
    BoundedPool(unsigned threads, std::size_t waiting) : waiting_(waiting ? waiting : 1) {
        for (unsigned i = 0; i < (threads ? threads : 1); ++i) threads_.emplace_back([this] { work(); });
    }
    ~BoundedPool() override { shutdown(); }

    void enqueue(std::function<void()> fn) override {
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait(lock, [&] { return jobs_.size() < waiting_ || done_; });
        jobs_.push_back(std::move(fn));
        ready_.notify_one();
    }

    void shutdown() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        ready_.notify_all();
        room_.notify_all();
        for (auto& t : threads_)
            if (t.joinable()) t.join();
    }

private:
    void work() {
        for (;;) {
            std::function<void()> fn;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ready_.wait(lock, [&] { return !jobs_.empty() || done_; });
                if (jobs_.empty()) return;
                fn = std::move(jobs_.front());
                jobs_.pop_front();
                room_.notify_one();
            }
            try {
                fn();
            } catch (...) {
                // A connection that failed is closed; the others go on.
            }
        }
    }

    const std::size_t waiting_;
    std::mutex mutex_;
    std::condition_variable ready_, room_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    bool done_ = false;
};

bool loopback(const std::string& host) {
    return host.rfind("127.", 0) == 0 || host == "localhost" || host == "::1";
}

json uploadJson(const Upload& u) {
    json j;
    j["sha256"] = u.sha256;
    j["file"] = u.file;
    j["state"] = u.state;
    j["records"] = u.records;
    if (u.user || u.match) {
        j["recording"] = {{"user", u.user ? json(*u.user) : json()},
                          {"match", u.match ? json(*u.match) : json()},
                          {"started", u.started}};
    } else {
        j["recording"] = nullptr;
    }
    return j;
}

void answer(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(body.dump() + "\n", "application/json");
}

void refuse(httplib::Response& res, int status, const std::string& why, bool close = false) {
    answer(res, status, json{{"error", why}});
    // The body the client sent (or is sending) was not read: the connection cannot carry another request.
    if (close) res.set_header("Connection", "close");
}

// The token of "Authorization: Bearer TOKEN", or empty.
std::string bearer(const httplib::Request& req) {
    const std::string h = req.get_header_value("Authorization");
    if (h.size() < 7) return {};
    std::string scheme = h.substr(0, 7);
    for (auto& c : scheme) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (scheme != "bearer ") return {};
    std::size_t b = 7, e = h.size();
    while (b < e && h[b] == ' ') ++b;
    while (e > b && (h[e - 1] == ' ' || h[e - 1] == '\t')) --e;
    return h.substr(b, e - b);
}

}  // namespace

struct Server::Impl {
    struct Job {
        std::string sha256, path;
    };

    explicit Impl(Options o) : options(std::move(o)), registry(options.database), store(options.store) {
        if (!options.say) options.say = [](const std::string&) {};
        if (!options.warn) options.warn = [](const std::string&) {};
    }

    Options options;
    Registry registry;
    Store store;
    std::unique_ptr<httplib::Server> http;
    std::unique_ptr<Console> console;
    std::string host, scheme = "http";
    int port = -1;

    // Stored files on their way into the index.
    std::mutex mutex;
    std::condition_variable work, idle, stopCv;
    std::deque<Job> whole, searching;
    std::size_t busy = 0, inBatch = 0;  // batches, and whole files in them
    std::atomic<bool> stopping{false};
    bool stopAsked = false;
    std::atomic<bool> searchStop{false};
    std::thread indexer, searcher;

    // Uploads between their hash and their row: a second upload of the same
    // bytes waits for the first.
    std::mutex flightMutex;
    std::condition_variable landed;
    std::set<std::string> inFlight;

    // Whether a file may be taken now: the files before it in the index's
    // queue are few enough to be indexed within about a second. Waits a little
    // for the queue to shorten, which slows uploaders to the index's pace.
    bool roomToIndex() {
        std::unique_lock<std::mutex> lock(mutex);
        return idle.wait_for(lock, options.roomWait, [&] {
            return stopping || (whole.size() + inBatch < options.queueLimit && searching.size() < kSearchQueue);
        });
    }
    static constexpr std::size_t kSearchQueue = 1024;
    static constexpr std::size_t kBatch = 64;

    void queue(const Upload& u, bool search) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            (search ? searching : whole).push_back({u.sha256, (fs::path(store.dir()) / u.file).string()});
        }
        work.notify_all();
    }

    // What every upload is checked for before its body is read: 0, or the status refused with.
    int precheck(const httplib::Request& req, httplib::Response& res, std::string* tokenName) {
        const std::string token = bearer(req);
        if (token.empty()) {
            refuse(res, 401, "an upload token is needed (Authorization: Bearer TOKEN)", true);
            res.set_header("WWW-Authenticate", "Bearer");
            return 401;
        }
        const auto name = registry.tokenName(token);
        if (!name) {
            refuse(res, 403, "this token is unknown or revoked", true);
            return 403;
        }
        if (req.has_header("Content-Length")) {
            std::uint64_t length = 0;
            try {
                length = std::stoull(req.get_header_value("Content-Length"));
            } catch (const std::exception&) {
                refuse(res, 400, "its Content-Length is no number", true);
                return 400;
            }
            if (length > options.maxUpload) {
                refuse(res, 413, "larger than this server takes (" + std::to_string(options.maxUpload) + " bytes)",
                       true);
                return 413;
            }
        }
        if (!roomToIndex()) {
            refuse(res, 503, "too many uploads are waiting to be indexed; try again later", true);
            res.set_header("Retry-After", "2");
            return 503;
        }
        if (tokenName) *tokenName = *name;
        return 0;
    }

    void upload(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
        std::string token;
        if (precheck(req, res, &token)) return;
        std::string error;
        Store::Incoming in;
        if (!store.begin(in, error)) {
            refuse(res, 500, "cannot store it: " + error, true);
            return;
        }
        std::uint64_t got = 0, expected = 0;
        if (req.has_header("Content-Length")) expected = std::stoull(req.get_header_value("Content-Length"));
        // Slow clients get a deadline for the whole body, not only for each read.
        const auto deadline = Clock::now() + options.bodyTime + std::chrono::seconds(expected >> 16);
        bool tooLarge = false, refused = false, tooSlow = false;
        const bool read = reader([&](const char* data, std::size_t n) {
            got += n;
            if (got > options.maxUpload) return !(tooLarge = true);
            if (!in.write(data, n)) return !(refused = true);
            if (Clock::now() > deadline) return !(tooSlow = true);
            return true;
        });
        if (!read || refused) {
            if (tooLarge)
                refuse(res, 413, "larger than this server takes (" + std::to_string(options.maxUpload) + " bytes)",
                       true);
            else if (refused)
                refuse(res, 507, "no space left to store it; nothing of it was kept", true);
            else if (tooSlow)
                refuse(res, 408, "its body came too slowly", true);
            else
                refuse(res, 400, "its body could not be read", true);
            return;
        }
        if (!in.finish(error)) {
            refuse(res, 507, "no space left to store it (" + error + "); nothing of it was kept");
            return;
        }
        const Examined e = examine(in.path());
        if (e.kind != Examined::Log) {
            refuse(res, 400, (e.why.rfind("not a log", 0) == 0 ? "" : "not a log: ") + e.why + "; nothing was kept");
            return;
        }
        Upload u;
        u.sha256 = in.sha256();
        u.size = in.size();
        u.token = token;
        u.state = e.state;
        u.records = e.records;
        u.user = e.user;
        u.match = e.match;
        u.started = e.started;
        {
            std::unique_lock<std::mutex> lock(flightMutex);
            landed.wait(lock, [&] { return !inFlight.count(u.sha256); });
            if (auto held = registry.find(u.sha256)) {
                answer(res, 200, uploadJson(*held));
                return;
            }
            inFlight.insert(u.sha256);
        }
        struct Landing {
            Impl& impl;
            const std::string& sha;
            ~Landing() {
                {
                    std::lock_guard<std::mutex> lock(impl.flightMutex);
                    impl.inFlight.erase(sha);
                }
                impl.landed.notify_all();
            }
        } landing{*this, u.sha256};
        const std::string name = req.has_param("name") ? req.get_param_value("name") : std::string();
        u.file = store.place(in, safeStem(name), error);
        if (u.file.empty()) {
            refuse(res, 500, "cannot store it: " + error);
            return;
        }
        registry.add(u);
        queue(u, e.needsSearch);
        answer(res, 201, uploadJson(u));
        options.say(u.file + ": stored, " + u.state + ", " + std::to_string(u.records) + " records, " + u.sha256 +
                    ", token " + token);
    }

    // Indexes a batch with the index's own code; each file's row marked as it is committed.
    void indexBatch(const std::vector<Job>& jobs, bool search) {
        std::map<std::string, std::string> shaOf;
        std::vector<std::string> files;
        for (const auto& j : jobs) {
            shaOf[j.path] = j.sha256;
            files.push_back(j.path);
        }
        index::Options io;
        io.search = search;
        io.batch = files.size();
        io.idle = false;
        if (search) io.stop = &searchStop;
        std::set<std::string> done;
        std::string error;
        const bool ok = index::indexFiles(
            options.database, files, io,
            [&](const index::Outcome& o) {
                const auto it = shaOf.find(o.path);
                if (it == shaOf.end()) return;
                if (o.kind == index::Outcome::NotIndexed) {
                    // Ended by a stop, it is searched again at the next start.
                    if (search && searchStop.load() && stopping) return;
                    registry.setIndexed(it->second, 2, "");
                    options.warn(o.line);
                } else {
                    registry.setIndexed(it->second, 1, search ? "recovered" : "");
                }
                done.insert(o.path);
            },
            error);
        if (ok && search && !stopping) {
            // A search ended by its time limit reports nothing: the log is kept, not readable.
            for (const auto& j : jobs)
                if (!done.count(j.path)) {
                    registry.setIndexed(j.sha256, 2, "");
                    options.warn("vtl serve: " + j.path + ": its key was not found within " +
                                 std::to_string(options.searchLimit.count()) + " s; kept, not indexed");
                }
        }
        if (!ok) {
            options.warn("vtl serve: the index refused a batch (" + error + "); it is tried again");
            std::vector<Job> again;
            for (const auto& j : jobs)
                if (!done.count(j.path)) again.push_back(j);
            std::unique_lock<std::mutex> lock(mutex);
            if (!stopping) stopCv.wait_for(lock, std::chrono::seconds(1));
            auto& q = search ? searching : whole;
            q.insert(q.begin(), again.begin(), again.end());
        }
    }

    void indexing(bool search) {
        for (;;) {
            std::vector<Job> jobs;
            {
                std::unique_lock<std::mutex> lock(mutex);
                auto& q = search ? searching : whole;
                work.wait(lock, [&] { return !q.empty() || stopping; });
                // At a stop the whole logs are finished; a key search is left for the next start.
                if (q.empty() || (search && stopping)) return;
                const std::size_t n = search ? 1 : std::min<std::size_t>(q.size(), kBatch);
                jobs.assign(q.begin(), q.begin() + std::ptrdiff_t(n));
                q.erase(q.begin(), q.begin() + std::ptrdiff_t(n));
                ++busy;
                if (!search) inBatch += n;
            }
            try {
                if (search) {
                    searchStop = false;
                    std::mutex timerMutex;
                    std::condition_variable timerCv;
                    bool finished = false;
                    std::thread timer([&] {
                        std::unique_lock<std::mutex> lock(timerMutex);
                        timerCv.wait_for(lock, options.searchLimit, [&] { return finished; });
                        searchStop = true;
                    });
                    indexBatch(jobs, true);
                    {
                        std::lock_guard<std::mutex> lock(timerMutex);
                        finished = true;
                    }
                    timerCv.notify_all();
                    timer.join();
                } else {
                    indexBatch(jobs, false);
                }
            } catch (const std::exception& e) {
                options.warn(std::string("vtl serve: indexing failed: ") + e.what());
            }
            {
                std::lock_guard<std::mutex> lock(mutex);
                --busy;
                if (!search) inBatch -= jobs.size();
            }
            idle.notify_all();
        }
    }

    // What the store holds that is not in the index yet: rows not marked,
    // and files a crash left without a row.
    void resume() {
        std::size_t queued = 0;
        for (const auto& u : registry.notIndexed()) {
            queue(u, u.state == "not whole" && u.records == 0);
            ++queued;
        }
        boost::system::error_code ec;
        for (fs::directory_iterator it(store.dir(), ec), end; !ec && it != end; it.increment(ec)) {
            const std::string file = it->path().filename().string();
            if (it->path().extension() != ".vtl" || !fs::is_regular_file(it->symlink_status())) continue;
            if (registry.holdsFile(file)) continue;
            std::string why;
            const std::string path = it->path().string();
            const std::string sha = index::sha256File(path, why);
            if (sha.empty()) continue;
            if (registry.find(sha)) {
                // A second copy of a file held under another name: a retry after a crash.
                fs::remove(it->path(), ec);
                continue;
            }
            const Examined e = examine(path);
            if (e.kind != Examined::Log) {
                options.warn("vtl serve: " + path + " is in the store but is not a log (" + e.why + "); left alone");
                continue;
            }
            Upload u;
            u.sha256 = sha;
            u.file = file;
            u.size = std::uint64_t(fs::file_size(it->path(), ec));
            u.state = e.state;
            u.records = e.records;
            u.user = e.user;
            u.match = e.match;
            u.started = e.started;
            registry.add(u);
            queue(u, e.needsSearch);
            ++queued;
        }
        if (queued)
            options.warn("vtl serve: indexing " + std::to_string(queued) + " stored files that are not in the index yet");
    }
};

Server::Server(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Server::~Server() {
    stop();
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->stopping = true;
    }
    impl_->searchStop = true;
    impl_->work.notify_all();
    impl_->stopCv.notify_all();
    if (impl_->indexer.joinable()) impl_->indexer.join();
    if (impl_->searcher.joinable()) impl_->searcher.join();
}

bool Server::start(std::string& error) {
    auto& d = *impl_;
    const Options& o = d.options;
    if (o.cert.empty() != o.key.empty()) {
        error = "--cert and --key go together";
        return false;
    }
    if (!o.cert.empty()) {
        d.http = std::make_unique<httplib::SSLServer>(o.cert.c_str(), o.key.c_str());
        d.scheme = "https";
    } else {
        d.http = std::make_unique<httplib::Server>();
    }
    if (!d.http->is_valid()) {
        error = "the certificate or key cannot be used";
        return false;
    }
    d.host = o.host.empty() ? (o.cert.empty() ? "127.0.0.1" : "0.0.0.0") : o.host;
    auto& http = *d.http;
    http.set_payload_max_length(std::size_t(o.maxUpload));
    http.set_read_timeout(o.readTimeout);
    http.set_write_timeout(o.readTimeout);
    http.set_keep_alive_timeout(5);
    http.set_keep_alive_max_count(1000);
    http.new_task_queue = [&d] { return new BoundedPool(d.options.threads, d.options.waiting); };
    http.set_expect_100_continue_handler([&d](const httplib::Request& req, httplib::Response& res) {
        if (req.method == "POST" && req.path == "/api/v1/logs") {
            const int status = d.precheck(req, res, nullptr);
            return status ? status : 100;
        }
        return 100;
    });
    http.Post("/api/v1/logs", [&d](const httplib::Request& req, httplib::Response& res,
                                   const httplib::ContentReader& reader) { d.upload(req, res, reader); });
    // The operators' console and its reads, behind their login.
    d.console = std::make_unique<Console>(d.registry, d.options, d.store.dir(), !o.cert.empty());
    d.console->addRoutes(http);
    http.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        refuse(res, 500, "the server failed on this request", true);
    });
    http.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty()) refuse(res, res.status, res.status == 404 ? "no such place on this server" : "the request was refused (" + std::to_string(res.status) + ")");
    });
    d.port = o.port == 0 ? http.bind_to_any_port(d.host) : (http.bind_to_port(d.host, o.port) ? o.port : -1);
    if (d.port < 0) {
        error = "cannot listen on " + d.host + ":" + std::to_string(o.port);
        return false;
    }
    if (o.cert.empty() && !loopback(d.host))
        o.warn("vtl serve: listening on " + d.host +
               " without TLS: uploads and their tokens cross the network unencrypted (give --cert and --key)");
    d.resume();
    d.indexer = std::thread([&d] { d.indexing(false); });
    d.searcher = std::thread([&d] { d.indexing(true); });
    return true;
}

std::string Server::url() const {
    const auto& d = *impl_;
    const std::string h = d.host.find(':') != std::string::npos ? "[" + d.host + "]" : d.host;
    return d.scheme + "://" + h + ":" + std::to_string(d.port);
}

void Server::run() {
    auto& d = *impl_;
    if (!d.http) return;
    std::atomic<bool> listening{true};
    // A stop may come before the server listens: it is passed on until the listening ends.
    std::thread stopper([&] {
        std::unique_lock<std::mutex> lock(d.mutex);
        while (listening) {
            if (d.stopAsked) d.http->stop();
            d.stopCv.wait_for(lock, std::chrono::milliseconds(50));
        }
    });
    d.http->listen_after_bind();
    listening = false;
    d.stopCv.notify_all();
    stopper.join();
    // What was stored is indexed before the end; a key search waits for the next start.
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.stopping = true;
    }
    d.searchStop = true;
    d.work.notify_all();
    if (d.indexer.joinable()) d.indexer.join();
    if (d.searcher.joinable()) d.searcher.join();
}

void Server::stop() {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->stopAsked = true;
    }
    impl_->stopCv.notify_all();
}

void Server::waitIndexed() {
    auto& d = *impl_;
    std::unique_lock<std::mutex> lock(d.mutex);
    d.idle.wait(lock, [&] { return (d.whole.empty() && d.searching.empty() && d.busy == 0) || d.stopping; });
}

}  // namespace server
}  // namespace vt
