// `vtl report`: match logs to self-contained HTML pages.
#pragma once

#include "report/model.h"

#include <iosfwd>
#include <string>
#include <vector>

namespace vt {
namespace report {

// The page of one log is written next to it (name.vtl gives name.html); with
// output set, all the logs go into that one page. Logs that are not whole
// are shown as far as they can be read. Returns 0 when every page was written
// and every log is whole, 2 when the pages were written but a log is not
// whole, 1 when a page could not be written (or would overwrite a log).
// A log that is not whole has its key searched for unless search is off.
int run(const std::vector<std::string>& files, const std::string& output, bool search, std::ostream& out,
        std::ostream& err);

// A log as far as it can be read; what the key search does goes to err.
Source readLog(const std::string& file, bool search, std::ostream& err);
// The page for some logs, as text.
std::string pageFor(const std::vector<Source>& sources, bool& allWhole);

}  // namespace report
}  // namespace vt
