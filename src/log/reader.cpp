#include "log/reader.h"

#include "log/recover.h"

#include "log/container.h"
#include "log/schema.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <string_view>

namespace vt {
namespace reader {
namespace {

namespace fs = std::filesystem;

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

// ---- files ---------------------------------------------------------------------

// Why a path cannot be a log file; empty for a regular file. Checked before
// the file is opened, so that opening a FIFO cannot block.
std::string notRegular(const std::string& path, bool& missing) {
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    missing = false;
    switch (st.type()) {
    case fs::file_type::regular: return {};
    case fs::file_type::directory: return "a directory";
    case fs::file_type::fifo: return "a FIFO";
    case fs::file_type::character:
    case fs::file_type::block: return "a device";
    case fs::file_type::socket: return "a socket";
    case fs::file_type::not_found:
        missing = true;
        return "no such file";
    default:
        missing = true;
        return ec ? ec.message() : "not a regular file";
    }
}

class FileSource : public ByteSource {
public:
    bool open(const std::string& path, std::string& reason) {
        std::error_code ec;
        size_ = fs::file_size(path, ec);
        if (ec) {
            reason = "cannot be read (" + ec.message() + ")";
            return false;
        }
        in_.open(fs::path(path), std::ios::binary);
        if (!in_) {
            reason = "cannot be read";
            return false;
        }
        return true;
    }
    std::uint64_t size() const override { return size_; }
    bool read(std::uint64_t offset, unsigned char* out, std::size_t size) override {
        if (offset != pos_) {
            in_.clear();
            in_.seekg(static_cast<std::streamoff>(offset));
        }
        in_.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(size));
        const bool ok = in_.gcount() == static_cast<std::streamsize>(size);
        pos_ = ok ? offset + size : ~std::uint64_t(0);
        return ok;
    }

private:
    std::ifstream in_;
    std::uint64_t size_ = 0;
    std::uint64_t pos_ = 0;
};

// A file opened and checked. readable: its text can be decrypted (whole, or
// forced and a whole log up to its last whole block).
struct Checked {
    bool regular = true;
    bool readable = false;
    bool whole = false;
    std::string reason;
    SealCheck sealed;
    bool recovered = false;  // the key was found again; text holds the records read with it
    std::string text;
};

// A log without a trailer holds no key; with --force its key is searched for
// as `vtl recover` does, within the default bounds, and the records up to the
// last whole one (or the first damage) are read with it. The file is read into
// memory for that, so only files up to kRecoverLimit are tried.
constexpr std::uint64_t kRecoverLimit = 256u << 20;

void recoverKey(const std::string& path, std::uint64_t size, Checked& c, std::ostream& err) {
    if (size > kRecoverLimit) {
        c.reason += "; too large to search for its key here (vtl recover can)";
        return;
    }
    err << path << ": not whole (" << c.reason << "); searching for its key...\n";
    const std::optional<Key16> key = recover::findKey(path);
    if (!key) {
        c.reason += "; its key was not found within the default bounds";
        return;
    }
    std::ifstream in(path, std::ios::binary);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    if (!in.read(&bytes[0], static_cast<std::streamsize>(size))) {
        c.reason += "; it changed while it was read";
        return;
    }
    recover::Records r = recover::readRecords(bytes, *key);
    c.recovered = c.readable = true;
    c.text = std::move(r.text);
    c.reason += "; its key was found again: read up to its last whole record";
    if (r.damaged) c.reason += " before the damage";
}

Checked check(FileSource& source, const std::string& path, bool force) {
    Checked c;
    bool missing = false;
    c.reason = notRegular(path, missing);
    if (!c.reason.empty()) {
        c.regular = missing;  // a missing file is reported as unreadable, not as some other thing
        if (missing) c.reason = "cannot be read (" + c.reason + ")";
        return c;
    }
    if (!source.open(path, c.reason)) return c;
    const std::uint64_t size = source.size();
    c.sealed = checkSealed(source, size);
    if (c.sealed.verdict == Verdict::Whole) {
        c.readable = c.whole = true;
        return c;
    }
    c.reason = c.sealed.reason;
    if (force && c.sealed.verdict == Verdict::BadLength && size % kBlock != 0) {
        // Bytes beyond the last whole block: perhaps a whole log with something appended.
        SealCheck prefix = checkSealed(source, size - size % kBlock);
        if (prefix.verdict == Verdict::Whole) {
            c.sealed = prefix;
            c.readable = true;
            c.reason += " (read up to its last whole block)";
        }
    }
    return c;
}

std::string describe(const std::exception& e) {
    if (dynamic_cast<const std::bad_alloc*>(&e)) return "out of memory";
    return e.what();
}

// Opens a file for cat and json; false (with the reason on err) when nothing can be shown.
bool openForReading(FileSource& source, const std::string& file, bool force, std::ostream& err, Checked& c) {
    c = check(source, file, force);
    if (c.whole) return true;
    if (!c.regular) {
        err << file << ": not a log file (" << c.reason << ")\n";
        return false;
    }
    if (c.readable) {
        err << file << ": warning: " << c.reason << "\n";
        return true;
    }
    if (force && c.sealed.verdict != Verdict::Whole) {
        recoverKey(file, source.size(), c, err);
        if (c.recovered) {
            err << file << ": warning: " << c.reason << "\n";
            return true;
        }
    }
    err << file << ": not whole: " << c.reason << "\n";
    if (force) err << file << ": the file key cannot be recovered, so nothing can be shown\n";
    else err << "use --force to read as much as can be recovered\n";
    return false;
}

// Decrypts the text of an opened file and hands every line to lineSink.
int streamLines(FileSource& source, const std::string& file, const Checked& c, std::ostream& out,
                std::ostream& err, const LineSplitter::Sink& lineSink) {
    LineSplitter splitter(kRecordLimit, [&](const std::string& line, bool cut, std::uint64_t length) {
        return lineSink(line, cut, length) && bool(out);
    });
    const bool done =
        (c.recovered ? splitter.feed(c.text.data(), c.text.size())
                     : decryptText(source, c.sealed,
                                   [&](const char* text, std::size_t size) { return splitter.feed(text, size); })) &&
        splitter.finish();
    out.flush();
    if (!out) {
        err << file << ": the output cannot be written\n";
        return 2;
    }
    if (!done) {
        err << file << ": cannot be read to its end (it changed or vanished while it was read)\n";
        return 1;
    }
    return c.whole ? 0 : 1;
}

template <typename Command>
int guarded(const std::string& file, std::ostream& err, Command command) {
    try {
        return command();
    } catch (const std::exception& e) {
        err << file << ": cannot be read (" << describe(e) << ")\n";
    } catch (...) {
        err << file << ": cannot be read\n";
    }
    return 1;
}

}  // namespace

Opened openLogFile(const std::string& path, bool force) {
    Opened o;
    FileSource source;
    Checked c = check(source, path, force);
    o.whole = c.whole;
    o.reason = c.regular || c.reason.empty() ? c.reason : "not a log file (" + c.reason + ")";
    if (c.readable) {
        decryptText(source, c.sealed, [&o](const char* text, std::size_t size) {
            o.text.append(text, size);
            return true;
        });
    }
    return o;
}

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

int verify(const std::vector<std::string>& files, std::ostream& out) {
    int status = 0;
    for (const auto& f : files) {
        status = std::max(status, guarded(f, out, [&] {
            FileSource source;
            Checked c = check(source, f, false);
            if (c.whole) out << f << ": whole\n";
            else if (!c.regular) out << f << ": not a log file (" << c.reason << ")\n";
            else out << f << ": not whole: " << c.reason << "\n";
            return c.whole ? 0 : 1;
        }));
        if (!out.flush()) return 2;
    }
    return status;
}

int cat(const std::string& file, bool force, std::ostream& out, std::ostream& err) {
    return guarded(file, err, [&] {
        FileSource source;
        Checked c;
        if (!openForReading(source, file, force, err, c)) return 1;
        return streamLines(source, file, c, out, err, [&](const std::string& line, bool cut, std::uint64_t length) {
            out << line;
            if (cut) out << " [cut at " << kRecordLimit << " of " << length << " bytes]";
            out << '\n';
            return true;
        });
    });
}

int json(const std::string& file, bool force, std::ostream& out, std::ostream& err) {
    return guarded(file, err, [&] {
        FileSource source;
        Checked c;
        if (!openForReading(source, file, force, err, c)) return 1;
        return streamLines(source, file, c, out, err, [&](const std::string& line, bool cut, std::uint64_t length) {
            Record r = parseRecord(line);
            r.cut = cut;
            r.length = cut ? length : 0;
            out << toJson(r) << '\n';
            return true;
        });
    });
}

}  // namespace reader
}  // namespace vt
