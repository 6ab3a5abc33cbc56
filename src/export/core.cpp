#include "export/core.h"

#include "common/hex.h"
#include "export/source.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <exception>
#include <new>
#include <set>
#include <stdexcept>

namespace vt {
namespace exporter {

namespace {

using json = nlohmann::ordered_json;

std::uint64_t fnv1a(std::uint64_t h, const std::string& data) {
    for (unsigned char c : data) {
        h ^= c;
        h *= 0x100000001b3ull;
    }
    return h;
}

std::string hex64(std::uint64_t v) { return hex::number(v, 16); }

std::string hexBytes(std::string_view bytes) { return hex::bytes(bytes.data(), bytes.size()); }

// Dictionaries: small; rewritten whole when their rows differ from the last
// export's. False when the target failed.
bool writeDictionaries(Source& source, Sink& sink, const State& old, State& now, bool full, Summary& summary,
                       std::string& error) {
    for (const Table& t : source.schema().tables) {
        if (t.byDay()) continue;
        std::uint64_t h = 0xcbf29ce484222325ull, n = 0;
        {
            Source::Cursor c(source, t, nullptr);
            for (; !c.atEnd(); c.advance(), ++n) h = fnv1a(h, jsonLine(t, c.row(), true) + "\n");
        }
        now.dictionaries[t.name] = hex64(h) + "/" + std::to_string(n);
        const auto was = old.dictionaries.find(t.name);
        if (!full && was != old.dictionaries.end() && was->second == now.dictionaries[t.name]) continue;
        if (!sink.beginTable(t, error)) return false;
        std::uint64_t rows = 0;
        for (Source::Cursor c(source, t, nullptr); !c.atEnd(); c.advance(), ++rows)
            if (!sink.row(t, c.row(), error)) return false;
        if (!sink.endTable(t, rows, error)) return false;
        summary.rows += rows;
        ++summary.dictionaries;
    }
    return true;
}

// Partitioned tables: one cursor each in day order, walked together a day at a time.
Status writeDays(Source& source, Sink& sink, std::set<std::string>& days, bool full, const Options& options,
                 Summary& summary, std::string& error) {
    auto say = [&](const std::string& line) {
        if (options.progress) options.progress(line);
    };
    std::vector<std::pair<const Table*, std::unique_ptr<Source::Cursor>>> cursors;
    if (!days.empty() || full)
        for (const Table& t : source.schema().tables)
            if (t.byDay()) cursors.emplace_back(&t, std::make_unique<Source::Cursor>(source, t, full ? nullptr : &days));
    std::size_t done = 0;
    for (;;) {
        // The next day: the least of those still to write and of the cursors' days.
        std::string day;
        bool any = false;
        if (!days.empty()) {
            day = *days.begin();
            any = true;
        }
        for (const auto& c : cursors)
            if (!c.second->atEnd() && (!any || c.second->day() < day)) {
                day = c.second->day();
                any = true;
            }
        if (!any) break;
        days.erase(day);
        if (options.stop && options.stop->load()) {
            error = "interrupted";
            return Status::Interrupted;
        }
        if (!sink.beginDay(day, error)) return Status::TargetFailed;
        std::uint64_t dayRows = 0;
        for (auto& c : cursors) {
            const Table& t = *c.first;
            if (!sink.beginTable(t, error)) return Status::TargetFailed;
            std::uint64_t rows = 0;
            for (; !c.second->atEnd() && c.second->day() == day; c.second->advance(), ++rows)
                if (!sink.row(t, c.second->row(), error)) return Status::TargetFailed;
            if (!sink.endTable(t, rows, error)) return Status::TargetFailed;
            dayRows += rows;
        }
        if (!sink.endDay(error)) return Status::TargetFailed;
        summary.rows += dayRows;
        if (dayRows) ++summary.daysWritten;
        else ++summary.daysRemoved;
        ++done;
        say("day " + day + ": " + (dayRows ? std::to_string(dayRows) + " rows" : std::string("removed")) + " (" +
            std::to_string(done) + ")");
    }
    return Status::Done;
}

Status walk(const std::string& database, Sink& sink, const Options& options, Summary& summary, std::string& error) {
    std::unique_ptr<Source> source;
    try {
        source = std::make_unique<Source>(database);
    } catch (const SourceError& e) {
        error = database + ": " + e.what();
        return Status::SourceFailed;
    }
    const Schema& schema = source->schema();
    State old;
    bool found = false;
    if (!sink.loadState(old, found, error)) return Status::Unreachable;
    if (!found) {
        State mark;
        mark.identity = source->identity();
        mark.complete = false;
        if (!sink.claim(schema, mark, error)) return Status::Unreachable;
    }
    // An export of another index (or one never finished) is no base to go on from.
    summary.otherIndex = found && !old.identity.empty() && old.identity != source->identity();
    const bool same = found && old.complete && old.identity == source->identity();
    const bool full = options.full || !same || old.schemaKey != schema.key();

    // The days to write: every day, or those of recordings ingested since and
    // those whose recordings were removed; a day without rows any more is
    // removed by being written empty.
    std::set<std::string> days;
    for (const auto& d : old.days)
        if (full || !source->days().count(d.first) || source->days().at(d.first) != d.second) days.insert(d.first);
    if (full) {
        for (const auto& d : source->days()) days.insert(d.first);
    } else {
        for (const std::string& d : source->daysAbove(old.generation)) days.insert(d);
    }
    for (const std::string& d : days)
        if (!isDay(d)) {
            error = database + ": a recording has the day '" + d + "', which is not YYYY-MM-DD";
            return Status::SourceFailed;
        }
    summary.full = full;
    summary.generation = source->generation();

    State now;
    now.identity = source->identity();
    now.generation = source->generation();
    now.schemaKey = schema.key();
    now.days = source->days();
    if (!sink.prepare(schema, full, error)) return Status::TargetFailed;
    if (full) {
        std::set<std::string> held;
        if (!sink.heldDays(schema, held, error)) return Status::TargetFailed;
        for (const std::string& d : held)
            if (isDay(d)) days.insert(d);
    }

    if (!writeDictionaries(*source, sink, old, now, full, summary, error)) return Status::TargetFailed;
    const Status written = writeDays(*source, sink, days, full, options, summary, error);
    if (written != Status::Done) return written;
    if (!sink.finish(schema, now, error)) return Status::TargetFailed;
    return Status::Done;
}

}  // namespace

std::string Schema::key() const {
    std::string k = std::to_string(version);
    for (const Table& t : tables) {
        k += ";" + t.name;
        for (const Column& c : t.columns) k += "," + c.name + " " + c.type + (c.notNull ? "!" : "");
    }
    return k;
}

std::string Schema::toJson() const {
    json tables = json::object();
    for (const Table& t : this->tables) {
        json columns = json::array();
        for (std::size_t i = 0; i < t.columns.size(); ++i) {
            if (int(i) == t.dayColumn) continue;  // in the path, not in the rows
            const Column& c = t.columns[i];
            columns.push_back({{"name", c.name}, {"type", c.type}, {"nullable", !c.notNull}});
        }
        json entry = {{"columns", columns}};
        if (t.byDay()) {
            entry["partition"] = {{"name", "day"}, {"type", "TEXT"}, {"format", "YYYY-MM-DD"}};
            entry["files"] = t.name + "/day=YYYY-MM-DD/part-0.jsonl.gz";
        } else {
            entry["files"] = t.name + "/part-0.jsonl.gz";
        }
        tables[t.name] = entry;
    }
    json out = {{"schema_version", version}, {"format", "JSON Lines, gzip"}, {"tables", tables}};
    return out.dump(2) + "\n";
}

std::string State::toJson(const Schema& schema) const {
    json out = {{"index_identity", identity},
                {"complete", complete},
                {"generation", generation},
                {"schema_version", schema.version},
                {"schema_key", schemaKey},
                {"days", days},
                {"dictionaries", dictionaries}};
    return out.dump(2) + "\n";
}

bool State::fromJson(const std::string& text, State& out) {
    try {
        const json j = json::parse(text);
        // Exports made before indexes had an identity keep none, and were finished.
        out.identity = j.value("index_identity", std::string());
        out.complete = j.value("complete", true);
        out.generation = j.at("generation").get<std::int64_t>();
        out.schemaKey = j.at("schema_key").get<std::string>();
        out.days = j.at("days").get<std::map<std::string, std::int64_t>>();
        out.dictionaries = j.at("dictionaries").get<std::map<std::string, std::string>>();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::string jsonLine(const Table& table, const Row& row, bool withDay) {
    json o = json::object();
    for (std::size_t i = 0; i < row.size() && i < table.columns.size(); ++i) {
        if (!withDay && int(i) == table.dayColumn) continue;
        const Value& v = row[i];
        json& cell = o[table.columns[i].name];
        switch (v.kind) {
        case Value::Null: break;
        case Value::Integer: cell = v.integer; break;
        case Value::Real: cell = v.real; break;
        case Value::Text: cell = std::string(v.bytes); break;
        case Value::Blob: cell = hexBytes(v.bytes); break;
        }
    }
    return o.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool isDay(std::string_view day) {
    if (day.size() != 10 || day[4] != '-' || day[7] != '-') return false;
    for (std::size_t i = 0; i < day.size(); ++i)
        if (i != 4 && i != 7 && (day[i] < '0' || day[i] > '9')) return false;
    return true;
}

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// %XX decoded where it is well-formed; anything else kept as it is.
std::string percentDecoded(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out += char(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

void addSecret(std::vector<std::string>& out, const std::string& text) {
    if (text.empty()) return;
    out.push_back(text);
    const std::string decoded = percentDecoded(text);
    if (decoded != text) {
        out.push_back(decoded);
        // A NUL ends the text wherever a C library passes it on.
        const std::size_t nul = decoded.find('\0');
        if (nul != std::string::npos) addSecret(out, decoded.substr(0, nul));
    }
}

std::vector<std::string> split(const std::string& text, char at) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (;;) {
        const std::size_t next = text.find(at, from);
        parts.push_back(text.substr(from, next == std::string::npos ? std::string::npos : next - from));
        if (next == std::string::npos) return parts;
        from = next + 1;
    }
}

}  // namespace

std::vector<std::string> uriSecrets(const std::string& uri) {
    std::vector<std::string> out;
    addSecret(out, uri);
    const std::size_t scheme = uri.find("://");
    const std::size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    const std::size_t end = std::min(uri.find_first_of("/?", start), uri.size());
    const std::string authority = uri.substr(start, end - start);
    addSecret(out, authority);
    for (const std::string& part : split(authority, '@')) addSecret(out, part);
    // user:password@host: a parser may split at the first '@' or at the last.
    std::vector<std::string> hostLists;
    for (std::size_t at = authority.find('@'); at != std::string::npos; at = authority.find('@', at + 1)) {
        const std::string userinfo = authority.substr(0, at);
        const std::size_t colon = userinfo.find(':');
        if (colon != std::string::npos) addSecret(out, userinfo.substr(colon + 1));
        hostLists.push_back(authority.substr(at + 1));
    }
    if (hostLists.empty()) hostLists.push_back(authority);
    // The hosts, separated by ',': each as host:port and as host.
    for (const std::string& list : hostLists)
        for (const std::string& host : split(list, ',')) {
            addSecret(out, host);
            if (!host.empty() && host[0] == '[') {
                const std::size_t bracket = host.find(']');
                addSecret(out, host.substr(1, bracket == std::string::npos ? std::string::npos : bracket - 1));
            } else if (host.find(':') != std::string::npos) {
                addSecret(out, host.substr(0, host.find(':')));
            }
        }
    // password=... among the parameters.
    const std::size_t query = uri.find('?');
    if (query != std::string::npos)
        for (const std::string& param : split(uri.substr(query + 1), '&')) {
            const std::size_t eq = param.find('=');
            if (eq == std::string::npos) continue;
            const std::string name = percentDecoded(param.substr(0, eq));
            if (name == "password" || name == "host" || name == "hostaddr") addSecret(out, param.substr(eq + 1));
        }
    return out;
}

std::string hideSecrets(const std::string& message, const std::vector<std::string>& secrets) {
    std::vector<bool> hidden(message.size(), false);
    for (const std::string& s : secrets) {
        if (s.empty()) continue;
        for (std::size_t at = message.find(s); at != std::string::npos; at = message.find(s, at + 1))
            std::fill(hidden.begin() + std::ptrdiff_t(at), hidden.begin() + std::ptrdiff_t(at + s.size()), true);
    }
    std::string out;
    for (std::size_t i = 0; i < message.size(); ++i) {
        if (hidden[i]) {
            if (!i || !hidden[i - 1]) out += "***";
            continue;
        }
        const char c = message[i];
        if (c == '\n' || c == '\r') {
            if (!out.empty() && !(out.size() >= 2 && out.compare(out.size() - 2, 2, "; ") == 0)) out += "; ";
        } else if (c == '\t') {
            if (out.empty() || out.back() != ' ') out += ' ';
        } else {
            out += c;
        }
    }
    while (!out.empty() && (out.back() == ' ' || out.back() == ';')) out.pop_back();
    return out;
}

bool isPlainName(const std::string& name) {
    if (name.empty() || name.size() > 63) return false;
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
    return true;
}

Status run(const std::string& database, Sink& sink, const Options& options, Summary& summary, std::string& error) {
    summary = Summary();
    try {
        return walk(database, sink, options, summary, error);
    } catch (const SourceError& e) {
        error = database + ": " + e.what();
        return Status::SourceFailed;
    } catch (const std::bad_alloc&) {
        error = "out of memory";
    } catch (const std::exception& e) {
        error = e.what();
    }
    return Status::TargetFailed;
}

}  // namespace exporter
}  // namespace vt
