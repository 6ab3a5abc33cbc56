#include "export/source.h"

#include "common/utf8.h"

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <algorithm>

namespace vt {
namespace exporter {

namespace {

using json = nlohmann::ordered_json;

std::string quoted(const std::string& name) {
    std::string q = "\"";
    for (char c : name) q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

// Bytes that are not well-formed UTF-8 become U+FFFD, so that every engine takes the text.
void wellFormed(std::string_view in, std::string& out) {
    out.clear();
    const auto* p = reinterpret_cast<const unsigned char*>(in.data());
    std::size_t left = in.size();
    while (left) {
        std::uint32_t cp = 0;
        const std::size_t n = utf8::decode(p, left, cp);
        if (n) {
            out.append(reinterpret_cast<const char*>(p), n);
        } else {
            out += "\xEF\xBF\xBD";
        }
        const std::size_t used = n ? n : 1;
        p += used;
        left -= used;
    }
}

// The database, opened for reading; an open that fails says why without
// its path (the caller names the database).
std::unique_ptr<index::Db> openSource(const std::string& path) {
    try {
        auto db = std::make_unique<index::Db>(path, index::Db::Mode::ReadOnly);
        db->busyTimeout(10000);
        return db;
    } catch (const index::Error& e) {
        std::string why = e.what();
        if (why.compare(0, path.size() + 2, path + ": ") == 0) why.erase(0, path.size() + 2);
        throw SourceError(why);
    }
}

}  // namespace

Source::Source(const std::string& path) : db_(openSource(path)) {
    db_->exec("BEGIN");
    readSchema();
    readRecordings();
}

Source::~Source() {
    try {
        db_->exec("COMMIT");
    } catch (const std::exception&) {
        // a read snapshot: nothing is lost when it is not ended cleanly
    }
}

std::set<std::string> Source::daysAbove(std::int64_t generation) {
    index::Stmt st(*db_, "SELECT DISTINCT day FROM recordings WHERE generation > ?");
    st.bind(1, generation);
    std::set<std::string> out;
    while (st.step()) out.insert(st.text(0));
    return out;
}

Source::Cursor::Cursor(Source& source, const Table& table, const std::set<std::string>* days) {
    std::string sql = "SELECT ";
    for (std::size_t i = 0; i < table.columns.size(); ++i)
        sql += (i ? ", " : "") + quoted(table.columns[i].name);
    sql += " FROM " + quoted(table.name);
    if (days) sql += " WHERE " + quoted("day") + " IN (SELECT value FROM json_each(?1))";
    if (table.byDay()) sql += " ORDER BY " + quoted(table.columns[table.dayColumn].name);
    st_ = std::make_unique<index::Stmt>(*source.db_, sql);
    if (days) {
        list_ = json(std::vector<std::string>(days->begin(), days->end())).dump();
        st_->bindRef(1, list_);
    }
    day_ = table.dayColumn;
    advance();
}

void Source::Cursor::advance() {
    end_ = !st_->step();
    if (!end_ && day_ >= 0) {
        currentDay_ = st_->text(day_);
        if (!isDay(currentDay_))
            throw SourceError("a row has the day '" + currentDay_ + "', which is not YYYY-MM-DD");
    }
}

const Row& Source::Cursor::row() {
    const int n = st_->columns();
    row_.resize(n);
    texts_.resize(n);
    for (int i = 0; i < n; ++i) {
        Value& v = row_[i];
        v = Value();
        switch (st_->type(i)) {
        case SQLITE_INTEGER:
            v.kind = Value::Integer;
            v.integer = st_->integer(i);
            break;
        case SQLITE_FLOAT:
            v.kind = Value::Real;
            v.real = st_->real(i);
            break;
        case SQLITE_TEXT:
            v.kind = Value::Text;
            wellFormed(st_->textView(i), texts_[std::size_t(i)]);
            v.bytes = texts_[std::size_t(i)];
            break;
        case SQLITE_BLOB:
            v.kind = Value::Blob;
            v.bytes = st_->blob(i);
            break;
        default:
            break;
        }
    }
    return row_;
}

void Source::readSchema() {
    {
        index::Stmt st(*db_, "PRAGMA user_version");
        if (st.step()) schema_.version = st.integer(0);
    }
    // Ordinary tables of the main database only: no views, virtual tables or their shadows.
    std::vector<std::string> names;
    {
        index::Stmt st(*db_, "SELECT name FROM pragma_table_list WHERE schema = 'main' AND type = 'table' "
                             "AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\' ORDER BY name");
        while (st.step()) names.push_back(st.text(0));
    }
    for (const std::string& name : names) {
        if (!isPlainName(name))
            throw SourceError("the table name '" + name + "' is not made of letters, digits and '_'");
        Table t;
        t.name = name;
        index::Stmt st(*db_, "SELECT name, type, \"notnull\" FROM pragma_table_info(?) ORDER BY cid");
        st.bind(1, name);
        while (st.step()) {
            Column c{st.text(0), st.text(1), st.integer(2) != 0};
            if (c.name == "day") t.dayColumn = int(t.columns.size());
            t.columns.push_back(std::move(c));
        }
        schema_.tables.push_back(std::move(t));
    }
    const auto rec = std::find_if(schema_.tables.begin(), schema_.tables.end(),
                                  [](const Table& t) { return t.name == "recordings"; });
    if (rec == schema_.tables.end() || !rec->byDay() ||
        std::none_of(rec->columns.begin(), rec->columns.end(),
                     [](const Column& c) { return c.name == "generation"; }))
        throw SourceError("not an index database (no recordings table with a day and a generation)");
}

void Source::readRecordings() {
    if (std::any_of(schema_.tables.begin(), schema_.tables.end(), [](const Table& t) { return t.name == "meta"; })) {
        index::Stmt st(*db_, "SELECT value FROM meta WHERE name = 'identity'");
        if (st.step()) identity_ = st.text(0);
    }
    {
        index::Stmt st(*db_, "SELECT coalesce(max(generation), 0) FROM recordings");
        if (st.step()) generation_ = st.integer(0);
    }
    index::Stmt st(*db_, "SELECT day, count(*) FROM recordings GROUP BY day");
    while (st.step()) days_[st.text(0)] = st.integer(1);
}

}  // namespace exporter
}  // namespace vt
