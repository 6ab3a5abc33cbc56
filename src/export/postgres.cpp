// The export into PostgreSQL through libpq: tables made from the database's
// own (INTEGER bigint, REAL double precision, TEXT text, BLOB bytea), each
// changed day replaced in one transaction (its rows deleted, then COPY'd in),
// and the state of the export in the table vtl_export_state, written last.
#include "export/core.h"

#include "common/hex.h"

#include <libpq-fe.h>

#include <cmath>
#include <cstdio>
#include <set>

namespace vt {
namespace exporter {

namespace {

struct ConnCloser {
    void operator()(PGconn* c) const { PQfinish(c); }
};
struct ResultCloser {
    void operator()(PGresult* r) const { PQclear(r); }
};
using Conn = std::unique_ptr<PGconn, ConnCloser>;
using Result = std::unique_ptr<PGresult, ResultCloser>;

std::string ident(const std::string& name) {
    std::string q = "\"";
    for (char c : name) q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

// SQLite's declared type, by its rules of affinity, as PostgreSQL's.
std::string pgType(const std::string& declared) {
    std::string t;
    for (char c : declared) t += char(c >= 'a' && c <= 'z' ? c - 32 : c);
    if (t.find("INT") != std::string::npos) return "bigint";
    if (t.find("CHAR") != std::string::npos || t.find("CLOB") != std::string::npos ||
        t.find("TEXT") != std::string::npos)
        return "text";
    if (t.find("BLOB") != std::string::npos) return "bytea";
    if (t.find("REAL") != std::string::npos || t.find("FLOA") != std::string::npos ||
        t.find("DOUB") != std::string::npos)
        return "double precision";
    return "text";  // ANY and the rest: whatever each value is, as text
}

const char* const kState = "vtl_export_state";

// One value in COPY's text format.
void copyValue(const Value& v, const std::string& type, std::string& out) {
    switch (v.kind) {
    case Value::Null: out += "\\N"; return;
    case Value::Integer: out += std::to_string(v.integer); return;
    case Value::Real: {
        if (std::isnan(v.real)) out += "NaN";
        else if (std::isinf(v.real)) out += v.real > 0 ? "Infinity" : "-Infinity";
        else {
            char buf[40];
            std::snprintf(buf, sizeof buf, "%.17g", v.real);
            out += buf;
        }
        return;
    }
    case Value::Blob:
        if (type == "bytea") {
            out += "\\\\x";
            for (unsigned char c : v.bytes) hex::appendByte(out, c);
            return;
        }
        for (unsigned char c : v.bytes) hex::appendByte(out, c);  // a blob in a column of another type: its hex text
        return;
    case Value::Text:
        if (type == "bytea") out += "\\\\x";
        for (char c : v.bytes) {
            if (type == "bytea") {
                hex::appendByte(out, static_cast<unsigned char>(c));
                continue;
            }
            switch (c) {
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\0': out += "\xEF\xBF\xBD"; break;  // PostgreSQL's text holds no NUL
            default: out += c;
            }
        }
        return;
    }
}

struct OptionsCloser {
    void operator()(PQconninfoOption* o) const { PQconninfoFree(o); }
};

// libpq's words without the address it was told: "connection to server at
// "HOST" (ADDRESS), port PORT failed: " and "... on socket "PATH" failed: "
// go, each line's.
std::string withoutAddress(const std::string& message) {
    std::string out;
    std::size_t from = 0;
    while (from < message.size()) {
        std::size_t end = message.find('\n', from);
        if (end == std::string::npos) end = message.size();
        std::string line = message.substr(from, end - from);
        if (line.rfind("connection to server ", 0) == 0) {
            const std::size_t failed = line.find(" failed: ");
            line = failed == std::string::npos ? std::string("the connection failed") : line.substr(failed + 9);
        }
        out += line + "\n";
        from = end + 1;
    }
    return out;
}

class Postgres : public Sink {
public:
    explicit Postgres(const std::string& uri) : uri_(uri), secrets_(uriSecrets(uri)) {}

    bool loadState(State& state, bool& found, std::string& error) override {
        // The URI is read first: libpq's word on a URI it cannot read quotes
        // it, so only what it says is wrong is kept, never the text.
        char* why = nullptr;
        std::unique_ptr<PQconninfoOption, OptionsCloser> options(PQconninfoParse(uri_.c_str(), &why));
        if (!options) {
            std::string said = why ? why : "out of memory";
            PQfreemem(why);
            said = said.substr(0, said.find(": \""));
            error = "the connection URI cannot be read: " + hideSecrets(said, secrets_);
            return false;
        }
        for (const PQconninfoOption* o = options.get(); o->keyword; ++o) {
            const std::string name = o->keyword;
            if (!o->val || !(name == "password" || name == "host" || name == "hostaddr")) continue;
            const std::string value = o->val;
            secrets_.push_back(value);
            for (std::size_t from = 0;;) {  // a list of hosts is separated by ','
                const std::size_t comma = value.find(',', from);
                secrets_.push_back(value.substr(from, comma == std::string::npos ? std::string::npos : comma - from));
                if (comma == std::string::npos) break;
                from = comma + 1;
            }
        }
        conn_.reset(PQconnectdb(uri_.c_str()));
        if (!conn_ || PQstatus(conn_.get()) != CONNECTION_OK) {
            error = "cannot connect to the PostgreSQL server: " +
                    (conn_ ? hideSecrets(withoutAddress(PQerrorMessage(conn_.get())), secrets_) : "out of memory");
            return false;
        }
        if (PQsetClientEncoding(conn_.get(), "UTF8") != 0) {
            error = "the server does not take UTF-8: " + message();
            return false;
        }
        if (!command("SET client_min_messages = warning", error)) return false;
        if (!command(std::string("CREATE TABLE IF NOT EXISTS ") + kState +
                         " (id integer PRIMARY KEY CHECK (id = 1), generation bigint NOT NULL, "
                         "schema_version bigint NOT NULL, manifest text NOT NULL)",
                     error))
            return false;
        Result r(PQexec(conn_.get(), (std::string("SELECT manifest FROM ") + kState + " WHERE id = 1").c_str()));
        if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) {
            error = "cannot read " + std::string(kState) + ": " + message();
            return false;
        }
        // A state row alone makes the database an earlier export's: it is
        // written before the tables are made, and rewritten last.
        found = PQntuples(r.get()) == 1;
        if (found && !State::fromJson(PQgetvalue(r.get(), 0, 0), state)) {
            state = State();
            state.complete = false;
        }
        return true;
    }

    bool claim(const Schema& schema, const State& unfinished, std::string& error) override {
        std::string names;
        for (const Table& t : schema.tables) names += (names.empty() ? "" : ",") + t.name;
        const char* params[] = {names.c_str()};
        Result r(PQexecParams(conn_.get(),
                              "SELECT table_name FROM information_schema.tables WHERE table_schema = current_schema() "
                              "AND table_name = ANY (string_to_array($1, ',')) ORDER BY table_name",
                              1, nullptr, params, nullptr, nullptr, 0));
        if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) {
            error = "cannot read the tables of the database: " + message();
            return false;
        }
        if (PQntuples(r.get()) > 0) {
            std::string held;
            for (int i = 0; i < PQntuples(r.get()) && i < 5; ++i) held += (i ? ", " : "") + std::string(PQgetvalue(r.get(), i, 0));
            error = "the database holds tables of the index's names (" + held + (PQntuples(r.get()) > 5 ? ", ..." : "") +
                    ") that no export made; export into another database or schema";
            return false;
        }
        return keepState(schema, unfinished, error);
    }

