#include "monitors/procwatch/procwatch.h"

#include "platform/os.h"

#include <algorithm>

namespace vt {

const char* const kNoHandleText = "System: No Handle available";
const char* const kNoPathText = "System: No Path available";

namespace {

constexpr os::DWORD kImageChars = 2048;

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

}  // namespace

std::string processPath(std::uint32_t pid, const VolumeMap& devicePaths) {
    ProcessHandle process(pid);
    if (!process.get()) return kNoHandleText;
    std::wstring image;
    {
        std::vector<wchar_t> buffer(kImageChars, L'\0');
        os::DWORD n = os::GetProcessImageFileNameW(process.get(), buffer.data(), kImageChars);
        if (n == 0) return kNoPathText;
        image.assign(buffer.data(), std::min<os::DWORD>(n, kImageChars));
    }
    if (!devicePaths.empty()) image = translateDevicePath(image, devicePaths);
    return wideToNarrow(image);
}

// Windows paths end their folders with a backslash; Linux image paths with
// the system's own separator.
std::string fileNameOf(const std::string& path) {
    const char separators[] = {'\\', os::pathSeparator(), '\0'};
    std::size_t slash = path.find_last_of(separators);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

procwatch::procwatch() { buildVolumeMap(devicePaths); }

procwatch::~procwatch() = default;

void procwatch::reset() {
    processCount = 0;
    processes.clear();
    knownIds.clear();
}

// Reads every identifier, growing the buffer while the system fills it.
bool procwatch::readIdentifiers() {
    std::size_t capacity = std::max<std::size_t>(ids.capacity(), 2048);
    for (;;) {
        ids.resize(capacity);
        os::DWORD bytes = 0;
        os::DWORD cb = static_cast<os::DWORD>(capacity * sizeof(os::DWORD));
        if (!os::EnumProcesses(ids.data(), cb, &bytes) || bytes == 0) return false;
        if (bytes < cb) {
            ids.resize(bytes / sizeof(os::DWORD));
            return true;
        }
        capacity *= 2;  // a full buffer may have cut the list short
    }
}

int procwatch::pollProcesses() {
    if (!readIdentifiers()) return -1;
    sortedIds.assign(ids.begin(), ids.end());
    std::sort(sortedIds.begin(), sortedIds.end());
    sortedIds.erase(std::unique(sortedIds.begin(), sortedIds.end()), sortedIds.end());
    if (sortedIds == knownIds) return 0;  // the common tick: nothing started or ended

    // Ended processes first, in the order they were stored.
    for (auto it = processes.begin(); it != processes.end();) {
        if (std::binary_search(sortedIds.begin(), sortedIds.end(), it->pid)) {
            ++it;
            continue;
        }
        SProcessEntry gone = *it;
        gone.marked = false;
        processRemoved(gone);
        it = processes.erase(it);
        --processCount;
    }

    // Then new ones, in enumeration order; only these are looked up.
    for (std::uint32_t pid : ids) {
        if (std::binary_search(knownIds.begin(), knownIds.end(), pid)) continue;
        knownIds.insert(std::lower_bound(knownIds.begin(), knownIds.end(), pid), pid);  // also skips duplicates
        SProcessEntry entry;
        entry.pid = pid;
        entry.path = processPath(pid, devicePaths);
        entry.name = fileNameOf(entry.path);
        processes.push_back(entry);
        ++processCount;
        processAdded(entry);
    }
    knownIds = sortedIds;
    return 0;
}

}  // namespace vt
