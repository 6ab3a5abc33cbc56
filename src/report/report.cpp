#include "report/report.h"

#include "read/logfile.h"
#include "read/newfile.h"
#include "report/html.h"
#include "report/model.h"

#include <boost/filesystem.hpp>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <ostream>
#include <streambuf>

namespace vt {
namespace report {
namespace {

namespace fs = boost::filesystem;

// The default page of a log: its directory, and the name without ".vtl".
void pageName(const std::string& log, std::string& dir, std::string& stem) {
    const std::string ext = ".vtl";
    const std::size_t slash = log.find_last_of("/\\");
    const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    dir = slash == std::string::npos ? std::string(".") : log.substr(0, slash + 1);
    stem = log.substr(base);
    if (stem.size() > ext.size() && stem.compare(stem.size() - ext.size(), ext.size(), ext) == 0)
        stem.resize(stem.size() - ext.size());
}

bool sameFile(const std::string& a, const std::string& b) {
    boost::system::error_code ec;
    return fs::equivalent(a, b, ec) && !ec;
}

// A regular file (not a link) whose head names this generator: a page an
// earlier `vtl report` made.
bool earlierPage(const std::string& path) {
    boost::system::error_code ec;
    if (fs::symlink_status(path, ec).type() != fs::regular_file) return false;
    std::ifstream f(path, std::ios::binary);
    char head[1024] = {};
    f.read(head, sizeof head - 1);
    const std::string text(head, static_cast<std::size_t>(f.gcount()));
    return text.compare(0, 15, "<!DOCTYPE html>") == 0 &&
           text.find(std::string("<meta name=\"generator\" content=\"") + kGenerator + "\">") != std::string::npos;
}

// The default page's file: the first of name.html, name_1.html, ... that is
// free or an earlier page, which is replaced (renamed over, never written through).
bool createDefault(NewFile& file, const std::string& dir, const std::string& stem, std::ostream& err,
                   std::string& error) {
    for (int i = 0; i < 100; ++i) {
        const std::string name = stem + (i ? "_" + std::to_string(i) : std::string());
        const std::string path = (fs::path(dir) / (name + ".html")).string();
        boost::system::error_code ec;
        const fs::file_type type = fs::symlink_status(path, ec).type();
        bool made;
        if (type == fs::file_not_found) made = file.createFree(dir, name, ".html", error);
        else if (earlierPage(path)) made = file.createAt(path, error);
        else continue;
        if (made && i > 0)
            err << (fs::path(dir) / (stem + ".html")).string()
                << ": is there and is no page of vtl report (or is a link); left alone\n";
        return made;
    }
    error = "no free name for " + stem + ".html in " + dir;
    return false;
}

// An ostream onto a NewFile.
class FileBuf : public std::streambuf {
public:
    explicit FileBuf(NewFile& file) : file_(file) { setp(buf_, buf_ + sizeof buf_); }
    ~FileBuf() override { sync(); }
    int sync() override {
        const std::size_t n = static_cast<std::size_t>(pptr() - pbase());
        if (n) file_.write(pbase(), n);
        setp(buf_, buf_ + sizeof buf_);
        return 0;
    }

protected:
    int_type overflow(int_type c) override {
        sync();
        if (c != traits_type::eof()) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        sync();
        file_.write(s, static_cast<std::size_t>(n));
        return n;
    }

private:
    NewFile& file_;
    char buf_[1 << 16];
};

}  // namespace

Model readModel(const std::vector<std::string>& files, bool search, std::ostream& err) {
    read::Options options;
    options.search = search;
    options.progress = [&err](const std::string& line) { err << line << std::endl; };
    struct Log {
        std::unique_ptr<read::LogFile> file;
        bool timed = false;
        long long first = 0;
    };
    std::vector<Log> logs;
    for (const auto& f : files) {
        Log l;
        l.file.reset(new read::LogFile(f, options));
        // The first readable stamp puts the logs of a match in order (one
        // log learns it as its lines come).
        if (l.file->readable() && files.size() > 1)
            l.file->readLines([&l](const std::string& line, bool, std::uint64_t) {
                l.timed = lineSeconds(line, l.first);
                return !l.timed;
            });
        logs.push_back(std::move(l));
    }
    std::stable_sort(logs.begin(), logs.end(), [](const Log& a, const Log& b) {
        if (a.timed != b.timed) return a.timed;
        return a.timed && a.first < b.first;
    });
    ModelBuilder builder;
    for (auto& l : logs) {
        read::LogFile& log = *l.file;
        std::string reason = log.reason();
        std::size_t records = 0;
        if (files.size() > 1) builder.beginLog(log.path(), log.whole(), reason, l.timed, l.first);
        else builder.beginLog(log.path(), log.whole(), reason);
        if (log.readable() && !log.readLines([&](const std::string& line, bool cut, std::uint64_t length) {
                // A line past the record limit is shown cut, marked as `vtl cat` marks it.
                if (cut)
                    builder.line(line + " [cut at " + std::to_string(read::kRecordLimit) + " of " +
                                 std::to_string(length) + " bytes]");
                else
                    builder.line(line);
                ++records;
                return true;
            })) {
            reason += reason.empty() ? "cannot be read to its end" : "; cannot be read to its end";
            builder.notWhole(reason);
        }
        builder.endLog();
        if (!log.whole() || !reason.empty())
            err << log.path() << ": not whole: " << reason
                << (records == 0 ? "; nothing can be read" : "; the report shows what can be read") << "\n";
    }
    return builder.finish();
}

namespace {

int runJobs(const std::vector<std::string>& files, const std::string& output, bool search, std::ostream& out,
            std::ostream& err) {
    std::vector<std::pair<std::vector<std::string>, std::string>> jobs;
    if (!output.empty()) jobs.push_back({files, output});
    else
        for (const auto& f : files) jobs.push_back({{f}, std::string()});
    int status = 0;
    for (const auto& job : jobs) {
        std::string dir, stem;
        if (job.second.empty()) pageName(job.first[0], dir, stem);
        const std::string named = job.second.empty() ? (fs::path(dir) / (stem + ".html")).string() : job.second;
        bool overwrites = false;
        for (const auto& f : files)
            if (!job.second.empty() && sameFile(f, job.second)) {
                err << job.second << ": would overwrite the log " << f << "; choose another page name\n";
                overwrites = true;
            }
        if (overwrites) {
            status = 1;
            continue;
        }
        bool whole = false;
        NewFile file;
        std::string error;
        try {
            const Model model = readModel(job.first, search, err);
            whole = model.allWhole();
            const bool made = job.second.empty() ? createDefault(file, dir, stem, err, error)
                                                 : file.createAt(job.second, error);
            if (made) {
                FileBuf buf(file);
                std::ostream page(&buf);
                writePage(model, page);
                page.flush();
            }
            if (!made || !file.commit(error)) {
                err << named << ": cannot be written (" << error << ")\n";
                status = 1;
                continue;
            }
        } catch (const std::exception& e) {
            err << named << ": cannot be made: " << e.what() << "\n";
            status = 1;
            continue;
        }
        out << file.path() << "\n";
        if (!whole && status == 0) status = 2;
    }
    return status;
}

}  // namespace

int run(const std::vector<std::string>& files, const std::string& output, bool search, std::ostream& out,
        std::ostream& err) {
    try {
        return runJobs(files, output, search, out, err);
    } catch (const std::exception& e) {
        err << "vtl report: " << e.what() << "\n";
        return 1;
    }
}

}  // namespace report
}  // namespace vt
