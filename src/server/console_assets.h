// The console's style and script: src/server/console.css and console.js,
// made into this build's generated console_assets.cpp by cmake/embed.cmake.
#pragma once

namespace vt {
namespace server {

extern const char kConsoleStyle[];
extern const char kConsoleScript[];

}  // namespace server
}  // namespace vt
