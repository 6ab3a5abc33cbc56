// The records of a log that has no trailer, read with a key found again: up
// to the last whole record or the first damage, in bounded memory.
//
// A record is taken when it begins with a stamp and holds no control byte;
// reading stops at the first line that does not (the file is damaged there,
// or the key is wrong), at the end of the last line feed, or after the
// recording's own stop record. Up to 7 spaces after the last line feed pad
// the last block, as the trailer and every flush pad it; any other bytes
// there are an unfinished record.
#pragma once

#include "log/container.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace vt {
namespace salvage {

struct Scan {
    std::uint64_t count = 0;    // whole records
    std::uint64_t length = 0;   // bytes of text they take, line feeds included
    std::uint64_t unread = 0;   // bytes of the body after them (padding not counted)
    bool stopRecord = false;    // the recording's own last record is among them
    std::uint64_t stopAt = 0;   // where that record begins
    std::string stopLine;       // and its text, line feed included
    bool damaged = false;       // reading stopped at a line that is not log text
    bool readable = true;       // false: the source could not be read to the end
};

// Decrypts the whole blocks of the first `size` bytes of source under key and
// finds where its records end. Memory does not grow with the file.
Scan scan(ByteSource& source, const Key16& key, std::uint64_t size);

// Hands the text of the records a scan found to sink, in pieces.
bool text(ByteSource& source, const Key16& key, const Scan& found, const TextSink& sink);

// Why the first bytes of a file (up to 4 KiB are looked at) cannot be
// ciphertext: "it reads as text", ...; empty when they could be.
std::string notCiphertext(const unsigned char* head, std::size_t size);

// Both at once, in memory, for small bodies (tests, fuzzing).
struct Records {
    std::string text;
    std::size_t count = 0;
    std::size_t unread = 0;
    bool stopRecord = false;
    bool damaged = false;
};
Records readRecords(const std::string& bytes, const Key16& key);

}  // namespace salvage
}  // namespace vt