    bool prepare(const Schema& schema, bool, std::string& error) override {
        for (const Table& t : schema.tables) {
            std::string sql = "CREATE TABLE IF NOT EXISTS " + ident(t.name) + " (";
            for (std::size_t i = 0; i < t.columns.size(); ++i)
                sql += (i ? ", " : "") + ident(t.columns[i].name) + " " + pgType(t.columns[i].type);
            if (!command(sql + ")", error)) return false;
            // Columns added to the database since the table was made.
            const char* params[] = {t.name.c_str()};
            Result r(PQexecParams(conn_.get(),
                                  "SELECT column_name FROM information_schema.columns "
                                  "WHERE table_schema = current_schema() AND table_name = $1",
                                  1, nullptr, params, nullptr, nullptr, 0));
            if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) {
                error = "cannot read the columns of " + t.name + ": " + message();
                return false;
            }
            std::set<std::string> have;
            for (int i = 0; i < PQntuples(r.get()); ++i) have.insert(PQgetvalue(r.get(), i, 0));
            for (const Column& c : t.columns)
                if (!have.count(c.name) &&
                    !command("ALTER TABLE " + ident(t.name) + " ADD COLUMN " + ident(c.name) + " " + pgType(c.type),
                             error))
                    return false;
            if (t.byDay() &&
                !command("CREATE INDEX IF NOT EXISTS " + ident(t.name + "_day") + " ON " + ident(t.name) + " (day)",
                         error))
                return false;
        }
        return true;
    }

    bool heldDays(const Schema& schema, std::set<std::string>& days, std::string& error) override {
        for (const Table& t : schema.tables) {
            if (!t.byDay()) continue;
            Result r(PQexec(conn_.get(), ("SELECT DISTINCT day FROM " + ident(t.name)).c_str()));
            if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) {
                error = "cannot read the days of " + t.name + ": " + message();
                return false;
            }
            for (int i = 0; i < PQntuples(r.get()); ++i) days.insert(PQgetvalue(r.get(), i, 0));
        }
        return true;
    }

