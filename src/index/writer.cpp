// The writer: one parsed log into the index's tables, in the open transaction.
#include "common/civil.h"
#include "index/files.h"
#include "index/ingest.h"
#include "index/tables.h"

#include <unordered_map>

namespace vt {
namespace index {

namespace t = tables;

struct Writer::Statements {
    explicit Statements(Db& db)
        : known(db, "SELECT 1 FROM files WHERE sha256 = ?"),
          filePath(db, "SELECT path, recording_id FROM files WHERE sha256 = ?"),
          moveFile(db, "UPDATE files SET path = ? WHERE sha256 = ?"),
          moveRecording(db, "UPDATE recordings SET path = ? WHERE id = ? AND file_sha256 = ?"),
          recording(db, "SELECT id, file_sha256, whole, records, path FROM recordings "
                        "WHERE user_id = ? AND match_id = ? AND started = ?"),
          updateRecording(db, t::recordings.update("id = ?")),
          notCurrent(db, "UPDATE files SET current = 0 WHERE recording_id = ?"),
          touch(db, "UPDATE recordings SET generation = ? WHERE id = ?"),
          identifier(db, "SELECT id FROM identifiers WHERE kind = ? AND value = ?"),
          program(db, "SELECT id FROM programs WHERE path = ?"),
          recordings(db, t::recordings),
          files(db, t::files),
          identifiers(db, t::identifiers),
          sightings(db, t::sightings),
          programs(db, t::programs),
          processes(db, t::processes),
          connections(db, t::connections),
          pings(db, t::pings),
          throughput(db, t::throughput),
          keys(db, t::keys),
          facts(db, t::facts),
          others(db, t::others),
          summaries(db, t::summaries),
          servers(db, t::servers) {}
    Stmt known, filePath, moveFile, moveRecording, recording, updateRecording, notCurrent, touch, identifier, program;
    Insert<Parsed> recordings, files;
    Insert<Parsed::Identifier> identifiers;
    Insert<t::Sighting> sightings;
    Insert<std::string> programs;
    Insert<Parsed::Process> processes;
    Insert<Parsed::Connection> connections;
    Insert<Parsed::Ping> pings;
    Insert<Parsed::Rate> throughput;
    Insert<Parsed::Named> keys, facts;
    Insert<Parsed::Other> others;
    Insert<Parsed> summaries;
    Insert<Parsed::ServerSummary> servers;
    std::unordered_map<std::string, std::int64_t> programIds;  // path: id, within the open transaction
};

namespace {

// The id a row was given: the first column of a lookup's one row.
std::int64_t lookUp(Stmt& st, const char* what) {
    if (!st.step()) {
        st.reset();
        throw Error(std::string(what) + " was not stored");
    }
    const std::int64_t id = st.integer(0);
    st.reset();
    return id;
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
    if (s_) s_->programIds.clear();
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
    FileRows rows{p};
    rows.generation = generation_;
    rows.now = civil::utcNow();
    rows.program = [this, &rows](const std::string& path) { return programId(rows, path); };
    std::string replaced;
    if (!placeRecording(rows, replaced, o)) {
        file.release();
        return o;
    }
    s.files.write(rows, p);
    writeRows(rows);
    file.release();

    o.kind = p.whole() ? Outcome::Indexed : Outcome::IndexedPartial;
    o.line = p.path + ": indexed " + std::to_string(p.records) + " records";
    if (!p.whole()) o.line += ", not whole: " + p.reason;
    if (!replaced.empty()) o.line += " (in place of " + replaced + ")";
    return o;
}

bool Writer::placeRecording(FileRows& rows, std::string& replaced, Outcome& o) {
    const Parsed& p = rows.p;
    Statements& s = *s_;
    s.recording.bind(1, p.user).bind(2, p.match).bind(3, p.started);
    if (!s.recording.step()) {
        s.recordings.write(rows, p);
        rows.recording = db_.integer("SELECT last_insert_rowid()");
        return true;
    }
    rows.recording = s.recording.integer(0);
    const bool whole = s.recording.integer(2) != 0;
    const std::int64_t records = s.recording.integer(3);
    const std::string path = s.recording.text(4);
    s.recording.reset();
    const bool better = (p.whole() && !whole) || (p.whole() == whole && p.records > records);
    if (!better) {
        // Kept as a file of the recording, not its current one.
        rows.current = false;
        s.files.write(rows, p);
        // The recording's rows changed (one more file): a copy takes its day again.
        s.touch.bind(1, generation_).bind(2, rows.recording).run();
        o.kind = Outcome::Already;
        o.line = p.path + ": already indexed (its recording is held " + (whole ? "whole" : "as far") + " by " + path + ")";
        return false;
    }
    replaced = path;
    for (const char* table : t::recordingTables())
        db_.exec(std::string("DELETE FROM ") + table + " WHERE recording_id = " + std::to_string(rows.recording));
    s.notCurrent.bind(1, rows.recording).run();
    t::recordings.bind(s.updateRecording, 0, rows, p);
    s.updateRecording.bind(t::recordings.written() + 1, rows.recording).run();
    return true;
}

std::int64_t Writer::programId(const FileRows& rows, const std::string& path) {
    Statements& s = *s_;
    auto it = s.programIds.find(path);
    if (it != s.programIds.end()) return it->second;
    s.programs.write(rows, path);
    s.program.bind(1, path);
    const std::int64_t id = lookUp(s.program, "a program");
    s.programIds.emplace(path, id);
    return id;
}

void Writer::writeRows(const FileRows& rows) {
    const Parsed& p = rows.p;
    Statements& s = *s_;
    for (const auto& i : p.identifiers) {
        s.identifiers.write(rows, i);
        s.identifier.bind(1, i.kind).bind(2, i.value);
        s.sightings.write(rows, t::Sighting{lookUp(s.identifier, "an identifier"), &i});
    }
    // The bulk of the rows: many to a statement, bound without copies (p
    // outlives each step).
    s.processes.write(rows, p.processes);
    s.connections.write(rows, p.connections);
    s.pings.write(rows, p.pings);
    s.throughput.write(rows, p.rates);
    s.keys.write(rows, p.keys);
    s.facts.write(rows, p.facts);
    s.others.write(rows, p.others);
    s.summaries.write(rows, p);
    s.servers.write(rows, p.servers);
}

}  // namespace index
}  // namespace vt
