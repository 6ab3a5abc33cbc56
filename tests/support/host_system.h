// What the system tests do to the machine, on Linux and on Windows alike:
// start a child process, open loopback sockets. Loopback addresses only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace testsupport {

// The running test program (set from argv[0] in main).
void setProgram(const char* argv0);
// When the program was started as a child by startChild, sleeps and returns
// true: main then exits.
bool runAsChild(int argc, char** argv);

class Child {
public:
    // Starts this program again, sleeping `ms` milliseconds.
    explicit Child(int ms);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    std::uint32_t pid() const { return pid_; }
    void wait();

private:
    std::uint32_t pid_ = 0;
    void* handle_ = nullptr;
};

// A socket on 127.0.0.1 (an ephemeral port), closed with the object.
class Socket {
public:
    enum class Kind { TcpListen, Udp };
    explicit Socket(Kind kind);
    // A TCP connection to a listener on 127.0.0.1.
    static std::unique_ptr<Socket> connectTo(int port);
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int port() const { return port_; }
    std::unique_ptr<Socket> accept();
    void close();

private:
    Socket() = default;
    std::intptr_t fd_ = -1;
    int port_ = 0;
};

std::uint32_t currentPid();
std::string programPath();  // the image path the library reports for this process

}  // namespace testsupport
