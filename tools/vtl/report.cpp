// `vtl report FILE... [-o OUT.html]`: the match on one self-contained page.
#include "verbs.h"

#include "report/report.h"

#include <iostream>

namespace vtl {

Verb addReport(CLI::App& app) {
    struct Args {
        std::vector<std::string> files;
        std::string output;
        bool noSearch = false;
    };
    auto a = std::make_shared<Args>();
    auto* c = app.add_subcommand("report", "write a self-contained HTML page of a match");
    c->add_option("files", a->files, "log files of one match")->required();
    c->add_option("-o,--output", a->output, "one page for all the files (default: FILE.html next to each log)");
    c->add_flag("--no-search", a->noSearch,
                "do not search the key of a log that was never closed (that can take minutes); show it as not whole");
    return {c, [a] { return vt::report::run(a->files, a->output, !a->noSearch, std::cout, std::cerr); }};
}

}  // namespace vtl
