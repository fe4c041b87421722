#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Errors.h"
#include "platform/Json.h"

namespace th {

class IDialogs;
class TAppSettings;

// "REST request failed: <transport message>" and "<status line>" (HTTP 500 and above).
TH_DECLARE_ERROR(RestRequestError, Error);
// "Данные не получены. ..." for an empty body or a body that is not JSON.
TH_DECLARE_ERROR(RestDataError, Error);

inline constexpr const char* kNoDataMessage =
    "Данные не получены. Проверьте сетевое соединение или скачайте свежую версию ПО";
inline constexpr const char* kProductionBaseUrl = "https://api.tillhaven.ru/dispatcher/v1";
inline constexpr const char* kTestBaseUrl = "http://test.tillhaven.ru/dispatcher/v1";
// Answers larger than this are refused as unreadable, so a broken or hostile server cannot
// exhaust the client's memory.
inline constexpr size_t kMaxAnswerBytes = 16 * 1024 * 1024;

// The dispatcher API client: a command and a JSON value out as an HTTP POST, the JSON
// answer back to a handler or to the caller. Synchronous; one libcurl handle per object;
// one request at a time, on the calling thread.
class TTHVRESTClient {
public:
    using ReadyEvent = std::function<void(TTHVRESTClient& sender, const Json& response)>;
    using LogEvent = std::function<void(const std::string& command, const Json& data)>;

    explicit TTHVRESTClient(IDialogs& dialogs);
    ~TTHVRESTClient();
    TTHVRESTClient(const TTHVRESTClient&) = delete;
    TTHVRESTClient& operator=(const TTHVRESTClient&) = delete;

    void setSettings(TAppSettings* settings);  // Settings (write-only); not owned
    TAppSettings* settings() const { return FSettings; }
    void setOnLog(LogEvent sink);               // onLog
    const LogEvent& onLog() const { return FClientLogEvent; }
    bool isReady() const { return FReady; }
    void SetSilent();

    // Sends one request; the handler runs before return, only for "status" 200.
    void executeImmediate(const std::string& command, const Json& data, ReadyEvent handler);
    // The same without a handler; returns the answer whatever its "status". The reference
    // stays valid until this client starts its next request.
    const Json& executeDelay(const std::string& command, const Json& data);

    // Base URL chosen by the settings (production, test, or system/TestUrl).
    std::string baseUrl() const;

private:
    struct Transport;
    void responseStep(const std::string& body, const std::string& contentType);

    IDialogs& dialogs_;
    std::unique_ptr<Transport> transport_;
    TAppSettings* FSettings = nullptr;
    ReadyEvent FClientReadyEvent;
    LogEvent FClientLogEvent;
    Json fRes;
    std::atomic<bool> FSilent{false};
    std::atomic<bool> FReady{true};
};

// Percent-encodes text as a URL component: letters, digits, "-", "_", ".", "~" unchanged.
std::string percentEncode(const std::string& text);

}  // namespace th
