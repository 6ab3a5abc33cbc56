#include "read/logfile.h"

#include "log/format.h"

#include <algorithm>
#include <cstdio>
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

LogFile::LogFile(std::string path, const Options& options) : path_(std::move(path)) {
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
    bool missing = false;
    reason_ = notRegularFile(path_, missing);
    if (!reason_.empty()) {
        state_ = missing ? State::Unreadable : State::NotAFile;
        if (missing) reason_ = "cannot be read (" + reason_ + ")";
        return;
    }
    if (!source_.open(path_, reason_)) {
        state_ = State::Unreadable;
        return;
    }
    const std::uint64_t size = source_.size();
    sealed_ = checkSealed(source_, size);
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
    // Is it a log at all? Its first blocks tell, before anything is read whole.
    bool unreadable = false;
    std::string head;
    const std::string what = plainlyNotALog(source_, size, unreadable, &head);
    if (unreadable) {
        state_ = State::Unreadable;
        reason_ = "cannot be read to its end (it changed or vanished while it was read)";
        return;
    }
    if (!what.empty()) {
        state_ = State::NotALog;
        notALog_ = what;
        reason_ += "; " + what;
        return;
    }

    // Sealed and begun, yet its body does not end with a stop record: the
    // trailer holds the key, so nothing is searched for.
    if (sealed_.verdict == Verdict::Damaged && sealed_.marker && sealed_.startRecord && readWithTrailerKey()) return;

    if (sealed_.verdict == Verdict::BadLength && size % kBlock != 0 && size > kBlock) {
        // Bytes beyond the last whole block: perhaps a whole log with something appended.
        SealCheck prefix = checkSealed(source_, size - size % kBlock);
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
        search(options, head.substr(0, keysearch::kHeadSize));
}

void LogFile::search(const Options& options, const std::string& firstBlocks) {
    const std::uint64_t size = source_.size();
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
    scan_ = salvage::scan(source_, key_, size);
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
    why << (scan_.stopRecord ? "closed, but its trailer is missing or damaged" : "never closed") << "; "
        << scan_.count << " records read back with its key found again (" << how() << ")";
    if (scan_.damaged) why << "; damaged after byte " << scan_.length << ", read up to the damage";
    else if (scan_.unread) why << "; the last " << scan_.unread << " bytes hold an unfinished record";
    reason_ = why.str();
}

bool LogFile::readWithTrailerKey() {
    const salvage::Scan found = salvage::scan(source_, sealed_.fileKey, sealed_.bodySize);
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
    case State::Appended: return decryptText(source_, sealed_, sink);
    case State::Recovered: return salvage::text(source_, key_, scan_, sink);
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
