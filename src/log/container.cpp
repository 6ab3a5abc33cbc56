#include "log/container.h"

#include "log/keygen.h"

#include <openssl/blowfish.h>
#include <openssl/md5.h>

#include <algorithm>
#include <cstring>
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

namespace {

// CBC decryption needs only the ciphertext, so the two halves of a large body
// are decrypted at the same time, each chained from the block before it.
void cbcDecryptInPlace(const Key16& key, unsigned char* data, std::size_t len) {
    BF_KEY schedule;
    BF_set_key(&schedule, int(key.size()), key.data());
    const std::size_t half = (len / 2) - (len / 2) % kBlock;
    if (len < (1u << 20) || std::thread::hardware_concurrency() < 2) {
        Iv iv = fixedIv();
        BF_cbc_encrypt(data, data, long(len), &schedule, iv.data(), BF_DECRYPT);
        return;
    }
    Iv first = fixedIv(), second;
    std::memcpy(second.data(), data + half - kBlock, kBlock);  // before the first half overwrites it
    std::thread other([&] { BF_cbc_encrypt(data + half, data + half, long(len - half), &schedule, second.data(), BF_DECRYPT); });
    BF_cbc_encrypt(data, data, long(half), &schedule, first.data(), BF_DECRYPT);
    other.join();
}

}  // namespace

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

bool CipherStream::encryptAppend(const std::string& text) {
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

namespace {

bool isStamp(const std::string& t, std::size_t at) {
    static const char pattern[] = "99.99.9999 99:99:99;";
    if (t.size() < at + sizeof pattern - 1) return false;
    for (std::size_t i = 0; i + 1 < sizeof pattern; ++i) {
        char c = t[at + i];
        if (pattern[i] == '9' ? (c < '0' || c > '9') : c != pattern[i]) return false;
    }
    return true;
}

// The first record is the start record and the last one the stop record.
bool looksLikeLog(const std::string& text) {
    static const std::string start = "Info;Start;", stop = "Info;Stop;Logfile end\n";
    const std::size_t stampLen = 20;
    if (!isStamp(text, 0) || text.compare(stampLen, start.size(), start) != 0) return false;
    if (text.size() < stampLen + stop.size() ||
        text.compare(text.size() - stop.size(), stop.size(), stop) != 0)
        return false;
    std::size_t lastLineStart = text.rfind('\n', text.size() - 2);
    lastLineStart = lastLineStart == std::string::npos ? 0 : lastLineStart + 1;
    return lastLineStart + stampLen + stop.size() == text.size() && isStamp(text, lastLineStart);
}

}  // namespace

ContainerCheck checkContainer(std::string bytes) {
    ContainerCheck c;
    const std::size_t minimum = kBlock + kTrailerSize;
    if (bytes.size() % kBlock != 0 || bytes.size() < minimum) {
        c.verdict = Verdict::BadLength;
        c.reason = "length " + std::to_string(bytes.size()) +
                   (bytes.size() < minimum ? " is under 32 bytes" : " is not a multiple of 8");
        return c;
    }
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t body = bytes.size() - kTrailerSize;
    unsigned char plain[kTrailerSize];
    cbcDecrypt(md5Of(data, body), data + body, plain, kTrailerSize);
    if (std::memcmp(plain + 16, kMarker, kBlock) != 0) {
        c.verdict = Verdict::Damaged;
        c.reason = "the trailer does not decrypt to the marker: the file is damaged or was never closed";
        return c;
    }
    std::memcpy(c.fileKey.data(), plain, 16);
    // A damaged first key block still decrypts the marker; the text then does
    // not read as a log.
    c.text = decryptBody(std::move(bytes), c.fileKey);
    if (!looksLikeLog(c.text)) {
        c.text.clear();
        c.verdict = Verdict::Damaged;
        c.reason = "the key in the trailer does not decrypt the body: the file is damaged";
        return c;
    }
    c.verdict = Verdict::Whole;
    return c;
}

std::string decryptBody(std::string text, const Key16& fileKey) {
    std::size_t body = text.size() >= kTrailerSize ? text.size() - kTrailerSize : 0;
    body -= body % kBlock;
    text.resize(body);
    if (body) cbcDecryptInPlace(fileKey, reinterpret_cast<unsigned char*>(&text[0]), body);
    std::size_t lastLine = text.rfind('\n');
    if (lastLine != std::string::npos && text.find_first_not_of(' ', lastLine + 1) == std::string::npos)
        text.resize(lastLine + 1);
    return text;
}

}  // namespace vt
