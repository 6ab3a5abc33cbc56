// `vtl query DB SQL`: any one statement on a read-only connection; and the
// running of every read verb's statement.
#include "verbs.h"

#include "index/queries.h"
#include "index/schema.h"

#include <iostream>

namespace vtl {

int answer(const std::string& database, const std::string& sql, bool json, std::ostream& out, std::ostream& err) {
    if (refusePostgresUri(database, "query", err)) return kUsage;
    try {
        vt::index::Db db(database, vt::index::Db::Mode::ReadOnly);
        db.exec("PRAGMA query_only=ON");
        vt::index::checkForReading(db);
        db.restrictToReading();
        if (json) {
            vt::index::printRows(db, sql, json, out);
        } else {
            // The rows' control characters as \xNN, which COPY reads back as the bytes.
            PrintableLines filter(out, "\t");
            std::ostream shown(&filter);
            vt::index::printRows(db, sql, json, shown);
            shown.flush();
        }
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
              "feed, carriage return and backslash as \\t, \\n, \\r, \\\\; other control characters as \\xNN, so "
              "that none reaches the terminal; null as \\N), or with --json one object per row (numbers as numbers, "
              "null as null, the texts' exact bytes in JSON's escapes). "
              "Only a statement that reads runs: it may read the index's tables and call the functions that compute a "
              "value; anything else (ATTACH, VACUUM, PRAGMA, extensions, a write) fails. Exit status: 0 "
              "answered; 1 the database cannot be read or the statement fails; 2 bad arguments or the output "
              "cannot be written.");
    return {c, [a] { return answer(a->database, a->sql, a->json, std::cout, std::cerr); }};
}

}  // namespace vtl
