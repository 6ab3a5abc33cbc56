#include "support/host_system.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace testsupport {
namespace {

std::string program;

#if defined(_WIN32)
struct Winsock {
    Winsock() {
        WSADATA d;
        WSAStartup(MAKEWORD(2, 2), &d);
    }
};
void ensureWinsock() { static Winsock w; }
using sock_t = SOCKET;
void closeFd(std::intptr_t fd) { closesocket(static_cast<SOCKET>(fd)); }
#else
void ensureWinsock() {}
using sock_t = int;
void closeFd(std::intptr_t fd) { ::close(int(fd)); }
#endif

int boundPort(std::intptr_t fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(static_cast<sock_t>(fd), reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(0x7F000001u);  // 127.0.0.1, never anything else
    return a;
}

}  // namespace

void setProgram(const char* argv0) { program = argv0 ? argv0 : ""; }

bool runAsChild(int argc, char** argv) {
    if (argc < 3 || std::strcmp(argv[1], "--child-sleep-ms") != 0) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[2])));
    return true;
}

Child::Child(int ms) {
    const std::string arg = std::to_string(ms);
#if defined(_WIN32)
    std::string cmd = "\"" + program + "\" --child-sleep-ms " + arg;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(program.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        throw std::runtime_error("CreateProcess failed");
    CloseHandle(pi.hThread);
    handle_ = pi.hProcess;
    pid_ = pi.dwProcessId;
#else
    char* const args[] = {const_cast<char*>(program.c_str()), const_cast<char*>("--child-sleep-ms"),
                          const_cast<char*>(arg.c_str()), nullptr};
    pid_t pid;
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, args, environ) != 0)
        throw std::runtime_error("posix_spawn failed");
    pid_ = std::uint32_t(pid);
#endif
}

void Child::wait() {
#if defined(_WIN32)
    if (handle_) {
        WaitForSingleObject(handle_, INFINITE);
        CloseHandle(handle_);
        handle_ = nullptr;
    }
#else
    if (pid_) {
        int status;
        waitpid(pid_t(pid_), &status, 0);
        pid_ = 0;
    }
#endif
}

Child::~Child() {
#if defined(_WIN32)
    if (handle_) TerminateProcess(handle_, 0);
#else
    if (pid_) kill(pid_t(pid_), SIGKILL);
#endif
    wait();
}

Socket::Socket(Kind kind) {
    ensureWinsock();
    fd_ = std::intptr_t(::socket(AF_INET, kind == Kind::Udp ? SOCK_DGRAM : SOCK_STREAM, 0));
    sockaddr_in a = loopback(0);
    if (::bind(static_cast<sock_t>(fd_), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error("bind failed");
    if (kind == Kind::TcpListen) ::listen(static_cast<sock_t>(fd_), 8);
    port_ = boundPort(fd_);
}

std::unique_ptr<Socket> Socket::connectTo(int port) {
    ensureWinsock();
    std::unique_ptr<Socket> s(new Socket);
    s->fd_ = std::intptr_t(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a = loopback(port);
    if (::connect(static_cast<sock_t>(s->fd_), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error("connect failed");
    s->port_ = boundPort(s->fd_);
    return s;
}

std::unique_ptr<Socket> Socket::accept() {
    std::unique_ptr<Socket> s(new Socket);
    s->fd_ = std::intptr_t(::accept(static_cast<sock_t>(fd_), nullptr, nullptr));
    s->port_ = boundPort(s->fd_);
    return s;
}

void Socket::close() {
    if (fd_ != -1) closeFd(fd_);
    fd_ = -1;
}

Socket::~Socket() { close(); }

std::uint32_t currentPid() {
#if defined(_WIN32)
    return GetCurrentProcessId();
#else
    return std::uint32_t(getpid());
#endif
}

std::string programPath() {
#if defined(_WIN32)
    char buf[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, buf, MAX_PATH);
    return std::string(buf, n);
#else
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
    return n > 0 ? std::string(buf, std::size_t(n)) : std::string();
#endif
}

}  // namespace testsupport
