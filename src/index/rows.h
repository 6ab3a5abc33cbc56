// Records to rows: the lines of one log cut into the rows of the index's tables.
#pragma once

#include "index/ingest.h"

#include <memory>
#include <string>

namespace vt {
namespace index {

class Rows {
public:
    explicit Rows(Parsed& p);
    ~Rows();
    Rows(const Rows&) = delete;
    Rows& operator=(const Rows&) = delete;
    // One line of the log (cut: it ends where the file was cut short). False
    // once the log cannot be indexed (the reason in Parsed::failure).
    bool line(const std::string& text, bool cut);
    // After the last line: the recording's summaries.
    void finish();

private:
    class Builder;
    std::unique_ptr<Builder> b_;
};

}  // namespace index
}  // namespace vt
