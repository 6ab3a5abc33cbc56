// The lake: gzip JSON Lines files in the directory layout that Spark, Trino,
// DuckDB and ClickHouse read as it is. Every file is written under a
// temporary name beside its place and renamed there once complete, so a
// reader sees the old file or the new one, never half of one; the manifest is
// written last, so an export that stops early is simply done again.
#include "export/core.h"
#include "read/newfile.h"

#include <boost/filesystem.hpp>

#ifdef VT_HAVE_ZLIB
#include <zlib.h>
#endif

#include <fstream>
#include <iterator>
#include <set>
#include <vector>

namespace vt {
namespace exporter {

namespace {

namespace fs = boost::filesystem;

const char* const kPart = "part-0.jsonl.gz";
const char* const kManifest = "_manifest.json";
const char* const kSchema = "_schema.json";

// The whole of a small file, read and closed again: Windows cannot rename a
// file over one that is still open. False when it cannot be read.
bool readWhole(const fs::path& path, std::string& text) {
    std::ifstream in(path.string(), std::ios::binary);
    if (!in) return false;
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// A file written whole or not at all: under a hidden temporary name in the
// directory of its place, renamed there by commit().
class WholeFile {
public:
    bool open(const fs::path& place, std::string& error) {
        place_ = place;
        return file_.createFree(place.parent_path().string(), "." + place.filename().string(), ".tmp", error);
    }
    bool write(const std::string& data) { return file_.write(data); }
    bool write(const void* data, std::size_t size) { return file_.write(data, size); }
    const fs::path& place() const { return place_; }
    bool commit(std::string& error) {
        if (!file_.commit(error)) return false;
        boost::system::error_code ec;
        fs::rename(file_.path(), place_, ec);
        if (ec) {
            error = "cannot put " + place_.string() + " in its place (" + ec.message() + ")";
            fs::remove(file_.path(), ec);
            return false;
        }
        return true;
    }

private:
    NewFile file_;
    fs::path place_;
};

#ifdef VT_HAVE_ZLIB
// gzip into a WholeFile.
class GzipFile {
public:
    GzipFile() = default;
    GzipFile(const GzipFile&) = delete;
    GzipFile& operator=(const GzipFile&) = delete;
    ~GzipFile() {
        if (started_) deflateEnd(&z_);
    }

    bool open(const fs::path& place, std::string& error) {
        if (!file_.open(place, error)) return false;
        z_ = z_stream();
        if (deflateInit2(&z_, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
            error = "cannot start compressing";
            return false;
        }
        started_ = true;
        return true;
    }

    bool write(const std::string& data) { return pump(data, Z_NO_FLUSH); }

    // A write the disk refused fails here, with its reason; nothing is left behind.
    bool commit(std::string& error) {
        if (!pump(std::string(), Z_FINISH) && !failed_) {
            error = "cannot compress " + file_.place().string();
            return false;
        }
        return file_.commit(error);
    }

private:
    bool pump(const std::string& data, int flush) {
        if (failed_) return false;
        z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
        z_.avail_in = uInt(data.size());
        int rc = Z_OK;
        do {
            unsigned char out[1 << 16];
            z_.next_out = out;
            z_.avail_out = sizeof out;
            rc = deflate(&z_, flush);
            if (rc == Z_STREAM_ERROR) return false;
            const std::size_t n = sizeof out - z_.avail_out;
            if (n && !file_.write(out, n)) {
                failed_ = true;
                return false;
            }
        } while (z_.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
        return true;
    }

    z_stream z_{};
    bool started_ = false, failed_ = false;
    WholeFile file_;
};
#else
// A build without zlib writes no lake.
class GzipFile {
public:
    bool open(const fs::path&, std::string& error) {
        error = "this vtl was built without zlib, so it cannot write gzip files";
        return false;
    }
    bool write(const std::string&) { return false; }
    bool commit(std::string& error) { return open(fs::path(), error); }
};
#endif

bool writeWhole(const fs::path& place, const std::string& content, std::string& error) {
    WholeFile f;
    if (!f.open(place, error)) return false;
    f.write(content);  // a refused write fails the commit, with its reason
    return f.commit(error);
}

std::string dayDir(const std::string& day) { return "day=" + day; }

class Lake : public Sink {
public:
    explicit Lake(const std::string& outDir) : root_(outDir) {}

    bool loadState(State& state, bool& found, std::string& error) override {
        found = false;
        boost::system::error_code ec;
        const fs::file_status st = fs::status(root_, ec);
        if (st.type() == fs::file_not_found) return true;
        if (st.type() != fs::directory_file) {
            error = "not a directory";
            return false;
        }
        // The manifest alone makes a directory an earlier export: it is written
        // before anything else, and rewritten last.
        if (fs::symlink_status(root_ / kManifest, ec).type() != fs::regular_file) {
            boost::system::error_code listed;
            if (fs::directory_iterator(root_, listed) != fs::directory_iterator() || listed) {
                error = std::string("neither empty nor an earlier export (it has no ") + kManifest + ")";
                return false;
            }
            return true;
        }
        std::string text;
        if (!readWhole(root_ / kManifest, text)) {
            error = std::string("its ") + kManifest + " cannot be read";
            return false;
        }
        found = true;
        // A manifest that does not read is an export's all the same, of nothing known.
        if (!State::fromJson(text, state)) {
            state = State();
            state.complete = false;
        }
        return true;
    }

    bool claim(const Schema& schema, const State& unfinished, std::string& error) override {
        boost::system::error_code ec;
        fs::create_directories(root_, ec);
        if (ec) {
            error = "cannot create " + root_.string() + " (" + ec.message() + ")";
            return false;
        }
        return writeWhole(root_ / kManifest, unfinished.toJson(schema), error);
    }

    bool prepare(const Schema& schema, bool, std::string& error) override {
        boost::system::error_code ec;
        fs::create_directories(root_, ec);
        if (ec) {
            error = "cannot create " + root_.string() + " (" + ec.message() + ")";
            return false;
        }
        const std::string text = schema.toJson();
        std::string held;
        if (readWhole(root_ / kSchema, held) && held == text) return true;
        return writeWhole(root_ / kSchema, text, error);
    }

    bool heldDays(const Schema& schema, std::set<std::string>& days, std::string&) override {
        for (const Table& t : schema.tables) {
            if (!t.byDay()) continue;
            boost::system::error_code ec;
            for (fs::directory_iterator it(root_ / t.name, ec), end; !ec && it != end; it.increment(ec)) {
                const std::string name = it->path().filename().string();
                if (name.compare(0, 4, "day=") == 0) days.insert(name.substr(4));
            }
        }
        return true;
    }

    bool beginDay(const std::string& day, std::string&) override {
        day_ = day;
        return true;
    }
    bool endDay(std::string&) override {
        day_.clear();
        return true;
    }

    bool beginTable(const Table& table, std::string&) override {
        place_ = root_ / table.name;
        if (table.byDay()) place_ /= dayDir(day_);
        place_ /= kPart;
        file_.reset();
        return true;
    }

    bool row(const Table& table, const Row& row, std::string& error) override {
        if (!file_) {
            boost::system::error_code ec;
            fs::create_directories(place_.parent_path(), ec);
            if (ec) {
                error = "cannot create " + place_.parent_path().string() + " (" + ec.message() + ")";
                return false;
            }
            clearTemporaries(place_.parent_path());
            file_ = std::make_unique<GzipFile>();
            if (!file_->open(place_, error)) return false;
        }
        if (file_->write(jsonLine(table, row, false) + "\n")) return true;
        file_->commit(error);  // gives the reason and removes what was made
        file_.reset();
        return false;
    }

    bool endTable(const Table& table, std::uint64_t rows, std::string& error) override {
        if (rows) {
            const bool ok = file_->commit(error);
            file_.reset();
            return ok;
        }
        return removePart(place_.parent_path(), !table.byDay() ? fs::path() : place_.parent_path(), error);
    }

    bool finish(const Schema& schema, const State& state, std::string& error) override {
        return writeWhole(root_ / kManifest, state.toJson(schema), error);
    }

private:
    // Temporaries left by an export that was killed.
    static void clearTemporaries(const fs::path& dir) {
        boost::system::error_code ec;
        const std::string prefix = std::string(".") + kPart;
        std::vector<fs::path> left;
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string name = it->path().filename().string();
            if (name.compare(0, prefix.size(), prefix) == 0 && name.size() > 4 &&
                name.compare(name.size() - 4, 4, ".tmp") == 0)
                left.push_back(it->path());
        }
        for (const fs::path& p : left) fs::remove(p, ec);
    }

    // Removes the part file of dir; and dir itself when it is a day's and left empty.
    static bool removePart(const fs::path& dir, const fs::path& dayDirectory, std::string& error) {
        boost::system::error_code ec;
        if (!fs::exists(dir, ec)) return true;
        fs::remove(dir / kPart, ec);
        if (ec) {
            error = "cannot remove " + (dir / kPart).string() + " (" + ec.message() + ")";
            return false;
        }
        clearTemporaries(dir);
        if (!dayDirectory.empty() && fs::is_empty(dayDirectory, ec)) fs::remove(dayDirectory, ec);
        return true;
    }

    fs::path root_, place_;
    std::string day_;
    std::unique_ptr<GzipFile> file_;
};

}  // namespace

Status toLake(const std::string& database, const std::string& outDir, const Options& options, Summary& summary,
              std::string& error) {
    try {
        Lake lake(outDir);
        return run(database, lake, options, summary, error);
    } catch (const std::exception& e) {
        error = e.what();
    } catch (...) {
        error = "unexpected failure";
    }
    return Status::TargetFailed;
}

bool isPostgresUri(const std::string& target) {
    return target.rfind("postgresql://", 0) == 0 || target.rfind("postgres://", 0) == 0;
}

}  // namespace exporter
}  // namespace vt
