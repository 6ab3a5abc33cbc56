// libFuzzer target for the record parser, on plain text: every line is
// parsed and turned into JSON. A line that parses into the fields of a known
// shape must be written back by the schema to the same text.
#include "log/format.h"
#include "read/records.h"
#include "common/schema.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

bool hasControl(const std::string& s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7F) return true;
    return false;
}

void check(const vt::read::Record& r) {
    const vt::schema::Shape* shape = vt::schema::find(r.kind, r.action);
    if (!r.known) return;
    if (!shape || r.fields.size() != shape->count) __builtin_trap();
    for (std::size_t i = 0; i < shape->count; ++i)
        if (r.fields[i].first != shape->fields[i].label) __builtin_trap();
    if (hasControl(r.raw)) return;  // the writer would have replaced them
    std::vector<std::string_view> values;
    for (const auto& f : r.fields) values.push_back(f.second);
    std::string line = r.stamp + vt::schema::kPartSeparator;
    vt::appendRecord(line, *shape, r.action, values.data(), values.size());
    if (line != r.raw) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vt::read::LineSplitter lines(4096, [](const std::string& line, bool, std::uint64_t) {
        vt::read::Record r = vt::read::parseRecord(line);
        vt::read::toJson(r);
        check(r);
        return true;
    });
    lines.feed(reinterpret_cast<const char*>(data), size);
    lines.finish();
    return 0;
}
