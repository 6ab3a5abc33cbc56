// `vtl index DB PATH...`: logs into the index database, one line per file.
#include "verbs.h"

#include "common/printable.h"
#include "index/ingest.h"

#include <iostream>

namespace vtl {

int indexLogs(const IndexArgs& args, std::ostream& out, std::ostream& err) {
    if (refusePostgresUri(args.database, "index", err)) return kUsage;
    try {
        std::vector<std::string> missing;
        const auto files = vt::index::collectFiles(args.paths, missing);
        int status = kWhole;
        // Names and reasons printed as they come from the disk and the logs:
        // control characters escaped, so that a name keeps to its line.
        for (const auto& m : missing) {
            err << "vtl index: " << vt::printable(m) << '\n';
            status = kNotWhole;
        }
        vt::index::Options options;
        options.search = args.search;
        options.batch = args.batch;
        options.progress = [&err](const std::string& line) { err << line << std::endl; };
        options.stop = &recover::interruptFlag();
        InterruptGuard guard;
        bool written = true;
        const auto report = [&](const vt::index::Outcome& o) {
            out << vt::printable(o.line) << '\n';
            out.flush();
            if (!out) written = false;
            if (o.kind == vt::index::Outcome::IndexedPartial || o.kind == vt::index::Outcome::NotIndexed)
                status = std::max(status, int(kNotWhole));
        };
        std::string error;
        const bool ok = vt::index::indexFiles(args.database, files, options, report, error);
        if (!written) {
            err << "vtl index: the output cannot be written\n";
            return kUsage;
        }
        if (recover::interruptFlag().load()) {
            err << "vtl index: interrupted; what was indexed is kept, a rerun goes on from there\n";
            return kInterrupted;
        }
        if (!ok) {
            err << "vtl index: " << args.database << ": " << error << '\n';
            return kUsage;
        }
        return status;
    } catch (const std::exception& e) {
        err << "vtl index: " << e.what() << '\n';
    } catch (...) {
        err << "vtl index: unexpected failure\n";
    }
    return kUsage;
}

Verb addIndex(CLI::App& app) {
    auto a = std::make_shared<IndexArgs>();
    auto* c = app.add_subcommand("index", "index logs into one SQLite database for the questions of links, find, "
                                          "trend and query");
    c->add_option("database", a->database, "the database (made when missing)")->required();
    c->add_option("paths", a->paths, "log files, or directories searched for *.vtl")->required();
    c->add_flag("--no-search{false}", a->search,
                "do not search the key of a log without its trailer (for bulk runs); such a log is not indexed");
    c->add_option("--batch", a->batch,
                  "files per transaction at most (a transaction also ends after a second); a file's line is printed "
                  "once its transaction is committed")
        ->check(CLI::Range(std::size_t(1), std::size_t(1) << 20));
    c->footer("One line per file on standard output: \"indexed N records\", \"already indexed\", \"indexed N records, "
              "not whole: REASON\" or \"not indexed: REASON\"; progress on standard error. A file is known by its "
              "SHA-256; a recording (user, match, start) keeps one file: a whole one over a partial one, more "
              "records over fewer. Exit status: 0 every file was indexed whole or known; 1 a file was not whole or "
              "not indexed; 2 bad arguments, or the database or the output cannot be written; 130 interrupted (what "
              "was indexed is kept).");
    return {c, [a] { return indexLogs(*a, std::cout, std::cerr); }};
}

}  // namespace vtl
