// `vtl find DB`: the matches in which a program ran, a connection was open or
// a machine identifier was reported; or an account's matches.
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
    auto* c = app.add_subcommand("find", "the matches in which a program ran, a connection to an address was open "
                                         "or a volume id or MAC was reported; or an account's matches");
    c->add_option("database", a->database, "the index database")->required();
    auto* program = c->add_option("--program", a->question.program, "a program's file name (any case), e.g. cheat.exe");
    auto* path = c->add_option("--path", a->question.path, "text anywhere in a program's path (any case)");
    auto* remote = c->add_option("--remote", a->question.remote, "a remote IPv4 address: IP[/BITS][:PORT]");
    auto* identifier = c->add_option("--identifier", a->question.identifier,
                                     "a machine identifier as pasted from a log: a MAC (any case, '-', ':' or none) "
                                     "or a volume id");
    c->add_option("--kind", a->question.identifierKind, "what --identifier is, when it is not plain: mac or volume")
        ->check(CLI::IsMember({"mac", "volume"}))
        ->needs(identifier);
    program->excludes(path)->excludes(remote)->excludes(identifier);
    path->excludes(remote)->excludes(identifier);
    remote->excludes(identifier);
    c->add_option("--user", a->question.user, "only this account's matches (alone: all of them)");
    c->add_option("--match", a->question.match, "only this match's recordings (alone: all of them)");
    c->add_option("--from", a->question.from, "the first day, YYYY-MM-DD (the day a recording started)");
    c->add_option("--to", a->question.to, "the last day, YYYY-MM-DD");
    c->add_flag("--json", a->json, "one JSON object per row instead of tab-separated text");
    c->add_flag("--sql", a->sql, "print the one SELECT statement that answers (SQLite and PostgreSQL read it alike) "
                                 "and exit");
    c->footer("One row per match and program (or remote endpoint and program), with how many processes or "
              "connections, and when they were first and last seen; with --identifier one row per recording that "
              "reported it (its account, match, start and end, the identifier as the index spells it, weak and "
              "mark); with only --user or --match one row per recording. Every row ends with recording_id.\n\n"
              "A MAC is found however it is pasted (00:1B:21:AA:BB:CC, 00-1b-21-aa-bb-cc, 001b21aabbcc), a volume "
              "id in any case (DA45-0130 as Windows shows it finds da450130); a whole path given to --program "
              "finds that path, as the log writes it, in any case.");
    return {c, [a] { return findMatches(*a, std::cout, std::cerr); }};
}

}  // namespace vtl
