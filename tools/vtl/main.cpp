// vtl: reads and checks vantorelle match logs.
#include "verbs.h"

#include <exception>
#include <iostream>

namespace {

int run(int argc, char** argv) {
    CLI::App app{"vtl: check and read vantorelle match logs (.vtl)"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("vtl ") + VT_VERSION);
    app.footer("Exit status: 0 every file is whole and all output was written; 1 a file is not whole or cannot be\n"
               "read; 2 bad arguments, or the output cannot be written; 130 interrupted.");
    const std::vector<vtl::Verb> verbs = {vtl::addVerify(app), vtl::addCat(app), vtl::addJson(app),
                                          vtl::addRecover(app), vtl::addReport(app),
                                          vtl::addIndex(app),  vtl::addLinks(app),   vtl::addFind(app),
                                          vtl::addTrend(app),  vtl::addQuery(app),
                                          vtl::addExport(app),
                                          vtl::addServe(app),  vtl::addUpload(app)};
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Help and the version are no failure; every other parse error is bad arguments.
        return app.exit(e) == 0 ? 0 : vtl::kUsage;
    }
    std::ios::sync_with_stdio(false);
    for (const auto& verb : verbs)
        if (*verb.command) return verb.run();
    std::cerr << "vtl: no command given\n";
    return vtl::kUsage;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "vtl: " << e.what() << "\n";
    } catch (...) {
        std::cerr << "vtl: unexpected failure\n";
    }
    return vtl::kUsage;
}
