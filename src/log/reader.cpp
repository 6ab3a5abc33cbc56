#include "log/reader.h"

#include "log/container.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <ostream>
#include <sstream>

namespace vt {
namespace reader {
namespace {

bool readAll(const std::string& path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return false;
    const std::streamoff size = in.tellg();
    if (size < 0) return false;
    bytes.resize(static_cast<std::size_t>(size));
    in.seekg(0);
    if (size > 0) in.read(&bytes[0], size);
    return in.gcount() == size || size == 0;
}

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        std::size_t p = s.find(sep, start);
        out.push_back(s.substr(start, p == std::string::npos ? std::string::npos : p - start));
        if (p == std::string::npos) return out;
        start = p + 1;
    }
}

// "L1:v1:L2:v2:...:Ln:<rest>" with the labels given; the last value takes the
// rest of the line. False when the labels are not where they belong.
bool labelled(const std::string& s, std::initializer_list<const char*> labels, Record& r) {
    std::size_t pos = 0, i = 0;
    for (const char* label : labels) {
        const std::string head = std::string(label) + ":";
        if (s.compare(pos, head.size(), head) != 0) return false;
        pos += head.size();
        if (++i == labels.size()) {
            r.fields.emplace_back(label, s.substr(pos));
            return true;
        }
        std::size_t end = s.find(':', pos);
        if (end == std::string::npos) return false;
        r.fields.emplace_back(label, s.substr(pos, end - pos));
        pos = end + 1;
    }
    return true;
}

bool parseBody(const std::string& body, Record& r) {
    const std::string& k = r.kind;
    if (k == "UDP") return labelled(body, {"LocalIp", "LocalPort", "PID", "Path"}, r);
    if (k == "TCP") return labelled(body, {"LocalIp", "LocalPort", "RemoteIp", "RemotePort", "PID", "Path"}, r);
    if (k == "Process") return labelled(body, {"PID", "Path"}, r);
    if (k == "Ping") return labelled(body, {"Server", "Actual"}, r);
    if (k == "Key") return labelled(body, {"Name"}, r);
    if (k == "SysInfo") return labelled(body, {"Value"}, r);
    if (k == "Info" && r.action == "Start") {
        const std::string head = "Logfile start:";
        return body.compare(0, head.size(), head) == 0 && labelled(body.substr(head.size()), {"UserId", "MatchId"}, r);
    }
    if (k == "Info" && r.action == "Stop") return body == "Logfile end";
    if (k == "Ethernet") {
        // The description may hold ':'; the numbers are found from the end.
        const std::string unit = ":Bytes/s";
        std::size_t rx = body.rfind(":RxD:");
        std::size_t tx = rx == std::string::npos ? rx : body.rfind(":TxD:", rx);
        const std::string head = "Adapter:";
        if (tx == std::string::npos || body.compare(0, head.size(), head) != 0 || tx < head.size()) return false;
        std::string txPart = body.substr(tx + 5, rx - tx - 5), rxPart = body.substr(rx + 5);
        if (txPart.size() < unit.size() - 1 || rxPart.size() < unit.size() - 1) return false;
        if (txPart.compare(txPart.size() - (unit.size()), unit.size(), unit) != 0 ||
            rxPart.compare(rxPart.size() - (unit.size()), unit.size(), unit) != 0)
            return false;
        r.fields.emplace_back("Adapter", body.substr(head.size(), tx - head.size()));
        r.fields.emplace_back("TxD", txPart.substr(0, txPart.size() - unit.size()));
        r.fields.emplace_back("RxD", rxPart.substr(0, rxPart.size() - unit.size()));
        return true;
    }
    return false;
}

}  // namespace

Opened openLogFile(const std::string& path, bool force) {
    Opened o;
    std::string bytes;
    if (!readAll(path, bytes)) {
        o.reason = "cannot be read";
        return o;
    }
    if (force && bytes.size() % kBlock != 0) {
        // Bytes beyond the last whole block: perhaps a whole log with something appended.
        ContainerCheck again = checkContainer(bytes.substr(0, bytes.size() - bytes.size() % kBlock));
        if (again.verdict == Verdict::Whole) {
            o.reason = checkContainer(bytes).reason + " (read up to its last whole block)";
            o.text = std::move(again.text);
            return o;
        }
    }
    ContainerCheck check = checkContainer(std::move(bytes));
    if (check.verdict != Verdict::Whole) {
        o.reason = check.reason;
        return o;
    }
    o.whole = true;
    o.text = std::move(check.text);
    return o;
}

Record parseRecord(const std::string& line) {
    Record r;
    r.raw = line;
    if (!r.raw.empty() && r.raw.back() == '\n') r.raw.pop_back();
    // stamp;kind;action;body: the body may itself contain ';'.
    std::size_t a = r.raw.find(';');
    std::size_t b = a == std::string::npos ? a : r.raw.find(';', a + 1);
    std::size_t c = b == std::string::npos ? b : r.raw.find(';', b + 1);
    if (c == std::string::npos) return r;
    r.stamp = r.raw.substr(0, a);
    r.kind = r.raw.substr(a + 1, b - a - 1);
    r.action = r.raw.substr(b + 1, c - b - 1);
    const std::string body = r.raw.substr(c + 1);
    if (!parseBody(body, r)) {
        // Unknown shape: label/value pairs as they come.
        r.fields.clear();
        auto parts = split(body, ':');
        for (std::size_t i = 0; i < parts.size(); i += 2)
            r.fields.emplace_back(parts[i], i + 1 < parts.size() ? parts[i + 1] : std::string());
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
    // Log text is narrow text of the recording machine; bytes that are not
    // UTF-8 are replaced rather than refused.
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

int verify(const std::vector<std::string>& files, std::ostream& out) {
    int status = 0;
    for (const auto& f : files) {
        Opened o = openLogFile(f, false);
        if (o.whole) {
            out << f << ": whole\n";
        } else {
            out << f << ": not whole: " << o.reason << "\n";
            status = 1;
        }
    }
    return status;
}

namespace {
bool openForReading(const std::string& file, bool force, std::ostream& err, Opened& o) {
    o = openLogFile(file, force);
    if (o.whole) return true;
    if (force && !o.text.empty()) {
        err << file << ": warning: " << o.reason << "\n";
        return true;
    }
    err << file << ": not whole: " << o.reason << "\n";
    if (force) err << file << ": the file key cannot be recovered, so nothing can be shown\n";
    else err << "use --force to read as much as can be recovered\n";
    return false;
}
}  // namespace

int cat(const std::string& file, bool force, std::ostream& out, std::ostream& err) {
    Opened o;
    if (!openForReading(file, force, err, o)) return 1;
    out << o.text;
    return 0;
}

int json(const std::string& file, bool force, std::ostream& out, std::ostream& err) {
    Opened o;
    if (!openForReading(file, force, err, o)) return 1;
    for (const auto& line : lines(o.text)) out << toJson(parseRecord(line)) << "\n";
    return 0;
}

}  // namespace reader
}  // namespace vt
