// `vtl links DB`: pairs of accounts that share a machine identifier.
#include "verbs.h"

#include "index/queries.h"

#include <iostream>

namespace vtl {

int links(const LinksArgs& a, std::ostream& out, std::ostream& err) {
    vt::index::LinksQuestion q;
    if (a.user) q.user = *a.user;
    q.kind = a.kind;
    q.common = a.common;
    q.weak = a.weak;
    q.strength = a.strength;
    q.from = a.from;
    q.to = a.to;
    q.pairs = a.pairs;
    std::string error;
    const std::string sql = vt::index::linksSql(q, error);
    if (sql.empty()) {
        err << "vtl links: " << error << '\n';
        return kUsage;
    }
    return answerOrPrint(a.database, sql, a.sql, a.json, out, err);
}

Verb addLinks(CLI::App& app) {
    auto a = std::make_shared<LinksArgs>();
    auto* c = app.add_subcommand("links", "pairs of accounts that share a disk volume or a network adapter's MAC");
    c->add_option("database", a->database, "the index database")->required();
    c->add_option("--user", a->user, "only the cluster of this account: every account linked to it, at any distance");
    c->add_option("--kind", a->kind, "only identifiers of this kind")->check(CLI::IsMember({"volume", "mac"}));
    c->add_option("--common", a->common,
                  "leave out an identifier seen on more than N accounts (a cloned image or a shared machine)")
        ->check(CLI::Range(std::int64_t(2), std::int64_t(1) << 40));
    c->add_flag("--weak", a->weak,
                "count weak identifiers too: volume 00000000 (unreadable serial), MACs all zero, broadcast, "
                "multicast, locally administered or of well-known virtual adapters");
    c->add_option("--min-strength", a->strength,
                  "show only pairs of at least this strength (default 0.66: one identifier that at most 3 accounts "
                  "have, or two that at most 6 have)")
        ->check(CLI::Range(0.0, 1e6));
    c->add_option("--from", a->from, "count only recordings from this day on, YYYY-MM-DD (the day a recording started)");
    c->add_option("--to", a->to, "count only recordings up to this day, YYYY-MM-DD");
    c->add_flag("--pairs", a->pairs,
                "one row per pair of accounts: its identifiers as one list, each side's matches and days");
    c->add_flag("--json", a->json, "one JSON object per row instead of tab-separated text");
    c->add_flag("--sql", a->sql, "print the one SELECT statement that answers (SQLite and PostgreSQL read it alike) "
                                 "and exit");
    c->footer("One row per pair of accounts (user_a < user_b) and identifier it shares, strongest pair first. A "
              "pair's strength is the sum over its shared identifiers of 2 / (accounts that have it): 1 for one "
              "that only the two have, 0.1 for one on 20 accounts; shared counts them. Each row says how many "
              "accounts have the identifier, whether it is weak and why (mark: unreadable, zero, broadcast, "
              "multicast, local, virtual), and each side's matches and days as evidence.\n\nA link is evidence, not a verdict: two accounts on one machine may be one player, or "
              "a family, a café, a lab, a cloned disk image or a spoofed MAC. A link says where to look, not what "
              "happened.");
    return {c, [a] { return links(*a, std::cout, std::cerr); }};
}

}  // namespace vtl
