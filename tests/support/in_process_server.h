// A server in this process on a loopback port, with one upload token, run on a
// thread of its own until the end of the test.
#pragma once

#include "server/registry.h"
#include "server/server.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace testsupport {

class InProcessServer {
public:
    static constexpr const char* kToken = "token-for-the-test";
    explicit InProcessServer(const std::function<void(vt::server::Options&)>& tune = [](vt::server::Options&) {}) {
        options_.database = dir_.join("league.db");
        options_.store = dir_.join("store");
        options_.port = 0;
        tune(options_);
        server_.reset(new vt::server::Server(options_));
        {
            vt::server::Registry registry(options_.database);
            std::string error;
            EXPECT_TRUE(registry.addToken("backend", kToken, error)) << error;
        }
        std::string error;
        started_ = server_->start(error);
        EXPECT_TRUE(started_) << error;
        if (started_) runner_ = std::thread([this] { server_->run(); });
    }
    ~InProcessServer() { stop(); }
    void stop() {
        if (!started_) return;
        started_ = false;
        server_->stop();
        runner_.join();
    }
    bool started() const { return started_; }
    vt::server::Server& server() { return *server_; }
    const vt::server::Options& options() const { return options_; }

private:
    testsupport::TempDir dir_;
    vt::server::Options options_;
    std::unique_ptr<vt::server::Server> server_;
    std::thread runner_;
    bool started_ = false;
};

}  // namespace testsupport
