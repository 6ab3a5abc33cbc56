#include "server/client.h"

#include <httplib.h>

#include <algorithm>
#include <thread>

namespace vt {
namespace server {

std::string percentEncoded(const std::string& text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += ch;
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

namespace {

bool retried(int status) { return status == 502 || status == 503 || status == 504; }

}  // namespace

UploadResult uploadLog(const std::string& url, const std::string& token, const std::string& name,
                       const std::string& content, const ClientOptions& options) {
    UploadResult r;
    try {
        // The scheme, host and port go to the client; a path after them is the server's place behind a proxy.
        const auto schemeEnd = url.find("://");
        const auto pathAt = url.find('/', schemeEnd == std::string::npos ? 0 : schemeEnd + 3);
        const std::string origin = pathAt == std::string::npos ? url : url.substr(0, pathAt);
        std::string prefix = pathAt == std::string::npos ? std::string() : url.substr(pathAt);
        while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
        httplib::Client client(origin);
        if (!client.is_valid()) {
            r.failure = "not a URL this client can reach: " + url;
            return r;
        }
        client.set_connection_timeout(options.timeout);
        client.set_read_timeout(options.timeout);
        client.set_write_timeout(options.timeout);
        const httplib::Headers headers = {{"Authorization", "Bearer " + token}};
        const std::string target = prefix + "/api/v1/logs?name=" + percentEncoded(name);
        auto wait = options.firstWait;
        const auto sleep = options.sleep ? options.sleep
                                         : [](std::chrono::milliseconds ms) { std::this_thread::sleep_for(ms); };
        for (r.attempts = 1;; ++r.attempts) {
            auto res = client.Post(target.c_str(), headers, content, "application/octet-stream");
            std::chrono::milliseconds pause = wait;
            if (res) {
                r.status = res->status;
                r.body = res->body;
                r.failure.clear();
                if (!retried(res->status)) return r;
                if (res->has_header("Retry-After")) {
                    try {
                        pause = std::chrono::seconds(std::stoll(res->get_header_value("Retry-After")));
                    } catch (const std::exception&) {
                    }
                }
            } else {
                r.status = 0;
                r.body.clear();
                r.failure = httplib::to_string(res.error());
            }
            if (r.attempts >= options.attempts) return r;
            sleep(std::min(pause, options.longestWait));
            wait = std::min(wait * 2, options.longestWait);
        }
    } catch (const std::exception& e) {
        r.failure = e.what();
    }
    return r;
}

}  // namespace server
}  // namespace vt
