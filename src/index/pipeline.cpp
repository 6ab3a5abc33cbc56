// The two threads of indexing: one reads files and cuts them into rows, the
// other writes the rows, a bounded queue between them.
#include "index/files.h"
#include "index/ingest.h"
#include "index/schema.h"

#include "common/bounded_queue.h"
#include "log/file_source.h"

#include <chrono>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace vt {
namespace index {

namespace {

using Clock = std::chrono::steady_clock;
// Parsed logs on their way from the reading thread to the writing one, in
// batches: a log with rows goes at once, closing its batch; known files and
// files that cannot be indexed (nothing to write) go many to a batch, so
// that a rerun over known files does not wake the writer for each.
using Batch = std::vector<Parsed>;
constexpr std::size_t kQueued = 8;
constexpr std::size_t kBatchedAtMost = 64;
constexpr std::chrono::milliseconds kBatchedAtLongest{100};
using Queue = BoundedQueue<Batch>;
// Files looked up in one read snapshot of the database.
constexpr std::size_t kSnapshotFiles = 64;

// A parsed log that has been written goes back to the reading thread to be
// freed there: memory freed by the thread that took it is freed without
// contention for the allocator's locks.
class Graveyard {
public:
    void bury(Batch&& b) {
        std::lock_guard<std::mutex> lock(m_);
        dead_.push_back(std::move(b));
    }
    void sweep() {
        std::deque<Batch> dead;
        std::lock_guard<std::mutex> lock(m_);
        if (!dead_.empty()) dead.swap(dead_);
    }

private:
    std::mutex m_;
    std::deque<Batch> dead_;
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

// The reading thread: every file parsed into the queue, known files told by
// a connection of its own.
void readFiles(const std::string& database, const std::vector<std::string>& files, const Options& options,
               const std::function<bool()>& stopped, Queue& queue, Graveyard& graveyard) {
    try {
        std::unique_ptr<Db> lookup;
        try {
            lookup = std::make_unique<Db>(database, Db::Mode::ReadOnly);
        } catch (const Error&) {
        }
        std::unique_ptr<Stmt> known;
        if (lookup) known = std::make_unique<Stmt>(*lookup, "SELECT path FROM files WHERE sha256 = ?");
        // The lookups share a read snapshot, renewed every so many files (a
        // snapshot of its own for each costs a round of file locks): a file
        // written since is not seen as known here, and the writer finds it.
        std::size_t sinceSnapshot = kSnapshotFiles;
        auto renew = [&] {
            if (!lookup || ++sinceSnapshot < kSnapshotFiles) return;
            sinceSnapshot = 0;
            try {
                if (!lookup->autocommit()) lookup->exec("COMMIT");
                lookup->exec("BEGIN");
            } catch (const Error&) {
            }
        };
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
        Batch batch;
        Clock::time_point opened;
        auto hand = [&] {
            const bool taken = batch.empty() || queue.push(std::move(batch));
            batch = Batch();
            return taken;
        };
        for (const auto& f : files) {
            if (stopped()) break;
            graveyard.sweep();
            renew();
            if (batch.empty()) opened = Clock::now();
            batch.push_back(parseLog(f, ro, isKnown));
            const Parsed& p = batch.back();
            const bool rows = !p.known && p.failure.empty();
            const bool full = batch.size() >= kBatchedAtMost || Clock::now() - opened > kBatchedAtLongest;
            if ((rows || full) && !hand()) break;
        }
        hand();
        graveyard.sweep();
    } catch (...) {
        // Out of memory: the files not handed over are not indexed, and said so by the caller.
    }
    queue.finish();
}

// The writing thread's side: what comes from the queue written in
// transactions; each outcome reported once its transaction has committed.
class Ingest {
public:
    Ingest(Writer& writer, const Options& options, const std::function<void(const Outcome&)>& report,
           std::size_t files)
        : writer_(writer), options_(options), report_(report), files_(files) {}

    void run(Queue& queue, Graveyard& graveyard) {
        Batch batch;
        for (;;) {
            // A transaction is held while files come; when the reader is
            // slow (a key search), what was written is committed first.
            if (writer_.open() && options_.idle) {
                const auto got = queue.popFor(batch, std::chrono::milliseconds(200));
                if (got == Queue::Got::Done) break;
                if (got == Queue::Got::Waited) {
                    flush();
                    continue;
                }
            } else if (!queue.pop(batch)) {
                break;
            }
            for (const Parsed& p : batch) {
                if (options_.stop && options_.stop->load()) break;
                write(p);
            }
            graveyard.bury(std::move(batch));
            batch = Batch();
            if (options_.stop && options_.stop->load()) break;
        }
        flush();
    }

    // The batch the database refused: its files are not indexed.
    void refused(const std::string& error) {
        writer_.rollback();
        for (auto& o : pending_) {
            o.kind = Outcome::NotIndexed;
            o.line = o.path + ": not indexed: the database refused its batch (" + error + ")";
            report_(o);
        }
        pending_.clear();
    }

    std::size_t done() const { return done_; }

private:
    void write(const Parsed& p) {
        // A known file changes nothing (no transaction) unless it was renamed.
        if ((!p.failure.empty() || (p.known && !gone(p.knownAs, p.path))) && !writer_.open()) {
            report_(writer_.write(p));
        } else {
            if (!writer_.open()) {
                writer_.begin();
                begun_ = Clock::now();
            }
            pending_.push_back(writer_.write(p));
            if (options_.afterFile) options_.afterFile(p);
        }
        ++done_;
        records_ += p.records;
        const auto now = Clock::now();
        if (pending_.size() >= options_.batch || (options_.idle && now - begun_ > std::chrono::seconds(1))) flush();
        if (options_.progress && now - lastProgress_ > std::chrono::seconds(1)) {
            lastProgress_ = now;
            const double s = std::chrono::duration<double>(now - started_).count();
            options_.progress("indexing: " + std::to_string(done_) + " of " + std::to_string(files_) + " files, " +
                              std::to_string(std::int64_t(double(records_) / s)) + " records/s");
        }
    }

    void flush() {
        if (writer_.open()) writer_.commit();
        for (const auto& o : pending_) report_(o);
        pending_.clear();
    }

    Writer& writer_;
    const Options& options_;
    const std::function<void(const Outcome&)>& report_;
    const std::size_t files_;
    std::vector<Outcome> pending_;
    std::size_t done_ = 0;
    std::int64_t records_ = 0;
    const Clock::time_point started_ = Clock::now();
    Clock::time_point lastProgress_ = started_, begun_ = started_;
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

        Queue queue(kQueued);
        Graveyard graveyard;
        std::atomic<bool> quit{false};
        const std::function<bool()> stopped = [&] { return quit.load() || (options.stop && options.stop->load()); };
        std::thread reader([&] { readFiles(database, files, options, stopped, queue, graveyard); });
        Joiner joiner(reader, queue, quit);

        Ingest ingest(writer, options, report, files.size());
        try {
            ingest.run(queue, graveyard);
        } catch (const std::exception& e) {
            error = e.what();
            ingest.refused(error);
            return false;
        }
        if (ingest.done() < files.size() && !(options.stop && options.stop->load()))
            error = std::to_string(files.size() - ingest.done()) + " files were not read";
        return error.empty();
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
}

}  // namespace index
}  // namespace vt
