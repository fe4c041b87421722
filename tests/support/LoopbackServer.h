#pragma once

#include <httplib.h>

#include <string>
#include <thread>

namespace th::test {

// An HTTP server on 127.0.0.1 (or another loopback address), any free port, serving on a
// thread of its own: the stand-in service of the tests. Register handlers, then start();
// shutdown() (also run by the destructor) waits for the serving thread.
class LoopbackServer : public httplib::Server {
public:
    ~LoopbackServer() override { shutdown(); }

    int start(const std::string& host = "127.0.0.1") {
        port_ = bind_to_any_port(host);
        thread_ = std::thread([this] { listen_after_bind(); });
        return port_;
    }

    // Owners whose handlers use their own members call this first in their destructor.
    void shutdown() {
        if (!thread_.joinable())
            return;
        while (!is_running())
            std::this_thread::yield();
        stop();
        thread_.join();
    }

    int port() const { return port_; }
    std::string baseUrl() const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/dispatcher/v1";
    }

private:
    int port_ = 0;
    std::thread thread_;
};

}  // namespace th::test
