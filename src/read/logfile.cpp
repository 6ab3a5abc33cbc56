#include "read/logfile.h"

#include "log/format.h"
#include "common/schema.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <sstream>

namespace vt {
namespace read {
namespace {

std::string rateText(double perSecond) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.0f", perSecond);
    return buf;
}

// Whether the last blocks of a body decrypt to the stop record followed only by
// padding: a log that was closed and damaged later, whose reading stopped at
// the damage. CBC decrypts a block with the one before it as its chain, so
// the tail is read alone; it is looked for before a trailer's place and at the
// very end.
bool tailHoldsStop(ByteSource& source, const Key16& key, std::uint64_t size) {
    static const std::string stop = schema::head(schema::Kind::InfoStop) + "\n";
    constexpr std::uint64_t kWindow = 512;
    BF_KEY schedule;
    BF_set_key(&schedule, int(key.size()), key.data());
    const std::uint64_t body = size - size % kBlock;
    for (const std::uint64_t end : {body >= kTrailerSize ? body - kTrailerSize : 0, body}) {
        const std::uint64_t from = end > kWindow + kBlock ? end - kWindow : kBlock;
        if (end <= from) continue;
        std::string cipher(std::size_t(end - from + kBlock), '\0'), plain(std::size_t(end - from), '\0');
        auto* c = reinterpret_cast<unsigned char*>(&cipher[0]);
        if (!source.read(from - kBlock, c, cipher.size())) return false;
        unsigned char iv[kBlock];
        std::memcpy(iv, c, kBlock);
        BF_cbc_encrypt(c + kBlock, reinterpret_cast<unsigned char*>(&plain[0]), long(plain.size()), &schedule, iv,
                       BF_DECRYPT);
        const std::size_t at = plain.rfind(stop);
        if (at != std::string::npos && plain.find_first_not_of(' ', at + stop.size()) == std::string::npos)
            return true;
    }
    return false;
}

}  // namespace

std::string plainlyNotALog(ByteSource& source, std::uint64_t size, bool& unreadable, std::string* head) {
    unreadable = false;
    if (size == 0) return "it is empty: the recording wrote nothing before it ended";
    unsigned char bytes[4096];
    const std::size_t headSize = std::size_t(std::min<std::uint64_t>(size - size % kBlock, sizeof bytes));
    if (headSize < keysearch::kLeastHead)
        return "not a log: " + std::to_string(size) + " bytes cannot hold the first record";
    if (!source.read(0, bytes, headSize)) {
        unreadable = true;
        return {};
    }
    if (head) head->assign(reinterpret_cast<const char*>(bytes), headSize);
    const std::string notCipher = salvage::notCiphertext(bytes, headSize);
    return notCipher.empty() ? std::string() : "not a log: " + notCipher;
}

bool HeldBytes::read(std::uint64_t offset, unsigned char* out, std::size_t size) {
    if (offset > bytes_.size() || size > bytes_.size() - offset) return false;
    std::memcpy(out, bytes_.data() + offset, size);
    return true;
}

LogFile::LogFile(std::string path, const Options& options) : path_(std::move(path)) { start(options); }

LogFile::LogFile(std::string path, std::unique_ptr<ByteSource> source, const Options& options)
    : path_(std::move(path)), source_(std::move(source)) {
    start(options);
}

void LogFile::start(const Options& options) {
    try {
        open(options);
    } catch (const std::bad_alloc&) {
        state_ = State::Unreadable;
        reason_ = "cannot be read (out of memory)";
    } catch (const std::exception& e) {
        state_ = State::Unreadable;
        reason_ = std::string("cannot be read (") + e.what() + ")";
    }
}

void LogFile::open(const Options& options) {
    if (!source_) {
        // Opened first, without waiting, then judged by what was opened.
        auto file = std::make_unique<FileSource>();
        if (!file->open(path_, reason_)) {
            state_ = file->notRegular() ? State::NotAFile : State::Unreadable;
            return;
        }
        source_ = std::move(file);
    }
    ByteSource& source = *source_;
    const std::uint64_t size = source.size();
    // A length that no container has is told without reading.
    const bool badLength = size % kBlock != 0 || size < kBlock + kTrailerSize;
    if (badLength) sealed_ = checkSealed(source, size);
    // Is it a log at all? Its first blocks tell, before anything is read whole.
    unsigned char head[4096];
    const std::size_t headSize = std::size_t(std::min<std::uint64_t>(size - size % kBlock, sizeof head));
    if (headSize && !source_->read(0, head, headSize)) {
        state_ = State::Unreadable;
        reason_ = "cannot be read to its end (it changed or vanished while it was read)";
        return;
    }
    const std::string notCipher = headSize >= keysearch::kLeastHead ? salvage::notCiphertext(head, headSize) : "";
    if (!notCipher.empty()) {
        state_ = State::NotALog;
        notALog_ = "not a log: " + notCipher;
        reason_ = (badLength ? sealed_.reason + "; " : std::string()) + notALog_;
        return;
    }
    if (!badLength) sealed_ = checkSealed(source, size);
    switch (sealed_.verdict) {
    case Verdict::Whole:
        state_ = State::Whole;
        key_ = sealed_.fileKey;
        return;
    case Verdict::Unreadable:
        state_ = State::Unreadable;
        reason_ = sealed_.reason;
        return;
    case Verdict::BadLength:
    case Verdict::Damaged:
        break;
    }
    reason_ = sealed_.reason;
    auto notALog = [&](const std::string& what) {
        state_ = State::NotALog;
        notALog_ = what;
        reason_ += "; " + what;
    };
    if (size == 0) return notALog("it is empty: the recording wrote nothing before it ended");
    if (headSize < keysearch::kLeastHead)
        return notALog("not a log: " + std::to_string(size) + " bytes cannot hold the first record");

    // Sealed and begun, yet its body does not end with a stop record: the
    // trailer holds the key, so nothing is searched for.
    if (sealed_.verdict == Verdict::Damaged && sealed_.marker && sealed_.startRecord && readWithTrailerKey()) return;

    if (sealed_.verdict == Verdict::BadLength && size % kBlock != 0 && size > kBlock) {
        // Bytes beyond the last whole block: perhaps a whole log with something appended.
        SealCheck prefix = checkSealed(source, size - size % kBlock);
        if (prefix.verdict == Verdict::Whole) {
            sealed_ = prefix;
            key_ = prefix.fileKey;
            state_ = State::Appended;
            reason_ += " (a whole log up to its last whole block, with " + std::to_string(size % kBlock) +
                       " bytes after it that do not belong to it)";
            return;
        }
    }
    state_ = State::NoKey;
    if (options.search)
        search(options, std::string(reinterpret_cast<const char*>(head), std::min(headSize, keysearch::kHeadSize)));
}

void LogFile::search(const Options& options, const std::string& firstBlocks) {
    const std::uint64_t size = source_->size();
    auto progress = [&](const keysearch::Progress& p) {
        if (!options.progress) return;
        const double rate = p.seconds > 0 ? double(p.tried) / p.seconds : 0;
        std::ostringstream line;
        line << path_ << ": searching: " << p.tried << " of " << p.total << " candidates, " << rateText(rate) << "/s";
        if (rate > 0 && p.total > p.tried) line << ", at most " << rateText(double(p.total - p.tried) / rate) << " s left";
        options.progress(line.str());
    };
    std::vector<keysearch::SearchBounds> tries;
    if (options.bounds) {
        tries.push_back(*options.bounds);
    } else {
        const auto anchors = keysearch::fileAnchors(path_);
        tries.push_back(keysearch::quickBounds(anchors));
        tries.push_back(keysearch::fullBounds(anchors));
    }
    if (options.progress) options.progress(path_ + ": not whole (" + reason_ + "); searching for its key");
    for (std::size_t i = 0; i < tries.size() && !found_; ++i) {
        if (i > 0 && options.progress)
            options.progress(path_ + ": not within " + keysearch::describe(tries[i - 1]) + "; searching wider");
        const keysearch::SearchResult r = keysearch::searchKey(firstBlocks, tries[i], progress, options.stop);
        tried_ += r.tried;
        if (r.stopped) {
            interrupted_ = true;
            reason_ += "; the search for its key was interrupted after " + std::to_string(tried_) + " candidates";
            return;
        }
        found_ = r.found;
    }
    if (!found_) {
        searched_ = keysearch::describe(tries.back());
        reason_ += "; its key was not found within " + searched_;
        return;
    }
    key_ = found_->key;
    scan_ = salvage::scan(*source_, key_, size);
    if (!scan_.readable) {
        state_ = State::Unreadable;
        reason_ = "cannot be read to its end (it changed or vanished while it was read)";
        return;
    }
    if (scan_.count == 0) {
        reason_ += "; its key was found again (" + how() + "), but it holds no whole record";
        return;
    }
    state_ = State::Recovered;
    std::ostringstream why;
    if (scan_.stopRecord) why << "closed, but its trailer is missing or damaged";
    else if (scan_.damaged && tailHoldsStop(*source_, key_, size)) why << "closed, but damaged later";
    else why << "never closed";
    why << "; "
        << scan_.count << " records read back with its key found again (" << how() << ")";
    if (scan_.damaged) why << "; damaged after byte " << scan_.length << ", read up to the damage";
    else if (scan_.unread) why << "; the last " << scan_.unread << " bytes hold an unfinished record";
    reason_ = why.str();
}

bool LogFile::readWithTrailerKey() {
    const salvage::Scan found = salvage::scan(*source_, sealed_.fileKey, sealed_.bodySize);
    if (!found.readable || found.count == 0) return false;  // a damaged key block: search
    scan_ = found;
    key_ = sealed_.fileKey;
    trailerKey_ = true;
    state_ = State::Recovered;
    std::ostringstream why;
    why << sealed_.reason << " (it is sealed: " << scan_.count << " records read with the key of its trailer";
    if (scan_.damaged) why << "; damaged after byte " << scan_.length << ", read up to the damage";
    else if (scan_.unread) why << "; the last " << scan_.unread << " bytes hold an unfinished record";
    why << ")";
    reason_ = why.str();
    return true;
}

std::string LogFile::how() const {
    if (found_) return keysearch::describe(*found_);
    return trailerKey_ ? "key from its trailer" : std::string();
}

bool LogFile::readText(const TextSink& sink) {
    switch (state_) {
    case State::Whole:
    case State::Appended: return decryptText(*source_, sealed_, sink);
    case State::Recovered: return salvage::text(*source_, key_, scan_, sink);
    default: return false;
    }
}

bool LogFile::readLines(const LineSplitter::Sink& sink) {
    LineSplitter splitter(kRecordLimit, sink);
    return readText([&](const char* text, std::size_t size) { return splitter.feed(text, size); }) &&
           splitter.finish();
}

}  // namespace read
}  // namespace vt
