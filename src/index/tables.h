// The index's tables, each described once (index/table.h): the schema, the
// inserts and their binds all come from here.
#pragma once

#include "index/ingest.h"
#include "index/table.h"

#include <string>

namespace vt {
namespace index {
namespace tables {

struct None {};
// A sighting: an identifier (by its id) in one recording.
struct Sighting {
    std::int64_t identifier = 0;
    const Parsed::Identifier* of = nullptr;
};

extern const Table<None> meta;
extern const Table<Parsed> recordings, files, summaries;
extern const Table<Parsed::Identifier> identifiers;
extern const Table<Sighting> sightings;
extern const Table<std::string> programs;  // a row: the program's path
extern const Table<Parsed::Process> processes;
extern const Table<Parsed::Connection> connections;
extern const Table<Parsed::Ping> pings;
extern const Table<Parsed::Rate> throughput;
extern const Table<Parsed::Named> keys, facts;
extern const Table<Parsed::Other> others;
extern const Table<Parsed::ServerSummary> servers;

// Every table of this version with its indexes, and meta's first row.
std::string schema();
// The tables whose rows belong to one recording.
const std::vector<const char*>& recordingTables();

}  // namespace tables
}  // namespace index
}  // namespace vt
