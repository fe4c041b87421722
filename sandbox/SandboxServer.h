#pragma once

#include "Faults.h"
#include "SandboxState.h"
#include "StateFile.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace th::sandbox {

// Raised when the sandbox cannot start (the port is taken, the state file is broken).
TH_DECLARE_ERROR(SandboxStartError, Error);

struct SandboxOptions {
    Json seed = Json::object();
    std::optional<std::filesystem::path> stateFile;  // loaded at start, saved after changes
    EventSink events;                                // may be empty
    bool refuseEnrolment = false;
    // Each document goes out in one answer only, as a strict service does, so a client that
    // drops one loses it for good: what tests that claim nothing is lost run against.
    bool handOutOnce = false;
    std::optional<std::string> newVersion;
    size_t threads = 32;  // enough that hanging answers leave room for the admin API
};

// The sandbox dispatcher and its admin API, served by cpp-httplib on a background thread.
class SandboxServer {
public:
    // Throws SandboxDataError when the seed or the state file cannot be used.
    explicit SandboxServer(SandboxOptions options);
    ~SandboxServer();
    SandboxServer(const SandboxServer&) = delete;
    SandboxServer& operator=(const SandboxServer&) = delete;

    // Binds host:port (0 for any free port) and serves; returns the bound port.
    int start(const std::string& host = "127.0.0.1", int port = 0);
    // Stops serving, wakes hanging answers and saves the state one last time.
    void stop();

    int port() const { return port_; }
    SandboxState& state() { return state_; }
    FaultSwitch& faults() { return faults_; }

private:
    void routeDispatcher();
    void routeAdmin();
    void serveDispatcher(const httplib::Request& request, httplib::Response& response);
    void serveFault(const FaultPlan& fault, const std::string& command,
                    httplib::Response& response);
    void serveAdmin(httplib::Response& response, const std::function<Json()>& action);

    SandboxOptions options_;
    SandboxState state_;
    FaultSwitch faults_;
    std::unique_ptr<StateSaver> saver_;
    std::unique_ptr<httplib::Server> http_;
    std::thread listener_;
    int port_ = 0;
};

}  // namespace th::sandbox
