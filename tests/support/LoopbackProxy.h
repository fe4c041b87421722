#pragma once

#include <httplib.h>

#include <cstdlib>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "support/LoopbackServer.h"

namespace th::test {

// A forward HTTP proxy on 127.0.0.1: takes requests in absolute form ("POST http://host:port/
// path"), records them and passes them on to their server. Plain HTTP only.
class LoopbackProxy {
public:
    struct Seen {
        std::string method;
        std::string url;
        std::string apiKey;
        std::string body;
    };

    LoopbackProxy() {
        server_.Post(".*", [this](const httplib::Request& req, httplib::Response& res) {
            forward(req, res);
        });
        port_ = server_.start();
    }
    ~LoopbackProxy() { server_.shutdown(); }

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::vector<Seen> seen() const {
        std::lock_guard lock(mutex_);
        return seen_;
    }

private:
    void forward(const httplib::Request& req, httplib::Response& res) {
        {
            std::lock_guard lock(mutex_);
            seen_.push_back({req.method, req.path, req.get_header_value("X-Api-Key"), req.body});
        }
        static const std::regex absolute(R"(http://([^/:]+):(\d+)(/.*))");
        std::smatch parts;
        if (!std::regex_match(req.path, parts, absolute)) {
            res.status = 400;
            return;
        }
        httplib::Client upstream(parts[1].str(), std::stoi(parts[2].str()));
        httplib::Headers headers;
        for (const auto& [name, value] : req.headers) {
            if (name == "X-Api-Key" || name == "Accept")
                headers.emplace(name, value);
        }
        auto reply =
            upstream.Post(parts[3].str(), headers, req.body, req.get_header_value("Content-Type"));
        if (!reply) {
            res.status = 502;
            return;
        }
        res.status = reply->status;
        res.set_content(reply->body, reply->get_header_value("Content-Type"));
    }

    LoopbackServer server_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::vector<Seen> seen_;
};

// Sets or removes environment variables for the life of the object, then puts back what
// was there. Tests of one program run one after another, so no other test sees the change.
class ScopedEnvironment {
public:
    ScopedEnvironment() = default;
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
    ~ScopedEnvironment() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second)
                ::setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                ::unsetenv(it->first.c_str());
        }
    }

    void set(const std::string& name, const std::string& value) {
        save(name);
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    void unset(const std::string& name) {
        save(name);
        ::unsetenv(name.c_str());
    }

private:
    void save(const std::string& name) {
        const char* value = std::getenv(name.c_str());
        saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }

    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace th::test
