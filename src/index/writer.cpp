#include "index/calendar.h"
#include "index/files.h"
#include "index/ingest.h"

#include <chrono>
#include <cstdio>
#include <unordered_map>

namespace vt {
namespace index {

namespace {

// Rows written by one statement: the bulk tables take this many rows a step.
constexpr int kRowsPerInsert = 32;

// "INSERT ... VALUES (?,..),(?,..),...": rows of columns parameters each.
std::string insertRows(const std::string& head, int columns, int rows) {
    std::string row = "(";
    for (int c = 0; c < columns; ++c) row += c ? ",?" : "?";
    row += ")";
    std::string sql = head + " VALUES ";
    for (int r = 0; r < rows; ++r) {
        if (r) sql += ',';
        sql += row;
    }
    return sql;
}

// One table's insert: one row a statement, and kRowsPerInsert rows a statement.
struct BulkInsert {
    BulkInsert(Db& db, const std::string& head, int columns)
        : columns(columns), one(db, insertRows(head, columns, 1)), many(db, insertRows(head, columns, kRowsPerInsert)) {}
    // bindRow(stmt, first, row) binds a row's parameters from first + 1.
    template <typename T, typename BindRow>
    void write(const std::vector<T>& rows, BindRow bindRow) {
        std::size_t i = 0;
        for (; i + kRowsPerInsert <= rows.size(); i += kRowsPerInsert) {
            for (int k = 0; k < kRowsPerInsert; ++k) bindRow(many, k * columns, rows[i + std::size_t(k)]);
            many.run();
        }
        for (; i < rows.size(); ++i) {
            bindRow(one, 0, rows[i]);
            one.run();
        }
    }
    int columns;
    Stmt one, many;
};

}  // namespace

struct Writer::Statements {
    explicit Statements(Db& db)
        : known(db, "SELECT 1 FROM files WHERE sha256 = ?"),
          filePath(db, "SELECT path, recording_id FROM files WHERE sha256 = ?"),
          moveFile(db, "UPDATE files SET path = ? WHERE sha256 = ?"),
          moveRecording(db, "UPDATE recordings SET path = ? WHERE id = ? AND file_sha256 = ?"),
          recording(db, "SELECT id, file_sha256, whole, records, path FROM recordings "
                        "WHERE user_id = ? AND match_id = ? AND started = ?"),
          insertRecording(db, "INSERT INTO recordings (day, generation, user_id, match_id, started, ended, week, "
                              "file_sha256, path, whole, state, reason, records, recovered_from, untimed) "
                              "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)"),
          updateRecording(db, "UPDATE recordings SET generation = ?, ended = ?, file_sha256 = ?, path = ?, whole = ?, "
                              "state = ?, reason = ?, records = ?, recovered_from = ?, untimed = ? WHERE id = ?"),
          notCurrent(db, "UPDATE files SET current = 0 WHERE recording_id = ?"),
          touch(db, "UPDATE recordings SET generation = ? WHERE id = ?"),
          insertFile(db, "INSERT INTO files (sha256, day, recording_id, path, size, whole, state, reason, records, "
                         "current, indexed_at) VALUES (?,?,?,?,?,?,?,?,?,?,?)"),
          insertIdentifier(db, "INSERT INTO identifiers (kind, value, weak, mark) VALUES (?,?,?,?) "
                               "ON CONFLICT (kind, value) DO NOTHING"),
          identifier(db, "SELECT id FROM identifiers WHERE kind = ? AND value = ?"),
          insertSighting(db, "INSERT OR IGNORE INTO sightings (day, recording_id, identifier_id, fact) VALUES (?,?,?,?)"),
          insertProgram(db, "INSERT INTO programs (path, name, name_lower, path_lower) VALUES (?,?,?,?) "
                            "ON CONFLICT (path) DO NOTHING"),
          program(db, "SELECT id FROM programs WHERE path = ?"),
          insertProcess(db, "INSERT INTO processes (day, recording_id, pid, program_id, started, ended, "
                            "already_running, still_running, line)", 9),
          insertConnection(db, "INSERT INTO connections (day, recording_id, protocol, local_ip, local_port, remote_ip, "
                               "remote_port, remote_address, pid, program_id, opened, closed, already_open, still_open, line) "
                               "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)"),
          insertPing(db, "INSERT INTO pings (day, recording_id, at, server, server_address, milliseconds, answered, line)",
                     8),
          insertRate(db, "INSERT INTO throughput (day, recording_id, at, adapter, tx_bytes_per_s, rx_bytes_per_s, line)", 7),
          insertKey(db, "INSERT INTO keys (day, recording_id, at, name, line)", 5),
          insertFact(db, "INSERT INTO facts (day, recording_id, at, name, value, line)", 6),
          insertOther(db, "INSERT INTO other_records (day, recording_id, at, kind, action, raw, cut, line)", 8),
          insertSummary(db, "INSERT INTO summaries (day, recording_id, week, seconds, records, pings, no_answers, "
                            "ping_p50, ping_p95, ping_average, tx_average, rx_average, processes, connections, keys) "
                            "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)"),
          insertServer(db, "INSERT INTO ping_servers (day, recording_id, week, server, server_address, pings, "
                           "no_answers, ping_p50, ping_p95, ping_average) VALUES (?,?,?,?,?,?,?,?,?,?)") {}
    Stmt known, filePath, moveFile, moveRecording, recording, insertRecording, updateRecording, notCurrent, touch, insertFile, insertIdentifier, identifier,
        insertSighting, insertProgram, program;
    BulkInsert insertProcess;
    Stmt insertConnection;
    BulkInsert insertPing, insertRate, insertKey, insertFact, insertOther;
    Stmt insertSummary, insertServer;
    std::unordered_map<std::string, std::int64_t> programs;  // path: id, within the open transaction
};

namespace {

// Text, or null when empty.
void bindText(Stmt& s, int i, const std::string& v) {
    if (v.empty()) s.bindNull(i);
    else s.bindRef(i, v);
}
template <typename T>
void bindOptional(Stmt& s, int i, const std::optional<T>& v) {
    if (v) s.bind(i, *v);
    else s.bindNull(i);
}

const char* const kRecordingTables[] = {"processes", "connections", "pings",     "throughput",  "keys",
                                        "facts",     "other_records", "sightings", "summaries", "ping_servers"};

// Now, UTC, as "YYYY-MM-DD hh:mm:ss".
std::string nowText() {
    const std::int64_t t = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::system_clock::now().time_since_epoch()).count();
    const std::int64_t days = t >= 0 ? t / 86400 : (t - 86399) / 86400, s = t - days * 86400;
    char clock[48];
    std::snprintf(clock, sizeof clock, " %02d:%02d:%02d", int(s / 3600), int(s / 60 % 60), int(s % 60));
    return civilFromDays(days) + clock;
}

}  // namespace

Writer::Writer(Db& db) : db_(db) {}
Writer::~Writer() = default;

void Writer::begin() {
    transaction_ = std::make_unique<Transaction>(db_);
    if (!s_) s_ = std::make_unique<Statements>(db_);
    generation_ = db_.integer("SELECT value FROM meta WHERE name = 'generation'") + 1;
    db_.exec("UPDATE meta SET value = " + std::to_string(generation_) + " WHERE name = 'generation'");
}

void Writer::commit() {
    transaction_->commit();
    transaction_.reset();
}

void Writer::rollback() {
    transaction_.reset();
    if (s_) s_->programs.clear();
}

std::string Writer::moved(const Parsed& p) {
    if (!transaction_) return {};
    Statements& s = *s_;
    s.filePath.bind(1, p.sha256);
    if (!s.filePath.step()) {
        s.filePath.reset();
        return {};
    }
    const std::string was = s.filePath.text(0);
    const std::int64_t recording = s.filePath.integer(1);
    s.filePath.reset();
    if (!gone(was, p.path)) return {};
    s.moveFile.bind(1, p.path).bind(2, p.sha256).run();
    s.moveRecording.bind(1, p.path).bind(2, recording).bind(3, p.sha256).run();
    s.touch.bind(1, generation_).bind(2, recording).run();
    return was;
}

bool Writer::known(const std::string& sha256) {
    if (!s_) s_ = std::make_unique<Statements>(db_);
    s_->known.bind(1, sha256);
    const bool found = s_->known.step();
    s_->known.reset();
    return found;
}

Outcome Writer::write(const Parsed& p) {
    Outcome o;
    o.path = p.path;
    if (!p.failure.empty()) {
        o.line = p.path + ": not indexed: " + p.failure;
        return o;
    }
    if (p.known || known(p.sha256)) {
        o.kind = Outcome::Already;
        o.line = p.path + ": already indexed";
        const std::string from = moved(p);
        if (!from.empty()) o.line += " (moved from " + from + ")";
        return o;
    }
    Statements& s = *s_;
    Savepoint file(db_, "file");

    std::int64_t id = 0;
    std::string replaced;
    s.recording.bind(1, p.user).bind(2, p.match).bind(3, p.started);
    const bool exists = s.recording.step();
    if (exists) {
        id = s.recording.integer(0);
        const bool whole = s.recording.integer(2) != 0;
        const std::int64_t records = s.recording.integer(3);
        const std::string path = s.recording.text(4);
        s.recording.reset();
        const bool better = (p.whole() && !whole) || (p.whole() == whole && p.records > records);
        if (!better) {
            s.insertFile.bind(1, p.sha256).bind(2, p.day).bind(3, id).bind(4, p.path).bind(5, std::int64_t(p.size))
                .bind(6, std::int64_t(p.whole())).bind(7, p.stateName);
            bindText(s.insertFile, 8, p.reason);
            s.insertFile.bind(9, p.records).bind(10, std::int64_t(0)).bind(11, nowText());
            s.insertFile.run();
            // The recording's rows changed (one more file): a copy takes its day again.
            s.touch.bind(1, generation_).bind(2, id).run();
            file.release();
            o.kind = Outcome::Already;
            o.line = p.path + ": already indexed (its recording is held " + (whole ? "whole" : "as far") + " by " +
                     path + ")";
            return o;
        }
        replaced = path;
        for (const char* table : kRecordingTables)
            db_.exec(std::string("DELETE FROM ") + table + " WHERE recording_id = " + std::to_string(id));
        s.notCurrent.bind(1, id).run();
        s.updateRecording.bind(1, generation_);
        bindText(s.updateRecording, 2, p.ended);
        s.updateRecording.bind(3, p.sha256).bind(4, p.path).bind(5, std::int64_t(p.whole())).bind(6, p.stateName);
        bindText(s.updateRecording, 7, p.reason);
        s.updateRecording.bind(8, p.records);
        bindText(s.updateRecording, 9, p.recoveredFrom);
        s.updateRecording.bind(10, p.untimed).bind(11, id).run();
    } else {
        s.insertRecording.bind(1, p.day).bind(2, generation_).bind(3, p.user).bind(4, p.match).bind(5, p.started);
        bindText(s.insertRecording, 6, p.ended);
        s.insertRecording.bind(7, p.week).bind(8, p.sha256).bind(9, p.path).bind(10, std::int64_t(p.whole()))
            .bind(11, p.stateName);
        bindText(s.insertRecording, 12, p.reason);
        s.insertRecording.bind(13, p.records);
        bindText(s.insertRecording, 14, p.recoveredFrom);
        s.insertRecording.bind(15, p.untimed).run();
        id = db_.integer("SELECT last_insert_rowid()");
    }

    s.insertFile.bind(1, p.sha256).bind(2, p.day).bind(3, id).bind(4, p.path).bind(5, std::int64_t(p.size))
        .bind(6, std::int64_t(p.whole())).bind(7, p.stateName);
    bindText(s.insertFile, 8, p.reason);
    s.insertFile.bind(9, p.records).bind(10, std::int64_t(1)).bind(11, nowText());
    s.insertFile.run();

    auto programId = [&](const std::string& path) -> std::int64_t {
        auto it = s.programs.find(path);
        if (it != s.programs.end()) return it->second;
        const std::size_t slash = path.find_last_of("\\/");
        const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        s.insertProgram.bind(1, path).bind(2, name).bind(3, foldCase(name)).bind(4, foldCase(path)).run();
        s.program.bind(1, path);
        if (!s.program.step()) throw Error("a program was not stored");
        const std::int64_t pid = s.program.integer(0);
        s.program.reset();
        s.programs.emplace(path, pid);
        return pid;
    };

    for (const auto& i : p.identifiers) {
        s.insertIdentifier.bind(1, i.kind).bind(2, i.value).bind(3, std::int64_t(!i.mark.empty()));
        bindText(s.insertIdentifier, 4, i.mark);
        s.insertIdentifier.run();
        s.identifier.bind(1, i.kind).bind(2, i.value);
        if (!s.identifier.step()) throw Error("an identifier was not stored");
        const std::int64_t iid = s.identifier.integer(0);
        s.identifier.reset();
        s.insertSighting.bind(1, p.day).bind(2, id).bind(3, iid).bind(4, i.fact).run();
    }
    s.insertProcess.write(p.processes, [&](Stmt& st, int at, const Parsed::Process& x) {
        st.bindRef(at + 1, p.day).bind(at + 2, id);
        bindOptional(st, at + 3, x.pid);
        st.bind(at + 4, programId(x.path));
        bindText(st, at + 5, x.started);
        bindText(st, at + 6, x.ended);
        st.bind(at + 7, std::int64_t(x.already)).bind(at + 8, std::int64_t(x.still)).bind(at + 9, x.line);
    });
    for (const auto& c : p.connections) {
        s.insertConnection.bind(1, p.day).bind(2, id).bind(3, c.protocol);
        bindText(s.insertConnection, 4, c.localIp);
        bindOptional(s.insertConnection, 5, c.localPort);
        bindText(s.insertConnection, 6, c.remoteIp);
        bindOptional(s.insertConnection, 7, c.remotePort);
        bindOptional(s.insertConnection, 8, c.remoteAddress);
        bindOptional(s.insertConnection, 9, c.pid);
        if (c.path.empty()) s.insertConnection.bindNull(10);
        else s.insertConnection.bind(10, programId(c.path));
        bindText(s.insertConnection, 11, c.opened);
        bindText(s.insertConnection, 12, c.closed);
        s.insertConnection.bind(13, std::int64_t(c.already)).bind(14, std::int64_t(c.still)).bind(15, c.line).run();
    }
    // The bulk of the rows: many to a statement, bound without copies (p
    // outlives each step).
    s.insertPing.write(p.pings, [&](Stmt& st, int at, const Parsed::Ping& x) {
        st.bindRef(at + 1, p.day).bind(at + 2, id);
        bindText(st, at + 3, p.time(x.at));
        st.bindRef(at + 4, x.server);
        bindOptional(st, at + 5, x.serverAddress);
        bindOptional(st, at + 6, x.milliseconds);
        st.bind(at + 7, std::int64_t(x.answered)).bind(at + 8, x.line);
    });
    s.insertRate.write(p.rates, [&](Stmt& st, int at, const Parsed::Rate& x) {
        st.bindRef(at + 1, p.day).bind(at + 2, id);
        bindText(st, at + 3, p.time(x.at));
        st.bindRef(at + 4, x.adapter);
        bindOptional(st, at + 5, x.tx);
        bindOptional(st, at + 6, x.rx);
        st.bind(at + 7, x.line);
    });
    s.insertKey.write(p.keys, [&](Stmt& st, int at, const Parsed::Named& x) {
        st.bindRef(at + 1, p.day).bind(at + 2, id);
        bindText(st, at + 3, p.time(x.at));
        st.bindRef(at + 4, x.name).bind(at + 5, x.line);
    });
    s.insertFact.write(p.facts, [&](Stmt& st, int at, const Parsed::Named& x) {
        st.bindRef(at + 1, p.day).bind(at + 2, id);
        bindText(st, at + 3, p.time(x.at));
        st.bindRef(at + 4, x.name).bindRef(at + 5, x.value).bind(at + 6, x.line);
    });
    s.insertOther.write(p.others, [&](Stmt& st, int at, const Parsed::Other& x) {
        st.bindRef(at + 1, p.day).bind(at + 2, id);
        bindText(st, at + 3, p.time(x.at));
        st.bindRef(at + 4, x.kind).bindRef(at + 5, x.action).bindRef(at + 6, x.raw).bind(at + 7, std::int64_t(x.cut))
            .bind(at + 8, x.line);
    });
    const auto& m = p.summary;
    s.insertSummary.bind(1, p.day).bind(2, id).bind(3, p.week);
    bindOptional(s.insertSummary, 4, m.seconds);
    s.insertSummary.bind(5, p.records).bind(6, m.pings).bind(7, m.noAnswers);
    bindOptional(s.insertSummary, 8, m.p50);
    bindOptional(s.insertSummary, 9, m.p95);
    bindOptional(s.insertSummary, 10, m.average);
    bindOptional(s.insertSummary, 11, m.tx);
    bindOptional(s.insertSummary, 12, m.rx);
    s.insertSummary.bind(13, std::int64_t(p.processes.size())).bind(14, std::int64_t(p.connections.size()))
        .bind(15, std::int64_t(p.keys.size())).run();
    for (const auto& x : p.servers) {
        s.insertServer.bind(1, p.day).bind(2, id).bind(3, p.week).bind(4, x.server);
        bindOptional(s.insertServer, 5, x.address);
        s.insertServer.bind(6, x.ping.pings).bind(7, x.ping.noAnswers);
        bindOptional(s.insertServer, 8, x.ping.p50);
        bindOptional(s.insertServer, 9, x.ping.p95);
        bindOptional(s.insertServer, 10, x.ping.average);
        s.insertServer.run();
    }
    file.release();

    o.kind = p.whole() ? Outcome::Indexed : Outcome::IndexedPartial;
    o.line = p.path + ": indexed " + std::to_string(p.records) + " records";
    if (!p.whole()) o.line += ", not whole: " + p.reason;
    if (!replaced.empty()) o.line += " (in place of " + replaced + ")";
    return o;
}
}  // namespace index
}  // namespace vt
