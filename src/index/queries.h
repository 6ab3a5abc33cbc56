// The questions the index answers, as SQL, and their rows as text.
//
// The statements of `links` and `find` keep to what SQLite and PostgreSQL
// both read (no function or syntax of one of them alone, a total order), with
// their parameters written in as literals: the same text asks a copy of the
// tables in PostgreSQL the same question, and gets the same rows.
#pragma once

#include "index/sqlite.h"

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace vt {
namespace index {

// A pair of accounts is reported when its strength, the sum over the
// identifiers it shares of 2 / (accounts that have it), is at least
// `strength`: one identifier only the two have counts 1, one on 20 accounts
// 0.1. Weak identifiers (a mark: no one machine's) count only when asked for.
//
// Each row also counts the matches in which the two accounts reported the
// identifier at the same time (same_time: one match id, each recording
// started before the other ended): one machine cannot play twice at once, so
// that is a cloned disk image or a copied address, not one player on two
// accounts.
struct LinksQuestion {
    std::optional<std::int64_t> user;  // that account's whole cluster
    std::string kind;                  // "volume", "mac" or empty: both
    std::int64_t common = 20;          // identifiers on more accounts are left out
    bool weak = false;                 // count weak identifiers too
    double strength = 0.66;            // the least strength of a pair reported
    // YYYY-MM-DD, either may be empty: only recordings of these days count, so
    // that a machine sold on (one account until a day, another after) can be
    // told from one shared at the same time.
    std::string from, to;
    // One row per pair of accounts (user_a, user_b, strength, shared, the
    // identifiers as a list, matches and days of each, same_time) instead of
    // one per pair and identifier.
    bool pairs = false;
};
// Empty, with the reason in error, when the question is not well formed.
std::string linksSql(const LinksQuestion& q, std::string& error);

// At most one of program, path, remote and identifier; with none of them,
// user or match lists that account's (or match's) recordings. Every row ends
// with the recording's id (recordings.id).
struct FindQuestion {
    std::string program;  // a program's file name, any case (or its whole path)
    std::string path;     // text within a program's path, any case
    std::string remote;   // IP[/BITS][:PORT]
    std::string identifier;      // a volume id or MAC, as pasted from a log
    std::string identifierKind;  // "mac", "volume" or empty: six hex pairs are a MAC
    std::optional<std::int64_t> user;   // only this account's recordings
    std::optional<std::int64_t> match;  // only this match's
    std::string from, to;  // YYYY-MM-DD
};
// Empty, with the reason in error, when the question is not well formed.
std::string findSql(const FindQuestion& q, std::string& error);

// A machine identifier in the index's spelling.
struct IdentifierValue {
    std::string kind;   // "mac" or "volume"
    std::string value;  // a MAC as the log writes it: 00-1b-21-aa-bb-cc; a volume id lower case
};
// A value pasted from a log, a report or a tool into that spelling: a MAC in
// any case with '-', ':' or no separator (also "description @ MAC", as a
// log's fact reads), a volume id in any case, "DA45-0130" as Windows shows it
// read as da450130. kind is "mac", "volume" or empty (guessed: six hex pairs
// are a MAC, eight hex digits a volume id). False, with the reason in error,
// when it is neither.
bool identifierAsIndexed(const std::string& pasted, const std::string& kind, IdentifierValue& out,
                         std::string& error);

struct TrendQuestion {
    bool rate = false;       // throughput instead of ping
    std::string by = "day";  // day, week or match
    std::optional<std::int64_t> user;
    std::string server;
    std::string from, to;    // YYYY-MM-DD, either may be empty
};
std::string trendSql(const TrendQuestion& q, std::string& error);

// An IPv4 address with an optional prefix length and port, as the range of
// addresses it covers. False when it is none.
struct Remote {
    std::int64_t first = 0, last = 0;
    std::optional<std::int64_t> port;
};
bool parseRemote(const std::string& text, Remote& out);
bool isDay(const std::string& text);
// Empty when from and to are days (or empty) in order; else why not.
std::string checkDays(const std::string& from, const std::string& to);

// Runs one statement and writes its rows: tab-separated with a header line,
// as PostgreSQL's COPY ... TO STDOUT (FORMAT text, HEADER) writes them (null
// as \N; tab, line feed, carriage return and backslash as \t \n \r \\), or
// one JSON object per line. Returns the rows written; throws Error.
std::int64_t printRows(Db& db, const std::string& sql, bool json, std::ostream& out);
// The row s stands on as the one JSON object (one line) that printRows writes
// of it: each column by its name (names[i] for column i).
std::string jsonRow(Stmt& s, const std::vector<std::string>& names);

}  // namespace index
}  // namespace vt
