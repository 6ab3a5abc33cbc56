// The one way a log file is read: opened, checked, its key found again when
// it has no trailer, and its records handed on in bounded memory. Every vtl
// command that reads logs reads them through this.
#pragma once

#include "log/container.h"
#include "log/file_source.h"
#include "read/keysearch.h"
#include "read/records.h"
#include "read/salvage.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace vt {
namespace read {

struct Options {
    // Look for the key of a log that is not whole (it costs from a second to
    // minutes); without it such a log is NoKey.
    bool search = true;
    // The bounds of that search. Unset: first quickBounds, then fullBounds,
    // both around the file's own times.
    std::optional<keysearch::SearchBounds> bounds;
    // Lines about the search as it goes, for standard error.
    std::function<void(const std::string& line)> progress;
    // Raised (by Ctrl-C, say) to end a search early.
    const std::atomic<bool>* stop = nullptr;
};

enum class State {
    NotAFile,    // not a regular file: a directory, a FIFO, a device, a socket
    Unreadable,  // missing, or it cannot be opened or read to its end
    Whole,       // sealed, and it verifies
    Appended,    // a whole log followed by bytes that do not belong to it
    Recovered,   // not whole, read with its key found again
    NoKey,       // not whole, and its key was not searched for or not found
    NotALog,     // not whole, and plainly no log (text, zeros, too short)
};

// What the first bytes of a file (at most 4 KiB of them) tell when it is
// plainly no log: "it is empty: ...", "not a log: 20 bytes cannot hold the
// first record", "not a log: it reads as text", ...; empty when it may be one.
// unreadable: they could not be read. head, when given, takes them.
std::string plainlyNotALog(ByteSource& source, std::uint64_t size, bool& unreadable, std::string* head = nullptr);

// Bytes in memory that the source owns: a file read whole by its caller.
class HeldBytes : public ByteSource {
public:
    explicit HeldBytes(std::string bytes) : bytes_(std::move(bytes)) {}
    std::uint64_t size() const override { return bytes_.size(); }
    bool read(std::uint64_t offset, unsigned char* out, std::size_t size) override;

private:
    std::string bytes_;
};

class LogFile {
public:
    // Opens and checks the file and, when it is not whole and the options
    // ask for it, searches its key. Never throws: a failure inside (no memory)
    // makes it Unreadable.
    explicit LogFile(std::string path, const Options& options = Options());
    // The same over bytes the caller has opened or read already (and hashed
    // on the way, say): the file at path is not opened again, and what is
    // checked and decrypted is what the caller read. The path still names
    // the log (its key search reads the times in its name).
    LogFile(std::string path, std::unique_ptr<ByteSource> source, const Options& options = Options());
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    const std::string& path() const { return path_; }
    // The size of what is read (0 when it could not be opened).
    std::uint64_t size() const { return source_ ? source_->size() : 0; }
    State state() const { return state_; }
    bool whole() const { return state_ == State::Whole; }
    bool regular() const { return state_ != State::NotAFile; }
    // Its records can be read: whole, appended to, or recovered.
    bool readable() const { return state_ == State::Whole || state_ == State::Appended || state_ == State::Recovered; }
    // Why it is not whole, in words; empty when whole.
    const std::string& reason() const { return reason_; }
    // NotALog: what it is instead ("not a log: it reads as text", "it is empty: ...").
    const std::string& notALog() const { return notALog_; }
    // NoKey after a search: the bounds searched last, in words.
    const std::string& searched() const { return searched_; }
    // The search was ended by the stop flag.
    bool interrupted() const { return interrupted_; }
    // Candidate keys the search tried.
    std::uint64_t tried() const { return tried_; }

    // Recovered only: how the key was found, and where the records end.
    const std::optional<keysearch::Found>& found() const { return found_; }
    const salvage::Scan& scan() const { return scan_; }
    // The key of a readable file.
    const Key16& fileKey() const { return key_; }
    // Recovered only: how the key was found, in words ("key from the msvcrt
    // LCG seeded with ... at offset 0", or "key from its trailer" for a
    // sealed log whose body does not end with its stop record).
    std::string how() const;

    // The records' text, in pieces of at most kReadChunk bytes. False when
    // the sink asked to stop or the file could not be read to the end.
    bool readText(const TextSink& sink);
    // The same cut into lines without their line feeds; a line longer than
    // kRecordLimit is handed on once, cut, with its length.
    bool readLines(const LineSplitter::Sink& sink);

private:
    void start(const Options& options);
    void open(const Options& options);
    void search(const Options& options, const std::string& firstBlocks);
    bool readWithTrailerKey();

    std::string path_;
    State state_ = State::Unreadable;
    std::string reason_, notALog_, searched_;
    bool interrupted_ = false, trailerKey_ = false;
    std::uint64_t tried_ = 0;
    std::unique_ptr<ByteSource> source_;
    SealCheck sealed_;
    Key16 key_{};
    std::optional<keysearch::Found> found_;
    salvage::Scan scan_;
};

}  // namespace read
}  // namespace vt
