// A directory for one test, removed with everything in it afterwards.
#pragma once

#include <string>

namespace testsupport {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    // path() joined with name by the separator the log uses.
    std::string join(const std::string& name) const;

private:
    std::string path_;
};

}  // namespace testsupport
