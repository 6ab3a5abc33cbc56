// vtl index: its rate against `vtl cat` of the same logs; the latency of each
// read verb on a database of many twenty-minute matches; a rerun over indexed
// files against hashing them. Every figure with its reference from this run.
//
//   bench_index [matches in the database, default 10000] [files for the rerun, default 10000]
//   bench_index rate [rounds, default 3]: the indexing rate alone
#include "bench_util.h"

#include "index/ingest.h"
#include "index/queries.h"
#include "index/schema.h"
#include "support/match_logs.h"
#include "verbs.h"

#include <boost/filesystem.hpp>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = boost::filesystem;
using bench::Clock;
using testsupport::MatchSpec;

// A twenty-minute match: a ping, throughput and a key every 5 s, 30 programs,
// a few connections, a volume and a MAC that a few accounts share.
MatchSpec twentyMinutes(int i) {
    MatchSpec m;
    m.user = 1 + i % 3000;
    m.match = i;
    char day[16];
    std::snprintf(day, sizeof day, "%02d.%02d.2026", 1 + i % 28, 1 + i / 28 % 12);
    m.day = day;
    m.ticks = 240;
    m.tickSeconds = 5;
    m.facts = {{"Volume ID from C-Drive", "VOL-" + std::to_string(m.user % 2900)},
               {"Mac Address", "NIC @ 00-1b-21-00-" + std::to_string(10 + m.user % 80) + "-" +
                                   std::to_string(10 + m.user / 80 % 80)}};
    for (int p = 0; p < 30; ++p)
        m.extra.push_back({1 + p * 30, "Process;Add;PID:" + std::to_string(1000 + p) + ":Path:C:\\Program Files\\App" +
                                           std::to_string((i + p) % 400) + "\\app" + std::to_string(p) + ".exe"});
    if (i % 100 == 7) m.extra.push_back({600, "Process;Add;PID:4000:Path:D:\\Temp\\x\\Aimbot.exe"});
    for (int c = 0; c < 5; ++c)
        m.extra.push_back({2 + c * 200, "TCP;Add;LocalIp:192.168.1.2:LocalPort:" + std::to_string(50000 + c) +
                                            ":RemoteIp:198.51." + std::to_string(i % 200) + "." + std::to_string(c + 1) +
                                            ":RemotePort:443:PID:200:Path:C:\\Games\\Client\\client.exe"});
    return m;
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "%s cannot be written\n", path.c_str());
        std::exit(1);
    }
}

double runIndex(const std::string& db, const std::vector<std::string>& files) {
    fs::remove(db);
    fs::remove(db + "-wal");
    fs::remove(db + "-shm");
    vt::index::Options o;
    o.search = false;
    std::string error;
    const auto start = Clock::now();
    std::size_t n = 0;
    if (!vt::index::indexFiles(db, files, o, [&](const vt::index::Outcome&) { ++n; }, error) || n != files.size()) {
        std::fprintf(stderr, "indexing failed: %s\n", error.c_str());
        std::exit(1);
    }
    return bench::seconds(Clock::now() - start);
}

double runCat(const std::vector<std::string>& files) {
    const auto start = Clock::now();
    for (const auto& f : files) {
        std::ostringstream out, err;
        if (vtl::cat(f, false, out, err) != 0) std::exit(1);
    }
    return bench::seconds(Clock::now() - start);
}

