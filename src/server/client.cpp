#include "server/client.h"

#include "common/hex.h"

#include <httplib.h>

#include <algorithm>
#include <thread>

namespace vt {
namespace server {

std::string percentEncoded(const std::string& text) {
    std::string out;
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += ch;
        } else {
            out += '%';
            hex::appendByte(out, c, true);
        }
    }
    return out;
}

namespace {

bool retried(int status) { return status == 502 || status == 503 || status == 504; }

}  // namespace

struct Uploader::Impl {
    ClientOptions options;
    std::string url, token, prefix, failure;
    std::unique_ptr<httplib::Client> client;
};

Uploader::Uploader(const std::string& url, const std::string& token, const ClientOptions& options)
    : impl_(std::make_unique<Impl>()) {
    auto& d = *impl_;
    d.options = options;
    d.url = url;
    d.token = token;
    try {
        // The scheme, host and port go to the client; a path after them is the server's place behind a proxy.
        const auto schemeEnd = url.find("://");
        const auto pathAt = url.find('/', schemeEnd == std::string::npos ? 0 : schemeEnd + 3);
        const std::string origin = pathAt == std::string::npos ? url : url.substr(0, pathAt);
        d.prefix = pathAt == std::string::npos ? std::string() : url.substr(pathAt);
        while (!d.prefix.empty() && d.prefix.back() == '/') d.prefix.pop_back();
        d.client = std::make_unique<httplib::Client>(origin);
        if (!d.client->is_valid()) {
            d.client.reset();
            d.failure = "not a URL this client can reach: " + url;
            return;
        }
        d.client->set_keep_alive(true);
        d.client->set_connection_timeout(options.timeout);
        d.client->set_read_timeout(options.timeout);
        d.client->set_write_timeout(options.timeout);
    } catch (const std::exception& e) {
        d.client.reset();
        d.failure = e.what();
    }
}

Uploader::~Uploader() = default;

UploadResult Uploader::upload(const std::string& name, const std::string& content) {
    auto& d = *impl_;
    UploadResult r;
    if (!d.client) {
        r.failure = d.failure;
        return r;
    }
    try {
        const httplib::Headers headers = {{"Authorization", "Bearer " + d.token}};
        const std::string target = d.prefix + "/api/v1/logs?name=" + percentEncoded(name);
        auto wait = d.options.firstWait;
        const auto sleep = d.options.sleep ? d.options.sleep
                                           : [](std::chrono::milliseconds ms) { std::this_thread::sleep_for(ms); };
        for (r.attempts = 1;; ++r.attempts) {
            auto res = d.client->Post(target.c_str(), headers, content, "application/octet-stream");
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
            if (r.attempts >= d.options.attempts) return r;
            sleep(std::min(pause, d.options.longestWait));
            wait = std::min(wait * 2, d.options.longestWait);
        }
    } catch (const std::exception& e) {
        r.failure = e.what();
    }
    return r;
}

UploadResult uploadLog(const std::string& url, const std::string& token, const std::string& name,
                       const std::string& content, const ClientOptions& options) {
    return Uploader(url, token, options).upload(name, content);
}

}  // namespace server
}  // namespace vt
