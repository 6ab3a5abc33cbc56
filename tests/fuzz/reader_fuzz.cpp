// Feeds arbitrary bytes to the log reader: as a container file, and as record
// text. Nothing may crash, hang or read out of bounds.
#include "log/container.h"
#include "log/reader.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    vt::ContainerCheck check = vt::checkContainer(bytes);
    if (check.verdict == vt::Verdict::Whole)
        for (const auto& line : vt::reader::lines(check.text)) vt::reader::toJson(vt::reader::parseRecord(line));
    vt::decryptBody(bytes, check.fileKey);
    for (const auto& line : vt::reader::lines(bytes)) vt::reader::toJson(vt::reader::parseRecord(line));
    return 0;
}
