#include "log/container.h"
#include "read/salvage.h"

#include <gtest/gtest.h>

#include <random>

#include <string>

namespace {

const vt::Key16 kKey = {3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9, 3};
const std::string kStart = "01.02.2026 03:04:05;Info;Start;Logfile start:UserId:1:MatchId:2\n";
const std::string kKey1 = "01.02.2026 03:04:05;Key;Pressed;Name:W\n";

// The body of a log never closed: its text encrypted, padded to whole blocks
// with what the last block holds after the text.
std::string body(const std::string& text) {
    std::string padded = text;
    while (padded.size() % vt::kBlock) padded += ' ';
    std::string out(padded.size(), '\0');
    vt::cbcEncrypt(kKey, reinterpret_cast<const unsigned char*>(padded.data()), reinterpret_cast<unsigned char*>(&out[0]),
                   padded.size());
    return out;
}

TEST(Salvage, SpacesAfterTheLastLineFeedArePaddingAnythingElseAnUnfinishedRecord) {
    // Padded by spaces (a provisional block): every record, nothing unread.
    const vt::salvage::Records whole = vt::salvage::readRecords(body(kStart + kKey1), kKey);
    EXPECT_EQ(whole.count, 2u);
    EXPECT_EQ(whole.text, kStart + kKey1);
    EXPECT_EQ(whole.unread, 0u);
    EXPECT_FALSE(whole.damaged);
    // The first bytes of a record after the last line feed: unread, not a record.
    const std::string begun = kStart + kKey1 + "01.02.2";
    const std::string cutBody = body(begun);
    const vt::salvage::Records cut = vt::salvage::readRecords(cutBody, kKey);
    EXPECT_EQ(cut.count, 2u);
    EXPECT_EQ(cut.text, kStart + kKey1);
    EXPECT_EQ(cut.unread, cutBody.size() - (kStart + kKey1).size());  // its bytes and what pads the block
    EXPECT_GE(cut.unread, 7u);
    // Bytes that are neither: a line that does not begin with a stamp stops
    // the reading, and what follows it is not read.
    const vt::salvage::Records damaged = vt::salvage::readRecords(body(kStart + "not a record\n" + kKey1), kKey);
    EXPECT_EQ(damaged.count, 1u);
    EXPECT_TRUE(damaged.damaged);
    EXPECT_EQ(damaged.text, kStart);
    // A control byte inside a record is damage too.
    const vt::salvage::Records control = vt::salvage::readRecords(body(kStart + "01.02.2026 03:04:05;Key\x01\n"), kKey);
    EXPECT_EQ(control.count, 1u);
    EXPECT_TRUE(control.damaged);
}

TEST(Salvage, TheStopRecordEndsTheRecords) {
    const std::string stop = "01.02.2026 03:04:06;Info;Stop;Logfile end\n";
    const vt::salvage::Records r = vt::salvage::readRecords(body(kStart + stop) + "the trailer's bytes", kKey);
    EXPECT_EQ(r.count, 2u);
    EXPECT_TRUE(r.stopRecord);
    EXPECT_EQ(r.text, kStart + stop);
    const std::string bytes = body(kStart + kKey1 + stop);
    vt::MemorySource all(bytes.data(), bytes.size());
    const vt::salvage::Scan s = vt::salvage::scan(all, kKey, bytes.size());
    EXPECT_EQ(s.stopAt, kStart.size() + kKey1.size());
    EXPECT_EQ(s.stopLine, stop);
}

TEST(Salvage, CiphertextIsToldFromTextZerosAndStructure) {
    std::string text;
    while (text.size() < 4096) text += "plain text\n";
    EXPECT_EQ(vt::salvage::notCiphertext(reinterpret_cast<const unsigned char*>(text.data()), text.size()),
              "it reads as text");
    const std::string zeros(4096, '\0');
    EXPECT_NE(vt::salvage::notCiphertext(reinterpret_cast<const unsigned char*>(zeros.data()), zeros.size()), "");
    const std::string fewZeros(64, '\0');
    EXPECT_EQ(vt::salvage::notCiphertext(reinterpret_cast<const unsigned char*>(fewZeros.data()), fewZeros.size()),
              "it holds too many zero bytes for ciphertext");
    std::string records = kStart;
    while (records.size() < 4096) records += kKey1;
    const std::string log = body(records);
    EXPECT_EQ(vt::salvage::notCiphertext(reinterpret_cast<const unsigned char*>(log.data()), log.size()), "");
    // Random bytes of any length could be ciphertext, and nothing is no text.
    std::mt19937 random(29);
    for (std::size_t n : {0u, 32u, 40u, 100u, 1000u, 1024u, 4096u, 10000u}) {
        std::string noise(n, '\0');
        for (char& c : noise) c = static_cast<char>(random());
        EXPECT_EQ(vt::salvage::notCiphertext(reinterpret_cast<const unsigned char*>(noise.data()), n), "") << n;
    }
    // DEL is no printable text; only the bytes given are counted, not the one after them.
    const std::string dels(4096, '\x7f');
    EXPECT_EQ(vt::salvage::notCiphertext(reinterpret_cast<const unsigned char*>(dels.data()), dels.size()),
              "its bytes are far from evenly spread, as ciphertext's are");
    std::string edge(1001, '\0');  // 1,000 bytes with zeros at the most allowed (129), then one more zero
    for (std::size_t i = 129; i < 1000; ++i) edge[i] = static_cast<char>(0x80 + i % 128);
    EXPECT_EQ(vt::salvage::notCiphertext(reinterpret_cast<const unsigned char*>(edge.data()), 1000), "");
    EXPECT_EQ(vt::salvage::notCiphertext(reinterpret_cast<const unsigned char*>(edge.data()), 1001),
              "it holds too many zero bytes for ciphertext");
}

}  // namespace
