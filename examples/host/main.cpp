// A host that links vantorelle: starts a recording, reports a key press and a
// fact, lets the library watch the machine for a few seconds and stops.
//
//   host LOG_DIR [SECONDS]
//
// Prints the new log's path and exits 0; exits 1 when the library refuses.
#include <vantorelle/vantorelle.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <iostream>
#include <set>
#include <string>
#include <thread>

namespace {

std::set<std::string> logsIn(const std::string& dir) {
    std::set<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".vtl") == 0) names.insert(dir + "/" + name);
        }
        closedir(d);
    }
    return names;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: host LOG_DIR [SECONDS]\n";
        return 2;
    }
    const std::string dir = argv[1];
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 3;

    // The signals are the library's own objects; a host may connect to them.
    vtErrorSignal* errors = vtGetErrorSignal();
    if (!errors) {
        std::cerr << "host: the library has no controller\n";
        return 1;
    }
    boost::signals2::scoped_connection watch = errors->connect([](int code, const std::string& message) {
        std::cerr << "vantorelle error " << code << ": " << message << "\n";
    });

    const std::set<std::string> before = logsIn(dir);
    const std::uint32_t server = 0x7F000002;  // 127.0.0.2
    const std::int32_t started = vtStart(21, 4, server, static_cast<std::uint32_t>(std::time(nullptr)), dir.c_str());
    if (started != 0) {
        std::cerr << "host: vtStart returned " << started << "\n";
        return 1;
    }
    vtSendKey(87, "W");
    vtSendInfo("Map", "example");
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    if (vtStop() != 0) {
        std::cerr << "host: vtStop failed\n";
        return 1;
    }
    for (const auto& path : logsIn(dir))
        if (!before.count(path)) std::cout << path << "\n";
    return 0;
}
