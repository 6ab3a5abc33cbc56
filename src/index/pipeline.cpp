#include "index/files.h"
#include "index/ingest.h"
#include "index/schema.h"

#include "log/file_source.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace vt {
namespace index {

namespace {

// Parsed logs handed from the reading thread to the writing one, a few at a time.
class Queue {
public:
    void push(Parsed p) {
        std::unique_lock<std::mutex> lock(m_);
        notFull_.wait(lock, [&] { return items_.size() < kCapacity || closed_; });
        if (closed_) return;
        items_.push_back(std::move(p));
        notEmpty_.notify_one();
    }
    // False when the queue is finished and empty.
    bool pop(Parsed& out) {
        std::unique_lock<std::mutex> lock(m_);
        notEmpty_.wait(lock, [&] { return !items_.empty() || finished_; });
        if (items_.empty()) return false;
        out = std::move(items_.front());
        items_.pop_front();
        notFull_.notify_one();
        return true;
    }
    enum Got { Item, Waited, Done };
    // pop, waiting at most `wait`.
    Got popFor(Parsed& out, std::chrono::milliseconds wait) {
        std::unique_lock<std::mutex> lock(m_);
        if (!notEmpty_.wait_for(lock, wait, [&] { return !items_.empty() || finished_; })) return Waited;
        if (items_.empty()) return Done;
        out = std::move(items_.front());
        items_.pop_front();
        notFull_.notify_one();
        return Item;
    }
    void finish() {
        std::lock_guard<std::mutex> lock(m_);
        finished_ = true;
        notEmpty_.notify_all();
    }
    // A parsed log that has been written goes back to the reading thread to be
    // freed there: memory freed by the thread that took it is freed without
    // contention for the allocator's locks.
    void bury(Parsed&& p) {
        std::lock_guard<std::mutex> lock(m_);
        graveyard_.push_back(std::move(p));
    }
    void sweep() {
        std::deque<Parsed> dead;
        {
            std::lock_guard<std::mutex> lock(m_);
            dead.swap(graveyard_);
        }
    }
    // The reader stops: nothing more is taken.
    void close() {
        std::lock_guard<std::mutex> lock(m_);
        closed_ = true;
        notFull_.notify_all();
    }

private:
    static constexpr std::size_t kCapacity = 8;
    std::mutex m_;
    std::condition_variable notEmpty_, notFull_;
    std::deque<Parsed> items_, graveyard_;
    bool finished_ = false, closed_ = false;
};

// Joins the reading thread however the writing one ends.
class Joiner {
public:
    Joiner(std::thread& t, Queue& q, std::atomic<bool>& quit) : t_(t), q_(q), quit_(quit) {}
    ~Joiner() {
        quit_.store(true);
        q_.close();
        if (t_.joinable()) t_.join();
    }

private:
    std::thread& t_;
    Queue& q_;
    std::atomic<bool>& quit_;
};

}  // namespace

bool indexFiles(const std::string& database, const std::vector<std::string>& files, const Options& options,
                const std::function<void(const Outcome&)>& report, std::string& error) {
    try {
        // SQLite would open a device or a FIFO, and make its journal beside it.
        bool missing = false;
        const std::string notRegular = notRegularFile(database, missing);
        if (!notRegular.empty() && !missing) {
            error = "the database must be a regular file or not exist yet, and this is " + notRegular;
            return false;
        }
        Db db(database, Db::Mode::ReadWrite);
        prepareForWriting(db);
        Writer writer(db);

        Queue queue;
        std::atomic<bool> quit{false};
        auto stopped = [&] { return quit.load() || (options.stop && options.stop->load()); };
        std::thread reader([&] {
            try {
                std::unique_ptr<Db> lookup;
                try {
                    lookup = std::make_unique<Db>(database, Db::Mode::ReadOnly);
                } catch (const Error&) {
                }
                std::unique_ptr<Stmt> known;
                if (lookup) known = std::make_unique<Stmt>(*lookup, "SELECT path FROM files WHERE sha256 = ?");
                read::Options ro;
                ro.search = options.search;
                ro.progress = options.progress;
                ro.stop = options.stop;
                auto isKnown = [&](const std::string& sha) -> std::optional<std::string> {
                    if (!known) return {};
                    try {
                        known->bind(1, sha);
                        std::optional<std::string> path;
                        if (known->step()) path = known->text(0);
                        known->reset();
                        return path;
                    } catch (const Error&) {
                        known->reset();
                        return {};  // the writer looks again
                    }
                };
                for (const auto& f : files) {
                    if (stopped()) break;
                    queue.sweep();
                    queue.push(parseLog(f, ro, isKnown));
                }
                queue.sweep();
            } catch (...) {
                // Out of memory: the files not handed over are not indexed, and said so below.
            }
            queue.finish();
        });
        Joiner joiner(reader, queue, quit);

        std::vector<Outcome> pending;
        std::size_t done = 0;
        std::int64_t records = 0;
        auto lastProgress = std::chrono::steady_clock::now();
        const auto started = lastProgress;
        auto flush = [&] {
            if (writer.open()) writer.commit();
            for (const auto& o : pending) report(o);
            pending.clear();
        };
        try {
            Parsed p;
            auto begun = std::chrono::steady_clock::now();
            for (;;) {
                // A transaction is held while files come; when the reader is
                // slow (a key search), what was written is committed first.
                if (writer.open() && options.idle) {
                    const auto got = queue.popFor(p, std::chrono::milliseconds(200));
                    if (got == Queue::Done) break;
                    if (got == Queue::Waited) {
                        flush();
                        continue;
                    }
                } else if (!queue.pop(p)) {
                    break;
                }
                if (options.stop && options.stop->load()) break;
                // A known file changes nothing (no transaction) unless it was renamed.
                if ((!p.failure.empty() || (p.known && !gone(p.knownAs, p.path))) && !writer.open()) {
                    report(writer.write(p));
                } else {
                    if (!writer.open()) {
                        writer.begin();
                        begun = std::chrono::steady_clock::now();
                    }
                    pending.push_back(writer.write(p));
                    if (options.afterFile) options.afterFile(p);
                }
                ++done;
                records += p.records;
                queue.bury(std::move(p));
                p = Parsed();
                const auto now = std::chrono::steady_clock::now();
                if (pending.size() >= options.batch || (options.idle && now - begun > std::chrono::seconds(1))) flush();
                if (options.progress && now - lastProgress > std::chrono::seconds(1)) {
                    lastProgress = now;
                    const double s = std::chrono::duration<double>(now - started).count();
                    options.progress("indexing: " + std::to_string(done) + " of " + std::to_string(files.size()) +
                                     " files, " + std::to_string(std::int64_t(double(records) / s)) + " records/s");
                }
            }
            flush();
        } catch (const std::exception& e) {
            writer.rollback();
            error = e.what();
            for (auto& o : pending) {
                o.kind = Outcome::NotIndexed;
                o.line = o.path + ": not indexed: the database refused its batch (" + error + ")";
                report(o);
            }
            return false;
        }
        if (done < files.size() && !(options.stop && options.stop->load()))
            error = std::to_string(files.size() - done) + " files were not read";
        return error.empty();
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
}
}  // namespace index
}  // namespace vt