// 1. The indexing rate against vtl cat of the same 100 twenty-minute logs.
void rateSection(const fs::path& dir, int rounds) {
    std::vector<std::string> files;
    std::size_t records = 0;
    for (int i = 0; i < 100; ++i) {
        const std::string text = testsupport::matchText(twentyMinutes(i));
        records += std::size_t(std::count(text.begin(), text.end(), '\n'));
        files.push_back((dir / "rate" / ("m" + std::to_string(i) + ".vtl")).string());
        writeFile(files.back(), testsupport::sealedLog(text));
    }
    // Processor time too (all threads): on a shared machine it varies less
    // than the time on the clock.
    std::vector<double> idx, cat, idxCpu, catCpu;
    auto cpu = [] { return double(std::clock()) / CLOCKS_PER_SEC; };
    for (int round = 0; round < rounds; ++round) {
        double c0 = cpu();
        cat.push_back(runCat(files));
        catCpu.push_back(cpu() - c0);
        c0 = cpu();
        idx.push_back(runIndex((dir / "rate.db").string(), files));
        idxCpu.push_back(cpu() - c0);
    }
    // Where the time goes: reading and cutting into rows alone, writing alone.
    double parseTime = 0, writeTime = 0;
    {
        const auto start = Clock::now();
        std::vector<vt::index::Parsed> parsed;
        for (const auto& f : files) parsed.push_back(vt::index::parseLog(f, vt::read::Options()));
        parseTime = bench::seconds(Clock::now() - start);
        const std::string db = (dir / "write.db").string();
        vt::index::Db d(db, vt::index::Db::Mode::ReadWrite);
        vt::index::prepareForWriting(d);
        vt::index::Writer w(d);
        const auto ws = Clock::now();
        w.begin();
        for (const auto& p : parsed) w.write(p);
        w.commit();
        writeTime = bench::seconds(Clock::now() - ws);
    }
    const double catRate = double(records) / bench::percentile(cat, 0.5);
    const double indexRate = double(records) / bench::percentile(idx, 0.5);
    std::printf("100 twenty-minute logs, %zu records, %u cores\n", records, std::thread::hardware_concurrency());
    bench::row("vtl index, records/s (new database)", indexRate / 1e3, "k/s", catRate / 1e3, ">= 0.5");
    std::printf("%-58s %12.3f %-6s\n", "  vtl cat of the same logs (reference)", catRate / 1e3, "k/s");
    std::printf("%-58s %12.3f %-6s\n", "  reading and cutting into rows alone, one thread", records / parseTime / 1e3, "k/s");
    std::printf("%-58s %12.3f %-6s\n", "  writing the rows alone, one transaction", records / writeTime / 1e3, "k/s");
    std::printf("%-58s %12.3f %-6s ratio %7.3f\n", "  processor time of vtl index (all threads), median",
                bench::percentile(idxCpu, 0.5) * 1e3, "ms",
                bench::percentile(catCpu, 0.5) / bench::percentile(idxCpu, 0.5));
    std::printf("%-58s %12.3f %-6s\n", "  processor time of vtl cat (reference)", bench::percentile(catCpu, 0.5) * 1e3, "ms");
    std::printf("%-58s %12.3f %-6s ratio %7.3f\n", "  time on the clock of vtl index, median", bench::percentile(idx, 0.5) * 1e3,
                "ms", bench::percentile(cat, 0.5) / bench::percentile(idx, 0.5));
    std::printf("%-58s %12.3f %-6s\n", "  time on the clock of vtl cat (reference)", bench::percentile(cat, 0.5) * 1e3, "ms");
    for (std::size_t r = 0; r < idx.size(); ++r)
        std::printf("  round %zu: rate of index / cat %.3f, processor time of cat / index %.3f\n", r + 1,
                    cat[r] / idx[r], catCpu[r] / idxCpu[r]);
}

// 2. The read verbs on a database of many twenty-minute matches.
void verbsSection(const fs::path& dir, int matches) {
    const std::string big = (dir / "matches.db").string();
    {
        vt::index::Db db(big, vt::index::Db::Mode::ReadWrite);
        vt::index::prepareForWriting(db);
        vt::index::Writer writer(db);
        const auto start = Clock::now();
        for (int i = 0; i < matches; ++i) {
            if (!writer.open()) writer.begin();
            vt::index::Parsed p;
            p.path = "generated/m" + std::to_string(i) + ".vtl";
            p.sha256 = std::to_string(i);
            p.state = vt::read::State::Whole;
            p.stateName = "whole";
            vt::index::parseText(testsupport::matchText(twentyMinutes(i)), p);
            writer.write(p);
            if (i % 500 == 499) writer.commit();
        }
        if (writer.open()) writer.commit();
        db.exec("ANALYZE");
        std::printf("database of %d twenty-minute matches made in %.1f s (%.0f MB)\n", matches,
                    bench::seconds(Clock::now() - start), double(fs::file_size(big)) / 1e6);
    }
    const double floor = bench::medianSeconds([&] {
        std::ostringstream out, err;
        vtl::answer(big, "SELECT * FROM summaries", false, out, err);
    }, 5, 1);
    std::printf("%-58s %12.3f %-6s\n", "reference: every summary row printed", floor * 1e3, "ms");
    struct Question {
        const char* what;
        std::function<int(std::ostream&, std::ostream&)> run;
    };
    vtl::LinksArgs links;
    links.database = big;
    vtl::LinksArgs cluster = links;
    cluster.user = 42;
    vtl::FindArgs program, path, remote;
    program.database = path.database = remote.database = big;
    program.question.program = "aimbot.EXE";
    path.question.path = "app12\\";
    remote.question.remote = "198.51.100.0/24:443";
    vtl::TrendArgs ping, rate;
    ping.database = rate.database = big;
    ping.ping = true;
    rate.rate = true;
    rate.by = "week";
    vtl::TrendArgs byMatch = ping;
    byMatch.by = "match";
    byMatch.user = 42;
    vtl::LinksArgs pairs = links, month = links;
    pairs.pairs = true;
    month.from = "2026-03-01";
    month.to = "2026-03-31";
    vtl::FindArgs mac, account;
    mac.database = account.database = big;
    mac.question.identifier = "00:1B:21:00:52:10";  // user 42's, pasted
    account.question.user = 42;
    const std::vector<Question> questions = {
        {"vtl links", [&](std::ostream& o, std::ostream& e) { return vtl::links(links, o, e); }},
        {"vtl links --user", [&](std::ostream& o, std::ostream& e) { return vtl::links(cluster, o, e); }},
        {"vtl links --pairs", [&](std::ostream& o, std::ostream& e) { return vtl::links(pairs, o, e); }},
        {"vtl links --from --to (a month)", [&](std::ostream& o, std::ostream& e) { return vtl::links(month, o, e); }},
        {"vtl find --identifier (a MAC)", [&](std::ostream& o, std::ostream& e) { return vtl::findMatches(mac, o, e); }},
        {"vtl find --user", [&](std::ostream& o, std::ostream& e) { return vtl::findMatches(account, o, e); }},
        {"vtl find --program", [&](std::ostream& o, std::ostream& e) { return vtl::findMatches(program, o, e); }},
        {"vtl find --path", [&](std::ostream& o, std::ostream& e) { return vtl::findMatches(path, o, e); }},
        {"vtl find --remote /24:443", [&](std::ostream& o, std::ostream& e) { return vtl::findMatches(remote, o, e); }},
        {"vtl trend --ping --by day", [&](std::ostream& o, std::ostream& e) { return vtl::trend(ping, o, e); }},
        {"vtl trend --rate --by week", [&](std::ostream& o, std::ostream& e) { return vtl::trend(rate, o, e); }},
        {"vtl trend --ping --by match --user", [&](std::ostream& o, std::ostream& e) { return vtl::trend(byMatch, o, e); }},
        {"vtl query (the ten accounts with most matches)", [&](std::ostream& o, std::ostream& e) {
             return vtl::answer(big, "SELECT user_id, count(*) AS matches FROM recordings GROUP BY user_id "
                                     "ORDER BY matches DESC, user_id LIMIT 10", false, o, e);
         }},
    };
    for (const auto& q : questions) {
        std::size_t rows = 0;
        const double t = bench::medianSeconds([&] {
            std::ostringstream out, err;
            if (q.run(out, err) != 0) std::fprintf(stderr, "%s failed: %s\n", q.what, err.str().c_str());
            const std::string s = out.str();
            rows = std::size_t(std::count(s.begin(), s.end(), '\n'));
        }, 7, 1);
        char what[96];
        std::snprintf(what, sizeof what, "%s (%zu rows), median", q.what, rows ? rows - 1 : 0);
        bench::row(what, t * 1e3, "ms", floor * 1e3, "<= 100 ms");
    }

}

