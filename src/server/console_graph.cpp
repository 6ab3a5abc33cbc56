// Drawings of the console as inline SVG, made on the server: an account's
// cluster (accounts on a circle, a line per linked pair, thicker when
// stronger) and the trend charts.
#include "server/console.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

namespace vt {
namespace server {
namespace console {

namespace {

constexpr std::size_t kMostNodes = 64;

std::string fixed(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", v);
    return text;
}

std::string label(const Row& r) {
    std::string out;
    for (const char* k : {"day", "week", "match_id"}) {
        const auto it = r.find(k);
        if (it == r.end() || it->is_null()) continue;
        if (!out.empty()) out += " ";
        out += it->is_string() ? it->get<std::string>() : it->dump();
        if (std::string(k) == "week") break;
    }
    return out;
}

}  // namespace

std::string clusterSvg(std::int64_t user, const Rows& pairs) {
    std::set<std::int64_t> nodes{user};
    std::map<std::pair<std::int64_t, std::int64_t>, double> edges;
    for (const Row& r : pairs) {
        const std::int64_t a = r.value("user_a", std::int64_t(0)), b = r.value("user_b", std::int64_t(0));
        if (nodes.size() < kMostNodes || (nodes.count(a) && nodes.count(b))) {
            nodes.insert(a);
            nodes.insert(b);
            const auto s = r.find("strength");
            edges[{a, b}] = s != r.end() && s->is_number() ? s->get<double>() : 1.0;
        }
    }
    const double cx = 180, cy = 180, radius = nodes.size() > 1 ? 140 : 0;
    std::map<std::int64_t, std::pair<double, double>> at;
    // The account asked about first, at the top; the others around it in order.
    std::vector<std::int64_t> order{user};
    for (const auto n : nodes)
        if (n != user) order.push_back(n);
    const double pi = std::acos(-1.0);
    for (std::size_t i = 0; i < order.size(); ++i) {
        const double angle = -pi / 2 + 2 * pi * double(i) / double(order.size());
        at[order[i]] = {cx + radius * std::cos(angle), cy + radius * std::sin(angle)};
    }
    std::string svg = "<svg id=\"graph\" viewBox=\"0 0 360 360\" width=\"360\" height=\"360\" role=\"img\" "
                      "xmlns=\"http://www.w3.org/2000/svg\"><title>The cluster of account " +
                      std::to_string(user) + "</title>";
    for (const auto& [pair, strength] : edges) {
        if (!at.count(pair.first) || !at.count(pair.second)) continue;
        const auto& p = at[pair.first];
        const auto& q = at[pair.second];
        svg += "<line class=\"edge\" x1=\"" + fixed(p.first) + "\" y1=\"" + fixed(p.second) + "\" x2=\"" +
               fixed(q.first) + "\" y2=\"" + fixed(q.second) + "\" stroke-width=\"" +
               fixed(1 + 2 * std::min(strength, 3.0)) + "\"><title>" + std::to_string(pair.first) + " \xe2\x80\x93 " +
               std::to_string(pair.second) + ": strength " + fixed(strength) + "</title></line>";
    }
    for (const auto n : order) {
        const auto& p = at[n];
        const std::string id = std::to_string(n);
        svg += "<a href=\"/account/" + id + "\"><circle class=\"node" + std::string(n == user ? " self" : "") +
               "\" cx=\"" + fixed(p.first) + "\" cy=\"" + fixed(p.second) + "\" r=\"16\"/><text x=\"" +
               fixed(p.first) + "\" y=\"" + fixed(p.second + 4) + "\" text-anchor=\"middle\">" + id + "</text></a>";
    }
    return svg + "</svg>";
}

std::string chartSvg(const std::string& title, const Rows& rows, const std::vector<std::string>& columns,
                     const std::string& unit) {
    const double width = 640, height = 240, left = 60, right = 10, top = 24, bottom = 40;
    double most = 0;
    for (const Row& r : rows)
        for (const auto& c : columns) {
            const auto it = r.find(c);
            if (it != r.end() && it->is_number()) most = std::max(most, it->get<double>());
        }
    if (most <= 0) most = 1;
    std::string svg = "<figure><svg class=\"chart\" viewBox=\"0 0 640 240\" role=\"img\" "
                      "xmlns=\"http://www.w3.org/2000/svg\"><title>" + esc(title) + "</title>";
    svg += "<text class=\"title\" x=\"" + fixed(left) + "\" y=\"16\">" + esc(title) + "</text>";
    svg += "<line class=\"axis\" x1=\"" + fixed(left) + "\" y1=\"" + fixed(height - bottom) + "\" x2=\"" +
           fixed(width - right) + "\" y2=\"" + fixed(height - bottom) + "\"/>";
    svg += "<text class=\"tick\" x=\"" + fixed(left - 4) + "\" y=\"" + fixed(top + 4) + "\" text-anchor=\"end\">" +
           fixed(most) + " " + esc(unit) + "</text><text class=\"tick\" x=\"" + fixed(left - 4) + "\" y=\"" +
           fixed(height - bottom) + "\" text-anchor=\"end\">0</text>";
    const std::size_t n = rows.size();
    auto x = [&](std::size_t i) { return n > 1 ? left + (width - left - right) * double(i) / double(n - 1) : left; };
    auto y = [&](double v) { return height - bottom - (height - bottom - top) * v / most; };
    for (std::size_t c = 0; c < columns.size(); ++c) {
        std::string points;
        for (std::size_t i = 0; i < n; ++i) {
            const auto it = rows[i].find(columns[c]);
            if (it == rows[i].end() || !it->is_number()) continue;
            points += fixed(x(i)) + "," + fixed(y(it->get<double>())) + " ";
        }
        svg += "<polyline class=\"series-" + std::to_string(c) + "\" fill=\"none\" points=\"" + points + "\"/>";
        svg += "<text class=\"legend series-" + std::to_string(c) + "\" x=\"" + fixed(width - right - 200 + 100 * double(c)) +
               "\" y=\"16\">" + esc(columns[c]) + "</text>";
    }
    if (n) {
        svg += "<text class=\"tick\" x=\"" + fixed(left) + "\" y=\"" + fixed(height - bottom + 16) + "\">" +
               esc(label(rows.front())) + "</text>";
        if (n > 1)
            svg += "<text class=\"tick\" x=\"" + fixed(width - right) + "\" y=\"" + fixed(height - bottom + 16) +
                   "\" text-anchor=\"end\">" + esc(label(rows.back())) + "</text>";
    } else {
        svg += "<text class=\"tick\" x=\"320\" y=\"120\" text-anchor=\"middle\">no samples</text>";
    }
    return svg + "</svg></figure>";
}

}  // namespace console
}  // namespace server
}  // namespace vt
