// `vtl export DB OUTDIR|postgresql://...`: an index database into a lake of
// gzip JSON Lines files by day, or into a PostgreSQL server; only what
// changed since the last export is written again.
#include "verbs.h"

#include "export/export.h"

#include <iostream>
#include <memory>

namespace vtl {

int exportIndex(const std::string& database, const std::string& target, bool full, std::ostream& out,
                std::ostream& err) {
    namespace ex = vt::exporter;
    if (refusePostgresUri(database, "export", err)) return kUsage;
    return guarded(database, err, [&] {
        const bool postgres = ex::isPostgresUri(target);
        if (postgres && !ex::havePostgres()) {
            err << "vtl export: this vtl was built without PostgreSQL support; export to a directory instead\n";
            return kUsage;
        }
        ex::Options options;
        options.full = full;
        options.progress = [&err](const std::string& line) { err << line << std::endl; };
        options.stop = &recover::interruptFlag();
        InterruptGuard guard;
        ex::Summary s;
        std::string error;
        const ex::Status status = postgres ? ex::toPostgres(database, target, options, s, error)
                                           : ex::toLake(database, target, options, s, error);
        switch (status) {
        case ex::Status::Done:
            break;
        case ex::Status::SourceFailed:
            err << error << "\n";
            return kNotWhole;
        case ex::Status::Unreachable:
        case ex::Status::TargetFailed:
            // The server's address is never repeated: it may hold a password.
            err << (postgres ? std::string("PostgreSQL") : target) << ": " << error << "\n";
            err << (status == ex::Status::Unreachable ? "nothing was written\n"
                                                      : "what was written is whole; run the export again to complete it\n");
            return kUsage;
        case ex::Status::Interrupted:
            err << "interrupted; what was written is whole, and the next export goes on from there\n";
            return kInterrupted;
        }
        if (s.otherIndex) out << "the target held an export of another index; it was rewritten whole\n";
        if (!s.daysWritten && !s.daysRemoved && !s.dictionaries)
            out << "up to date at generation " << s.generation << "\n";
        else
            out << "exported generation " << s.generation << (s.full ? " (every day)" : "") << ": " << s.daysWritten
                << " days written, " << s.daysRemoved << " days removed, " << s.dictionaries
                << " other tables written, " << s.rows << " rows\n";
        out.flush();
        return out ? kWhole : kUsage;
    });
}

Verb addExport(CLI::App& app) {
    struct Args {
        std::string database, target;
        bool full = false;
    };
    auto a = std::make_shared<Args>();
    auto* c = app.add_subcommand(
        "export", "export an index database to gzip JSON Lines files by day, or to a PostgreSQL server");
    c->add_option("database", a->database, "the index database (opened read-only)")->required();
    c->add_option("target", a->target,
                  "a directory (new, empty or an earlier export), or a postgresql:// connection URI (never repeated "
                  "in a message)")
        ->required();
    c->add_flag("--full", a->full, "write every day again, not only those changed since the last export");
    c->footer(
        "A directory gets TABLE/day=YYYY-MM-DD/part-0.jsonl.gz for each table with a day, TABLE/part-0.jsonl.gz\n"
        "for the others, _schema.json and _manifest.json. A changed day is rewritten whole under a temporary\n"
        "name, then renamed, so that no reader sees a duplicate or a half file. PostgreSQL gets the same\n"
        "tables, each changed day in one transaction; its state is kept in the table vtl_export_state.");
    return {c, [a] { return exportIndex(a->database, a->target, a->full, std::cout, std::cerr); }};
}

}  // namespace vtl
