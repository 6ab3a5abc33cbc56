#include "support/log_text.h"

#include "common/schema.h"
#include "read/logfile.h"
#include "read/records.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include <algorithm>
#include <fstream>
#include <iterator>

namespace testsupport {

std::vector<std::string> logFiles(const std::string& dir) {
    std::vector<std::string> out;
    boost::system::error_code ec;
    for (boost::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().extension() == ".vtl") out.push_back(it->path().string());
    std::sort(out.begin(), out.end());
    return out;
}

OpenedLog openLog(const std::string& file, bool search) {
    vt::read::Options options;
    options.search = search;
    vt::read::LogFile log(file, options);
    OpenedLog o{log.whole(), log.reason(), std::string()};
    if (log.readable())
        log.readText([&o](const char* text, std::size_t size) {
            o.text.append(text, size);
            return true;
        });
    return o;
}

std::vector<std::string> recordLines(const std::string& file) {
    const OpenedLog o = openLog(file);
    EXPECT_TRUE(o.whole) << file << ": " << o.reason;
    return vt::read::lines(o.text);
}

std::vector<std::string> withoutStamps(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const auto& l : lines) {
        // "DD.MM.YYYY hh:mm:ss;" (lines without it are left as they are)
        out.push_back(vt::schema::isStamp(l) ? l.substr(vt::schema::kStampedWidth) : l);
    }
    return out;
}

std::string readBytes(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeBytes(const std::string& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

int countPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    int n = 0;
    for (const auto& l : withoutStamps(lines))
        if (l.compare(0, prefix.size(), prefix) == 0) ++n;
    return n;
}

#if !defined(_WIN32)
bool makeFifo(const std::string& path) { return ::mkfifo(path.c_str(), 0600) == 0; }
#endif

}  // namespace testsupport
