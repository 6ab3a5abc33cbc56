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

namespace vt {
namespace index {

// A pair of accounts is reported when its strength, the sum over the
// identifiers it shares of 2 / (accounts that have it), is at least
// `strength`: one identifier only the two have counts 1, one on 20 accounts
// 0.1. Weak identifiers (a mark: no one machine's) count only when asked for.
struct LinksQuestion {
    std::optional<std::int64_t> user;  // that account's whole cluster
    std::string kind;                  // "volume", "mac" or empty: both
    std::int64_t common = 20;          // identifiers on more accounts are left out
    bool weak = false;                 // count weak identifiers too
    double strength = 0.66;            // the least strength of a pair reported
};
std::string linksSql(const LinksQuestion& q);

struct FindQuestion {
    std::string program;  // a program's file name, any case
    std::string path;     // text within a program's path, any case
    std::string remote;   // IP[/BITS][:PORT]
    std::string from, to; // YYYY-MM-DD
};
// Empty, with the reason in error, when the question is not well formed.
std::string findSql(const FindQuestion& q, std::string& error);

struct TrendQuestion {
    bool rate = false;       // throughput instead of ping
    std::string by = "day";  // day, week or match
    std::optional<std::int64_t> user;
    std::string server;
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

// Runs one statement and writes its rows: tab-separated with a header line,
// as PostgreSQL's COPY ... TO STDOUT (FORMAT text, HEADER) writes them (null
// as \N; tab, line feed, carriage return and backslash as \t \n \r \\), or
// one JSON object per line. Returns the rows written; throws Error.
std::int64_t printRows(Db& db, const std::string& sql, bool json, std::ostream& out);

}  // namespace index
}  // namespace vt
