#include "support/temp_dir.h"

#include "platform/os.h"

#include <boost/filesystem.hpp>

namespace testsupport {

TempDir::TempDir() {
    auto p = boost::filesystem::temp_directory_path() / boost::filesystem::unique_path("vt-test-%%%%-%%%%-%%%%");
    boost::filesystem::create_directories(p);
    path_ = p.string();
}

TempDir::~TempDir() {
    boost::system::error_code ec;
    boost::filesystem::remove_all(path_, ec);
}

std::string TempDir::join(const std::string& name) const { return path_ + os::pathSeparator() + name; }

}  // namespace testsupport
