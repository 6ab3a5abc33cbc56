// The console's operators: their passwords as argon2id hashes (libsodium),
// and the random values of their sessions.
#pragma once

#include <string>

namespace vt {
namespace server {

// The shortest password taken, in bytes.
constexpr std::size_t kShortestPassword = 8;

// An argon2id hash of the password in libsodium's string form (it carries its
// own salt and costs). Throws std::runtime_error when libsodium cannot be
// used or has not the memory for it.
std::string hashPassword(const std::string& password);
// Whether the password is the one hashed; false for a hash it cannot read.
bool passwordMatches(const std::string& hash, const std::string& password);
// 32 random bytes from libsodium, as 64 hex digits.
std::string randomHex();
// Whether two texts are equal, in a time that depends only on their lengths.
bool sameSecret(const std::string& a, const std::string& b);

}  // namespace server
}  // namespace vt
