// The log file's container: the record text encrypted with Blowfish-CBC under
// a key made for each file, then a trailer holding that key, encrypted under
// the MD5 digest of the encrypted body, and an encrypted marker "File OK\n".
//
// What this protects against: accidental damage (a changed or missing byte
// makes the marker fail) and casual reading. What it does not: the key is in
// the file, so anyone with a reader can decrypt, change and re-seal a log.
#pragma once

#include <openssl/blowfish.h>
#include <openssl/md5.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace vt {

constexpr std::size_t kBlock = 8;
constexpr std::size_t kTrailerSize = 24;
constexpr char kMarker[] = "File OK\n";

using Iv = std::array<unsigned char, kBlock>;
using Key16 = std::array<unsigned char, 16>;

// The chain's starting value, the same for every file, body and trailer:
// byte i is 0x5A xor (i * 0x3B mod 256).
Iv fixedIv();

// Blowfish-CBC over whole blocks with the fixed IV (len a multiple of 8).
void cbcDecrypt(const Key16& key, const unsigned char* in, unsigned char* out, std::size_t len);
void cbcEncrypt(const Key16& key, const unsigned char* in, unsigned char* out, std::size_t len);
Key16 md5Of(const unsigned char* data, std::size_t len);

// A new key for a file: the next 16 values of the library's own generator
// (log/keygen.h), each modulo 255 (so never 255). The logger seeds it once.
Key16 makeFileKey();

// The writing side: text in, ciphertext out in pieces of whole blocks as soon
// as they are complete; at most 7 bytes of text wait for the next record.
class CipherStream {
public:
    using Sink = std::function<void(const unsigned char* data, std::size_t size)>;
    explicit CipherStream(Sink sink) : sink_(std::move(sink)) {}

    // New key schedule, the chain back at the fixed IV, a new digest, nothing pending.
    void resetCipher(const unsigned char* key);
    // Takes one record; whole blocks leave at once, in pieces of up to 512
    // bytes. False (and nothing happens) for an empty text.
    bool encryptAppend(const std::string& text);
    // Pads the last block with spaces, then writes fileKey and the marker
    // encrypted under MD5 of the body. The stream is finished afterwards.
    void writeTrailer(const Key16& fileKey);
    std::size_t pendingSize() const { return pending.size(); }

private:
    void piece(const unsigned char* text, std::size_t size);

    Sink sink_;
    Iv iv{};
    BF_KEY keySchedule{};
    MD5_CTX md5{};
    std::string pending;
};

enum class Verdict { Whole, BadLength, Damaged };

struct ContainerCheck {
    Verdict verdict = Verdict::BadLength;
    Key16 fileKey{};
    std::string reason;  // empty when whole
    std::string text;    // the records, when whole
};

// Checks a whole file's bytes: the length; the trailer under MD5(body); and,
// since the marker does not cover the first block of the encrypted key, that
// the body decrypts to a log, from its start record to its stop record.
ContainerCheck checkContainer(std::string bytes);

// The body's text with the padding spaces after the last line feed removed.
// With an unverified file, the longest whole-block prefix is decrypted with the
// key the trailer claims; the result may be garbage. Decrypts in place.
std::string decryptBody(std::string bytes, const Key16& fileKey);

}  // namespace vt
