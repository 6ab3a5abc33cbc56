#include "server/registry.h"

#include "common/hex.h"
#include "common/civil.h"
#include "index/sqlite.h"

#include <openssl/crypto.h>
#include <sqlite3.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <stdexcept>

namespace vt {
namespace server {

using index::Db;
using index::Stmt;

namespace {

Upload uploadOf(Stmt& s) {
    Upload u;
    u.sha256 = s.text(0);
    u.file = s.text(1);
    u.token = s.text(2);
    u.arrived = s.text(3);
    u.size = std::uint64_t(s.integer(4));
    u.state = s.text(5);
    u.records = s.integer(6);
    if (s.type(7) != SQLITE_NULL) u.user = s.integer(7);
    if (s.type(8) != SQLITE_NULL) u.match = s.integer(8);
    u.started = s.text(9);
    u.indexed = int(s.integer(10));
    return u;
}

constexpr char kUploadColumns[] =
    "sha256, file, token, arrived, size, state, records, user_id, match_id, started, indexed";

}  // namespace

std::string registryPath(const std::string& database) { return database + ".server"; }

std::string newToken() {
    unsigned char bytes[32];
    if (RAND_bytes(bytes, int(sizeof bytes)) != 1) throw std::runtime_error("the system gives no random bytes");
    const std::string token = hex::bytes(bytes, sizeof bytes);
    OPENSSL_cleanse(bytes, sizeof bytes);
    return token;
}

std::string sha256Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &n, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");
    return hex::bytes(digest, n);
}

Registry::Registry(const std::string& database) : db_(std::make_unique<Db>(registryPath(database), Db::Mode::ReadWrite)) {
    db_->exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
              "CREATE TABLE IF NOT EXISTS tokens (id INTEGER PRIMARY KEY, name TEXT NOT NULL, "
              "  hash TEXT NOT NULL UNIQUE, created TEXT NOT NULL, revoked TEXT);"
              "CREATE INDEX IF NOT EXISTS tokens_in_force ON tokens(name) WHERE revoked IS NULL;"
              "CREATE TABLE IF NOT EXISTS uploads (sha256 TEXT PRIMARY KEY, file TEXT NOT NULL UNIQUE, "
              "  token TEXT NOT NULL, arrived TEXT NOT NULL, size INTEGER NOT NULL, state TEXT NOT NULL, "
              "  records INTEGER NOT NULL, user_id INTEGER, match_id INTEGER, started TEXT NOT NULL, "
              "  indexed INTEGER NOT NULL DEFAULT 0);"
              "CREATE INDEX IF NOT EXISTS uploads_waiting ON uploads(indexed) WHERE indexed = 0;"
              "CREATE TABLE IF NOT EXISTS operators (name TEXT PRIMARY KEY, hash TEXT NOT NULL, created TEXT NOT NULL);"
              "CREATE TABLE IF NOT EXISTS sessions (id_hash TEXT PRIMARY KEY, name TEXT NOT NULL, "
              "  csrf TEXT NOT NULL, created INTEGER NOT NULL, seen INTEGER NOT NULL);"
              "CREATE INDEX IF NOT EXISTS sessions_of ON sessions(name);");
}

Registry::~Registry() = default;

bool Registry::addToken(const std::string& name, const std::string& token, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    index::Transaction t(*db_);
    Stmt in(*db_, "SELECT 1 FROM tokens WHERE name = ? AND revoked IS NULL");
    in.bind(1, name);
    if (in.step()) {
        error = "a token named \"" + name + "\" is in force; revoke it first";
        return false;
    }
    Stmt add(*db_, "INSERT INTO tokens (name, hash, created) VALUES (?, ?, ?)");
    add.bind(1, name).bind(2, sha256Hex(token)).bind(3, civil::utcNow()).run();
    t.commit();
    return true;
}

bool Registry::revokeToken(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt s(*db_, "UPDATE tokens SET revoked = ? WHERE name = ? AND revoked IS NULL");
    s.bind(1, civil::utcNow()).bind(2, name).run();
    return sqlite3_changes(db_->handle()) > 0;
}

std::optional<std::string> Registry::tokenName(const std::string& presented) {
    const std::string hash = sha256Hex(presented);
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt s(*db_, "SELECT name, hash FROM tokens WHERE revoked IS NULL");
    std::optional<std::string> found;
    while (s.step()) {
        const std::string stored = s.text(1);
        // Every row is compared to its end, whether or not one matched before.
        if (stored.size() == hash.size() && CRYPTO_memcmp(stored.data(), hash.data(), hash.size()) == 0)
            found = s.text(0);
    }
    return found;
}

std::optional<Upload> Registry::find(const std::string& sha256) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt s(*db_, std::string("SELECT ") + kUploadColumns + " FROM uploads WHERE sha256 = ?");
    s.bind(1, sha256);
    if (!s.step()) return std::nullopt;
    return uploadOf(s);
}

bool Registry::holdsFile(const std::string& file) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt s(*db_, "SELECT 1 FROM uploads WHERE file = ?");
    s.bind(1, file);
    return s.step();
}

void Registry::add(const Upload& u) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt s(*db_, std::string("INSERT INTO uploads (") + kUploadColumns + ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    s.bind(1, u.sha256).bind(2, u.file).bind(3, u.token).bind(4, u.arrived.empty() ? civil::utcNow() : u.arrived);
    s.bind(5, std::int64_t(u.size)).bind(6, u.state).bind(7, u.records);
    if (u.user) s.bind(8, *u.user); else s.bindNull(8);
    if (u.match) s.bind(9, *u.match); else s.bindNull(9);
    s.bind(10, u.started).bind(11, std::int64_t(u.indexed));
    s.run();
}

void Registry::setIndexed(const std::string& sha256, int indexed, const std::string& state) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt s(*db_, "UPDATE uploads SET indexed = ?, state = CASE WHEN ? = '' THEN state ELSE ? END WHERE sha256 = ?");
    s.bind(1, std::int64_t(indexed)).bind(2, state).bind(3, state).bind(4, sha256).run();
}

std::vector<Upload> Registry::notIndexed() {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt s(*db_, std::string("SELECT ") + kUploadColumns + " FROM uploads WHERE indexed = 0 ORDER BY arrived, file");
    std::vector<Upload> out;
    while (s.step()) out.push_back(uploadOf(s));
    return out;
}

}  // namespace server
}  // namespace vt
