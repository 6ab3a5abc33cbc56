#include "log/container.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

namespace {

using vt::CipherStream;

struct Written {
    std::string bytes;
    std::vector<std::size_t> pieces;
};

// A stream over a fixed key that collects what it writes.
struct Sealer {
    Sealer() : stream([this](const unsigned char* d, std::size_t n) {
          out.bytes.append(reinterpret_cast<const char*>(d), n);
          out.pieces.push_back(n);
      }) {
        for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<unsigned char>(i * 7 + 1);
        stream.resetCipher(key.data());
    }

    // The whole file for text handed over in the given pieces.
    std::string seal(const std::vector<std::string>& records) {
        for (const auto& r : records) stream.encryptAppend(r);
        stream.writeTrailer(key);
        return out.bytes;
    }

    vt::Key16 key{};
    Written out;
    CipherStream stream;
};

class ContainerTest : public ::testing::Test, protected Sealer {};

// A log's text of exactly `length` bytes: start, one key record, stop.
std::string logText(std::size_t length) {
    const std::string start = "01.01.2026 00:00:00;Info;Start;Logfile start:UserId:1:MatchId:2\n";
    const std::string stop = "01.01.2026 00:00:09;Info;Stop;Logfile end\n";
    const std::string key = "01.01.2026 00:00:05;Key;Pressed;Name:";
    return start + key + std::string(length - start.size() - stop.size() - key.size() - 1, 'k') + "\n" + stop;
}

TEST(FixedIv, IsTheDocumentedBytes) {
    const vt::Iv expected{0x5a, 0x61, 0x2c, 0xeb, 0xb6, 0x7d, 0x38, 0xc7};
    EXPECT_EQ(vt::fixedIv(), expected);
}

TEST_F(ContainerTest, AnySplitOfTheTextGivesTheSameFile) {
    std::string text = logText(200);
    for (int i = 0; i < 300; ++i) text += "08.12.2026 10:00:00;Key;Pressed;Name:key " + std::to_string(i) + "\n";
    text += logText(200);
    const std::string whole = seal({text});

    std::mt19937 rng(42);
    for (int round = 0; round < 50; ++round) {
        std::vector<std::string> parts;
        for (std::size_t pos = 0; pos < text.size();) {
            std::size_t len = std::uniform_int_distribution<std::size_t>(1, 1500)(rng);
            parts.push_back(text.substr(pos, len));
            pos += len;
        }
        Sealer other;
        EXPECT_EQ(other.seal(parts), whole) << "round " << round;
    }
}

TEST_F(ContainerTest, LargeBodyDecryptsToTheSameText) {
    // Bodies of a megabyte and more are decrypted in two halves at once.
    std::string text = logText(200);
    text.insert(text.size() - 42, std::string(3 << 20, 'x') + "\n");
    const std::string file = seal({text});
    vt::ContainerCheck check = vt::checkContainer(file);
    ASSERT_EQ(check.verdict, vt::Verdict::Whole) << check.reason;
    EXPECT_TRUE(check.text == text);
}

TEST_F(ContainerTest, LargeRecordIsWrittenInPiecesOf512) {
    stream.encryptAppend("abc");
    EXPECT_TRUE(out.pieces.empty());
    EXPECT_EQ(stream.pendingSize(), 3u);
    stream.encryptAppend(std::string(1000, 'x'));
    EXPECT_EQ(out.pieces, (std::vector<std::size_t>{512, 488}));
    EXPECT_EQ(stream.pendingSize(), 3u);
}

TEST_F(ContainerTest, EmptyTextIsRefused) {
    EXPECT_FALSE(stream.encryptAppend(""));
    EXPECT_TRUE(stream.encryptAppend("a"));
}

TEST_F(ContainerTest, PaddingFillsTheLastBlockWithSpaces) {
    struct Case {
        std::size_t length;
        std::size_t spaces;
    } cases[] = {{160, 0}, {161, 7}, {167, 1}, {168, 0}};
    for (const auto& c : cases) {
        Sealer t;
        const std::string text = logText(c.length);
        const std::string file = t.seal({text});
        ASSERT_EQ(file.size(), c.length + c.spaces + vt::kTrailerSize);
        vt::ContainerCheck check = vt::checkContainer(file);
        ASSERT_EQ(check.verdict, vt::Verdict::Whole);
        EXPECT_EQ(check.fileKey, t.key);
        std::string body(file.size() - vt::kTrailerSize, '\0');
        vt::cbcDecrypt(t.key, reinterpret_cast<const unsigned char*>(file.data()),
                       reinterpret_cast<unsigned char*>(&body[0]), body.size());
        EXPECT_EQ(body, text + std::string(c.spaces, ' '));
        EXPECT_EQ(vt::decryptBody(file, check.fileKey), text);
    }
}

TEST_F(ContainerTest, EveryChangedOrMissingByteIsDetected) {
    const std::string file = seal({logText(152)});
    ASSERT_EQ(vt::checkContainer(file).verdict, vt::Verdict::Whole);
    for (std::size_t i = 0; i < file.size(); ++i) {
        for (unsigned char flip : {0x01, 0x80, 0xFF}) {
            std::string damaged = file;
            damaged[i] = static_cast<char>(damaged[i] ^ flip);
            EXPECT_NE(vt::checkContainer(damaged).verdict, vt::Verdict::Whole) << "byte " << i;
        }
    }
    for (std::size_t len = 0; len < file.size(); ++len)
        EXPECT_NE(vt::checkContainer(file.substr(0, len)).verdict, vt::Verdict::Whole) << "length " << len;
    EXPECT_NE(vt::checkContainer(file + std::string(8, '\0')).verdict, vt::Verdict::Whole);
}

TEST(MemorySource, ReadsOnlyWhatItHolds) {
    const std::string bytes = "0123456789";
    vt::MemorySource source(bytes.data(), bytes.size());
    unsigned char out[4] = {};
    EXPECT_TRUE(source.read(6, out, 4));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 4), "6789");
    EXPECT_FALSE(source.read(7, out, 4));
    EXPECT_FALSE(source.read(11, out, 0));
    EXPECT_FALSE(source.read(~std::uint64_t(0), out, 4));
}

