#include "monitors/common/devicepaths.h"

#include "monitors/common/sized.h"

#include "platform/os.h"

#include <boost/algorithm/string/replace.hpp>

#include <algorithm>
#include <cwchar>
#include <vector>

namespace vt {

const char* const kUnconvertableText = "System: Unconvertable Unicode";

namespace {

constexpr os::DWORD kNameChars = 260;
// 32767 characters of a path, each at most four bytes in a multi-byte code page.
constexpr int kNarrowLimit = 4 * 32768;

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
    SizedResult r = callSized(261, sizeof(wchar_t), os::ERROR_MORE_DATA, 8, [&](void* buffer, os::DWORD* chars) {
        os::DWORD needed = 0;
        if (os::GetVolumePathNamesForVolumeNameW(volume.c_str(), static_cast<wchar_t*>(buffer), *chars, &needed))
            return os::NO_ERROR;
        const os::DWORD error = os::GetLastError();
        if (error == os::ERROR_MORE_DATA) *chars = needed;
        return error;
    });
    if (!r.data) return nullptr;
    length = r.size;
    reinterpret_cast<wchar_t*>(r.data.get())[length - 1] = L'\0';
    return std::move(r.data);
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
    if (n > 0) return std::string(narrow);
    // A long path: ask for the size it needs, within the longest path there is.
    n = os::WideCharToMultiByte(os::CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (n <= int(sizeof narrow) || n > kNarrowLimit) return kUnconvertableText;
    std::vector<char> longer(std::size_t(n), '\0');
    if (os::WideCharToMultiByte(os::CP_ACP, 0, text.c_str(), -1, longer.data(), n, nullptr, nullptr) != n)
        return kUnconvertableText;
    return std::string(longer.data());
}

}  // namespace vt
