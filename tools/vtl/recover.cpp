// `vtl recover FILE...`: finds the key of logs that were never closed and
// writes their records to new files, never over the input.
#include "verbs.h"

#include "log/container.h"
#include "log/format.h"
#include "common/schema.h"
#include "platform/os.h"
#include "read/keysearch.h"
#include "read/logfile.h"
#include "read/newfile.h"
#include "read/sealed.h"

#include <boost/filesystem.hpp>

#include <algorithm>
#include <iostream>
#include <sstream>

namespace vtl {
namespace recover {
namespace {

namespace fs = boost::filesystem;
namespace keysearch = vt::keysearch;

std::string leafOf(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string stemOf(const std::string& path) {
    std::string leaf = leafOf(path);
    const std::size_t dot = leaf.rfind('.');
    if (dot != std::string::npos && dot > 0) leaf.resize(dot);
    return leaf;
}

std::string directoryOf(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) return ".";
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

// The recovered records as plain text, as `vtl cat` prints them.
bool writeText(vt::read::LogFile& log, vt::NewFile& file) {
    return log.readText([&file](const char* text, std::size_t size) { return file.write(text, size); });
}

// The recovered records as a new sealed log, under the same key, written in
// chunks.
bool writeSealed(vt::read::LogFile& log, vt::NewFile& file, const std::string& from) {
    std::string buffer;
    bool written = true;
    auto flush = [&] {
        written = file.write(buffer) && written;
        buffer.clear();
        return written;
    };
    const bool whole = vt::read::writeRecovered(log, from, [&](const unsigned char* data, std::size_t size) {
        buffer.append(reinterpret_cast<const char*>(data), size);
        return buffer.size() < vt::kReadChunk || flush();
    });
    return flush() && whole;
}

class Command {
public:
    Command(const Options& o, std::ostream& out, std::ostream& err) : o_(o), out_(out), err_(err) {}

    int file(const std::string& path) {
        vt::read::Options options;
        keysearch::SearchBounds bounds;
        bounds.window = o_.window;
        bounds.offsets = o_.offsets;
        bounds.threads = o_.threads;
        if (!o_.around.empty()) {
            bounds.anchors.emplace_back(o_.around, *keysearch::parseTime(o_.around));
            bounds.bothSides = true;
        } else {
            bounds.anchors = keysearch::fileAnchors(path);
        }
        options.bounds = bounds;
        options.progress = [this](const std::string& line) { err_ << line << std::endl; };
        options.stop = &interruptFlag();
        vt::read::LogFile log(path, options);

        using vt::read::State;
        switch (log.state()) {
        case State::NotAFile: return fail(path, "not a log file (" + log.reason() + ")");
        case State::Unreadable: return fail(path, log.reason());
        case State::NotALog: return fail(path, log.notALog());
        case State::Whole:
        case State::Appended:
            out_ << path << ": whole; it needs no recovery and was left alone";
            if (log.state() == State::Appended)
                out_ << " (" << fileSize(path) % vt::kBlock << " bytes after its trailer do not belong to it)";
            out_ << "\n";
            return kWhole;
        case State::NoKey:
            if (log.interrupted()) {
                out_ << path << ": interrupted after " << log.tried() << " candidates; nothing was written\n";
                return kInterrupted;
            }
            if (log.found())
                return fail(path, log.how() + ", but the file holds no whole record");
            return fail(path, "key not found within " + log.searched());
        case State::Recovered: break;
        }
        return write(path, log);
    }

private:
    static std::uint64_t fileSize(const std::string& path) {
        boost::system::error_code ec;
        const auto n = fs::file_size(path, ec);
        return ec ? 0 : n;
    }

    int write(const std::string& path, vt::read::LogFile& log) {
        const vt::salvage::Scan& scan = log.scan();
        const std::string dir = o_.outDir.empty() ? directoryOf(path) : o_.outDir;
        vt::NewFile file;
        std::string error;
        bool ok = file.createFree(dir, stemOf(path) + "_recovered", o_.seal ? ".vtl" : ".txt", error);
        if (ok) ok = o_.seal ? writeSealed(log, file, leafOf(path)) : writeText(log, file);
        if (!file.commit(error) || !ok) {
            if (error.empty()) error = "the log could not be read to its end";
            return fail(path, log.how() + ", but " + error + "; nothing was written");
        }
        out_ << path << ": recovered " << scan.count << " records (" << scan.length << " bytes) into "
             << file.path() << "; " << log.how();
        if (scan.damaged)
            out_ << "; the file is damaged after byte " << scan.length << " and was read up to the damage";
        else if (scan.stopRecord)
            out_ << "; the recording was closed but its trailer is missing or damaged";
        else if (scan.unread)
            out_ << "; the last " << scan.unread << " bytes hold an unfinished record";
        out_ << "\n";
        return kWhole;
    }

    int fail(const std::string& path, const std::string& why) {
        out_ << path << ": " << why << "\n";
        return kNotWhole;
    }

    const Options& o_;
    std::ostream& out_;
    std::ostream& err_;
};

}  // namespace

int run(const Options& o, std::ostream& out, std::ostream& err) {
    try {
        if (o.window < 0 || o.window > 10LL * 366 * 86400) {
            err << "vtl recover: --window must be 0 to 316224000 seconds\n";
            return kUsage;
        }
        if (o.offsets > 65535) {
            err << "vtl recover: --offsets must be 0 to 65535\n";
            return kUsage;
        }
        if (!o.around.empty() && !keysearch::parseTime(o.around)) {
            err << "vtl recover: --around wants \"YYYY-MM-DD hh:mm:ss\" (local time, a date and time that exist) "
                   "or seconds since 1970, not '"
                << o.around << "'\n";
            return kUsage;
        }
        if (!o.outDir.empty()) {
            boost::system::error_code ec;
            if (!fs::is_directory(o.outDir, ec)) {
                err << "vtl recover: --out " << o.outDir << " is not a directory\n";
                return kUsage;
            }
        }
        InterruptGuard guard;
        Command command(o, out, err);
        int status = kWhole;
        for (const auto& path : o.files) {
            const int s = guarded(path, out, [&] { return command.file(path); });
            out.flush();
            if (s == kInterrupted) return kInterrupted;
            status = std::max(status, s);
        }
        return status;
    } catch (const std::exception& e) {
        err << "vtl recover: " << e.what() << "\n";
    } catch (...) {
        err << "vtl recover: unexpected failure\n";
    }
    return kNotWhole;
}

}  // namespace recover

Verb addRecover(CLI::App& app) {
    auto o = std::make_shared<recover::Options>();
    auto* c = app.add_subcommand("recover", "find the key of logs that were never closed and read their records");
    c->add_option("files", o->files, "log files")->required();
    c->add_option("--out", o->outDir, "directory for the recovered files (default: beside each log)");
    c->add_option("--window", o->window, "seconds searched before each of the file's times (default 3600)");
    c->add_option("--around", o->around,
                  "search the window on both sides of this time instead: \"YYYY-MM-DD hh:mm:ss\" or seconds since 1970");
    c->add_option("--offsets", o->offsets, "largest number of values drawn before the key (default 255)");
    c->add_flag("--seal", o->seal, "write a sealed log instead of plain text");
    return {c, [o] { return recover::run(*o, std::cout, std::cerr); }};
}

}  // namespace vtl