// A file that shrinks while it is read: nothing at or after `from` can be read.
class ShrinkingSource : public vt::MemorySource {
public:
    ShrinkingSource(const std::string& bytes, std::uint64_t from)
        : MemorySource(bytes.data(), bytes.size()), from_(from) {}
    bool read(std::uint64_t offset, unsigned char* out, std::size_t size) override {
        return offset + size <= from_ && MemorySource::read(offset, out, size);
    }

private:
    std::uint64_t from_;
};

TEST_F(ContainerTest, BytesThatVanishWhileReadingAreReported) {
    std::string text = logText(200);
    text.insert(text.size() - 42, std::string(3 * vt::kReadChunk, 'x') + "\n");
    const std::string file = seal({text});
    for (std::uint64_t from : {std::uint64_t(0), std::uint64_t(vt::kReadChunk + 8), std::uint64_t(file.size() - 1)}) {
        ShrinkingSource source(file, from);
        vt::SealCheck c = vt::checkSealed(source, file.size());
        EXPECT_EQ(c.verdict, vt::Verdict::Unreadable) << from;
        EXPECT_NE(c.reason.find("cannot be read to its end"), std::string::npos);
    }
    // Checked whole, then cut short before the text was read.
    vt::MemorySource whole(file.data(), file.size());
    const vt::SealCheck c = vt::checkSealed(whole, file.size());
    ASSERT_EQ(c.verdict, vt::Verdict::Whole);
    ShrinkingSource cut(file, 2 * vt::kReadChunk);
    std::size_t seen = 0;
    EXPECT_FALSE(vt::decryptText(cut, c, [&](const char*, std::size_t n) {
        seen += n;
        return true;
    }));
    EXPECT_EQ(seen, 2 * vt::kReadChunk);
}

TEST(FileKey, BytesAreNeverTwoHundredFiftyFive) {
    std::set<int> seen;
    for (int i = 0; i < 2000; ++i)
        for (unsigned char b : vt::makeFileKey()) {
            ASSERT_NE(b, 255);
            seen.insert(b);
        }
    EXPECT_EQ(seen.size(), 255u);  // every other value does occur
}

}  // namespace
