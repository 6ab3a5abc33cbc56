// The client side of an upload, for `vtl upload` and the tests: one file to
// a server, tried again on what passes (503, a dropped connection, a time-out),
// never on a refusal.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vt {
namespace server {

struct UploadResult {
    int status = 0;           // the HTTP status of the last answer; 0: none came
    std::string body;         // its body (JSON)
    std::string failure;      // no answer: why
    int attempts = 0;
};

struct ClientOptions {
    int attempts = 8;                              // tries in all
    std::chrono::milliseconds firstWait{250};      // doubled after each failure
    std::chrono::milliseconds longestWait{30000};
    std::chrono::seconds timeout{60};              // connecting, and each read and write
    // Waits between tries (tests make them instant).
    std::function<void(std::chrono::milliseconds)> sleep;
};

// The value of "name=" for a file name: every byte that is not unreserved as %XX.
std::string percentEncoded(const std::string& text);

// Uploads to one server over one connection, kept open between uploads.
// URL is http(s)://HOST[:PORT][/PREFIX]. Not for two threads at once.
class Uploader {
public:
    Uploader(const std::string& url, const std::string& token, const ClientOptions& options = ClientOptions());
    ~Uploader();
    Uploader(const Uploader&) = delete;
    Uploader& operator=(const Uploader&) = delete;
    // POSTs `content` to URL/api/v1/logs?name=NAME. Never throws.
    UploadResult upload(const std::string& name, const std::string& content);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// One upload on a connection of its own.
UploadResult uploadLog(const std::string& url, const std::string& token, const std::string& name,
                       const std::string& content, const ClientOptions& options = ClientOptions());

}  // namespace server
}  // namespace vt
