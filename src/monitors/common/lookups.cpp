#include "monitors/common/lookups.h"

#include "platform/os.h"

#include <algorithm>
#include <vector>

namespace vt {

const char* const kNoHandleText = "System: No Handle available";
const char* const kNoPathText = "System: No Path available";

namespace {

constexpr os::DWORD kImageChars = 2048;
// The longest path Windows can name (UNICODE_STRING counts bytes in 16 bits).
constexpr os::DWORD kImageLimit = 32768;

// Owns a process handle.
class ProcessHandle {
public:
    explicit ProcessHandle(std::uint32_t pid)
        : h_(os::OpenProcess(os::PROCESS_QUERY_INFORMATION | os::READ_CONTROL, 0, pid)) {}
    ~ProcessHandle() {
        if (h_) os::CloseHandle(h_);
    }
    ProcessHandle(const ProcessHandle&) = delete;
    ProcessHandle& operator=(const ProcessHandle&) = delete;
    os::HANDLE get() const { return h_; }

private:
    os::HANDLE h_;
};

std::uint64_t identityOf(os::HANDLE process) {
    os::FILETIME created{}, exited{}, kernel{}, user{};
    if (!os::GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return std::uint64_t(created.dwHighDateTime) << 32 | created.dwLowDateTime;
}

// The image path in device form; false when it cannot be read. A buffer that
// is too small (the call fails, or fills it to the last character) is grown.
bool imageOf(os::HANDLE process, std::wstring& image) {
    for (os::DWORD chars = kImageChars;; chars *= 2) {
        std::vector<wchar_t> buffer(chars, L'\0');
        const os::DWORD n = os::GetProcessImageFileNameW(process, buffer.data(), chars);
        const bool full = n == 0 ? os::GetLastError() == os::ERROR_INSUFFICIENT_BUFFER : n + 1 >= chars;
        if (n > 0 && (!full || chars >= kImageLimit)) {
            image.assign(buffer.data(), std::min(n, chars));
            return true;
        }
        if (!full || chars >= kImageLimit) return false;
    }
}

}  // namespace

ProcessFacts lookUpProcess(std::uint32_t pid, const VolumeMap& devicePaths, bool withIdentity) {
    ProcessFacts facts;
    ProcessHandle process(pid);
    if (!process.get()) {
        facts.path = kNoHandleText;
        return facts;
    }
    if (withIdentity) facts.identity = identityOf(process.get());
    std::wstring image;
    if (!imageOf(process.get(), image)) {
        facts.path = kNoPathText;
        return facts;
    }
    facts.imageRead = true;
    if (!devicePaths.empty()) image = translateDevicePath(image, devicePaths);
    facts.path = wideToNarrow(image);
    return facts;
}

std::uint64_t processIdentity(std::uint32_t pid) {
    ProcessHandle process(pid);
    return process.get() ? identityOf(process.get()) : 0;
}

std::string processPath(std::uint32_t pid, const VolumeMap& devicePaths) {
    return lookUpProcess(pid, devicePaths, false).path;
}

// Windows paths end their folders with a backslash; Linux image paths with
// the system's own separator.
std::string fileNameOf(const std::string& path) {
    const char separators[] = {'\\', os::pathSeparator(), '\0'};
    std::size_t slash = path.find_last_of(separators);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ipToString(std::uint32_t address) {
    if (address == 0) return "0.0.0.0";
    std::string out;
    out.reserve(15);
    for (int i = 0; i < 4; ++i) {
        if (i) out += '.';
        out += std::to_string((address >> (8 * i)) & 0xFFu);
    }
    return out;
}

bool usableServer(std::uint32_t hostOrder) {
    return hostOrder != 0 && hostOrder != 0x7F000001u && hostOrder != 0xFFFFFFFFu;
}

}  // namespace vt
