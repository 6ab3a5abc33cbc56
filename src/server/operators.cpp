#include "server/operators.h"

#include "common/civil.h"
#include "index/sqlite.h"
#include "server/registry.h"

#include <sodium.h>
#include <sqlite3.h>

#include <stdexcept>

namespace vt {
namespace server {

using index::Stmt;

namespace {

void ready() {
    static const int state = sodium_init();
    if (state < 0) throw std::runtime_error("libsodium cannot be initialised");
}

}  // namespace

std::string hashPassword(const std::string& password) {
    ready();
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(out, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        throw std::runtime_error("the password cannot be hashed (out of memory)");
    return out;
}

bool passwordMatches(const std::string& hash, const std::string& password) {
    ready();
    if (hash.empty() || hash.size() >= crypto_pwhash_STRBYTES) return false;
    return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

std::string randomHex() {
    ready();
    unsigned char bytes[32];
    randombytes_buf(bytes, sizeof bytes);
    char text[sizeof bytes * 2 + 1];
    sodium_bin2hex(text, sizeof text, bytes, sizeof bytes);
    sodium_memzero(bytes, sizeof bytes);
    std::string out(text, sizeof bytes * 2);
    sodium_memzero(text, sizeof text);
    return out;
}

bool sameSecret(const std::string& a, const std::string& b) {
    ready();
    if (a.size() != b.size() || a.empty()) return false;
    return sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

bool Registry::setOperator(const std::string& name, const std::string& hash) {
    std::lock_guard<std::mutex> lock(mutex_);
    index::Transaction t(*db_);
    Stmt end(*db_, "DELETE FROM sessions WHERE name = ?");
    end.bind(1, name).run();
    Stmt old(*db_, "SELECT 1 FROM operators WHERE name = ?");
    old.bind(1, name);
    const bool existed = old.step();
    Stmt set(*db_, "INSERT INTO operators (name, hash, created) VALUES (?, ?, ?) "
                   "ON CONFLICT(name) DO UPDATE SET hash = excluded.hash");
    set.bind(1, name).bind(2, hash).bind(3, civil::utcNow()).run();
    t.commit();
    return !existed;
}

bool Registry::removeOperator(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    index::Transaction t(*db_);
    Stmt end(*db_, "DELETE FROM sessions WHERE name = ?");
    end.bind(1, name).run();
    Stmt gone(*db_, "DELETE FROM operators WHERE name = ?");
    gone.bind(1, name).run();
    const bool removed = sqlite3_changes(db_->handle()) > 0;
    t.commit();
    return removed;
}

std::optional<std::string> Registry::operatorHash(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt s(*db_, "SELECT hash FROM operators WHERE name = ?");
    s.bind(1, name);
    if (!s.step()) return std::nullopt;
    return s.text(0);
}

void Registry::addSession(const std::string& idHash, const Session& session) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt s(*db_, "INSERT INTO sessions (id_hash, name, csrf, created, seen) VALUES (?, ?, ?, ?, ?)");
    s.bind(1, idHash).bind(2, session.name).bind(3, session.csrf).bind(4, session.created).bind(5, session.seen).run();
}

std::optional<Session> Registry::session(const std::string& idHash) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Only sessions of an operator still there.
    Stmt s(*db_, "SELECT s.name, s.csrf, s.created, s.seen FROM sessions s JOIN operators o ON o.name = s.name "
                 "WHERE s.id_hash = ?");
    s.bind(1, idHash);
    if (!s.step()) return std::nullopt;
    Session out;
    out.name = s.text(0);
    out.csrf = s.text(1);
    out.created = s.integer(2);
    out.seen = s.integer(3);
    return out;
}

void Registry::touchSession(const std::string& idHash, std::int64_t seen) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt s(*db_, "UPDATE sessions SET seen = ? WHERE id_hash = ? AND seen < ?");
    s.bind(1, seen).bind(2, idHash).bind(3, seen).run();
}

void Registry::endSession(const std::string& idHash) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt s(*db_, "DELETE FROM sessions WHERE id_hash = ?");
    s.bind(1, idHash).run();
}

void Registry::endSessionsBefore(std::int64_t seen, std::int64_t created) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt s(*db_, "DELETE FROM sessions WHERE seen < ? OR created < ?");
    s.bind(1, seen).bind(2, created).run();
}

}  // namespace server
}  // namespace vt
