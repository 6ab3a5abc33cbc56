// The platform pieces that every Windows build shares, the fake machine
// included: the clock and the log's files.
#include "platform/os.h"

#include <windows.h>

#include <ctime>

namespace os {
namespace {

class Win32File : public File {
public:
    explicit Win32File(HANDLE h) : h_(h) {}
    ~Win32File() override { close(); }
    bool close() override {
        if (h_ == INVALID_HANDLE_VALUE) return true;
        BOOL ok = ::CloseHandle(h_);
        h_ = INVALID_HANDLE_VALUE;
        return ok != 0;
    }

protected:
    // WriteFile at the offset in OVERLAPPED; on a handle opened without
    // FILE_FLAG_OVERLAPPED it returns when the bytes are written.
    std::size_t writeRaw(std::uint64_t offset, const char* data, std::size_t size) override {
        std::size_t done = 0;
        while (done < size && h_ != INVALID_HANDLE_VALUE) {
            const std::size_t left = size - done;
            ::DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<::DWORD>(left);
            ::DWORD written = 0;
            ::OVERLAPPED at{};
            const std::uint64_t where = offset + done;
            at.Offset = static_cast<::DWORD>(where);
            at.OffsetHigh = static_cast<::DWORD>(where >> 32);
            if (!::WriteFile(h_, data + done, chunk, &written, &at) || written == 0) break;
            done += written;
        }
        return done;
    }

private:
    HANDLE h_;
};

}  // namespace

HANDLE invalidHandle() { return INVALID_HANDLE_VALUE; }

std::int64_t currentTime() { return static_cast<std::int64_t>(::_time64(nullptr)); }

bool localTime(std::int64_t t, std::tm& out) {
    __time64_t tt = static_cast<__time64_t>(t);
    return ::_localtime64_s(&out, &tt) == 0;
}

std::unique_ptr<File> createNewFile(const std::string& path) {
    // CREATE_NEW fails when anything exists at the name, a link included.
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    return std::unique_ptr<File>(new Win32File(h));
}

namespace {
// FILETIME counts 100 ns from 1601.
std::int64_t unixSeconds(const ::FILETIME& ft) {
    const std::uint64_t ticks = (std::uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return std::int64_t(ticks / 10000000u) - 11644473600LL;
}
}  // namespace

bool fileTimes(const std::string& path, FileTimes& out) {
    out = FileTimes();
    ::WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
    out.hasBirth = true;
    out.birth = unixSeconds(data.ftCreationTime);
    out.modified = unixSeconds(data.ftLastWriteTime);
    return true;
}

char pathSeparator() { return '\\'; }

}  // namespace os
