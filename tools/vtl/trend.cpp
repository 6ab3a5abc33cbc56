// `vtl trend DB (--ping | --rate)`: ping or throughput across matches.
#include "verbs.h"

#include "index/queries.h"

#include <iostream>

namespace vtl {

int trend(const TrendArgs& a, std::ostream& out, std::ostream& err) {
    vt::index::TrendQuestion q;
    q.rate = a.rate;
    q.by = a.by;
    if (a.user) q.user = *a.user;
    q.server = a.server;
    q.from = a.from;
    q.to = a.to;
    std::string error;
    const std::string sql = vt::index::trendSql(q, error);
    if (sql.empty()) {
        err << "vtl trend: " << error << '\n';
        return kUsage;
    }
    return answer(a.database, sql, a.json, out, err);
}

Verb addTrend(CLI::App& app) {
    auto a = std::make_shared<TrendArgs>();
    auto* c = app.add_subcommand("trend", "ping or throughput across matches, by day, week or match");
    c->add_option("database", a->database, "the index database")->required();
    auto* ping = c->add_flag("--ping", a->ping, "ping times: median and 95th percentile per match, no answers");
    auto* rate = c->add_flag("--rate", a->rate, "throughput: bytes per second sent and received, all adapters");
    ping->excludes(rate);
    c->add_option("--by", a->by, "day (the day a match started), week (from Monday) or match")
        ->check(CLI::IsMember({"day", "week", "match"}));
    c->add_option("--user", a->user, "only this account's matches");
    c->add_option("--server", a->server, "only the pings to this server (with --rate: matches that pinged it)");
    c->add_option("--from", a->from, "only matches from this day on, YYYY-MM-DD (the day a match started)");
    c->add_option("--to", a->to, "only matches up to this day, YYYY-MM-DD");
    c->add_flag("--json", a->json, "one JSON object per row instead of tab-separated text");
    c->footer("ping_p50 and ping_p95 are the means of each match's own percentiles (answered pings only), "
              "worst_p95 the highest; a ping without an answer counts in no_answers only.");
    return {c, [a] {
                if (a->ping == a->rate) {
                    std::cerr << "vtl trend: give --ping or --rate\n";
                    return int(kUsage);
                }
                return trend(*a, std::cout, std::cerr);
            }};
}

}  // namespace vtl
