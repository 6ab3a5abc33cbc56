#include "read/sealed.h"

#include "common/schema.h"
#include "log/container.h"
#include "log/format.h"
#include "platform/os.h"

#include <algorithm>
#include <cstdint>
#include <string_view>

namespace vt {
namespace read {

bool writeRecovered(LogFile& log, const std::string& from, const ByteSink& sink) {
    const salvage::Scan& scan = log.scan();
    bool taken = true;
    CipherStream stream([&](const unsigned char* data, std::size_t size) { taken = sink(data, size) && taken; });
    stream.resetCipher(log.fileKey().data());
    // The records before the stop record, when there is one: it goes last.
    const std::uint64_t keep = scan.stopRecord ? scan.stopAt : scan.length;
    std::uint64_t seen = 0;
    const bool read = log.readText([&](const char* text, std::size_t size) {
        if (seen < keep)
            stream.encryptAppend(std::string_view(text, std::size_t(std::min<std::uint64_t>(size, keep - seen))));
        seen += size;
        return taken;
    });
    const std::string stamp = recordStamp(calendarTime(os::currentTime())) + schema::kPartSeparator;
    std::string note = stamp;
    appendRecord(note, schema::shape(schema::Kind::InfoRecovered), {}, {from, std::to_string(scan.count)});
    note += '\n';
    std::string stop = scan.stopLine;
    if (stop.empty()) {
        stop = stamp;
        appendRecord(stop, schema::shape(schema::Kind::InfoStop), {}, {});
        stop += '\n';
    }
    stream.encryptAppend(note);
    stream.encryptAppend(stop);
    stream.writeTrailer(log.fileKey());
    return read && taken;
}

}  // namespace read
}  // namespace vt
