// The platform pieces that every Windows build shares, the fake machine
// included: the clock and the log's files.
#include "platform/os.h"

#include <windows.h>

#include <ctime>
#include <string>

namespace os {
namespace {

// ReadFile or WriteFile at an offset (in OVERLAPPED; on a handle opened
// without FILE_FLAG_OVERLAPPED it returns when done), repeated in pieces of
// at most 1 GiB until size bytes are done, the call fails or it takes no
// more: how many were done. call(done, chunk, at, moved) moves chunk bytes
// from done on.
template <class Call>
std::size_t repeated(std::uint64_t offset, std::size_t size, Call call) {
    std::size_t done = 0;
    while (done < size) {
        const std::size_t left = size - done;
        const ::DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<::DWORD>(left);
        ::DWORD moved = 0;
        ::OVERLAPPED at{};
        const std::uint64_t where = offset + done;
        at.Offset = static_cast<::DWORD>(where);
        at.OffsetHigh = static_cast<::DWORD>(where >> 32);
        if (!call(done, chunk, at, moved) || moved == 0) break;
        done += moved;
    }
    return done;
}

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
    std::size_t writeRaw(std::uint64_t offset, const char* data, std::size_t size) override {
        if (h_ == INVALID_HANDLE_VALUE) return 0;
        return repeated(offset, size, [&](std::size_t done, ::DWORD chunk, ::OVERLAPPED& at, ::DWORD& moved) {
            return ::WriteFile(h_, data + done, chunk, &moved, &at) != 0;
        });
    }

private:
    HANDLE h_;
};

class Win32ReadFile : public ReadFile {
public:
    Win32ReadFile(HANDLE h, std::uint64_t size) : h_(h), size_(size) {}
    ~Win32ReadFile() override { ::CloseHandle(h_); }
    std::uint64_t size() const override { return size_; }
    std::size_t readAt(std::uint64_t offset, void* data, std::size_t size) override {
        return repeated(offset, size, [&](std::size_t done, ::DWORD chunk, ::OVERLAPPED& at, ::DWORD& moved) {
            return ::ReadFile(h_, static_cast<char*>(data) + done, chunk, &moved, &at) != 0;
        });
    }

private:
    HANDLE h_;
    std::uint64_t size_;
};

}  // namespace

HANDLE invalidHandle() { return INVALID_HANDLE_VALUE; }

std::int64_t currentTime() { return static_cast<std::int64_t>(::_time64(nullptr)); }

bool localTime(std::int64_t t, std::tm& out) {
    __time64_t tt = static_cast<__time64_t>(t);
    return ::_localtime64_s(&out, &tt) == 0;
}

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Text in a code page to UTF-16; false when it is not valid there (UTF-8:
// an ill-formed sequence or a lone surrogate). An empty text converts to empty.
bool toWide(UINT codePage, const std::string& text, std::wstring& out) {
    out.clear();
    if (text.empty()) return true;
    if (text.size() > 0x7FFFFFFFu) return false;
    const DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
    const int n = ::MultiByteToWideChar(codePage, flags, text.data(), int(text.size()), nullptr, 0);
    if (n <= 0) return false;
    out.resize(std::size_t(n));
    return ::MultiByteToWideChar(codePage, flags, text.data(), int(text.size()), &out[0], n) == n;
}

bool fromWide(UINT codePage, const std::wstring& text, std::string& out) {
    out.clear();
    if (text.empty()) return true;
    const int n = ::WideCharToMultiByte(codePage, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return false;
    out.resize(std::size_t(n));
    return ::WideCharToMultiByte(codePage, 0, text.data(), int(text.size()), &out[0], n, nullptr, nullptr) == n;
}

std::unique_ptr<File> wrap(HANDLE h) {
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    return std::unique_ptr<File>(new Win32File(h));
}

}  // namespace

// CREATE_NEW fails when anything exists at the name, a link included.
std::unique_ptr<File> createNewFile(const std::string& path) {
    return wrap(::CreateFileA(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                              nullptr));
}

std::unique_ptr<File> createNewFile(const std::string& path, PathText text) {
    if (text == PathText::Narrow) return createNewFile(path);
    std::wstring wide;
    if (!toWide(CP_UTF8, path, wide) || wide.find(L'\0') != std::wstring::npos) return nullptr;
    return wrap(::CreateFileW(wide.c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                              nullptr));
}

bool syncPath(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return true;
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                             nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool flushed = ::FlushFileBuffers(h) != 0;
    return ::CloseHandle(h) != 0 && flushed;
}

// The narrow calls read a path in the ANSI code page (or the OEM one, when the
// process has switched its file calls to it).
bool nativePath(const std::string& path, PathText text, NativePath& out) {
    return toWide(text == PathText::Utf8 ? CP_UTF8 : (::AreFileApisANSI() ? CP_ACP : CP_OEMCP), path, out);
}

bool pathToUtf8(const std::string& path, PathText text, std::string& out) {
    if (text == PathText::Utf8) {
        out = path;
        return true;
    }
    std::wstring wide;
    return nativePath(path, text, wide) && fromWide(CP_UTF8, wide, out);
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

// A pipe or a device opened here never waits: CreateFile of a pipe's client
// end fails at once when the pipe is busy. BACKUP_SEMANTICS opens a directory,
// so that it is named as one.
std::unique_ptr<ReadFile> openForReading(const std::string& path, FileKind& kind, std::string& why) {
    why.clear();
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const ::DWORD e = ::GetLastError();
        kind = e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? FileKind::Missing : FileKind::Unreadable;
        why = e == ERROR_ACCESS_DENIED ? "Permission denied" : "error " + std::to_string(e);
        return nullptr;
    }
    const ::DWORD type = ::GetFileType(h);
    ::BY_HANDLE_FILE_INFORMATION info{};
    if (type == FILE_TYPE_PIPE) kind = FileKind::Fifo;
    else if (type != FILE_TYPE_DISK) kind = FileKind::Device;
    else if (!::GetFileInformationByHandle(h, &info)) {
        kind = FileKind::Unreadable;
        why = "it cannot be examined";
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) kind = FileKind::Directory;
    else kind = FileKind::Regular;
    if (kind != FileKind::Regular) {
        ::CloseHandle(h);
        return nullptr;
    }
    const std::uint64_t size = (std::uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return std::unique_ptr<ReadFile>(new Win32ReadFile(h, size));
}

char pathSeparator() { return '\\'; }

}  // namespace os
