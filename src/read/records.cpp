#include "read/records.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace vt {
namespace read {
namespace {

// Pairs kept when a line has no known shape; the last one takes the rest.
constexpr std::size_t kFallbackPairs = 64;

// ---- records -----------------------------------------------------------------

// Whether body holds label and ':' at `at`, with the separator before `limit`.
bool labelAt(std::string_view body, std::size_t at, std::string_view label, std::size_t limit) {
    return at <= limit && limit - at > label.size() && body.compare(at, label.size(), label) == 0 &&
           body[at + label.size()] == schema::kFieldSeparator;
}

// A body as its shape lays it out: the fields before the open one from the
// left, those after it (with their units) from the right, and the open one
// takes what lies between. False when a label, unit or separator is not where it belongs.
bool parseBody(std::string_view body, const schema::Shape& shape, Record& r) {
    const std::string_view lead = shape.lead;
    if (body.compare(0, lead.size(), lead) != 0) return false;
    body.remove_prefix(lead.size());
    if (shape.count == 0) return body.empty();

    std::vector<std::pair<std::string, std::string>> fields(shape.count);
    constexpr char sep = schema::kFieldSeparator;
    std::size_t pos = 0;
    for (std::size_t i = 0; i < shape.open; ++i) {
        const schema::Field& f = shape.fields[i];
        const std::string_view label = f.label;
        if (!labelAt(body, pos, label, body.size())) return false;
        pos += label.size() + 1;
        const std::size_t end = body.find(sep, pos);
        if (end == std::string_view::npos) return false;
        fields[i] = {f.label, std::string(body.substr(pos, end - pos))};
        pos = end + 1;
    }
    std::size_t end = body.size();
    for (std::size_t i = shape.count - 1; i > shape.open; --i) {
        const schema::Field& f = shape.fields[i];
        if (f.unit) {
            const std::string_view unit = f.unit;
            if (end < unit.size() + 1 || body.compare(end - unit.size(), unit.size(), unit) != 0 ||
                body[end - unit.size() - 1] != sep)
                return false;
            end -= unit.size() + 1;
        }
        if (end == 0) return false;
        const std::size_t colon = body.rfind(sep, end - 1);
        const std::string_view label = f.label;
        if (colon == std::string_view::npos || colon < label.size() + 1 ||
            body.compare(colon - label.size(), label.size(), label) != 0 || body[colon - label.size() - 1] != sep)
            return false;
        fields[i] = {f.label, std::string(body.substr(colon + 1, end - colon - 1))};
        end = colon - label.size() - 1;
    }
    const schema::Field& open = shape.fields[shape.open];
    const std::string_view label = open.label;
    if (!labelAt(body, pos, label, end + 1)) return false;
    const std::size_t start = pos + label.size() + 1;
    fields[shape.open] = {open.label, std::string(body.substr(start, end - start))};
    r.fields = std::move(fields);
    return true;
}

// Label and value pairs as they come, at most kFallbackPairs of them.
void splitPairs(std::string_view body, Record& r) {
    constexpr char sep = schema::kFieldSeparator;
    for (std::size_t start = 0;;) {
        const std::size_t p = body.find(sep, start);
        std::string label(body.substr(start, p == std::string_view::npos ? std::string_view::npos : p - start));
        if (p == std::string_view::npos) {
            r.fields.emplace_back(std::move(label), std::string());
            return;
        }
        const std::size_t q = r.fields.size() + 1 == kFallbackPairs ? std::string_view::npos : body.find(sep, p + 1);
        r.fields.emplace_back(std::move(label),
                              std::string(body.substr(p + 1, q == std::string_view::npos ? q : q - p - 1)));
        if (q == std::string_view::npos) return;
        start = q + 1;
    }
}

}  // namespace

Record parseRecord(const std::string& line) {
    Record r;
    r.raw = line;
    if (!r.raw.empty() && r.raw.back() == '\n') r.raw.pop_back();
    // stamp;kind;action;body: the body may itself contain ';'.
    constexpr char sep = schema::kPartSeparator;
    const std::size_t a = r.raw.find(sep);
    const std::size_t b = a == std::string::npos ? a : r.raw.find(sep, a + 1);
    const std::size_t c = b == std::string::npos ? b : r.raw.find(sep, b + 1);
    if (c == std::string::npos) return r;
    r.stamp = r.raw.substr(0, a);
    r.kind = r.raw.substr(a + 1, b - a - 1);
    r.action = r.raw.substr(b + 1, c - b - 1);
    const std::string_view body = std::string_view(r.raw).substr(c + 1);
    const schema::Shape* shape = schema::find(r.kind, r.action);
    r.known = shape && parseBody(body, *shape, r);
    if (r.known) r.type = schema::kindOf(*shape);
    if (!r.known) {
        r.fields.clear();
        splitPairs(body, r);
    }
    return r;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size();
        out.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return out;
}

std::string toJson(const Record& record) {
    nlohmann::ordered_json j;
    j["time"] = record.stamp;
    j["kind"] = record.kind;
    j["action"] = record.action;
    auto fields = nlohmann::ordered_json::array();
    for (const auto& f : record.fields) fields.push_back({{"label", f.first}, {"value", f.second}});
    j["fields"] = fields;
    j["raw"] = record.raw;
    if (record.cut) {
        j["cut"] = true;
        j["length"] = record.length;
    }
    // Log text is narrow text of the recording machine; bytes that are not
    // UTF-8 are replaced rather than refused.
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

bool drawableNumber(const std::string& text, double& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(v) || std::fabs(v) > 1e15) return false;
    value = v;
    return true;
}

bool LineSplitter::feed(const char* text, std::size_t size) {
    while (size > 0) {
        const void* nl = std::memchr(text, '\n', size);
        const std::size_t piece = nl ? std::size_t(static_cast<const char*>(nl) - text) : size;
        if (line_.size() < limit_) line_.append(text, std::min(piece, limit_ - line_.size()));
        length_ += piece;
        if (!nl) return true;
        if (!endLine()) return false;
        text += piece + 1;
        size -= piece + 1;
    }
    return true;
}

bool LineSplitter::finish() { return length_ == 0 || endLine(); }

bool LineSplitter::endLine() {
    const bool go = sink_(line_, length_ > limit_, length_);
    line_.clear();
    if (line_.capacity() > 64 * 1024) line_.shrink_to_fit();
    length_ = 0;
    return go;
}

}  // namespace read
}  // namespace vt
