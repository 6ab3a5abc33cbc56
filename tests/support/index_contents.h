// Every row of an index database as text, row ids replaced by what they stand
// for and sorted, so that two databases that hold the same can be compared.
#pragma once

#include "index/sqlite.h"

#include <algorithm>
#include <string>
#include <vector>

namespace testsupport {

inline std::string indexContents(const std::string& path) {
    vt::index::Db d(path, vt::index::Db::Mode::ReadOnly);
    std::vector<std::string> all;
    vt::index::Stmt tables(d, "SELECT name FROM sqlite_schema WHERE type = 'table' AND name <> 'meta' ORDER BY name");
    while (tables.step()) {
        const std::string t = tables.text(0);
        vt::index::Stmt rows(d, "SELECT * FROM " + t);
        while (rows.step()) {
            std::string row = t;
            for (int c = 0; c < rows.columns(); ++c) {
                const std::string name = rows.name(c);
                if (name == "id" || name == "generation" || name == "indexed_at") continue;
                std::string v = rows.text(c);
                auto lookUp = [&](const char* sql) {
                    vt::index::Stmt s(d, sql);
                    s.bind(1, rows.integer(c));
                    return s.step() ? s.text(0) : std::string("?");
                };
                if (rows.type(c) == 5) v = "null";  // SQLITE_NULL
                else if (name == "recording_id")
                    v = lookUp("SELECT user_id || '/' || match_id || '/' || started FROM recordings WHERE id = ?");
                else if (name == "program_id") v = lookUp("SELECT path FROM programs WHERE id = ?");
                else if (name == "identifier_id") v = lookUp("SELECT kind || '/' || value FROM identifiers WHERE id = ?");
                row += '|' + name + '=' + v;
            }
            all.push_back(row);
        }
    }
    std::sort(all.begin(), all.end());
    std::string out;
    for (const auto& r : all) out += r + '\n';
    return out;
}

}  // namespace testsupport
