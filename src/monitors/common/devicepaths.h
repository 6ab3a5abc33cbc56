// Kernel device paths to mount paths, and wide text to the narrow text the log
// stores. Shared by the process watch and the connection watch, each of which
// owns a volume map built once when it is made.
#pragma once

#include <map>
#include <string>

namespace vt {

// Device name plus one backslash -> the last mount path listed for the volume.
using VolumeMap = std::map<std::wstring, std::wstring>;

// Fills the map from the volumes present now; reports nothing.
void buildVolumeMap(VolumeMap& devicePaths);

// Replaces the first (in key order) device name the path begins with by its
// mount path; returns the path unchanged when none matches.
std::wstring translateDevicePath(const std::wstring& path, const VolumeMap& devicePaths);

// The system's narrow code page (UTF-8 on Linux), with '?' for what it cannot
// represent; "System: Unconvertable Unicode" when the conversion fails, or the
// text needs more room than the longest path could.
std::string wideToNarrow(const std::wstring& text);

extern const char* const kUnconvertableText;

}  // namespace vt
