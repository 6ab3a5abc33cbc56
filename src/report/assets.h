// The page's style and script: src/report/page.css and src/report/page.js,
// made into this build's generated report_assets.cpp by cmake/embed.cmake.
#pragma once

namespace vt {
namespace report {

extern const char kPageStyle[];
extern const char kPageScript[];

}  // namespace report
}  // namespace vt
