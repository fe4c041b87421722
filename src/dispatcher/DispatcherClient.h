#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "dispatcher/Messages.h"
#include "platform/Errors.h"
#include "platform/Json.h"

namespace th {

class IDialogs;
class AppSettings;

// "REST request failed: <transport message>" and "<status line>" (HTTP 500 and above).
TH_DECLARE_ERROR(RestRequestError, Error);
// "Данные не получены. ..." for an empty body, a body that is not JSON or one too large.
TH_DECLARE_ERROR(RestDataError, Error);

inline constexpr const char* kNoDataMessage =
    "Данные не получены. Проверьте сетевое соединение или скачайте свежую версию ПО";
inline constexpr const char* kProductionBaseUrl = "https://api.tillhaven.ru/dispatcher/v1";
inline constexpr const char* kTestBaseUrl = "http://test.tillhaven.ru/dispatcher/v1";
// Answers larger than this are refused as unreadable, so a broken or hostile server cannot
// exhaust the client's memory.
inline constexpr size_t kMaxAnswerBytes = 16 * 1024 * 1024;
// Waiting limits of one request: connecting, then the answer (no byte for this long).
inline constexpr long kConnectTimeoutSeconds = 30;
inline constexpr long kResponseTimeoutSeconds = 30;
// Upper bound for a whole request, so a server trickling bytes cannot hold it for ever.
inline constexpr long kRequestTimeoutSeconds = 300;

// Log markers: a request is logged as "<<<<<  " + command, an answer as ">>>>>  ".
inline constexpr const char* kRequestLogMarker = "<<<<<  ";
inline constexpr const char* kAnswerLogMarker = ">>>>>  ";
// Shown after "Error: " when a failed answer carries no readable "message".
inline constexpr const char* kNoStatusMessage = "Ответ сервиса не содержит статуса";
inline constexpr const char* kBadStatusMessage = "Ответ сервиса содержит некорректный статус";
inline constexpr const char* kNoReasonMessage = "Сервис не сообщил причину ошибки, статус ";

// The dispatcher API client: a command and a JSON value out as an HTTP POST, the JSON
// answer back to a handler or to the caller.
//
// Threading: synchronous. Everything a request does (sending, waiting, the response step,
// the handler, the log sink and the failure box) runs on the thread that called
// executeImmediate/executeDelay. One client object serves one thread at a time; different
// objects may work on different threads at once. The failure box goes through IDialogs,
// whose real implementation hands it to the user-interface thread and waits for it to be
// closed; the log sink is called on the calling thread and must hand the line over itself
// when it belongs to the user-interface thread.
//
// Re-entry: a box or a handler may run a nested event loop during which the same client
// starts another request (on the same thread). isReady stays false until the outermost
// request has ended, and every request's own answer is handed to its own handler/caller.
class DispatcherClient {
public:
    using ReadyEvent = std::function<void(DispatcherClient& sender, const Json& response)>;
    using LogEvent = std::function<void(const std::string& command, const Json& data)>;

    explicit DispatcherClient(IDialogs& dialogs);
    ~DispatcherClient();
    DispatcherClient(const DispatcherClient&) = delete;
    DispatcherClient& operator=(const DispatcherClient&) = delete;

    void setSettings(AppSettings* settings);  // settings (write-only); not owned
    AppSettings* settings() const { return settings_; }
    void setOnLog(LogEvent sink);  // onLog
    const LogEvent& onLog() const { return clientLogEvent_; }
    bool isReady() const { return ready_; }
    // The next request's failed answer shows no box; cleared when that request ends.
    void setSilent();
    // A request under way ends as a transport failure once the flag is raised (the program
    // ends and does not wait for a slow service); the flag outlives the client.
    void setAbortFlag(const std::atomic<bool>* flag);

    // Sends one request; the handler runs before return, only for "status" 200. Raises
    // RestRequestError (transport, HTTP 500+) and RestDataError (unreadable answer); an
    // error raised by the handler reaches the caller too.
    void executeImmediate(const std::string& command, const Json& data, ReadyEvent handler);
    // The same without a handler; returns the answer whatever its "status". The reference
    // stays valid until this client starts its next request: copy what must outlive it.
    const Json& executeDelay(const std::string& command, const Json& data);

    // The documents of the last answer's "data.docs" that could not be read on their own
    // (readAnswerText); the answer itself holds the others. Valid until this client starts
    // its next request: a handler takes a copy before anything that may start one.
    const std::vector<UnreadableDocument>& unreadableDocuments() const { return unreadable_; }

    // Base URL chosen by the settings (production, test, or system/TestUrl).
    std::string baseUrl() const;

private:
    struct Transport;
    struct Exchange;
    using Answer = std::shared_ptr<const Json>;

    Answer perform(const std::string& command, const Json& data, const ReadyEvent& handler);
    static void raiseForFailedExchange(const Exchange& exchange);
    Answer responseStep(Exchange&& exchange, bool silent, const ReadyEvent& handler);
    void showFailure(const Json& answer);
    void log(const std::string& command, const Json& data);

    IDialogs& dialogs_;
    std::unique_ptr<Transport> transport_;
    AppSettings* settings_ = nullptr;
    ReadyEvent clientReadyEvent_;
    LogEvent clientLogEvent_;
    // The answer of the last finished request (result_); released when the next one starts.
    Answer result_;
    // Body size of the last answer: freeing a large one hands its memory back.
    size_t lastAnswerBytes_ = 0;
    std::vector<UnreadableDocument> unreadable_;
    int activeRequests_ = 0;
    std::atomic<bool> silent_{false};
    std::atomic<bool> ready_{true};
};

// Percent-encodes text as a URL component: letters, digits, "-", "_", ".", "~" unchanged,
// every other byte as %XX (upper-case hex).
std::string percentEncode(const std::string& text);

// The "status" of an answer as an integer: nullopt when it is missing or is not an integer
// (a JSON integer or a string holding one).
std::optional<int> answerStatus(const Json& answer);

// The text shown after "Error: " for a failed answer.
std::string failureText(const Json& answer);

}  // namespace th
