// `vtl query DB SQL`: any one statement on a read-only connection; and the
// running of every read verb's statement.
#include "verbs.h"

#include "index/queries.h"
#include "index/schema.h"

#include <iostream>

namespace vtl {

int answer(const std::string& database, const std::string& sql, bool json, std::ostream& out, std::ostream& err) {
    try {
        vt::index::Db db(database, vt::index::Db::Mode::ReadOnly);
        db.exec("PRAGMA query_only=ON");
        vt::index::checkForReading(db);
        vt::index::printRows(db, sql, json, out);
        out.flush();
        if (!out) {
            err << "vtl: the output cannot be written\n";
            return kUsage;
        }
        return kWhole;
    } catch (const std::exception& e) {
        err << database << ": " << e.what() << '\n';
        return kNotWhole;
    } catch (...) {
        err << database << ": unexpected failure\n";
        return kNotWhole;
    }
}

int answerOrPrint(const std::string& database, const std::string& sql, bool printOnly, bool json, std::ostream& out,
                  std::ostream& err) {
    if (!printOnly) return answer(database, sql, json, out, err);
    out << sql << ";\n";
    out.flush();
    return out ? kWhole : kUsage;
}

Verb addQuery(CLI::App& app) {
    struct Args {
        std::string database, sql;
        bool json = false;
    };
    auto a = std::make_shared<Args>();
    auto* c = app.add_subcommand("query", "run one SQL statement on the index, read-only");
    c->add_option("database", a->database, "the index database")->required();
    c->add_option("sql", a->sql, "one SQL statement")->required();
    c->add_flag("--json", a->json, "one JSON object per row instead of tab-separated text");
    c->footer("Rows are tab-separated with a header line as PostgreSQL's COPY text format writes them (tab, line "
              "feed, carriage return and backslash as \\t, \\n, \\r, \\\\; null as \\N), or with --json one object per row (numbers as numbers, null as null). "
              "The connection is read-only: a statement that would change the database fails. Exit status: 0 "
              "answered; 1 the database cannot be read or the statement fails; 2 bad arguments or the output "
              "cannot be written.");
    return {c, [a] { return answer(a->database, a->sql, a->json, std::cout, std::cerr); }};
}

}  // namespace vtl
