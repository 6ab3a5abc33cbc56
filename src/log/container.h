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
#include <string_view>

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
    bool encryptAppend(std::string_view text);
    // Pads the last block with spaces, then writes fileKey and the marker
    // encrypted under MD5 of the body. The stream is finished afterwards.
    void writeTrailer(const Key16& fileKey);
    std::size_t pendingSize() const { return pending.size(); }
    // The text still waiting for a whole block, padded with spaces as the
    // trailer pads it and encrypted where the chain stands, without advancing
    // the chain or the digest: what the body's last block would be if the
    // file ended now. False when nothing waits.
    bool provisionalBlock(unsigned char (&out)[kBlock]) const;

private:
    void piece(const unsigned char* text, std::size_t size);

    Sink sink_;
    Iv iv{};
    BF_KEY keySchedule{};
    MD5_CTX md5{};
    std::string pending;
};

// Unreadable: the bytes could not all be read (they changed or vanished while
// being read); Damaged covers every other reason a sealed file is not whole.
enum class Verdict { Whole, BadLength, Damaged, Unreadable };

struct ContainerCheck {
    Verdict verdict = Verdict::BadLength;
    Key16 fileKey{};
    std::string reason;  // empty when whole
    std::string text;    // the records, when whole
};

// checkSealed over bytes in memory, and the text when whole.
ContainerCheck checkContainer(std::string bytes);

// ---- reading in bounded memory ---------------------------------------------

// Where a container's bytes come from: a file, or bytes in memory.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual std::uint64_t size() const = 0;
    // Reads exactly size bytes at offset; false when they cannot all be read.
    virtual bool read(std::uint64_t offset, unsigned char* out, std::size_t size) = 0;
};

class MemorySource : public ByteSource {
public:
    MemorySource(const void* data, std::size_t size) : data_(static_cast<const unsigned char*>(data)), size_(size) {}
    std::uint64_t size() const override { return size_; }
    bool read(std::uint64_t offset, unsigned char* out, std::size_t size) override;

private:
    const unsigned char* data_;
    std::size_t size_;
};

// How much of the file is read, hashed or decrypted at a time.
constexpr std::size_t kReadChunk = 1 << 20;

struct SealCheck {
    Verdict verdict = Verdict::BadLength;
    Key16 fileKey{};
    std::string reason;          // empty when whole
    std::uint64_t bodySize = 0;  // B, when the length is right
    std::uint64_t textSize = 0;  // the records without the padding, when whole
    bool marker = false;         // the trailer decrypts to the marker: fileKey is the key it holds
    bool startRecord = false;    // and under that key the body begins with a start record
};

// Checks the first `length` bytes of source as a container without keeping
// its text: the length; the body hashed in chunks; the trailer under that
// digest; and, since the marker does not cover the first block of the
// encrypted key, that the body starts with a start record and ends with a stop
// record (only its first and last blocks are decrypted for that).
SealCheck checkSealed(ByteSource& source, std::uint64_t length);

// Decrypts the records of a container that checkSealed found whole and hands
// them to sink in pieces of at most kReadChunk bytes. Stops early, returning
// false, when sink returns false or the source cannot be read.
using TextSink = std::function<bool(const char* text, std::size_t size)>;
bool decryptText(ByteSource& source, const SealCheck& sealed, const TextSink& sink);
// The same for any key: decrypts the whole blocks of the first `body` bytes
// of source in chunks and hands on the first `text` bytes of the result.
bool decryptBody(ByteSource& source, const Key16& key, std::uint64_t body, std::uint64_t text, const TextSink& sink);

// The body's text with the padding spaces after the last line feed removed.
// With an unverified file, the longest whole-block prefix is decrypted with the
// key the trailer claims; the result may be garbage. Decrypts in place.
std::string decryptBody(std::string bytes, const Key16& fileKey);

// A whole container in memory: text (whole records) sealed under key, as the
// logger would write it to a file.
std::string sealText(const std::string& text, const Key16& key);

}  // namespace vt
