// vtl: reads and checks vantorelle match logs.
#include "log/reader.h"
#include "log/recover.h"
#include "report/report.h"

#include <CLI/CLI.hpp>

#include <exception>
#include <iostream>

namespace {

int run(int argc, char** argv) {
    CLI::App app{"vtl: check and read vantorelle match logs (.vtl)"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("vtl ") + VT_VERSION);

    std::vector<std::string> files;
    auto* verify = app.add_subcommand("verify", "tell for each file whether it is whole");
    verify->add_option("files", files, "log files")->required();

    std::string file;
    bool force = false;
    auto* cat = app.add_subcommand("cat", "print the records of a whole log");
    cat->add_option("file", file, "log file")->required();
    cat->add_flag("--force", force, "read a log that is not whole as far as possible");

    auto* json = app.add_subcommand("json", "print one JSON object per record");
    json->add_option("file", file, "log file")->required();
    json->add_flag("--force", force, "read a log that is not whole as far as possible");

    vt::recover::Options rec;
    auto* recover = app.add_subcommand("recover", "find the key of logs that were never closed and read their records");
    recover->add_option("files", rec.files, "log files")->required();
    recover->add_option("--out", rec.outDir, "directory for the recovered files (default: beside each log)");
    recover->add_option("--window", rec.window, "seconds searched before each of the file's times (default 3600)");
    recover->add_option("--around", rec.around, "search the window on both sides of this time instead: \"YYYY-MM-DD hh:mm:ss\" or seconds since 1970");
    recover->add_option("--offsets", rec.offsets, "largest number of values drawn before the key (default 255)");
    recover->add_flag("--seal", rec.seal, "write a sealed log instead of plain text");
    std::string output;
    auto* report = app.add_subcommand("report", "write a self-contained HTML page of a match");
    report->add_option("files", files, "log files of one match")->required();
    report->add_option("-o,--output", output, "one page for all the files (default: FILE.html next to each log)");

    CLI11_PARSE(app, argc, argv);
    std::ios::sync_with_stdio(false);
    if (*verify) return vt::reader::verify(files, std::cout);
    if (*recover) return vt::recover::run(rec, std::cout, std::cerr);
    if (*report) return vt::report::run(files, output, std::cout, std::cerr);
    if (*cat) return vt::reader::cat(file, force, std::cout, std::cerr);
    if (*json) return vt::reader::json(file, force, std::cout, std::cerr);
    std::cerr << "vtl: no command given\n";
    return 2;
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
    return 2;
}
