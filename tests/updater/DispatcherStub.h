#pragma once

#include "support/LoopbackServer.h"

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Json.h"

namespace th::test {

// A dispatcher on 127.0.0.1 (any free port) that records every command and answers each
// with what the test sets for it.
class DispatcherStub {
public:
    struct Request {
        std::string command;
        Json body;
    };
    using Answer = std::function<Json(const Json& body)>;

    DispatcherStub() {
        server_.Post(
            R"(/dispatcher/v1/(\w+))",
            [this](const httplib::Request& req, httplib::Response& res) { handle(req, res); });
        // The socket already listens after bind: requests queue until the loop takes them.
        port_ = server_.start();
    }
    ~DispatcherStub() { server_.shutdown(); }

    std::string baseUrl() const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/dispatcher/v1";
    }
    // settings.ini lines that send the program's requests here.
    std::string settingsIni() const { return "[system]\nTestMode=1\nTestUrl=" + baseUrl() + "\n"; }

    void answer(const std::string& command, Answer answer) {
        std::lock_guard lock(mutex_);
        answers_.emplace_back(command, std::move(answer));
    }
    void answerJson(const std::string& command, const Json& body) {
        answer(command, [body](const Json&) { return body; });
    }

    std::vector<Request> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    size_t count(const std::string& command) const {
        std::lock_guard lock(mutex_);
        size_t n = 0;
        for (const auto& r : requests_)
            n += r.command == command ? 1 : 0;
        return n;
    }

private:
    void handle(const httplib::Request& req, httplib::Response& res) {
        const std::string command = req.matches[1];
        Json body = parseJson(req.body).value_or(Json());
        Answer answer;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back({command, body});
            for (auto it = answers_.rbegin(); it != answers_.rend(); ++it)
                if (it->first == command) {
                    answer = it->second;
                    break;
                }
        }
        Json reply = answer ? answer(body) : Json{{"status", 200}, {"data", Json::object()}};
        res.set_content(dumpCompact(reply), "application/json");
    }

    LoopbackServer server_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::vector<Request> requests_;
    std::vector<std::pair<std::string, Answer>> answers_;
};

}  // namespace th::test
