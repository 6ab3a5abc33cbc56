// `vtl find DB`: the matches in which a program ran or a connection was open.
#include "verbs.h"

#include "index/queries.h"

#include <iostream>

namespace vtl {

int findMatches(const FindArgs& a, std::ostream& out, std::ostream& err) {
    std::string error;
    const std::string sql = vt::index::findSql(a.question, error);
    if (sql.empty()) {
        err << "vtl find: " << error << '\n';
        return kUsage;
    }
    return answerOrPrint(a.database, sql, a.sql, a.json, out, err);
}

Verb addFind(CLI::App& app) {
    auto a = std::make_shared<FindArgs>();
    auto* c = app.add_subcommand("find", "the matches in which a program ran or a connection to an address was open");
    c->add_option("database", a->database, "the index database")->required();
    auto* program = c->add_option("--program", a->question.program, "a program's file name (any case), e.g. cheat.exe");
    auto* path = c->add_option("--path", a->question.path, "text anywhere in a program's path (any case)");
    auto* remote = c->add_option("--remote", a->question.remote, "a remote IPv4 address: IP[/BITS][:PORT]");
    program->excludes(path)->excludes(remote);
    path->excludes(remote);
    c->add_option("--from", a->question.from, "the first day, YYYY-MM-DD (the day a recording started)");
    c->add_option("--to", a->question.to, "the last day, YYYY-MM-DD");
    c->add_flag("--json", a->json, "one JSON object per row instead of tab-separated text");
    c->add_flag("--sql", a->sql, "print the one SELECT statement that answers (SQLite and PostgreSQL read it alike) "
                                 "and exit");
    c->footer("One row per match and program (or remote endpoint and program), with how many processes or "
              "connections, and when they were first and last seen.");
    return {c, [a] { return findMatches(*a, std::cout, std::cerr); }};
}

}  // namespace vtl
