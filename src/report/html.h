// The match report as one self-contained HTML page: charts drawn as inline
// SVG (charts.cpp), the timeline and tables drawn by the page's own script
// (page.js) from data packed into the page. Nothing is fetched when the page
// is opened.
#pragma once

#include "report/model.h"
#include "report/text.h"

#include <ostream>
#include <string>

namespace vt {
namespace report {

// The page's generator, named in every page; `vtl report` replaces a page
// that names it at its default name.
constexpr char kGenerator[] = "vantorelle vtl report";

// The policy every page carries: nothing from anywhere, the inline style and
// script only.
std::string contentSecurityPolicy();

void writePage(const Model& model, std::ostream& out);

}  // namespace report
}  // namespace vt
