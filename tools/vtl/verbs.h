// The commands of vtl. Each file of this directory holds one: its options,
// what it prints and its exit status; what they share lives in src/.
#pragma once

#include "index/queries.h"

#include <CLI/CLI.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <streambuf>
#include <string>
#include <vector>

namespace vtl {

// A command: its place on the command line, and what runs it once parsed.
struct Verb {
    CLI::App* command = nullptr;
    std::function<int()> run;
};

Verb addVerify(CLI::App& app);
Verb addCat(CLI::App& app);
Verb addJson(CLI::App& app);
Verb addRecover(CLI::App& app);
Verb addReport(CLI::App& app);
Verb addIndex(CLI::App& app);
Verb addLinks(CLI::App& app);
Verb addFind(CLI::App& app);
Verb addTrend(CLI::App& app);
Verb addQuery(CLI::App& app);
Verb addExport(CLI::App& app);
Verb addServe(CLI::App& app);
Verb addUpload(CLI::App& app);

// Exit status of every command: 0 when every file is whole and everything was
// written; 1 when a file is not whole or cannot be read; 2 for bad arguments
// and when the output cannot be written; 130 when interrupted.
constexpr int kWhole = 0, kNotWhole = 1, kUsage = 2, kInterrupted = 130;

// The work of the commands, with their streams given (tests call these).
int verify(const std::vector<std::string>& files, std::ostream& out);
// Control characters escaped unless raw.
int cat(const std::string& file, bool force, std::ostream& out, std::ostream& err, bool raw = false);
int json(const std::string& file, bool force, std::ostream& out, std::ostream& err);
// An index database into a directory, or a PostgreSQL server (a postgresql:// URI).
int exportIndex(const std::string& database, const std::string& target, bool full, std::ostream& out,
                std::ostream& err);

namespace recover {
struct Options {
    std::vector<std::string> files;
    std::string outDir;          // empty: beside each input
    std::int64_t window = 3600;  // seconds
    std::string around;          // a time instead of the file's own times
    unsigned offsets = 255;
    bool seal = false;           // a sealed log instead of plain text
    unsigned threads = 0;
};
// Never throws; one file's failure never stops the others.
int run(const Options& options, std::ostream& out, std::ostream& err);
// Raised by Ctrl-C while a command searches a key; tests may raise it themselves.
std::atomic<bool>& interruptFlag();
}  // namespace recover

// The index: its verbs' arguments and work.
struct IndexArgs {
    std::string database;
    std::vector<std::string> paths;
    bool search = true;
    std::size_t batch = 256;  // files per transaction at most
};
int indexLogs(const IndexArgs& args, std::ostream& out, std::ostream& err);

struct LinksArgs {
    std::string database;
    std::optional<std::int64_t> user;
    std::string kind;
    std::int64_t common = 20;
    bool weak = false;      // count identifiers that identify no one machine too
    double strength = 0.66;  // the least strength of a pair shown
    std::string from, to;    // YYYY-MM-DD: only recordings of these days count
    bool pairs = false;      // one row per pair of accounts
    bool json = false, sql = false;
};
int links(const LinksArgs& args, std::ostream& out, std::ostream& err);

struct FindArgs {
    std::string database;
    vt::index::FindQuestion question;
    bool json = false, sql = false;
};
int findMatches(const FindArgs& args, std::ostream& out, std::ostream& err);

struct TrendArgs {
    std::string database;
    bool ping = false, rate = false;
    std::string by = "day";
    std::optional<std::int64_t> user;
    std::string server;
    std::string from, to;  // YYYY-MM-DD
    bool json = false;
};
int trend(const TrendArgs& args, std::ostream& out, std::ostream& err);

// Runs one statement on a read-only connection and prints its rows (TSV or
// JSON): 0 answered, 1 the database or the statement failed, 2 no output.
int answer(const std::string& database, const std::string& sql, bool json, std::ostream& out, std::ostream& err);
// The same, or with printOnly the statement itself, for another engine to run.
int answerOrPrint(const std::string& database, const std::string& sql, bool printOnly, bool json, std::ostream& out,
                  std::ostream& err);

// While it lives, Ctrl-C raises recover::interruptFlag() instead of ending
// the program, so that a key search ends cleanly; the handler before it comes
// back after.
class InterruptGuard {
public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

private:
    void (*previous_)(int);
};

// A stream filter for a terminal: each line written onto the target as it
// ends, its control characters escaped as vt::printable escapes them (those
// in keep left as they are; a line feed always ends a line).
class PrintableLines : public std::streambuf {
public:
    PrintableLines(std::ostream& target, std::string keep) : target_(target), keep_(std::move(keep) + "\n") {}
    ~PrintableLines() override;
    PrintableLines(const PrintableLines&) = delete;
    PrintableLines& operator=(const PrintableLines&) = delete;

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int sync() override;

private:
    bool put(bool all);
    std::ostream& target_;
    std::string keep_, line_;
};

// The refusal of a database argument that is a PostgreSQL URI, which these
// commands do not open, without repeating it (it may hold a password); true
// when refused.
bool refusePostgresUri(const std::string& database, const char* command, std::ostream& err);

// Runs a command body: no exception leaves it, a failure inside is reported
// as "NAME: cannot be read (...)" for that file and counts as not whole.
int guarded(const std::string& name, std::ostream& err, const std::function<int()>& body);

}  // namespace vtl
