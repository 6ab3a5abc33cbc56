#include "monitors/procwatch/devicepaths.h"

#include "platform/os.h"

#include <boost/algorithm/string/replace.hpp>

#include <algorithm>
#include <cwchar>

namespace vt {

const char* const kUnconvertableText = "System: Unconvertable Unicode";

namespace {

constexpr os::DWORD kNameChars = 260;

// Owns a volume search handle.
class VolumeSearch {
public:
    explicit VolumeSearch(wchar_t* name) : h_(os::FindFirstVolumeW(name, kNameChars)) {}
    ~VolumeSearch() {
        if (valid()) os::FindVolumeClose(h_);
    }
    VolumeSearch(const VolumeSearch&) = delete;
    VolumeSearch& operator=(const VolumeSearch&) = delete;
    bool valid() const { return h_ != os::invalidHandle(); }
    bool next(wchar_t* name) { return os::FindNextVolumeW(h_, name, kNameChars) != 0; }

private:
    os::HANDLE h_;
};

// The mount paths of one volume as a multi-string; empty when the query or
// an allocation fails.
os::Buffer mountPaths(const std::wstring& volume, os::DWORD& length) {
    length = 261;
    for (;;) {
        os::Buffer list = os::allocateBuffer(length * sizeof(wchar_t));
        if (!list) return nullptr;
        auto* chars = reinterpret_cast<wchar_t*>(list.get());
        std::fill(chars, chars + length, L'\0');
        os::DWORD needed = 0;
        if (os::GetVolumePathNamesForVolumeNameW(volume.c_str(), chars, length, &needed)) {
            chars[length - 1] = L'\0';
            return list;
        }
        if (os::GetLastError() != os::ERROR_MORE_DATA || needed <= length) return nullptr;
        length = needed;
    }
}

}  // namespace

void buildVolumeMap(VolumeMap& devicePaths) {
    wchar_t volumeName[kNameChars] = {};
    wchar_t deviceName[kNameChars] = {};
    VolumeSearch search(volumeName);
    if (!search.valid()) return;
    do {
        volumeName[kNameChars - 1] = L'\0';
        std::wstring volume(volumeName);
        // \\?\Volume{...}\ : the device query takes the name between the prefix and the trailing backslash.
        if (volume.size() < 5 || volume.compare(0, 4, L"\\\\?\\") != 0 || volume.back() != L'\\') break;
        std::wstring bare = volume.substr(4, volume.size() - 5);
        if (os::QueryDosDeviceW(bare.c_str(), deviceName, kNameChars) == 0) break;
        deviceName[kNameChars - 1] = L'\0';

        os::DWORD listLength = 0;
        os::Buffer list = mountPaths(volume, listLength);
        if (!list) continue;
        const std::wstring key = std::wstring(deviceName) + L'\\';
        // Each string of the list in turn; the last one listed stays. The list
        // ends with an empty string; the buffer's last character is a terminator.
        const auto* begin = reinterpret_cast<const wchar_t*>(list.get());
        const auto* end = begin + listLength;
        for (const wchar_t* p = begin; p < end && *p; p += std::wcslen(p) + 1) devicePaths[key] = p;
    } while (search.next(volumeName));
}

std::wstring translateDevicePath(const std::wstring& path, const VolumeMap& devicePaths) {
    for (const auto& entry : devicePaths) {
        if (path.compare(0, entry.first.size(), entry.first) == 0) {
            std::wstring out = path;
            boost::algorithm::replace_first(out, entry.first, entry.second);
            return out;
        }
    }
    return path;
}

std::string wideToNarrow(const std::wstring& text) {
    char narrow[4096] = {};
    int n = os::WideCharToMultiByte(os::CP_ACP, 0, text.c_str(), -1, narrow, sizeof narrow, nullptr, nullptr);
    if (n == 0) return kUnconvertableText;
    return std::string(narrow);
}

}  // namespace vt
