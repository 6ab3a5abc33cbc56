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
//
// Pages are made as `vtl recover` makes its files (vt::NewFile): never
// through a link and never over a file vtl did not make. At the default
// name, a page an earlier `vtl report` made is replaced; anything else there
// (a link, another file) is left alone and the page takes the next free name
// (name_1.html, ...). A page named with output replaces what is there, a link
// itself rather than its target.
int run(const std::vector<std::string>& files, const std::string& output, bool search, std::ostream& out,
        std::ostream& err);

// The model of some logs, read one record at a time through the one reading
// path (a log that was never closed as `vtl cat --force` reads it: its key
// searched for, progress on err). Notes on logs that are not whole go to err.
Model readModel(const std::vector<std::string>& files, bool search, std::ostream& err);

}  // namespace report
}  // namespace vt
