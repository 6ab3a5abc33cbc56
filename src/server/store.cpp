#include "server/store.h"

#include "common/hex.h"
#include "common/utf8.h"
#include "index/ingest.h"
#include "platform/os.h"
#include "read/logfile.h"
#include "read/records.h"

#include <boost/filesystem.hpp>
#include <openssl/evp.h>

#include <stdexcept>

namespace vt {
namespace server {

namespace fs = boost::filesystem;

namespace {

constexpr std::size_t kStemLimit = 120;

bool unsafeAscii(unsigned char c) {
    if (c < 0x20 || c == 0x7f) return true;
    switch (c) {
    case '/': case '\\': case ':': case '*': case '?': case '"': case '<': case '>': case '|':
        return true;
    default:
        return false;
    }
}

}  // namespace

std::string safeStem(const std::string& name) {
    std::string text = name;
    if (text.size() >= 4 && text.compare(text.size() - 4, 4, ".vtl") == 0) text.resize(text.size() - 4);
    std::string out;
    for (std::size_t i = 0; i < text.size() && out.size() < kStemLimit;) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (c == '.' && i + 1 < text.size() && text[i + 1] == '.') {
                out += '_';
                while (i < text.size() && text[i] == '.') ++i;
                continue;
            }
            out += unsafeAscii(c) ? '_' : char(c);
            ++i;
            continue;
        }
        std::uint32_t cp = 0;
        const std::size_t n = utf8::decode(reinterpret_cast<const unsigned char*>(text.data()) + i, text.size() - i, cp);
        if (n == 0) {
            out += '_';
            ++i;
            continue;
        }
        if (out.size() + n > kStemLimit) break;
        // C1 controls and the line and paragraph separators are control bytes too.
        if ((cp >= 0x80 && cp < 0xa0) || cp == 0x2028 || cp == 0x2029)
            out += '_';
        else
            out.append(text, i, n);
        i += n;
    }
    // Windows drops dots and spaces at a name's end.
    for (std::size_t i = out.size(); i > 0 && (out[i - 1] == ' ' || out[i - 1] == '.'); --i) out[i - 1] = '_';
    if (!out.empty() && out.front() == '.') out.front() = '_';
    if (out.empty()) out = "upload";
    return out;
}

Examined examine(const std::string& path) {
    Examined e;
    read::Options options;
    options.search = false;
    read::LogFile log(path, options);
    switch (log.state()) {
    case read::State::Whole:
        e.state = "whole";
        break;
    case read::State::Appended:
        e.state = "not whole";
        break;
    case read::State::NoKey:
        e.kind = Examined::Log;
        e.state = "not whole";
        e.needsSearch = true;
        return e;
    case read::State::NotALog:
        e.why = log.notALog();
        return e;
    default:
        e.why = "it cannot be read as a log (" + log.reason() + ")";
        return e;
    }
    e.kind = Examined::Log;
    bool first = true;
    log.readLines([&](const std::string& line, bool, std::uint64_t) {
        ++e.records;
        if (first) {
            first = false;
            const read::Record r = read::parseRecord(line);
            if (r.kind == "Info" && r.action == "Start") {
                e.started = index::isoTime(r.stamp);
                for (const auto& f : r.fields) {
                    try {
                        if (f.first == "UserId") e.user = std::stoll(f.second);
                        if (f.first == "MatchId") e.match = std::stoll(f.second);
                    } catch (const std::exception&) {
                    }
                }
            }
        }
        return true;
    });
    return e;
}

struct Store::Incoming::Hash {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~Hash() { EVP_MD_CTX_free(ctx); }
};

Store::Incoming::Incoming() : hash_(std::make_unique<Hash>()) {
    if (!hash_->ctx || EVP_DigestInit_ex(hash_->ctx, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 cannot be started");
}

Store::Incoming::~Incoming() {
    if (finished_ && !placed_) {
        boost::system::error_code ec;
        fs::remove(file_.path(), ec);
    }
}

bool Store::Incoming::write(const char* data, std::size_t size) {
    if (!file_.write(data, size)) return false;
    return EVP_DigestUpdate(hash_->ctx, data, size) == 1;
}

bool Store::Incoming::finish(std::string& error) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (EVP_DigestFinal_ex(hash_->ctx, digest, &n) != 1) {
        error = "SHA-256 failed";
        return false;
    }
    sha256_ += hex::bytes(digest, n);
    if (!file_.commit(error)) return false;
    finished_ = true;
    if (!os::syncPath(file_.path())) {
        error = "cannot sync " + file_.path();
        return false;
    }
    return true;
}

Store::Store(const std::string& dir) : dir_(dir), incoming_((fs::path(dir) / ".incoming").string()) {
    boost::system::error_code ec;
    fs::create_directories(incoming_, ec);
    if (!fs::is_directory(fs::symlink_status(dir_, ec)) && !fs::is_directory(dir_, ec))
        throw std::runtime_error(dir_ + " is not a directory");
    if (!fs::is_directory(fs::symlink_status(incoming_, ec)))
        throw std::runtime_error(incoming_ + " cannot be made, or is not a directory");
    // What is there was never answered for: a crash cut it off.
    for (fs::directory_iterator it(incoming_, ec), end; !ec && it != end; it.increment(ec)) fs::remove(it->path(), ec);
    os::syncPath(incoming_);
}

bool Store::begin(Incoming& in, std::string& error) {
    return in.file_.createFree(incoming_, "upload-" + std::to_string(next_++), ".part", error);
}

std::string Store::place(Incoming& in, const std::string& stem, std::string& error) {
    for (int i = 0; i < 1000; ++i) {
        const std::string name = stem + (i ? "_" + std::to_string(i) : std::string()) + ".vtl";
        boost::system::error_code ec;
        // A hard link is made only where nothing is, not even a dangling link.
        fs::create_hard_link(in.path(), fs::path(dir_) / name, ec);
        if (ec == boost::system::errc::file_exists) continue;
        if (ec) {
            error = "cannot store " + name + " (" + ec.message() + ")";
            return {};
        }
        in.placed_ = true;
        fs::remove(in.path(), ec);
        os::syncPath(incoming_);
        if (!os::syncPath(dir_)) {
            // The file is in place, but its entry may not be on the disk: not
            // answered as stored (the next start registers what is there).
            error = "cannot sync " + dir_;
            return {};
        }
        return name;
    }
    error = "no free name for " + stem + ".vtl";
    return {};
}

}  // namespace server
}  // namespace vt
