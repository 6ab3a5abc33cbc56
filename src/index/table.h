// A table of the index described once: its columns with their SQL types and
// how a row gives each its value. The description gives the CREATE TABLE
// statement, the INSERT statement and the binds of a row, so a column is
// named in one place.
#pragma once

#include "index/sqlite.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vt {
namespace index {

struct Parsed;

// What the rows of one file are written with besides themselves.
struct FileRows {
    explicit FileRows(const Parsed& parsed) : p(parsed) {}
    const Parsed& p;
    std::int64_t recording = 0;
    std::int64_t generation = 0;
    bool current = true;  // the file is its recording's current one
    std::string now;      // when it is indexed
    // The id of a program by its path, stored on first sight.
    std::function<std::int64_t(const std::string& path)> program;
};

// One parameter of a statement, as a column takes its value.
class Cell {
public:
    Cell(Stmt& st, int at) : st_(st), at_(at) {}
    void integer(std::int64_t v) { st_.bind(at_, v); }
    void flag(bool v) { st_.bind(at_, std::int64_t(v)); }
    // Text that outlives the statement's step (a row's own).
    void text(const std::string& v) { st_.bindRef(at_, v); }
    // The same, null when empty.
    void textOrNull(const std::string& v) {
        if (v.empty()) st_.bindNull(at_);
        else st_.bindRef(at_, v);
    }
    // Text made for the statement: copied.
    void copy(const std::string& v) { st_.bind(at_, v); }
    void null() { st_.bindNull(at_); }
    template <typename T>
    void optional(const std::optional<T>& v) {
        if (v) st_.bind(at_, *v);
        else st_.bindNull(at_);
    }

private:
    Stmt& st_;
    int at_;
};

template <typename Row>
struct Column {
    const char* name;
    const char* type;  // with its constraints: "TEXT NOT NULL", "INTEGER PRIMARY KEY"
    // Its value in a row; none for a column that SQLite fills (a rowid).
    void (*value)(Cell&, const FileRows&, const Row&) = nullptr;
};

template <typename Row>
struct Table {
    const char* name;
    std::vector<Column<Row>> columns;
    const char* constraints = "";  // after the columns: "PRIMARY KEY (recording_id, line)", ...
    const char* options = "STRICT";
    std::vector<const char*> indexes = {};  // "recordings_day ON recordings (day)", ...
    const char* onConflict = "";            // after the INSERT's values

    std::string create() const {
        std::string sql = std::string("CREATE TABLE ") + name + " (";
        for (std::size_t i = 0; i < columns.size(); ++i)
            sql += std::string(i ? ",\n  " : "\n  ") + columns[i].name + " " + columns[i].type;
        if (*constraints) sql += std::string(",\n  ") + constraints;
        sql += std::string("\n) ") + options + ";\n";
        for (const char* index : indexes) sql += std::string("CREATE INDEX ") + index + ";\n";
        return sql;
    }
    // The columns that a row gives.
    int written() const {
        int n = 0;
        for (const auto& c : columns) n += c.value != nullptr;
        return n;
    }
    // "INSERT INTO t (a, b) VALUES (?,?),(?,?)...": rows rows at once.
    std::string insert(int rows = 1) const {
        std::string sql = std::string("INSERT INTO ") + name + " (", row = "(";
        bool first = true;
        for (const auto& c : columns) {
            if (!c.value) continue;
            sql += std::string(first ? "" : ", ") + c.name;
            row += first ? "?" : ",?";
            first = false;
        }
        sql += ") VALUES ";
        for (int r = 0; r < rows; ++r) sql += (r ? "," : "") + row + ")";
        if (*onConflict) sql += std::string(" ") + onConflict;
        return sql;
    }
    // "UPDATE t SET a = ?, b = ? WHERE ...": every column a row gives, then
    // the parameters of where.
    std::string update(const char* where) const {
        std::string sql = std::string("UPDATE ") + name + " SET ";
        bool first = true;
        for (const auto& c : columns) {
            if (!c.value) continue;
            sql += std::string(first ? "" : ", ") + c.name + " = ?";
            first = false;
        }
        return sql + " WHERE " + where;
    }
    // Binds a row's values from parameter first + 1 on.
    void bind(Stmt& st, int first, const FileRows& file, const Row& row) const {
        for (const auto& c : columns) {
            if (!c.value) continue;
            Cell cell(st, ++first);
            c.value(cell, file, row);
        }
    }
};

// A table's insert, kept prepared: one row a step, and a run of rows many
// rows a step.
template <typename Row>
class Insert {
public:
    static constexpr int kRowsPerStep = 32;
    Insert(Db& db, const Table<Row>& table)
        : table_(table), columns_(table.written()), one_(db, table.insert()), many_(db, table.insert(kRowsPerStep)) {}
    void write(const FileRows& file, const Row& row) {
        table_.bind(one_, 0, file, row);
        one_.run();
    }
    void write(const FileRows& file, const std::vector<Row>& rows) {
        std::size_t i = 0;
        for (; i + kRowsPerStep <= rows.size(); i += kRowsPerStep) {
            for (int k = 0; k < kRowsPerStep; ++k) table_.bind(many_, k * columns_, file, rows[i + std::size_t(k)]);
            many_.run();
        }
        for (; i < rows.size(); ++i) write(file, rows[i]);
    }

private:
    const Table<Row>& table_;
    int columns_;
    Stmt one_, many_;
};

}  // namespace index
}  // namespace vt
