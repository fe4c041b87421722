#include "SandboxServer.h"

#include <httplib.h>

#include <algorithm>
#include <chrono>

namespace th::sandbox {

namespace {

constexpr const char* kJsonType = "application/json; charset=utf-8";
constexpr size_t kMaxRequestBytes = 32u * 1024u * 1024u;
constexpr size_t kHugeChunkBytes = 1024u * 1024u;

void sendJson(httplib::Response& response, int httpStatus, const Json& body) {
    response.status = httpStatus;
    response.set_content(dumpCompact(body), kJsonType);
}

// The huge answer is produced piece by piece, so it never sits in memory whole.
bool writeHugeChunk(size_t offset, size_t length, httplib::DataSink& sink) {
    static const std::string prefix = hugeBodyPrefix();
    static const std::string suffix = hugeBodySuffix();
    const size_t suffixStart = kHugeBodyBytes - suffix.size();
    size_t end = offset + std::min(length, kHugeChunkBytes);
    std::string chunk(end - offset, 'x');
    for (size_t at = offset; at < std::min(end, prefix.size()); ++at)
        chunk[at - offset] = prefix[at];
    for (size_t at = std::max(offset, suffixStart); at < end; ++at)
        chunk[at - offset] = suffix[at - suffixStart];
    return sink.write(chunk.data(), chunk.size());
}

std::optional<Json> requestJson(const httplib::Request& request) {
    if (request.body.empty())
        return Json::object();
    return parseJson(request.body);
}

}  // namespace

SandboxServer::SandboxServer(SandboxOptions options)
    : options_(std::move(options)), state_(options_.seed) {
    if (options_.stateFile) {
        if (auto saved = loadStateFile(*options_.stateFile))
            state_.restore(*saved);
    }
    Json config = Json::object();
    if (options_.newVersion)
        config["new_version"] = *options_.newVersion;
    if (options_.refuseEnrolment)
        config["refuse_enrolment"] = true;
    if (options_.handOutOnce)
        config["hand_out_once"] = true;
    state_.configure(config);
    state_.setEventSink(options_.events);
    if (options_.stateFile) {
        auto report = options_.events;
        saver_ = std::make_unique<StateSaver>(
            *options_.stateFile, [this] { return state_.snapshot(); },
            [report](const std::string& error) {
                if (report)
                    report("state-save-failed error=" + error);
            });
        state_.setChangeListener([saver = saver_.get()] { saver->markChanged(); });
        saver_->saveNow();
    }
    http_ = std::make_unique<httplib::Server>();
    routeDispatcher();
    routeAdmin();
}

SandboxServer::~SandboxServer() {
    stop();
    state_.setChangeListener(nullptr);
}

int SandboxServer::start(const std::string& host, int port) {
    size_t threads = options_.threads;
    http_->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    http_->set_payload_max_length(kMaxRequestBytes);
    // A client polls on one connection; let it keep it for many exchanges. The idle
    // time-out stays short because stop() waits for idle connections to time out.
    http_->set_keep_alive_max_count(1000);
    // An answer leaves in more than one write (headers, then body); without this the body
    // waits for the client's delayed acknowledgement, some 40 ms per request on loopback.
    http_->set_tcp_nodelay(true);
    http_->set_exception_handler(
        [this](const httplib::Request&, httplib::Response& response, std::exception_ptr error) {
            std::string what = "unknown error";
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& e) {
                what = e.what();
            } catch (...) {
            }
            if (options_.events)
                options_.events("internal-error error=" + what);
            sendJson(response, 500, {{"status", 500}, {"message", what}});
        });
    bool bound = port == 0 ? (port_ = http_->bind_to_any_port(host)) > 0
                           : (port_ = port, http_->bind_to_port(host, port));
    if (!bound)
        throw SandboxStartError("cannot listen on " + host + ":" + std::to_string(port));
    listener_ = std::thread([this] { http_->listen_after_bind(); });
    // stop() only takes effect once the server loop runs.
    while (!http_->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return port_;
}

void SandboxServer::stop() {
    faults_.wakeAll();
    if (listener_.joinable()) {
        http_->stop();
        listener_.join();
    }
    if (saver_)
        saver_->stop();
}

// ---- dispatcher ----

void SandboxServer::routeDispatcher() {
    http_->Post(R"(/dispatcher/v1/([^/]*))",
                [this](const httplib::Request& request, httplib::Response& response) {
                    serveDispatcher(request, response);
                });
}

void SandboxServer::serveDispatcher(const httplib::Request& request, httplib::Response& response) {
    std::string command = request.matches[1];
    std::string apiKey = percentDecode(request.get_header_value("X-Api-Key"));
    FaultPlan fault = faults_.take(command);
    if (fault.mode != FaultMode::None && options_.events)
        options_.events(std::string("fault-served command=") + command +
                        " mode=" + faultModeName(fault.mode));
    if (fault.mode == FaultMode::Hang) {
        faults_.hang(fault.seconds);
        if (!fault.apply) {
            response.status = 504;
            return;
        }
        fault.mode = FaultMode::None;
    }
    if (fault.mode == FaultMode::None || fault.apply) {
        DispatcherReply reply = state_.handle(command, apiKey, request.body);
        if (fault.mode == FaultMode::None) {
            sendJson(response, reply.httpStatus, reply.body);
            return;
        }
    }
    serveFault(fault, command, response);
}

void SandboxServer::serveFault(const FaultPlan& fault, const std::string& command,
                               httplib::Response& response) {
    switch (fault.mode) {
        case FaultMode::Http500:
            sendJson(response, 500, {{"status", 500}, {"message", "Internal Server Error"}});
            return;
        case FaultMode::NotJson:
            response.set_content(notJsonBody(), "text/html; charset=utf-8");
            return;
        case FaultMode::Huge:
            response.set_content_provider(kHugeBodyBytes, kJsonType, writeHugeChunk);
            return;
        case FaultMode::Deep:
            response.set_content(deepBody(), kJsonType);
            return;
        case FaultMode::WrongTypes:
            sendJson(response, 200, wrongTypesBody(command));
            return;
        case FaultMode::WrongElements:
            sendJson(response, 200, wrongElementsBody(command));
            return;
        default:
            sendJson(response, 200, badStatusBody());
    }
}

// ---- admin ----

void SandboxServer::serveAdmin(httplib::Response& response, const std::function<Json()>& action) {
    try {
        sendJson(response, 200, action());
    } catch (const AdminError& e) {
        sendJson(response, e.httpStatus(), {{"error", e.what()}});
    }
}

void SandboxServer::routeAdmin() {
    using Req = const httplib::Request&;
    using Res = httplib::Response&;
    auto body = [](Req request) {
        auto parsed = requestJson(request);
        if (!parsed)
            throw AdminError(400, "the body is not JSON");
        return *parsed;
    };
    http_->Get("/admin/health", [this](Req, Res res) {
        serveAdmin(res, [&] { return Json{{"ok", true}, {"port", port_}}; });
    });
    http_->Get("/admin/state",
               [this](Req, Res res) { serveAdmin(res, [&] { return state_.snapshot(); }); });
    http_->Get(R"(/admin/registers/([^/]+))", [this](Req req, Res res) {
        serveAdmin(res, [&] { return state_.registerSnapshot(req.matches[1]); });
    });
    http_->Post(R"(/admin/registers/([^/]+)/docs)", [this, body](Req req, Res res) {
        serveAdmin(res, [&] {
            return Json{{"queued", state_.queueDocs(req.matches[1], body(req))}};
        });
    });
    http_->Post(R"(/admin/registers/([^/]+)/commands)", [this, body](Req req, Res res) {
        serveAdmin(res, [&] {
            return Json{{"queued", state_.queueCommands(req.matches[1], body(req))}};
        });
    });
    http_->Post("/admin/config", [this, body](Req req, Res res) {
        serveAdmin(res, [&] {
            state_.configure(body(req));
            return Json{{"ok", true}};
        });
    });
    http_->Post("/admin/reset", [this](Req req, Res res) {
        serveAdmin(res, [&] {
            auto seed = requestJson(req);
            if (!seed)
                throw AdminError(400, "the body is not JSON");
            state_.reset(req.body.empty() ? std::nullopt : seed);
            faults_.clear();
            return Json{{"ok", true}};
        });
    });
    http_->Post("/admin/save", [this](Req, Res res) {
        serveAdmin(res, [&] {
            if (!saver_)
                throw AdminError(409, "the sandbox runs without a state file");
            if (!saver_->saveNow())
                throw AdminError(500, "the state file could not be written");
            return Json{{"ok", true}};
        });
    });
    http_->Get("/admin/faults", [this](Req, Res res) {
        serveAdmin(res, [&] {
            Json out = faultPlanToJson(faults_.current());
            out["served"] = faults_.served();
            return out;
        });
    });
    http_->Post("/admin/faults", [this, body](Req req, Res res) {
        serveAdmin(res, [&] {
            std::string error;
            auto plan = parseFaultPlan(body(req), error);
            if (!plan)
                throw AdminError(400, error);
            faults_.set(*plan);
            return faultPlanToJson(*plan);
        });
    });
    http_->Delete("/admin/faults", [this](Req, Res res) {
        serveAdmin(res, [&] {
            faults_.clear();
            return Json{{"ok", true}};
        });
    });
}

}  // namespace th::sandbox