// 3. A rerun over indexed files against hashing them.
int rerunSection(const fs::path& dir, int rerunFiles) {
    std::vector<std::string> small;
    for (int i = 0; i < rerunFiles; ++i) {
        MatchSpec m;
        m.user = i;
        m.match = i;
        m.ticks = 5;
        small.push_back((dir / "rerun" / ("s" + std::to_string(i) + ".vtl")).string());
        writeFile(small.back(), testsupport::sealedLog(testsupport::matchText(m)));
    }
    const std::string rerunDb = (dir / "rerun.db").string();
    runIndex(rerunDb, small);
    std::vector<double> hashTimes, rerunTimes;
    for (int round = 0; round < 3; ++round) {
        auto start = Clock::now();
        for (const auto& f : small) {
            std::string reason;
            if (vt::index::sha256File(f, reason).empty()) std::exit(1);
        }
        hashTimes.push_back(bench::seconds(Clock::now() - start));
        vt::index::Options o;
        o.search = false;
        std::string error;
        std::size_t already = 0;
        start = Clock::now();
        vt::index::indexFiles(rerunDb, small, o, [&](const vt::index::Outcome& x) {
            already += x.kind == vt::index::Outcome::Already;
        }, error);
        rerunTimes.push_back(bench::seconds(Clock::now() - start));
        if (already != small.size()) {
            std::fprintf(stderr, "the rerun indexed again\n");
            return 1;
        }
    }
    const double hash = bench::percentile(hashTimes, 0.5), rerun = bench::percentile(rerunTimes, 0.5);
    char what[96];
    std::snprintf(what, sizeof what, "rerun over %d indexed files", rerunFiles);
    bench::row(what, rerun, "s", hash, "<= 1.2");
    std::printf("%-58s %12.3f %-6s\n", "  SHA-256 of the same files (reference)", hash, "s");

    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const bool rateOnly = argc > 1 && std::string(argv[1]) == "rate";
    const int rounds = rateOnly && argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const int matches = argc > 1 && !rateOnly ? std::atoi(argv[1]) : 10000;
    const int rerunFiles = argc > 2 && !rateOnly ? std::atoi(argv[2]) : 10000;
    const fs::path dir = fs::temp_directory_path() / fs::unique_path("vt-bench-index-%%%%-%%%%");
    fs::create_directories(dir / "rate");
    fs::create_directories(dir / "rerun");

    rateSection(dir, rounds);
    int status = 0;
    if (!rateOnly) {
        verbsSection(dir, matches);
        status = rerunSection(dir, rerunFiles);
    }
    fs::remove_all(dir);
    return status;
}