    bool beginDay(const std::string& day, std::string& error) override {
        day_ = day;
        return command("BEGIN", error);
    }
    bool endDay(std::string& error) override {
        day_.clear();
        return command("COMMIT", error);
    }

    bool beginTable(const Table& table, std::string& error) override {
        types_.clear();
        for (const Column& c : table.columns) types_.push_back(pgType(c.type));
        if (table.byDay()) {
            const char* params[] = {day_.c_str()};
            Result r(PQexecParams(conn_.get(), ("DELETE FROM " + ident(table.name) + " WHERE day = $1").c_str(), 1,
                                  nullptr, params, nullptr, nullptr, 0));
            if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
                error = "cannot delete the rows of " + table.name + " on " + day_ + ": " + message();
                return false;
            }
        } else if (!command("BEGIN", error) || !command("DELETE FROM " + ident(table.name), error)) {
            return false;
        }
        std::string sql = "COPY " + ident(table.name) + " (";
        for (std::size_t i = 0; i < table.columns.size(); ++i) sql += (i ? ", " : "") + ident(table.columns[i].name);
        Result r(PQexec(conn_.get(), (sql + ") FROM STDIN").c_str()));
        if (PQresultStatus(r.get()) != PGRES_COPY_IN) {
            error = "cannot copy into " + table.name + ": " + message();
            return false;
        }
        buffer_.clear();
        return true;
    }

    bool row(const Table&, const Row& row, std::string& error) override {
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (i) buffer_ += '\t';
            copyValue(row[i], types_[i], buffer_);
        }
        buffer_ += '\n';
        return buffer_.size() < (1u << 16) || flush(error);
    }

    bool endTable(const Table& table, std::uint64_t, std::string& error) override {
        if (!flush(error)) return false;
        if (PQputCopyEnd(conn_.get(), nullptr) != 1) {
            error = "cannot end the copy into " + table.name + ": " + message();
            return false;
        }
        bool ok = true;
        while (PGresult* raw = PQgetResult(conn_.get())) {
            Result r(raw);
            if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
                if (ok) error = "cannot copy into " + table.name + ": " + message();
                ok = false;
            }
        }
        if (ok && !table.byDay()) ok = command("COMMIT", error);
        return ok;
    }

    bool finish(const Schema& schema, const State& state, std::string& error) override {
        return keepState(schema, state, error);
    }

private:
    bool keepState(const Schema& schema, const State& state, std::string& error) {
        const std::string generation = std::to_string(state.generation), version = std::to_string(schema.version),
                          manifest = state.toJson(schema);
        const char* params[] = {generation.c_str(), version.c_str(), manifest.c_str()};
        Result r(PQexecParams(conn_.get(),
                              (std::string("INSERT INTO ") + kState +
                               " (id, generation, schema_version, manifest) VALUES (1, $1, $2, $3) "
                               "ON CONFLICT (id) DO UPDATE SET generation = EXCLUDED.generation, "
                               "schema_version = EXCLUDED.schema_version, manifest = EXCLUDED.manifest")
                                  .c_str(),
                              3, nullptr, params, nullptr, nullptr, 0));
        if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
            error = "cannot keep the state of the export: " + message();
            return false;
        }
        return true;
    }

    // The server's or libpq's last words, never repeating the URI's secrets.
    std::string message() const {
        return conn_ ? hideSecrets(withoutAddress(PQerrorMessage(conn_.get())), secrets_) : "out of memory";
    }

    bool command(const std::string& sql, std::string& error) {
        Result r(PQexec(conn_.get(), sql.c_str()));
        if (PQresultStatus(r.get()) == PGRES_COMMAND_OK) return true;
        error = message();
        return false;
    }

    bool flush(std::string& error) {
        if (!buffer_.empty() && PQputCopyData(conn_.get(), buffer_.data(), int(buffer_.size())) != 1) {
            error = "cannot send rows to the server: " + message();
            return false;
        }
        buffer_.clear();
        return true;
    }

    std::string uri_, day_, buffer_;
    std::vector<std::string> secrets_, types_;
    Conn conn_;
};

}  // namespace

bool havePostgres() { return true; }

Status toPostgres(const std::string& database, const std::string& uri, const Options& options, Summary& summary,
                  std::string& error) {
    try {
        Postgres pg(uri);
        return run(database, pg, options, summary, error);
    } catch (const std::exception& e) {
        error = e.what();
    } catch (...) {
        error = "unexpected failure";
    }
    return Status::TargetFailed;
}

}  // namespace exporter
}  // namespace vt
