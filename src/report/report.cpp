#include "report/report.h"

#include "read/logfile.h"
#include "report/html.h"
#include "report/model.h"

#include <boost/filesystem.hpp>

#include <fstream>
#include <ostream>
#include <sstream>

namespace vt {
namespace report {
namespace {

std::string pageName(const std::string& log) {
    const std::string ext = ".vtl";
    const std::size_t slash = log.find_last_of("/\\");
    const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    if (log.size() - base > ext.size() && log.compare(log.size() - ext.size(), ext.size(), ext) == 0)
        return log.substr(0, log.size() - ext.size()) + ".html";
    return log + ".html";
}

bool writeFile(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
    f.close();
    return static_cast<bool>(f);
}

bool sameFile(const std::string& a, const std::string& b) {
    boost::system::error_code ec;
    return boost::filesystem::equivalent(a, b, ec) && !ec;
}

}  // namespace

// A log that was never closed is read as `vtl cat --force` reads it: its key
// searched for (progress on err), its records up to the last whole one.
Source readLog(const std::string& file, bool search, std::ostream& err) {
    read::Options options;
    options.search = search;
    options.progress = [&err](const std::string& line) { err << line << std::endl; };
    read::LogFile log(file, options);
    Source s{file, log.whole(), log.reason(), std::string()};
    if (log.readable()) {
        if (!log.readText([&s](const char* text, std::size_t size) {
                s.text.append(text, size);
                return true;
            }))
            s.reason += s.reason.empty() ? "cannot be read to its end" : "; cannot be read to its end";
    }
    return s;
}

std::string pageFor(const std::vector<Source>& sources, bool& allWhole) {
    const Model model = buildModel(sources);
    allWhole = model.allWhole();
    std::ostringstream page;
    writePage(model, page);
    return page.str();
}

namespace {

int runJobs(const std::vector<std::string>& files, const std::string& output, bool search, std::ostream& out,
            std::ostream& err) {
    std::vector<std::pair<std::vector<std::string>, std::string>> jobs;
    if (!output.empty()) jobs.push_back({files, output});
    else
        for (const auto& f : files) jobs.push_back({{f}, pageName(f)});
    int status = 0;
    for (const auto& job : jobs) {
        bool overwrites = false;
        for (const auto& f : files)
            if (sameFile(f, job.second)) {
                err << job.second << ": would overwrite the log " << f << "; choose another page name\n";
                overwrites = true;
            }
        if (overwrites) {
            status = 1;
            continue;
        }
        bool whole = false;
        std::string page;
        try {
            std::vector<Source> sources;
            for (const auto& f : job.first) {
                sources.push_back(readLog(f, search, err));
                const Source& s = sources.back();
                if (!s.whole)
                    err << f << ": not whole: " << s.reason
                        << (s.text.empty() ? "; nothing can be read" : "; the report shows what can be read") << "\n";
            }
            page = pageFor(sources, whole);
        } catch (const std::exception& e) {
            err << job.second << ": cannot be made: " << e.what() << "\n";
            status = 1;
            continue;
        }
        if (!writeFile(job.second, page)) {
            err << job.second << ": cannot be written\n";
            status = 1;
            continue;
        }
        out << job.second << "\n";
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
