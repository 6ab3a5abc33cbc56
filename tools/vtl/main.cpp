// vtl: reads and checks vantorelle match logs.
#include "log/reader.h"

#include <CLI/CLI.hpp>

#include <iostream>

int main(int argc, char** argv) {
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

    CLI11_PARSE(app, argc, argv);
    std::ios::sync_with_stdio(false);
    if (*verify) return vt::reader::verify(files, std::cout);
    if (*cat) return vt::reader::cat(file, force, std::cout, std::cerr);
    return vt::reader::json(file, force, std::cout, std::cerr);
}
