// The connection watch with 2,000 loopback TCP connections of its own: a tick
// without change against reading the two tables, and against `ss -tuanp`.
// Every socket is on 127.0.0.1.
#include "bench_util.h"

#include "monitors/udptcpcon/udptcpcon.h"
#include "platform/linux/linux_system.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace {

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(std::uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

struct Connection {
    int client = -1, server = -1;
};

Connection connectTo(int listener, int port) {
    Connection c;
    c.client = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(port);
    if (connect(c.client, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) std::perror("connect");
    c.server = accept(listener, nullptr, nullptr);
    return c;
}

void closeConnection(Connection& c) {
    // An abortive close: no TIME_WAIT rows are left behind to change the table.
    linger l{1, 0};
    setsockopt(c.client, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(c.client);
    close(c.server);
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 2000;
    rlimit lim;
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);

    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listener, 4096);
    socklen_t len = sizeof a;
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    const int port = ntohs(a.sin_port);
    std::vector<Connection> connections;
    for (int i = 0; i < count; ++i) connections.push_back(connectTo(listener, port));
    std::printf("== connection watch (%d loopback connections of this process)\n", count);

    vt::udptcpcon watch;
    auto tick = [&] {
        watch.pollUdpTable();
        watch.pollTcpTable();
    };
    tick();
    std::string tcp, udp;
    const auto m = bench::pairedMedians(
        [&] {
            os::linux_backend::readFile("/proc/net/tcp", tcp);
            os::linux_backend::readFile("/proc/net/udp", udp);
        },
        tick, 21, 3);
    const double floor = m.first, steady = m.second;
    const double ss = bench::medianSeconds([] { std::system("ss -tuanp > /dev/null 2>&1"); }, 5, 1);

    std::vector<double> changed;
    for (int i = 0; i < 20; ++i) {
        Connection extra = connectTo(listener, port);
        auto start = bench::Clock::now();
        tick();
        changed.push_back(bench::seconds(bench::Clock::now() - start));
        closeConnection(extra);
        tick();
    }
    const double oneNew = bench::percentile(changed, 0.5);

    bench::row("reading /proc/net/tcp and /proc/net/udp (floor)", floor * 1e3, "ms", floor * 1e3, "-");
    bench::row("tick without change", steady * 1e3, "ms", floor * 1e3, "<= 1.5");
    bench::row("one run of ss -tuanp (reference)", ss * 1e3, "ms", ss * 1e3, "-");
    bench::row("tick without change, against ss -tuanp", steady * 1e3, "ms", ss * 1e3, "<= 0.1");
    bench::row("tick with one new connection, against ss -tuanp", oneNew * 1e3, "ms", ss * 1e3, "<= 1");
    std::printf("owner scans of /proc/*/fd during the run: %llu\n",
                static_cast<unsigned long long>(os::linux_backend::LinuxSystem::machine().ownerScans()));
    for (auto& c : connections) closeConnection(c);
    close(listener);
    return 0;
}
