// `vtl upload URL FILE|DIR...`: logs to a league's server, one line per file.
#include "verbs.h"

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>

#if defined(VT_HAVE_SERVER)
#include "index/ingest.h"
#include "server/client.h"

#include <boost/filesystem.hpp>
#include <nlohmann/json.hpp>
#endif

namespace vtl {

namespace {

struct UploadArgs {
    std::string url, tokenFile;
    std::vector<std::string> paths;
};

#if defined(VT_HAVE_SERVER)
std::string trimmed(std::string s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
    std::size_t b = 0;
    while (b < s.size() && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    return s.substr(b);
}

// What the server said, in the words of one line.
std::string said(const vt::server::UploadResult& r, int& status) {
    nlohmann::json j = nlohmann::json::parse(r.body, nullptr, false);
    const auto text = [&](const char* key) {
        return j.is_object() && j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : std::string();
    };
    if (r.status == 201 || r.status == 200) {
        const std::string state = text("state");
        const long long records = j.is_object() && j.contains("records") && j["records"].is_number_integer()
                                      ? j["records"].get<long long>()
                                      : 0;
        if (state != "whole") status = std::max(status, int(kNotWhole));
        return std::string(r.status == 201 ? "stored" : "already held") + " as " + text("file") + ", " + state +
               ", " + std::to_string(records) + " records, " + text("sha256");
    }
    status = std::max(status, int(kNotWhole));
    if (r.status == 0) return "not uploaded: " + r.failure + " (" + std::to_string(r.attempts) + " tries)";
    const std::string why = text("error");
    return "refused (" + std::to_string(r.status) + "): " + (why.empty() ? std::string("no reason given") : why);
}

int upload(const UploadArgs& a) {
    try {
        std::string token;
        if (!a.tokenFile.empty()) {
            std::ifstream in(a.tokenFile, std::ios::binary);
            if (!in) {
                std::cerr << "vtl upload: " << a.tokenFile << ": cannot be read\n";
                return kUsage;
            }
            std::getline(in, token);
        } else if (const char* env = std::getenv("VTL_TOKEN")) {
            token = env;
        }
        token = trimmed(token);
        if (token.empty()) {
            std::cerr << "vtl upload: no token: set VTL_TOKEN or give --token-file FILE\n";
            return kUsage;
        }
        if (a.url.rfind("http://", 0) != 0 && a.url.rfind("https://", 0) != 0) {
            std::cerr << "vtl upload: the URL begins with http:// or https://, not " << a.url << '\n';
            return kUsage;
        }
        std::vector<std::string> missing;
        const auto files = vt::index::collectFiles(a.paths, missing);
        int status = kWhole;
        for (const auto& m : missing) {
            std::cout << m << '\n';
            status = kNotWhole;
        }
        vt::server::Uploader uploader(a.url, token);
        for (const auto& f : files) {
            std::ifstream in(f, std::ios::binary);
            std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (!in && !in.eof()) {
                std::cout << f << ": cannot be read" << std::endl;
                status = std::max(status, int(kNotWhole));
                continue;
            }
            const auto r = uploader.upload(boost::filesystem::path(f).filename().string(), content);
            std::cout << f << ": " << said(r, status) << std::endl;
            if (!std::cout) return kUsage;
        }
        return status;
    } catch (const std::exception& e) {
        std::cerr << "vtl upload: " << e.what() << '\n';
    } catch (...) {
        std::cerr << "vtl upload: unexpected failure\n";
    }
    return kUsage;
}
#else
int upload(const UploadArgs&) {
    std::cerr << "vtl upload: this vtl was built without the server\n";
    return kUsage;
}
#endif

}  // namespace

Verb addUpload(CLI::App& app) {
    auto a = std::make_shared<UploadArgs>();
    auto* c = app.add_subcommand("upload", "upload logs to a league's server (vtl serve)");
    c->add_option("url", a->url, "the server, http(s)://HOST:PORT[/PREFIX]")->required();
    c->add_option("paths", a->paths, "log files, or directories searched for *.vtl")->required();
    c->add_option("--token-file", a->tokenFile, "a file holding the upload token (else VTL_TOKEN)");
    c->footer("One line per file: \"stored as NAME, STATE, N records, SHA256\", \"already held as ...\", "
              "\"refused (STATUS): REASON\" or \"not uploaded: REASON\". It tries again, waiting longer each time, "
              "when the server is busy (503), the connection drops or times out; never when refused. Exit status: "
              "0 every file was stored whole or held; 1 a file was not whole, refused or not uploaded; 2 bad "
              "arguments or no token.");
    return {c, [a] { return upload(*a); }};
}

}  // namespace vtl
