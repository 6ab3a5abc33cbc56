// Match logs made up for the index's tests and benchmark: their text from a
// short description, and sealed as the logger seals them.
#pragma once

#include "log/container.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

struct MatchSpec {
    std::int64_t user = 1, match = 1;
    std::string day = "08.12.2026";  // DD.MM.YYYY; the match starts at 10:00:00
    std::vector<std::pair<std::string, std::string>> facts;  // SysInfo name, value
    int ticks = 10;                  // each: a ping, a throughput sample and a key
    int tickSeconds = 1;
    // Lines after the stamp, written at the second given, before the stop record.
    std::vector<std::pair<int, std::string>> extra;
};

// "DD.MM.YYYY hh:mm:ss;" at `second` after 10:00:00 of day.
inline std::string stampAt(const std::string& day, int second) {
    const int t = 10 * 3600 + second;
    char out[64];
    std::snprintf(out, sizeof out, "%s %02d:%02d:%02d;", day.c_str(), t / 3600 % 24, t / 60 % 60, t % 60);
    return out;
}

// A match: the start record, facts, two processes and a connection from the
// first poll, per tick a ping (every fifth unanswered), an adapter's rates and a
// key, then the client's exit and the stop record.
inline std::string matchText(const MatchSpec& m) {
    const std::string client = "C:\\Games\\Client\\client.exe";
    std::string t;
    auto add = [&](int second, const std::string& line) { t += stampAt(m.day, second) + line + "\n"; };
    add(0, "Info;Start;Logfile start:UserId:" + std::to_string(m.user) + ":MatchId:" + std::to_string(m.match));
    add(0, "SysInfo;User ID;Value:" + std::to_string(m.user));
    for (const auto& f : m.facts) add(0, "SysInfo;" + f.first + ";Value:" + f.second);
    add(0, "Process;Add;PID:100:Path:C:\\Windows\\explorer.exe");
    add(0, "Process;Add;PID:200:Path:" + client);
    add(0, "TCP;Add;LocalIp:192.168.1.2:LocalPort:50000:RemoteIp:203.0.113.7:RemotePort:443:PID:200:Path:" + client);
    int last = 0;
    for (int i = 1; i <= m.ticks; ++i) {
        last = i * m.tickSeconds;
        add(last, "Ping;Stats;Server:203.0.113.7:Actual:" + std::to_string(i % 5 == 0 ? 1000 : 20 + i % 10));
        add(last, "Ethernet;Stats;Adapter:Intel(R) Ethernet:TxD:" + std::to_string(1000 + i) +
                      ":Bytes/s:RxD:" + std::to_string(2000 + i) + ":Bytes/s");
        add(last, "Key;Pressed;Name:" + std::string(1, char('A' + i % 26)));
    }
    for (const auto& e : m.extra) {
        add(e.first, e.second);
        if (e.first > last) last = e.first;
    }
    add(last + 1, "TCP;Del;LocalIp:192.168.1.2:LocalPort:50000:RemoteIp:203.0.113.7:RemotePort:443:PID:200:Path:" + client);
    add(last + 1, "Process;Del;PID:200:Path:" + client);
    add(last + 2, "Info;Stop;Logfile end");
    return t;
}

inline std::string sealedLog(const std::string& text, unsigned char keyByte = 9) {
    vt::Key16 key{};
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<unsigned char>(keyByte + i * 3);
    return vt::sealText(text, key);
}

}  // namespace testsupport
