#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Json.h"
#include "support/LoopbackServer.h"

namespace th::test {

// The dispatcher on 127.0.0.1 (any free port): records each command with its body and
// X-Api-Key, and answers with what the test set for the command ("status" 200 with an empty
// "data" otherwise).
class RecordingDispatcher {
public:
    struct Request {
        std::string command;
        Json body;
        std::string apiKey;
    };
    using Answer = std::function<Json(const Json& body)>;

    RecordingDispatcher() {
        server_.Post(
            R"(/dispatcher/v1/(\w+))",
            [this](const httplib::Request& req, httplib::Response& res) { handle(req, res); });
        // The socket listens once bound: requests queue until the loop takes them.
        server_.start();
    }
    ~RecordingDispatcher() { server_.shutdown(); }

    int port() const { return server_.port(); }
    std::string baseUrl() const { return server_.baseUrl(); }
    // settings.ini lines that send the program's requests here.
    std::string settingsIni() const { return "[system]\nTestMode=1\nTestUrl=" + baseUrl() + "\n"; }

    // The answer to command from now on (the latest one set wins).
    void answer(const std::string& command, Answer answer) {
        std::lock_guard lock(mutex_);
        answers_[command] = std::move(answer);
    }
    void answerJson(const std::string& command, const Json& body) {
        answer(command, [body](const Json&) { return body; });
    }

    std::vector<Request> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    std::vector<Request> requests(const std::string& command) const {
        std::lock_guard lock(mutex_);
        std::vector<Request> found;
        for (const auto& request : requests_)
            if (request.command == command)
                found.push_back(request);
        return found;
    }
    size_t count(const std::string& command) const { return requests(command).size(); }

    // Waits for a request of another process; false when none came in time.
    bool waitFor(const std::string& command, std::chrono::seconds patience) {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, patience, [&] {
            for (const auto& request : requests_)
                if (request.command == command)
                    return true;
            return false;
        });
    }

private:
    void handle(const httplib::Request& req, httplib::Response& res) {
        const std::string command = req.matches[1];
        Json body = parseJson(req.body).value_or(Json());
        Answer answer;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back({command, body, req.get_header_value("X-Api-Key")});
            if (auto it = answers_.find(command); it != answers_.end())
                answer = it->second;
        }
        arrived_.notify_all();
        Json reply = answer ? answer(body) : Json{{"status", 200}, {"data", Json::object()}};
        res.set_content(dumpCompact(reply), "application/json");
    }

    LoopbackServer server_;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Request> requests_;
    std::map<std::string, Answer> answers_;
};

}  // namespace th::test
