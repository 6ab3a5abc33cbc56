#include "log/container.h"

#include "common/schema.h"
#include "log/keygen.h"

#include <openssl/blowfish.h>
#include <openssl/md5.h>

#include <algorithm>
#include <cstring>
#include <system_error>
#include <thread>

namespace vt {

Iv fixedIv() {
    Iv iv;
    for (unsigned i = 0; i < kBlock; ++i) iv[i] = static_cast<unsigned char>(0x5A ^ ((i * 0x3B) & 0xFF));
    return iv;
}

namespace {
void cbc(const Key16& key, const unsigned char* in, unsigned char* out, std::size_t len, int mode) {
    BF_KEY schedule;
    BF_set_key(&schedule, int(key.size()), key.data());
    Iv iv = fixedIv();
    BF_cbc_encrypt(in, out, long(len), &schedule, iv.data(), mode);
}
}  // namespace

void cbcDecrypt(const Key16& key, const unsigned char* in, unsigned char* out, std::size_t len) {
    cbc(key, in, out, len, BF_DECRYPT);
}

void cbcEncrypt(const Key16& key, const unsigned char* in, unsigned char* out, std::size_t len) {
    cbc(key, in, out, len, BF_ENCRYPT);
}

Key16 md5Of(const unsigned char* data, std::size_t len) {
    Key16 digest;
    MD5_CTX ctx;
    MD5_Init(&ctx);
    MD5_Update(&ctx, data, len);
    MD5_Final(digest.data(), &ctx);
    return digest;
}

Key16 makeFileKey() { return keygen::nextKey(); }

void CipherStream::resetCipher(const unsigned char* key) {
    BF_set_key(&keySchedule, 16, key);
    iv = fixedIv();
    MD5_Init(&md5);
    pending.clear();
}

void CipherStream::piece(const unsigned char* text, std::size_t size) {
    // Fixed buffers on the stack: a record is encrypted once and leaves at once.
    unsigned char out[512];
    BF_cbc_encrypt(text, out, long(size), &keySchedule, iv.data(), BF_ENCRYPT);
    MD5_Update(&md5, out, size);
    sink_(out, size);
}

bool CipherStream::encryptAppend(std::string_view text) {
    if (text.empty()) return false;
    pending += text;
    const std::size_t whole = pending.size() - pending.size() % kBlock;
    unsigned char in[512];
    for (std::size_t done = 0; done < whole;) {
        const std::size_t k = std::min(sizeof in, whole - done);
        std::memcpy(in, pending.data() + done, k);
        piece(in, k);
        done += k;
    }
    pending.erase(0, whole);
    return true;
}

bool CipherStream::provisionalBlock(unsigned char (&out)[kBlock]) const {
    if (pending.empty()) return false;
    unsigned char in[kBlock];
    std::memset(in, ' ', kBlock);
    std::memcpy(in, pending.data(), pending.size());
    Iv chain = iv;
    BF_cbc_encrypt(in, out, long(kBlock), &keySchedule, chain.data(), BF_ENCRYPT);
    return true;
}

void CipherStream::writeTrailer(const Key16& fileKey) {
    if (!pending.empty()) {
        pending.resize(kBlock, ' ');
        piece(reinterpret_cast<const unsigned char*>(pending.data()), kBlock);
        pending.clear();
    }
    Key16 bodyDigest;
    MD5_Final(bodyDigest.data(), &md5);
    resetCipher(bodyDigest.data());
    unsigned char trailer[kTrailerSize];
    std::memcpy(trailer, fileKey.data(), 16);
    std::memcpy(trailer + 16, kMarker, kBlock);
    unsigned char out[kTrailerSize];
    BF_cbc_encrypt(trailer, out, kTrailerSize, &keySchedule, iv.data(), BF_ENCRYPT);
    sink_(out, kTrailerSize);  // the trailer is not part of the digest
}

bool MemorySource::read(std::uint64_t offset, unsigned char* out, std::size_t size) {
    if (offset > size_ || size > size_ - offset) return false;
    if (size) std::memcpy(out, data_ + offset, size);
    return true;
}

namespace {

const std::string kStartHead = schema::head(schema::Kind::InfoStart);
const std::string kStopRecord = schema::head(schema::Kind::InfoStop) + "\n";
// The decrypted window at each end of the body: enough for the start record's
// head, and for the stop record, up to 7 spaces and the line feed before it.
constexpr std::size_t kEndWindow = 64;
static_assert(kEndWindow >= schema::kStampedWidth + 32 + 7 + 1, "the window holds the start and the stop record");

// Decrypts size bytes at offset of the body (offset a multiple of 8): the
// chain value is the block before, or the fixed IV at the start.
bool decryptAt(ByteSource& source, const BF_KEY& schedule, std::uint64_t offset, std::size_t size, std::string& out) {
    Iv iv = fixedIv();
    std::string cipher(size + kBlock, '\0');
    auto* c = reinterpret_cast<unsigned char*>(&cipher[0]);
    if (offset >= kBlock) {
        if (!source.read(offset - kBlock, c, size + kBlock)) return false;
        std::memcpy(iv.data(), c, kBlock);
    } else if (!source.read(offset, c + kBlock, size)) {
        return false;
    }
    out.assign(size, '\0');
    BF_cbc_encrypt(c + kBlock, reinterpret_cast<unsigned char*>(&out[0]), long(size), &schedule, iv.data(), BF_DECRYPT);
    return true;
}

// Decrypts a chunk in place, chained from iv, and leaves in iv the chunk's
// last ciphertext block. CBC decryption needs only the ciphertext, so the two
// halves of a large chunk are decrypted at the same time.
void decryptChunk(const BF_KEY& schedule, unsigned char* data, std::size_t len, Iv& iv) {
    Iv next;
    std::memcpy(next.data(), data + len - kBlock, kBlock);
    const std::size_t half = (len / 2) - (len / 2) % kBlock;
    std::thread other;
    Iv second;
    if (len >= (256u << 10) && std::thread::hardware_concurrency() >= 2) {
        std::memcpy(second.data(), data + half - kBlock, kBlock);  // before the first half overwrites it
        try {
            other = std::thread(
                [&] { BF_cbc_encrypt(data + half, data + half, long(len - half), &schedule, second.data(), BF_DECRYPT); });
        } catch (const std::system_error&) {
            // No thread to be had: decrypt it all here.
        }
    }
    BF_cbc_encrypt(data, data, long(other.joinable() ? half : len), &schedule, iv.data(), BF_DECRYPT);
    if (other.joinable()) other.join();
    iv = next;
}

}  // namespace

SealCheck checkSealed(ByteSource& source, std::uint64_t length) {
    SealCheck c;
    const std::uint64_t minimum = kBlock + kTrailerSize;
    if (length % kBlock != 0 || length < minimum) {
        c.verdict = Verdict::BadLength;
        c.reason = "length " + std::to_string(length) +
                   (length < minimum ? " is under 32 bytes" : " is not a multiple of 8");
        return c;
    }
    const std::uint64_t body = length - kTrailerSize;
    c.bodySize = body;
    auto unreadable = [&c] {
        c.verdict = Verdict::Unreadable;
        c.reason = "cannot be read to its end (it changed or vanished while it was read)";
        return c;
    };

    MD5_CTX md5;
    MD5_Init(&md5);
    {
        std::string chunk(std::size_t(std::min<std::uint64_t>(body, kReadChunk)), '\0');
        auto* buf = reinterpret_cast<unsigned char*>(&chunk[0]);
        for (std::uint64_t done = 0; done < body;) {
            const std::size_t n = std::size_t(std::min<std::uint64_t>(chunk.size(), body - done));
            if (!source.read(done, buf, n)) return unreadable();
            MD5_Update(&md5, buf, n);
            done += n;
        }
    }
    Key16 digest;
    MD5_Final(digest.data(), &md5);

    unsigned char trailer[kTrailerSize], plain[kTrailerSize];
    if (!source.read(body, trailer, kTrailerSize)) return unreadable();
    cbcDecrypt(digest, trailer, plain, kTrailerSize);
    if (std::memcmp(plain + 16, kMarker, kBlock) != 0) {
        c.verdict = Verdict::Damaged;
        c.reason = "the trailer does not decrypt to the marker: the file is damaged or was never closed";
        return c;
    }
    std::memcpy(c.fileKey.data(), plain, 16);
    c.marker = true;

    // A damaged first block of the encrypted key still decrypts the marker;
    // the body then does not read as a log.
    BF_KEY schedule;
    BF_set_key(&schedule, int(c.fileKey.size()), c.fileKey.data());
    c.verdict = Verdict::Damaged;
    std::string head, tail;
    const std::size_t headSize = std::size_t(std::min<std::uint64_t>(body, kEndWindow));
    if (!decryptAt(source, schedule, 0, headSize, head)) return unreadable();
    if (!schema::isStamp(head) || head.compare(schema::kStampedWidth, kStartHead.size(), kStartHead) != 0) {
        c.reason = "the body does not start with a start record";
        return c;
    }
    c.startRecord = true;
    const std::uint64_t tailAt = body - std::min<std::uint64_t>(body, kEndWindow);
    if (!decryptAt(source, schedule, tailAt, std::size_t(body - tailAt), tail)) return unreadable();
    // The text ends with a line feed; up to 7 spaces fill its last block.
    const std::size_t lastFeed = tail.rfind('\n');
    const std::size_t spaces = lastFeed == std::string::npos ? tail.size() : tail.size() - lastFeed - 1;
    const std::size_t stopAt = tail.size() - spaces - kStopRecord.size() - schema::kStampedWidth;
    const bool stops = lastFeed != std::string::npos && spaces < kBlock &&
                       tail.find_first_not_of(' ', lastFeed + 1) == std::string::npos &&
                       tail.size() >= spaces + kStopRecord.size() + schema::kStampedWidth &&
                       schema::isStamp(tail, stopAt) &&
                       tail.compare(stopAt + schema::kStampedWidth, kStopRecord.size(), kStopRecord) == 0 &&
                       stopAt > 0 && tail[stopAt - 1] == '\n';  // a line of its own, after the start record
    if (!stops) {
        c.reason = "the body does not end with a stop record";
        return c;
    }
    c.textSize = body - spaces;
    c.verdict = Verdict::Whole;
    return c;
}

bool decryptBody(ByteSource& source, const Key16& key, std::uint64_t body, std::uint64_t text, const TextSink& sink) {
    body -= body % kBlock;
    text = std::min(text, body);
    BF_KEY schedule;
    BF_set_key(&schedule, int(key.size()), key.data());
    Iv iv = fixedIv();
    std::string chunk(std::size_t(std::min<std::uint64_t>(body, kReadChunk)), '\0');
    auto* buf = reinterpret_cast<unsigned char*>(&chunk[0]);
    for (std::uint64_t done = 0; done < text;) {
        const std::size_t n = std::size_t(std::min<std::uint64_t>(chunk.size(), body - done));
        if (!source.read(done, buf, n)) return false;
        decryptChunk(schedule, buf, n, iv);
        const std::size_t part = std::size_t(std::min<std::uint64_t>(n, text - done));
        if (!sink(chunk.data(), part)) return false;
        done += n;
    }
    return true;
}

bool decryptText(ByteSource& source, const SealCheck& sealed, const TextSink& sink) {
    if (sealed.verdict != Verdict::Whole) return false;
    return decryptBody(source, sealed.fileKey, sealed.bodySize, sealed.textSize, sink);
}

ContainerCheck checkContainer(std::string bytes) {
    ContainerCheck c;
    MemorySource source(bytes.data(), bytes.size());
    SealCheck sealed = checkSealed(source, bytes.size());
    c.verdict = sealed.verdict;
    c.fileKey = sealed.fileKey;
    c.reason = sealed.reason;
    if (sealed.verdict == Verdict::Whole) {
        c.text.reserve(std::size_t(sealed.textSize));
        decryptText(source, sealed, [&c](const char* text, std::size_t size) {
            c.text.append(text, size);
            return true;
        });
    }
    return c;
}

std::string sealText(const std::string& text, const Key16& key) {
    std::string bytes;
    CipherStream stream([&bytes](const unsigned char* d, std::size_t n) {
        bytes.append(reinterpret_cast<const char*>(d), n);
    });
    stream.resetCipher(key.data());
    stream.encryptAppend(text);
    stream.writeTrailer(key);
    return bytes;
}

std::string decryptBody(std::string text, const Key16& fileKey) {
    std::size_t body = text.size() >= kTrailerSize ? text.size() - kTrailerSize : 0;
    body -= body % kBlock;
    text.resize(body);
    if (body) {
        BF_KEY schedule;
        BF_set_key(&schedule, int(fileKey.size()), fileKey.data());
        Iv iv = fixedIv();
        decryptChunk(schedule, reinterpret_cast<unsigned char*>(&text[0]), body, iv);
    }
    std::size_t lastLine = text.rfind('\n');
    if (lastLine != std::string::npos && text.find_first_not_of(' ', lastLine + 1) == std::string::npos)
        text.resize(lastLine + 1);
    return text;
}

}  // namespace vt
