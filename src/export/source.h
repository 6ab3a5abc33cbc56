// The export's source: an index database read in one snapshot, table by
// table, through the index's SQLite wrapper.
#pragma once

#include "export/core.h"
#include "index/sqlite.h"

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace vt {
namespace exporter {

// A failure of the database, reported as the source's.
using SourceError = index::Error;

class Source {
public:
    // Opens the database and reads its tables and recordings; throws SourceError.
    explicit Source(const std::string& path);
    ~Source();

    const Schema& schema() const { return schema_; }
    const std::string& identity() const { return identity_; }
    std::int64_t generation() const { return generation_; }
    const std::map<std::string, std::int64_t>& days() const { return days_; }
    std::set<std::string> daysAbove(std::int64_t generation);

    // A cursor over a table's rows in day order: all of them, or those of the days given.
    class Cursor {
    public:
        Cursor(Source& source, const Table& table, const std::set<std::string>* days);
        bool atEnd() const { return end_; }
        // The day of the current row (a partitioned table's).
        const std::string& day() const { return currentDay_; }
        void advance();
        // The current row, valid until advance().
        const Row& row();

    private:
        std::unique_ptr<index::Stmt> st_;
        std::string list_, currentDay_;
        int day_ = -1;
        bool end_ = false;
        Row row_;
        std::vector<std::string> texts_;
    };

private:
    void readSchema();
    void readRecordings();

    std::unique_ptr<index::Db> db_;
    Schema schema_;
    std::string identity_;
    std::int64_t generation_ = 0;
    std::map<std::string, std::int64_t> days_;
};

}  // namespace exporter
}  // namespace vt
