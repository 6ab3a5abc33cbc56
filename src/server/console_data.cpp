// The console's rows: the index's own questions (src/index/queries.h) and a
// few of its own on the same tables, on a read-only, restricted connection.
// Included before the HTTP library, whose system headers define byte-order macros.
#include "index/sqlite.h"
#include "server/console.h"

#include "index/queries.h"
#include "index/sqlite.h"

#include <boost/filesystem.hpp>

#include <sstream>

namespace vt {
namespace server {
namespace console {

namespace fs = boost::filesystem;

bool number(const std::string& text, std::int64_t& value) {
    if (text.empty() || text.size() > 18) return false;
    std::int64_t v = 0;
    std::size_t i = text[0] == '-' ? 1 : 0;
    if (i == text.size()) return false;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        v = v * 10 + (text[i] - '0');
    }
    value = text[0] == '-' ? -v : v;
    return true;
}

Data::Data(const std::string& database) {
    boost::system::error_code ec;
    // No index yet: nothing was uploaded, and every answer is empty.
    if (!fs::exists(database, ec)) return;
    db_ = std::make_unique<index::Db>(database, index::Db::Mode::ReadOnly);
    db_->restrictToReading();
}

Data::~Data() = default;

Rows Data::rows(const std::string& sql, const std::vector<std::string>& binds) {
    Rows out;
    if (!db_) return out;
    index::Stmt s(*db_, sql);
    for (std::size_t i = 0; i < binds.size(); ++i) s.bind(int(i + 1), binds[i]);
    const int n = s.columns();
    std::vector<std::string> names;
    for (int i = 0; i < n; ++i) names.push_back(s.name(i));
    while (s.step()) out.push_back(Row::parse(index::jsonRow(s, names)));
    return out;
}

Rows Data::question(const std::string& sql) {
    Rows out;
    if (!db_) return out;
    std::ostringstream text;
    index::printRows(*db_, sql, true, text);
    std::istringstream lines(text.str());
    for (std::string line; std::getline(lines, line);)
        if (!line.empty()) out.push_back(Row::parse(line));
    return out;
}

MatchFilter matchFilter(const httplib::Request& req) {
    MatchFilter f;
    f.user = param(req, "user");
    f.match = param(req, "match");
    f.from = param(req, "from");
    f.to = param(req, "to");
    f.program = param(req, "program");
    f.path = param(req, "path");
    f.remote = param(req, "remote");
    f.identifier = param(req, "identifier");
    std::int64_t page = 0;
    if (number(param(req, "page"), page) && page > 0 && page < 1000000) f.page = page;
    return f;
}

Rows matches(Data& data, const MatchFilter& f, std::string& error) {
    std::string where;
    std::vector<std::string> binds;
    std::int64_t n = 0;
    if (!f.user.empty()) {
        if (!number(f.user, n)) return error = "a user is a number: " + f.user, Rows();
        where += " AND r.user_id = " + std::to_string(n);
    }
    if (!f.match.empty()) {
        if (!number(f.match, n)) return error = "a match is a number: " + f.match, Rows();
        where += " AND r.match_id = " + std::to_string(n);
    }
    for (const auto* d : {&f.from, &f.to}) {
        if (d->empty()) continue;
        if (!index::isDay(*d)) return error = "a day is YYYY-MM-DD: " + *d, Rows();
        where += d == &f.from ? " AND r.day >= ?" : " AND r.day <= ?";
        binds.push_back(*d);
    }
    // The index's own find picks the recordings by program, path, remote or identifier.
    if (!f.program.empty() || !f.path.empty() || !f.remote.empty() || !f.identifier.empty()) {
        index::FindQuestion q;
        q.program = f.program;
        q.path = f.path;
        q.remote = f.remote;
        q.identifier = f.identifier;
        q.from = f.from;
        q.to = f.to;
        const std::string sql = index::findSql(q, error);
        if (sql.empty()) return Rows();
        where += " AND r.id IN (SELECT recording_id FROM (" + sql + "))";
    }
    return data.rows("SELECT r.id, r.day, r.user_id, r.match_id, r.started, r.ended, r.state, r.records "
                     "FROM recordings r WHERE 1 = 1" + where +
                         " ORDER BY r.day DESC, r.started DESC, r.id DESC LIMIT " + std::to_string(kPageRows + 1) +
                         " OFFSET " + std::to_string(f.page * kPageRows),
                     binds);
}

Rows identifierRows(Data& data, const std::string& kind, const std::string& value, std::string& error) {
    index::FindQuestion q;
    q.identifier = value;
    q.identifierKind = kind;
    const std::string sql = index::findSql(q, error);
    return sql.empty() ? Rows() : data.question(sql);
}

Rows accountIdentifiers(Data& data, std::int64_t user) {
    return data.rows("SELECT i.kind, i.value, i.weak, i.mark, COUNT(DISTINCT r.match_id) AS matches, "
                     "MIN(r.day) AS first_day, MAX(r.day) AS last_day "
                     "FROM sightings s JOIN identifiers i ON i.id = s.identifier_id "
                     "JOIN recordings r ON r.id = s.recording_id WHERE r.user_id = " + std::to_string(user) +
                     " GROUP BY i.id, i.kind, i.value, i.weak, i.mark ORDER BY i.kind, i.value");
}

std::optional<Recording> recording(Data& data, Registry& registry, const std::string& store, std::int64_t id) {
    const std::string rid = std::to_string(id);
    Rows r = data.rows("SELECT r.id, r.day, r.user_id, r.match_id, r.started, r.ended, r.state, r.records, "
                       "r.file_sha256 FROM recordings r WHERE r.id = " + rid);
    if (r.empty()) return std::nullopt;
    Recording out;
    out.row = std::move(r[0]);
    for (const auto& f : data.rows("SELECT sha256, state, current FROM files WHERE recording_id = " + rid +
                                   " ORDER BY current DESC, indexed_at, sha256")) {
        StoredFile s;
        s.sha256 = f["sha256"].get<std::string>();
        s.state = f["state"].get<std::string>();
        s.current = f["current"].get<std::int64_t>() != 0;
        if (const auto u = registry.find(s.sha256)) {
            s.token = u->token;
            s.arrived = u->arrived;
            s.state = u->state;
            // Only what the store holds is served: a name it gave, inside it.
            const fs::path p = fs::path(store) / u->file;
            boost::system::error_code ec;
            if (u->file.find('/') == std::string::npos && fs::is_regular_file(fs::symlink_status(p, ec)))
                s.path = p.string();
        }
        out.files.push_back(std::move(s));
    }
    return out;
}

}  // namespace console
}  // namespace server
}  // namespace vt
