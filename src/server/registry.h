// The server's own tables, in a SQLite database beside the index (DB.server):
// who may upload (tokens, kept only as their SHA-256), what was uploaded
// (each stored file once, by its SHA-256, and whether it is in the index yet),
// and who may use the console (operators, kept as argon2id hashes, and their
// sessions, kept only as the SHA-256 of the session id).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vt {
namespace index {
class Db;
}
namespace server {

// Where the server keeps its tables for the index database at `database`.
std::string registryPath(const std::string& database);

// A new upload token: 32 random bytes as 64 hex digits. Throws when the
// system has no randomness to give.
std::string newToken();
// The SHA-256 of a text, as 64 lower-case hex digits.
std::string sha256Hex(const std::string& text);

// An upload as the registry keeps it.
struct Upload {
    std::string sha256;
    std::string file;     // its name in the store
    std::string token;    // the name of the token it came with
    std::string arrived;  // "YYYY-MM-DD hh:mm:ss" UTC
    std::uint64_t size = 0;
    std::string state;    // "whole", "not whole", "recovered"
    std::int64_t records = 0;
    std::optional<std::int64_t> user, match;
    std::string started;
    // 0: not yet in the index; 1: indexed; 2: read as far as it could be (its key was not found).
    int indexed = 0;
};

// An operator's session as the registry keeps it. Times are seconds since the epoch.
struct Session {
    std::string name;  // the operator
    std::string csrf;  // the token its forms carry
    std::int64_t created = 0, seen = 0;
};

class Registry {
public:
    // Opens (and makes) the tables. Throws vt::index::Error when it cannot.
    explicit Registry(const std::string& database);
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // False (with the reason) when a token of that name is in force already.
    bool addToken(const std::string& name, const std::string& token, std::string& error);
    // False when no token of that name is in force.
    bool revokeToken(const std::string& name);
    // The name of the token in force whose hash is the hash of `presented`;
    // every stored hash is compared in constant time, so the time taken says
    // nothing of how close a guess came. Read afresh on every call, so that a
    // revocation holds at once.
    std::optional<std::string> tokenName(const std::string& presented);

    std::optional<Upload> find(const std::string& sha256);
    // Whether a file of that name in the store is registered.
    bool holdsFile(const std::string& file);
    void add(const Upload& upload);
    void setIndexed(const std::string& sha256, int indexed, const std::string& state);
    std::vector<Upload> notIndexed();

    // Adds an operator, or gives one a new password hash; either way every
    // session of that name ends. True when the name is new.
    bool setOperator(const std::string& name, const std::string& hash);
    // Removes an operator and every session of it. False when there is none.
    bool removeOperator(const std::string& name);
    std::optional<std::string> operatorHash(const std::string& name);
    // Sessions by the SHA-256 of their id; read afresh on every call, so that
    // an operator removed by another process is refused at once.
    void addSession(const std::string& idHash, const Session& session);
    std::optional<Session> session(const std::string& idHash);
    void touchSession(const std::string& idHash, std::int64_t seen);
    void endSession(const std::string& idHash);
    // Removes the sessions last seen before `seen` or made before `created`.
    void endSessionsBefore(std::int64_t seen, std::int64_t created);

private:
    std::mutex mutex_;
    std::unique_ptr<index::Db> db_;
};

}  // namespace server
}  // namespace vt
