// The server's store: a directory of uploaded logs, each written whole into
// DIR/.incoming, synced, and only then linked under its own name into DIR,
// so that neither a crash nor a full disk ever leaves half a file there.
#pragma once

#include "read/newfile.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace vt {
namespace server {

// The stem a file is stored under for the name an uploader gave: bytes that
// are not well-formed UTF-8, control bytes, NUL, path separators, "..",
// characters Windows refuses in names and a leading dot each become "_";
// ".vtl" at its end is dropped (the store adds it), and it is cut to at most
// 120 bytes on a character's edge. Never empty, never names a directory.
std::string safeStem(const std::string& name);

// What a log reads as, without a key search: the answer of an upload.
struct Examined {
    enum Kind { Log, NotALog } kind = NotALog;
    std::string why;          // NotALog: what it is instead
    std::string state;        // "whole", "not whole"
    bool needsSearch = false; // not whole, and its key has to be found first
    std::int64_t records = 0;
    std::optional<std::int64_t> user, match;
    std::string started;      // the first record's time, "YYYY-MM-DD hh:mm:ss"
};
Examined examine(const std::string& path);

class Store {
public:
    // Makes the directory when missing and removes what a crash left in its
    // .incoming. Throws std::runtime_error when the directory cannot be used.
    explicit Store(const std::string& dir);

    const std::string& dir() const { return dir_; }

    // One file being received: its bytes hashed as they are written.
    class Incoming {
    public:
        Incoming();
        ~Incoming();  // removes the file unless it was placed
        Incoming(const Incoming&) = delete;
        Incoming& operator=(const Incoming&) = delete;
        // False once the disk has refused a byte.
        bool write(const char* data, std::size_t size);
        // Closes and syncs the file. False when the disk refused any of it or
        // the sync failed; then nothing of it is left.
        bool finish(std::string& error);
        const std::string& path() const { return file_.path(); }
        const std::string& sha256() const { return sha256_; }
        std::uint64_t size() const { return file_.size(); }

    private:
        friend class Store;
        struct Hash;
        NewFile file_;
        std::unique_ptr<Hash> hash_;
        std::string sha256_;
        bool finished_ = false, placed_ = false;
    };

    // Starts a file in .incoming; false with the reason when it cannot be made.
    bool begin(Incoming& in, std::string& error);
    // Gives a finished file its name in the store, next to nothing already
    // there (stem.vtl, stem_1.vtl, ...; never through a link), and syncs the
    // directory. The name in the store, or empty with the reason.
    std::string place(Incoming& in, const std::string& stem, std::string& error);

private:
    std::string dir_, incoming_;
    std::atomic<std::uint64_t> next_{0};
};

}  // namespace server
}  // namespace vt
