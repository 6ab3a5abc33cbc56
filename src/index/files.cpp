#include "index/files.h"
#include "index/ingest.h"
#include "index/rows.h"

#include "common/hex.h"
#include "log/file_source.h"
#include "read/records.h"

#include <boost/filesystem.hpp>
#include <openssl/evp.h>

#include <algorithm>

namespace vt {
namespace index {

namespace {

namespace fs = boost::filesystem;

const char* stateName(read::State s) {
    switch (s) {
    case read::State::NotAFile: return "not a file";
    case read::State::Unreadable: return "unreadable";
    case read::State::Whole: return "whole";
    case read::State::Appended: return "appended";
    case read::State::Recovered: return "recovered";
    case read::State::NoKey: return "no key";
    case read::State::NotALog: return "not a log";
    }
    return "unknown";
}

struct EvpDeleter {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

// Files up to this size are read once, whole, into memory: hashed on the way,
// then checked and decrypted from there. A larger one is hashed as it is read
// and then read again from the same open file, in bounded memory.
constexpr std::uint64_t kReadWhole = std::uint64_t(64) << 20;

// The SHA-256 of source read from its start, hex; with keep, the bytes are
// kept in it. Empty with the reason when it cannot be read to its end.
std::string hashSource(ByteSource& source, std::string* keep, std::string& reason) {
    std::unique_ptr<EVP_MD_CTX, EvpDeleter> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
        reason = "SHA-256 is not available";
        return {};
    }
    const std::uint64_t size = source.size();
    std::string scratch;
    std::string& buffer = keep ? *keep : scratch;
    buffer.resize(std::size_t(keep ? size : std::min<std::uint64_t>(size, kReadChunk)));
    for (std::uint64_t at = 0; at < size;) {
        const std::size_t n = std::size_t(std::min<std::uint64_t>(kReadChunk, size - at));
        auto* to = reinterpret_cast<unsigned char*>(&buffer[0]) + (keep ? at : 0);
        if (!source.read(at, to, n)) {
            reason = "it cannot be read to its end";
            return {};
        }
        EVP_DigestUpdate(ctx.get(), to, n);
        at += n;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx.get(), digest, &length);
    return hex::bytes(digest, length);
}

// Why a file that did not open cannot be indexed, in the words of the one
// that opens it to tell.
std::string openFailure(const std::string& path, const std::string& reason) {
    bool missing = false;
    const std::string notRegular = notRegularFile(path, missing);
    if (notRegular.empty()) return reason;
    return missing ? notRegular : "not a log file (" + notRegular + ")";
}

// The log's rows, once its state is known.
void cutIntoRows(read::LogFile& log, Parsed& p) {
    p.state = log.state();
    p.stateName = stateName(log.state());
    p.reason = log.reason();
    if (!log.regular()) {
        p.failure = "not a log file (" + log.reason() + ")";
        return;
    }
    if (!log.readable()) {
        p.failure = log.state() == read::State::NotALog ? log.notALog() : "not whole: " + log.reason();
        if (log.interrupted()) p.failure = "its key search was interrupted";
        return;
    }
    p.size = log.size();
    Rows b(p);
    const bool done = log.readLines([&](const std::string& line, bool cut, std::uint64_t) { return b.line(line, cut); });
    b.finish();
    if (p.failure.empty() && !done) p.failure = "it cannot be read to its end (it changed or vanished while it was read)";
}

}  // namespace

bool gone(const std::string& was, const std::string& now) {
    if (was == now) return false;
    boost::system::error_code ec;
    return fs::symlink_status(fs::path(was), ec).type() == fs::file_not_found;
}

std::string sha256File(const std::string& path, std::string& reason) {
    FileSource source;
    if (!source.open(path, reason)) return {};
    return hashSource(source, nullptr, reason);
}

Parsed parseLog(const std::string& path, const read::Options& options, const KnownFn& known) {
    Parsed p;
    p.path = path;
    try {
        // One open file for all that follows: judged, hashed and read.
        auto source = std::make_unique<FileSource>();
        std::string reason;
        if (!source->open(path, reason)) {
            p.failure = openFailure(path, reason);
            return p;
        }
        // Judged on its first blocks: a file that is plainly no log is
        // refused without more. A large one is judged before it is hashed
        // whole, so that gigabytes of something else are refused at once; one
        // read whole is judged only when its hash is not known already.
        auto plainlyNotALog = [&p](ByteSource& from) {
            bool unreadable = false;
            const std::string notALog = read::plainlyNotALog(from, from.size(), unreadable);
            if (unreadable) p.failure = "it cannot be read (it changed or vanished while it was read)";
            else p.failure = notALog;
            return !p.failure.empty();
        };
        const bool whole = source->size() <= kReadWhole;
        if (!whole && plainlyNotALog(*source)) return p;
        std::string bytes;
        p.sha256 = hashSource(*source, whole ? &bytes : nullptr, reason);
        if (p.sha256.empty()) {
            p.failure = reason;
            return p;
        }
        if (known) {
            if (auto as = known(p.sha256)) {
                p.known = true;
                p.knownAs = std::move(*as);
                return p;
            }
        }
        std::unique_ptr<ByteSource> from;
        if (whole) from = std::make_unique<read::HeldBytes>(std::move(bytes));
        else from = std::move(source);
        if (whole && plainlyNotALog(*from)) {
            p.sha256.clear();
            return p;
        }
        read::LogFile log(path, std::move(from), options);
        cutIntoRows(log, p);
    } catch (const std::bad_alloc&) {
        p.failure = "out of memory";
    } catch (const std::exception& e) {
        p.failure = e.what();
    }
    return p;
}

std::vector<std::string> collectFiles(const std::vector<std::string>& args, std::vector<std::string>& missing) {
    std::vector<std::string> out;
    for (const auto& arg : args) {
        boost::system::error_code ec;
        const fs::path top(arg);
        if (!fs::is_directory(top, ec)) {
            out.push_back(arg);  // a missing file is reported when it is read
            continue;
        }
        // Every directory that cannot be read is named; the walk goes on
        // with the others. Links to directories are not followed.
        std::vector<std::string> found;
        std::vector<fs::path> pending{top};
        while (!pending.empty()) {
            const fs::path dir = std::move(pending.back());
            pending.pop_back();
            fs::directory_iterator it(dir, ec), end;
            if (ec) {
                missing.push_back(dir.string() + ": cannot be read (" + ec.message() + ")");
                continue;
            }
            for (; !ec && it != end; it.increment(ec)) {
                boost::system::error_code entryEc;
                const fs::path& entry = it->path();
                if (fs::is_directory(it->symlink_status(entryEc))) {
                    pending.push_back(entry);
                } else if (lowerAscii(entry.extension().string()) == ".vtl" && fs::is_regular_file(entry, entryEc)) {
                    found.push_back(entry.string());
                }
            }
            if (ec) missing.push_back(dir.string() + ": cannot be read to its end (" + ec.message() + ")");
        }
        std::sort(found.begin(), found.end());
        out.insert(out.end(), found.begin(), found.end());
    }
    return out;
}
}  // namespace index
}  // namespace vt
