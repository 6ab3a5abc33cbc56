// `vtl cat FILE` and `vtl json FILE`: the records of a log, as text or as one
// JSON object each. Without --force only a whole log is shown; with it, what
// can be read, its key searched for when it has no trailer.
#include "verbs.h"

#include "read/logfile.h"
#include "read/records.h"
#include "common/printable.h"

#include <iostream>

namespace vtl {
namespace {

using LineFn = std::function<void(std::ostream& out, const std::string& line, bool cut, std::uint64_t length)>;

int show(const std::string& file, bool force, std::ostream& out, std::ostream& err, const LineFn& print) {
    return guarded(file, err, [&] {
        vt::read::Options options;
        options.search = force;
        options.progress = [&err](const std::string& line) { err << line << std::endl; };
        options.stop = &recover::interruptFlag();
        InterruptGuard guard;
        vt::read::LogFile log(file, options);
        if (!log.regular()) {
            err << file << ": not a log file (" << log.reason() << ")\n";
            return kNotWhole;
        }
        if (!log.whole()) {
            if (!force || !log.readable()) {
                err << file << ": not whole: " << log.reason() << "\n";
                if (force) err << file << ": its records cannot be read, so nothing can be shown\n";
                else err << "use --force to read as much as can be recovered\n";
                return log.interrupted() ? kInterrupted : kNotWhole;
            }
            err << file << ": warning: not whole: " << log.reason() << "\n";
        }
        const bool done = log.readLines([&](const std::string& line, bool cut, std::uint64_t length) {
            print(out, line, cut, length);
            return bool(out);
        });
        out.flush();
        if (!out) {
            err << file << ": the output cannot be written\n";
            return kUsage;
        }
        if (!done) {
            err << file << ": cannot be read to its end (it changed or vanished while it was read)\n";
            return kNotWhole;
        }
        return log.whole() ? kWhole : kNotWhole;
    });
}

void addForce(CLI::App* c, bool& force) {
    c->add_flag("--force", force,
                "read a log that is not whole as far as it can be read, searching its key when it has no trailer");
}

}  // namespace

int cat(const std::string& file, bool force, std::ostream& out, std::ostream& err, bool raw) {
    return show(file, force, out, err, [raw](std::ostream& o, const std::string& line, bool cut, std::uint64_t length) {
        // A forged record's control characters never reach the terminal, unless asked for.
        if (raw) o << line;
        else o << vt::printable(line);
        if (cut) o << " [cut at " << vt::read::kRecordLimit << " of " << length << " bytes]";
        o << '\n';
    });
}

int json(const std::string& file, bool force, std::ostream& out, std::ostream& err) {
    return show(file, force, out, err, [](std::ostream& o, const std::string& line, bool cut, std::uint64_t length) {
        vt::read::Record r = vt::read::parseRecord(line);
        r.cut = cut;
        r.length = cut ? length : 0;
        o << vt::read::toJson(r) << '\n';
    });
}

namespace {
struct ReaderArgs {
    std::string file;
    bool force = false, raw = false;
};

CLI::App* addReader(CLI::App& app, const char* name, const char* what, ReaderArgs& a) {
    auto* c = app.add_subcommand(name, what);
    c->add_option("file", a.file, "log file")->required();
    addForce(c, a.force);
    return c;
}
}  // namespace

Verb addCat(CLI::App& app) {
    auto a = std::make_shared<ReaderArgs>();
    auto* c = addReader(app, "cat", "print the records of a whole log", *a);
    c->add_flag("--raw", a->raw, "print the records' exact bytes, control characters included");
    c->footer("Control characters in a record (C0, DEL, C1) are printed as \\xNN, so that a forged log cannot "
              "steer the terminal; --raw prints the exact bytes, and vtl json escapes them as JSON does.");
    return {c, [a] { return cat(a->file, a->force, std::cout, std::cerr, a->raw); }};
}

Verb addJson(CLI::App& app) {
    auto a = std::make_shared<ReaderArgs>();
    auto* c = addReader(app, "json", "print one JSON object per record", *a);
    return {c, [a] { return json(a->file, a->force, std::cout, std::cerr); }};
}

}  // namespace vtl
