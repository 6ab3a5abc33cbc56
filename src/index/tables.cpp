#include "index/tables.h"

namespace vt {
namespace index {
namespace tables {

namespace {

using P = Parsed;
constexpr const char* kKeyed = "STRICT, WITHOUT ROWID";
constexpr const char* kLine = "PRIMARY KEY (recording_id, line)";

// The columns that open every table of a recording's rows.
template <typename Row>
Column<Row> day() {
    return {"day", "TEXT NOT NULL", [](Cell& c, const FileRows& f, const Row&) { c.text(f.p.day); }};
}
template <typename Row>
Column<Row> recording() {
    return {"recording_id", "INTEGER NOT NULL", [](Cell& c, const FileRows& f, const Row&) { c.integer(f.recording); }};
}
template <typename Row>
Column<Row> line() {
    return {"line", "INTEGER NOT NULL", [](Cell& c, const FileRows&, const Row& r) { c.integer(r.line); }};
}
template <typename Row>
Column<Row> at() {
    return {"at", "TEXT", [](Cell& c, const FileRows& f, const Row& r) { c.textOrNull(f.p.time(r.at)); }};
}

std::string nameOf(const std::string& path) {
    const std::size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

const Table<None> meta{"meta", {{"name", "TEXT PRIMARY KEY"}, {"value", "INTEGER NOT NULL"}}};

const Table<P> recordings{
    "recordings",
    {{"id", "INTEGER PRIMARY KEY"},
     day<P>(),
     {"generation", "INTEGER NOT NULL", [](Cell& c, const FileRows& f, const P&) { c.integer(f.generation); }},
     {"user_id", "INTEGER NOT NULL", [](Cell& c, const FileRows&, const P& p) { c.integer(p.user); }},
     {"match_id", "INTEGER NOT NULL", [](Cell& c, const FileRows&, const P& p) { c.integer(p.match); }},
     {"started", "TEXT NOT NULL", [](Cell& c, const FileRows&, const P& p) { c.text(p.started); }},
     {"ended", "TEXT", [](Cell& c, const FileRows&, const P& p) { c.textOrNull(p.ended); }},
     {"week", "TEXT NOT NULL", [](Cell& c, const FileRows&, const P& p) { c.text(p.week); }},
     {"file_sha256", "TEXT NOT NULL", [](Cell& c, const FileRows&, const P& p) { c.text(p.sha256); }},
     {"path", "TEXT NOT NULL", [](Cell& c, const FileRows&, const P& p) { c.text(p.path); }},
     {"whole", "INTEGER NOT NULL", [](Cell& c, const FileRows&, const P& p) { c.flag(p.whole()); }},
     {"state", "TEXT NOT NULL", [](Cell& c, const FileRows&, const P& p) { c.text(p.stateName); }},
     {"reason", "TEXT", [](Cell& c, const FileRows&, const P& p) { c.textOrNull(p.reason); }},
     {"records", "INTEGER NOT NULL", [](Cell& c, const FileRows&, const P& p) { c.integer(p.records); }},
     {"recovered_from", "TEXT", [](Cell& c, const FileRows&, const P& p) { c.textOrNull(p.recoveredFrom); }},
     {"untimed", "INTEGER NOT NULL", [](Cell& c, const FileRows&, const P& p) { c.integer(p.untimed); }}},
    "UNIQUE (user_id, match_id, started)",
    "STRICT",
    {"recordings_day ON recordings (day)", "recordings_generation ON recordings (generation)"}};

const Table<P> files{
    "files",
    {{"sha256", "TEXT PRIMARY KEY", [](Cell& c, const FileRows&, const P& p) { c.text(p.sha256); }},
     day<P>(),
     recording<P>(),
     {"path", "TEXT NOT NULL", [](Cell& c, const FileRows&, const P& p) { c.text(p.path); }},
     {"size", "INTEGER NOT NULL", [](Cell& c, const FileRows&, const P& p) { c.integer(std::int64_t(p.size)); }},
     {"whole", "INTEGER NOT NULL", [](Cell& c, const FileRows&, const P& p) { c.flag(p.whole()); }},
     {"state", "TEXT NOT NULL", [](Cell& c, const FileRows&, const P& p) { c.text(p.stateName); }},
     {"reason", "TEXT", [](Cell& c, const FileRows&, const P& p) { c.textOrNull(p.reason); }},
     {"records", "INTEGER NOT NULL", [](Cell& c, const FileRows&, const P& p) { c.integer(p.records); }},
     {"current", "INTEGER NOT NULL", [](Cell& c, const FileRows& f, const P&) { c.flag(f.current); }},
     {"indexed_at", "TEXT NOT NULL", [](Cell& c, const FileRows& f, const P&) { c.text(f.now); }}},
    "",
    "STRICT",
    {"files_recording ON files (recording_id)"}};

const Table<P::Identifier> identifiers{
    "identifiers",
    {{"id", "INTEGER PRIMARY KEY"},
     {"kind", "TEXT NOT NULL", [](Cell& c, const FileRows&, const P::Identifier& i) { c.text(i.kind); }},
     {"value", "TEXT NOT NULL", [](Cell& c, const FileRows&, const P::Identifier& i) { c.text(i.value); }},
     {"weak", "INTEGER NOT NULL", [](Cell& c, const FileRows&, const P::Identifier& i) { c.flag(!i.mark.empty()); }},
     {"mark", "TEXT", [](Cell& c, const FileRows&, const P::Identifier& i) { c.textOrNull(i.mark); }}},
    "UNIQUE (kind, value)",
    "STRICT",
    {},
    "ON CONFLICT (kind, value) DO NOTHING"};

const Table<Sighting> sightings{
    "sightings",
    {day<Sighting>(),
     recording<Sighting>(),
     {"identifier_id", "INTEGER NOT NULL", [](Cell& c, const FileRows&, const Sighting& s) { c.integer(s.identifier); }},
     {"fact", "TEXT NOT NULL", [](Cell& c, const FileRows&, const Sighting& s) { c.text(s.of->fact); }}},
    "PRIMARY KEY (recording_id, identifier_id)",
    "STRICT",
    {"sightings_identifier ON sightings (identifier_id)"},
    "ON CONFLICT DO NOTHING"};

const Table<std::string> programs{
    "programs",
    {{"id", "INTEGER PRIMARY KEY"},
     {"path", "TEXT NOT NULL UNIQUE", [](Cell& c, const FileRows&, const std::string& path) { c.text(path); }},
     {"name", "TEXT NOT NULL", [](Cell& c, const FileRows&, const std::string& path) { c.copy(nameOf(path)); }},
     {"name_lower", "TEXT NOT NULL",
      [](Cell& c, const FileRows&, const std::string& path) { c.copy(foldCase(nameOf(path))); }},
     {"path_lower", "TEXT NOT NULL", [](Cell& c, const FileRows&, const std::string& path) { c.copy(foldCase(path)); }}},
    "",
    "STRICT",
    {"programs_name ON programs (name_lower)"},
    "ON CONFLICT (path) DO NOTHING"};

const Table<P::Process> processes{
    "processes",
    {day<P::Process>(),
     recording<P::Process>(),
     line<P::Process>(),
     {"pid", "INTEGER", [](Cell& c, const FileRows&, const P::Process& x) { c.optional(x.pid); }},
     {"program_id", "INTEGER NOT NULL",
      [](Cell& c, const FileRows& f, const P::Process& x) { c.integer(f.program(x.path)); }},
     {"started", "TEXT", [](Cell& c, const FileRows&, const P::Process& x) { c.textOrNull(x.started); }},
     {"ended", "TEXT", [](Cell& c, const FileRows&, const P::Process& x) { c.textOrNull(x.ended); }},
     {"already_running", "INTEGER NOT NULL", [](Cell& c, const FileRows&, const P::Process& x) { c.flag(x.already); }},
     {"still_running", "INTEGER NOT NULL", [](Cell& c, const FileRows&, const P::Process& x) { c.flag(x.still); }}},
    kLine,
    kKeyed,
    {"processes_program ON processes (program_id)"}};

const Table<P::Connection> connections{
    "connections",
    {day<P::Connection>(),
     recording<P::Connection>(),
     line<P::Connection>(),
     {"protocol", "TEXT NOT NULL", [](Cell& c, const FileRows&, const P::Connection& x) { c.text(x.protocol); }},
     {"local_ip", "TEXT", [](Cell& c, const FileRows&, const P::Connection& x) { c.textOrNull(x.localIp); }},
     {"local_port", "INTEGER", [](Cell& c, const FileRows&, const P::Connection& x) { c.optional(x.localPort); }},
     {"remote_ip", "TEXT", [](Cell& c, const FileRows&, const P::Connection& x) { c.textOrNull(x.remoteIp); }},
     {"remote_port", "INTEGER", [](Cell& c, const FileRows&, const P::Connection& x) { c.optional(x.remotePort); }},
     {"remote_address", "INTEGER",
      [](Cell& c, const FileRows&, const P::Connection& x) { c.optional(x.remoteAddress); }},
     {"pid", "INTEGER", [](Cell& c, const FileRows&, const P::Connection& x) { c.optional(x.pid); }},
     {"program_id", "INTEGER",
      [](Cell& c, const FileRows& f, const P::Connection& x) {
          if (x.path.empty()) c.null();
          else c.integer(f.program(x.path));
      }},
     {"opened", "TEXT", [](Cell& c, const FileRows&, const P::Connection& x) { c.textOrNull(x.opened); }},
     {"closed", "TEXT", [](Cell& c, const FileRows&, const P::Connection& x) { c.textOrNull(x.closed); }},
     {"already_open", "INTEGER NOT NULL", [](Cell& c, const FileRows&, const P::Connection& x) { c.flag(x.already); }},
     {"still_open", "INTEGER NOT NULL", [](Cell& c, const FileRows&, const P::Connection& x) { c.flag(x.still); }}},
    kLine,
    kKeyed,
    {"connections_remote ON connections (remote_address)"}};

const Table<P::Ping> pings{
    "pings",
    {day<P::Ping>(),
     recording<P::Ping>(),
     line<P::Ping>(),
     at<P::Ping>(),
     {"server", "TEXT NOT NULL", [](Cell& c, const FileRows&, const P::Ping& x) { c.text(x.server); }},
     {"server_address", "INTEGER", [](Cell& c, const FileRows&, const P::Ping& x) { c.optional(x.serverAddress); }},
     {"milliseconds", "INTEGER", [](Cell& c, const FileRows&, const P::Ping& x) { c.optional(x.milliseconds); }},
     {"answered", "INTEGER NOT NULL", [](Cell& c, const FileRows&, const P::Ping& x) { c.flag(x.answered); }}},
    kLine,
    kKeyed};

const Table<P::Rate> throughput{
    "throughput",
    {day<P::Rate>(),
     recording<P::Rate>(),
     line<P::Rate>(),
     at<P::Rate>(),
     {"adapter", "TEXT NOT NULL", [](Cell& c, const FileRows&, const P::Rate& x) { c.text(x.adapter); }},
     {"tx_bytes_per_s", "REAL", [](Cell& c, const FileRows&, const P::Rate& x) { c.optional(x.tx); }},
     {"rx_bytes_per_s", "REAL", [](Cell& c, const FileRows&, const P::Rate& x) { c.optional(x.rx); }}},
    kLine,
    kKeyed};

const Table<P::Named> keys{
    "keys",
    {day<P::Named>(),
     recording<P::Named>(),
     line<P::Named>(),
     at<P::Named>(),
     {"name", "TEXT NOT NULL", [](Cell& c, const FileRows&, const P::Named& x) { c.text(x.name); }}},
    kLine,
    kKeyed};

const Table<P::Named> facts{
    "facts",
    {day<P::Named>(),
     recording<P::Named>(),
     line<P::Named>(),
     at<P::Named>(),
     {"name", "TEXT NOT NULL", [](Cell& c, const FileRows&, const P::Named& x) { c.text(x.name); }},
     {"value", "TEXT NOT NULL", [](Cell& c, const FileRows&, const P::Named& x) { c.text(x.value); }}},
    kLine,
    kKeyed};

const Table<P::Other> others{
    "other_records",
    {day<P::Other>(),
     recording<P::Other>(),
     line<P::Other>(),
     at<P::Other>(),
     {"kind", "TEXT NOT NULL", [](Cell& c, const FileRows&, const P::Other& x) { c.text(x.kind); }},
     {"action", "TEXT NOT NULL", [](Cell& c, const FileRows&, const P::Other& x) { c.text(x.action); }},
     {"raw", "TEXT NOT NULL", [](Cell& c, const FileRows&, const P::Other& x) { c.text(x.raw); }},
     {"cut", "INTEGER NOT NULL", [](Cell& c, const FileRows&, const P::Other& x) { c.flag(x.cut); }}},
    kLine,
    kKeyed};

const Table<P> summaries{
    "summaries",
    {day<P>(),
     {"recording_id", "INTEGER PRIMARY KEY", [](Cell& c, const FileRows& f, const P&) { c.integer(f.recording); }},
     {"week", "TEXT NOT NULL", [](Cell& c, const FileRows&, const P& p) { c.text(p.week); }},
     {"seconds", "INTEGER", [](Cell& c, const FileRows&, const P& p) { c.optional(p.summary.seconds); }},
     {"records", "INTEGER NOT NULL", [](Cell& c, const FileRows&, const P& p) { c.integer(p.records); }},
     {"pings", "INTEGER NOT NULL", [](Cell& c, const FileRows&, const P& p) { c.integer(p.summary.pings); }},
     {"no_answers", "INTEGER NOT NULL", [](Cell& c, const FileRows&, const P& p) { c.integer(p.summary.noAnswers); }},
     {"ping_p50", "REAL", [](Cell& c, const FileRows&, const P& p) { c.optional(p.summary.p50); }},
     {"ping_p95", "REAL", [](Cell& c, const FileRows&, const P& p) { c.optional(p.summary.p95); }},
     {"ping_average", "REAL", [](Cell& c, const FileRows&, const P& p) { c.optional(p.summary.average); }},
     {"tx_average", "REAL", [](Cell& c, const FileRows&, const P& p) { c.optional(p.summary.tx); }},
     {"rx_average", "REAL", [](Cell& c, const FileRows&, const P& p) { c.optional(p.summary.rx); }},
     {"processes", "INTEGER NOT NULL",
      [](Cell& c, const FileRows&, const P& p) { c.integer(std::int64_t(p.processes.size())); }},
     {"connections", "INTEGER NOT NULL",
      [](Cell& c, const FileRows&, const P& p) { c.integer(std::int64_t(p.connections.size())); }},
     {"keys", "INTEGER NOT NULL", [](Cell& c, const FileRows&, const P& p) { c.integer(std::int64_t(p.keys.size())); }}}};

const Table<P::ServerSummary> servers{
    "ping_servers",
    {day<P::ServerSummary>(),
     recording<P::ServerSummary>(),
     {"week", "TEXT NOT NULL", [](Cell& c, const FileRows& f, const P::ServerSummary&) { c.text(f.p.week); }},
     {"server", "TEXT NOT NULL", [](Cell& c, const FileRows&, const P::ServerSummary& x) { c.text(x.server); }},
     {"server_address", "INTEGER", [](Cell& c, const FileRows&, const P::ServerSummary& x) { c.optional(x.address); }},
     {"pings", "INTEGER NOT NULL", [](Cell& c, const FileRows&, const P::ServerSummary& x) { c.integer(x.ping.pings); }},
     {"no_answers", "INTEGER NOT NULL",
      [](Cell& c, const FileRows&, const P::ServerSummary& x) { c.integer(x.ping.noAnswers); }},
     {"ping_p50", "REAL", [](Cell& c, const FileRows&, const P::ServerSummary& x) { c.optional(x.ping.p50); }},
     {"ping_p95", "REAL", [](Cell& c, const FileRows&, const P::ServerSummary& x) { c.optional(x.ping.p95); }},
     {"ping_average", "REAL", [](Cell& c, const FileRows&, const P::ServerSummary& x) { c.optional(x.ping.average); }}},
    "PRIMARY KEY (recording_id, server)",
    "STRICT",
    {"ping_servers_server ON ping_servers (server)"}};

std::string schema() {
    return meta.create() + "INSERT INTO meta (name, value) VALUES ('generation', 0);\n" + recordings.create() +
           files.create() + identifiers.create() + sightings.create() + programs.create() + processes.create() +
           connections.create() + pings.create() + throughput.create() + keys.create() + facts.create() +
           others.create() + summaries.create() + servers.create();
}

const std::vector<const char*>& recordingTables() {
    static const std::vector<const char*> names = {processes.name, connections.name, pings.name, throughput.name,
                                                   keys.name,      facts.name,       others.name, sightings.name,
                                                   summaries.name, servers.name};
    return names;
}

}  // namespace tables
}  // namespace index
}  // namespace vt
