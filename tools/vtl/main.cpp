// vtl: reads and checks vantorelle match logs.
#include "log/reader.h"
#include "report/report.h"

#include <CLI/CLI.hpp>

#include <iostream>

int main(int argc, char** argv) {
    CLI::App app{"vtl: check and read vantorelle match logs (.vtl)"};
    app.require_subcommand(1);

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

    std::string output;
    auto* report = app.add_subcommand("report", "write a self-contained HTML page of a match");
    report->add_option("files", files, "log files of one match")->required();
    report->add_option("-o,--output", output, "one page for all the files (default: FILE.html next to each log)");

    CLI11_PARSE(app, argc, argv);
    std::ios::sync_with_stdio(false);
    if (*verify) return vt::reader::verify(files, std::cout);
    if (*report) return vt::report::run(files, output, std::cout, std::cerr);
    if (*cat) return vt::reader::cat(file, force, std::cout, std::cerr);
    return vt::reader::json(file, force, std::cout, std::cerr);
}
