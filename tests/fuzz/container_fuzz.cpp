// libFuzzer target for the log container. The first byte chooses how the rest
// is used: below 64, as the bytes of a file; otherwise as record text, sealed
// with a fixed key, so that the check passes and the text reaches the record
// parser. Nothing may crash, hang or read out of bounds, and a sealed text
// that checks as whole must read back as it was written.
#include "log/container.h"
#include "read/records.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

std::string seal(const std::string& text) {
    vt::Key16 key{};
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<unsigned char>(i * 13 + 5);
    return vt::sealText(text, key);
}

void read(const std::string& bytes, std::string& text) {
    vt::MemorySource source(bytes.data(), bytes.size());
    const vt::SealCheck sealed = vt::checkSealed(source, bytes.size());
    // A small limit, so that cut records are reached too.
    vt::read::LineSplitter lines(64, [](const std::string& line, bool cut, std::uint64_t length) {
        vt::read::Record r = vt::read::parseRecord(line);
        r.cut = cut;
        r.length = length;
        vt::read::toJson(r);
        return true;
    });
    if (sealed.verdict != vt::Verdict::Whole) return;
    vt::decryptText(source, sealed, [&](const char* data, std::size_t size) {
        text.append(data, size);
        return lines.feed(data, size);
    });
    lines.finish();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string text;
    if (data[0] < 64) {
        read(rest, text);
        vt::decryptBody(rest, vt::checkContainer(rest).fileKey);
        return 0;
    }
    read(seal(rest), text);
    // Whole: the text is what was sealed, less spaces after its last line feed.
    if (!text.empty() && (rest.compare(0, text.size(), text) != 0 ||
                          rest.find_first_not_of(' ', text.size()) != std::string::npos))
        __builtin_trap();
    return 0;
}
