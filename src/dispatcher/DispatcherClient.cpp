#include "dispatcher/DispatcherClient.h"

#include <curl/curl.h>
#include <malloc.h>

#include <QByteArray>
#include <QString>
#include <QStringDecoder>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>

#include "platform/Dialogs.h"
#include "platform/Version.h"
#include "settings/AppSettings.h"

namespace th {

namespace {

// libcurl's process-wide set-up, done once before the first handle and never undone.
void ensureCurlInitialised() {
    static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
    (void)initialised;
}

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string trimmed(std::string_view text) {
    const char* blanks = " \t\r\n\"'";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    size_t last = text.find_last_not_of(blanks);
    return std::string(text.substr(first, last - first + 1));
}

// The charset parameter of a Content-Type value ("application/json; charset=windows-1251").
std::string declaredCharset(const std::string& contentType) {
    std::string lower = lowerCase(contentType);
    size_t at = lower.find("charset=");
    if (at == std::string::npos)
        return {};
    size_t start = at + 8;
    size_t end = lower.find(';', start);
    return trimmed(std::string_view(contentType).substr(start, end - start));
}

// The answer text as UTF-8: converted from the declared charset, else taken as UTF-8 (the
// body itself, not a copy). An unknown charset is taken as UTF-8 too; a body that is then
// not JSON is refused later.
std::string decodeToUtf8(std::string&& body, const std::string& contentType) {
    std::string charset = declaredCharset(contentType);
    std::string lower = lowerCase(charset);
    if (charset.empty() || lower == "utf-8" || lower == "utf8")
        return std::move(body);
    QStringDecoder decoder(charset.c_str());
    if (!decoder.isValid())
        return std::move(body);
    QString text = decoder.decode(QByteArray::fromRawData(body.data(), qsizetype(body.size())));
    return text.toUtf8().toStdString();
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Redirects are followed by the client itself, at most this many in one request.
constexpr int kMaxRedirects = 10;
// A Location shown in an error is cut to this many bytes: it comes from the server.
constexpr size_t kShownLocationBytes = 200;
// Freeing an answer at least this large is followed by handing the freed memory back to the
// system: glibc keeps large freed blocks resident otherwise, and a few answers of megabytes
// would hold tens of megabytes for good.
constexpr size_t kReturnMemoryAfterBytes = 1024 * 1024;

// Scheme, host and port of a URL, the port filled in from the scheme when absent.
struct Origin {
    std::string scheme;
    std::string host;
    std::string port;
    bool operator==(const Origin&) const = default;
};

std::optional<std::string> urlPart(CURLU* url, CURLUPart part, unsigned int flags) {
    char* text = nullptr;
    if (curl_url_get(url, part, &text, flags) != CURLUE_OK)
        return std::nullopt;
    std::string value = text;
    curl_free(text);
    return value;
}

std::optional<Origin> originOf(const std::string& url) {
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parsed(curl_url(), &curl_url_cleanup);
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
        return std::nullopt;
    auto scheme = urlPart(parsed.get(), CURLUPART_SCHEME, 0);
    auto host = urlPart(parsed.get(), CURLUPART_HOST, 0);
    auto port = urlPart(parsed.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
    if (!scheme || !host || !port)
        return std::nullopt;
    return Origin{lowerCase(*scheme), lowerCase(*host), *port};
}

// The token and the request may go only where the settings send them: a redirect is
// followed to the same scheme, host and port, never elsewhere (not even from http to https
// on the same host).
bool sameOrigin(const std::string& from, const std::string& to) {
    std::optional<Origin> origin = originOf(from);
    return origin && origin == originOf(to);
}

// Hands memory freed by a large answer back to the system.
void returnFreedMemory() {
#ifdef __GLIBC__
    ::malloc_trim(0);
#endif
}

}  // namespace

// What came back from one HTTP exchange, copied out of the transport at once so that a
// nested request on the same handle cannot change it.
struct DispatcherClient::Exchange {
    CURLcode code = CURLE_OK;
    std::string transportError;
    long httpCode = 0;
    std::string statusLine;
    std::string contentType;
    std::string body;
    std::string redirectUrl;  // where a 3xx answer points, resolved; empty otherwise
    bool tooLarge = false;
};

// The client's connection to the service, kept between requests in a libcurl share, and
// an easy handle made for each request. An easy handle kept for good would also keep the
// socket pair its internal multi handle wakes itself with: two descriptors more per
// register set up here, all the time, for nothing.
struct DispatcherClient::Transport {
    CURLSH* share = nullptr;
    CURL* handle = nullptr;  // during a request only
    char errorBuffer[CURL_ERROR_SIZE] = {};
    std::string body;
    std::string statusLine;
    bool tooLarge = false;
    const std::atomic<bool>* abortFlag = nullptr;

    Transport() {
        ensureCurlInitialised();
        // Used by the owning thread only, so the share needs no lock functions. Without it
        // the requests still work, each on a connection of its own.
        share = curl_share_init();
        if (share) {
            for (curl_lock_data shared :
                 {CURL_LOCK_DATA_CONNECT, CURL_LOCK_DATA_DNS, CURL_LOCK_DATA_SSL_SESSION})
                curl_share_setopt(share, CURLSHOPT_SHARE, shared);
        }
    }
    ~Transport() { curl_share_cleanup(share); }

    static size_t onBody(char* data, size_t size, size_t count, void* self) {
        auto* transport = static_cast<Transport*>(self);
        size_t bytes = size * count;
        if (transport->body.size() + bytes > kMaxAnswerBytes) {
            transport->tooLarge = true;
            return 0;  // aborts the transfer
        }
        transport->body.append(data, bytes);
        return bytes;
    }

    static int onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        const auto* flag = static_cast<Transport*>(self)->abortFlag;
        return flag && *flag ? 1 : 0;  // non-zero aborts the transfer
    }

    // Keeps the status line of the last response (redirects each bring their own).
    static size_t onHeader(char* data, size_t size, size_t count, void* self) {
        auto* transport = static_cast<Transport*>(self);
        std::string_view line(data, size * count);
        if (startsWith(line, "HTTP/"))
            transport->statusLine = trimmed(line);
        return size * count;
    }

    void configure(const std::string& url, const std::string& body, curl_slist* headers) {
        errorBuffer[0] = '\0';
        if (share)
            curl_easy_setopt(handle, CURLOPT_SHARE, share);
        curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer);
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle, CURLOPT_POST, 1L);
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.size()));
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(handle, CURLOPT_USERAGENT,
                         (std::string(kProductName) + "/" + kProgramVersion).c_str());
        // HTTP/2 has no reason phrase: an error's status line would read "HTTP/2 503".
        curl_easy_setopt(handle, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
        curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
        // Less than one byte per second for the whole response time-out ends the request.
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, kResponseTimeoutSeconds);
        curl_easy_setopt(handle, CURLOPT_TIMEOUT, kRequestTimeoutSeconds);
        // libcurl would hand a custom header (the token) and the body to any host a
        // redirect names: post() follows redirects itself, to the same origin only.
        curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
        // No CURLOPT_PROXY: the workstation's http_proxy, https_proxy and no_proxy apply.
        curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(kMaxAnswerBytes));
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &Transport::onBody);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &Transport::onHeader);
        curl_easy_setopt(handle, CURLOPT_HEADERDATA, this);
        if (abortFlag) {
            curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &Transport::onProgress);
            curl_easy_setopt(handle, CURLOPT_XFERINFODATA, this);
            curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
        }
    }

    // One POST of the body to url, following same-origin redirects with the same POST.
    Exchange post(const std::string& url, const std::string& apiKey, const std::string& json) {
        auto headers = requestHeaders(apiKey);
        std::string target = url;
        for (int redirects = 0;; ++redirects) {
            Exchange result = send(target, json, headers.get());
            if (result.redirectUrl.empty())
                return result;
            if (!sameOrigin(url, result.redirectUrl)) {
                return failed(CURLE_UNSUPPORTED_PROTOCOL,
                              "redirect to another address refused: " +
                                  result.redirectUrl.substr(0, kShownLocationBytes));
            }
            if (redirects == kMaxRedirects) {
                return failed(CURLE_TOO_MANY_REDIRECTS,
                              curl_easy_strerror(CURLE_TOO_MANY_REDIRECTS));
            }
            target = std::move(result.redirectUrl);
        }
    }

    using Headers = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;

    static Headers requestHeaders(const std::string& apiKey) {
        // "Name:" with nothing after it would make libcurl drop the header; "Name;" sends it
        // empty, as the service expects before the first login.
        const std::string apiKeyHeader = apiKey.empty() ? "X-Api-Key;" : "X-Api-Key: " + apiKey;
        Headers headers(nullptr, &curl_slist_free_all);
        for (const std::string& header :
             {std::string("Content-Type: application/json"),
              std::string("Accept: application/json"), std::string("Accept-Charset: utf-8"),
              apiKeyHeader, std::string("Expect:")}) {
            headers.reset(curl_slist_append(headers.release(), header.c_str()));
        }
        return headers;
    }

    static Exchange failed(CURLcode code, std::string message) {
        Exchange result;
        result.code = code;
        result.transportError = std::move(message);
        return result;
    }

    Exchange send(const std::string& url, const std::string& json, curl_slist* headers) {
        Exchange result;
        body.clear();
        statusLine.clear();
        tooLarge = false;
        std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy(curl_easy_init(),
                                                                 &curl_easy_cleanup);
        if (!easy)
            return failed(CURLE_FAILED_INIT, curl_easy_strerror(CURLE_FAILED_INIT));
        handle = easy.get();
        configure(url, json, headers);
        result.code = curl_easy_perform(handle);
        collect(result);
        handle = nullptr;
        return result;
    }

    Exchange& collect(Exchange& result) {
        if (result.code != CURLE_OK) {
            result.transportError = curl_easy_strerror(result.code);
            if (errorBuffer[0] != '\0')
                result.transportError += std::string(" (") + errorBuffer + ")";
        }
        curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &result.httpCode);
        const char* contentType = nullptr;
        curl_easy_getinfo(handle, CURLINFO_CONTENT_TYPE, &contentType);
        result.contentType = contentType ? contentType : "";
        result.statusLine = statusLine;
        result.body = std::move(body);
        result.tooLarge = tooLarge || result.code == CURLE_FILESIZE_EXCEEDED;
        const char* redirect = nullptr;
        if (result.code == CURLE_OK && result.httpCode >= 300 && result.httpCode < 400 &&
            curl_easy_getinfo(handle, CURLINFO_REDIRECT_URL, &redirect) == CURLE_OK && redirect)
            result.redirectUrl = redirect;
        return result;
    }
};

DispatcherClient::DispatcherClient(IDialogs& dialogs)
    : dialogs_(dialogs), transport_(std::make_unique<Transport>()) {}

DispatcherClient::~DispatcherClient() = default;

void DispatcherClient::setSettings(AppSettings* settings) {
    settings_ = settings;
}

void DispatcherClient::setOnLog(LogEvent sink) {
    clientLogEvent_ = std::move(sink);
}

void DispatcherClient::setAbortFlag(const std::atomic<bool>* flag) {
    transport_->abortFlag = flag;
}

void DispatcherClient::setSilent() {
    silent_ = true;
}

std::string DispatcherClient::baseUrl() const {
    if (settings_ == nullptr || !settings_->systemTestMode())
        return kProductionBaseUrl;
    std::string sandbox = settings_->systemTestUrl();
    return sandbox.empty() ? kTestBaseUrl : sandbox;
}

void DispatcherClient::executeImmediate(const std::string& command, const Json& data,
                                        ReadyEvent handler) {
    clientReadyEvent_ = std::move(handler);
    // The handler runs from a copy: a nested request may replace the stored one meanwhile.
    ReadyEvent current = clientReadyEvent_;
    result_ = perform(command, data, current);
}

const Json& DispatcherClient::executeDelay(const std::string& command, const Json& data) {
    clientReadyEvent_ = nullptr;
    result_ = perform(command, data, nullptr);
    return *result_;
}

DispatcherClient::Answer DispatcherClient::perform(const std::string& command, const Json& data,
                                                   const ReadyEvent& handler) {
    // However a request ends, its silent flag is cleared; the client is ready again when
    // the outermost of nested requests has ended. Memory freed by a large answer (the one
    // released here or this request's own body) goes back to the system at the end.
    struct RequestScope {
        DispatcherClient& client;
        bool largeAnswerFreed = false;
        explicit RequestScope(DispatcherClient& c) : client(c) {
            ++client.activeRequests_;
            client.ready_ = false;
        }
        ~RequestScope() {
            client.silent_ = false;
            client.ready_ = --client.activeRequests_ == 0;
            if (largeAnswerFreed)
                returnFreedMemory();
        }
    } scope(*this);
    bool silent = silent_.exchange(false);
    scope.largeAnswerFreed = lastAnswerBytes_ >= kReturnMemoryAfterBytes;
    lastAnswerBytes_ = 0;
    result_.reset();
    unreadable_.clear();
    if (settings_ == nullptr)
        throw RestRequestError("REST request failed: settings not assigned");

    log(kRequestLogMarker + command, data);
    std::string url = baseUrl() + "/" + command;
    Exchange exchange =
        transport_->post(url, percentEncode(settings_->token()), dumpDispatcher(data));
    lastAnswerBytes_ = exchange.body.size();
    scope.largeAnswerFreed = scope.largeAnswerFreed || lastAnswerBytes_ >= kReturnMemoryAfterBytes;
    raiseForFailedExchange(exchange);
    return responseStep(std::move(exchange), silent, handler);
}

// No answer, HTTP 500 and above, or an answer too large to read: the caller gets an error.
void DispatcherClient::raiseForFailedExchange(const Exchange& exchange) {
    if (exchange.code != CURLE_OK && !exchange.tooLarge)
        throw RestRequestError("REST request failed: " + exchange.transportError);
    if (exchange.httpCode >= 500) {
        throw RestRequestError(exchange.statusLine.empty()
                                   ? "HTTP " + std::to_string(exchange.httpCode)
                                   : exchange.statusLine);
    }
    if (exchange.tooLarge)
        throw RestDataError(kNoDataMessage);
}

// RESTRequest1AfterExecute: the answer of an HTTP status below 500.
DispatcherClient::Answer DispatcherClient::responseStep(Exchange&& exchange, bool silent,
                                                        const ReadyEvent& handler) {
    std::optional<ReadAnswer> parsed;
    {
        // The body's text goes as soon as it is parsed: only the parsed answer stays.
        const std::string text = decodeToUtf8(std::move(exchange.body), exchange.contentType);
        parsed = readAnswerText(text);
    }
    if (!parsed)
        throw RestDataError(kNoDataMessage);
    unreadable_ = std::move(parsed->unreadable);
    auto answer = std::make_shared<const Json>(std::move(parsed->answer));
    log(kAnswerLogMarker, *answer);
    if (answerStatus(*answer) == 200) {
        if (handler)
            handler(*this, *answer);
    } else if (!silent) {
        showFailure(*answer);
    }
    return answer;
}

void DispatcherClient::showFailure(const Json& answer) {
    dialogs_.show(BoxKind::Plain, "Error: " + failureText(answer));
}

void DispatcherClient::log(const std::string& command, const Json& data) {
    if (clientLogEvent_)
        clientLogEvent_(command, data);
}

std::string percentEncode(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (unsigned char c : text) {
        bool unreserved = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
                          (c >= 'a' && c <= 'z') || c == '-' || c == '_' || c == '.' || c == '~';
        if (unreserved) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 0xF]);
        }
    }
    return out;
}

std::optional<int> answerStatus(const Json& answer) {
    const Json* status = findPath(answer, "status");
    if (status == nullptr)
        return std::nullopt;
    if (status->is_number_integer()) {
        auto value = status->get<long long>();
        if (status->is_number_unsigned() && status->get<unsigned long long>() > 0x7fffffffULL)
            return std::nullopt;
        if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max())
            return std::nullopt;
        return static_cast<int>(value);
    }
    if (!status->is_string())
        return std::nullopt;
    const std::string& text = status->get_ref<const std::string&>();
    int value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

std::string failureText(const Json& answer) {
    std::optional<std::string> message = textAt(answer, "message");
    if (message && !message->empty())
        return *message;
    if (findPath(answer, "status") == nullptr)
        return kNoStatusMessage;
    std::optional<int> status = answerStatus(answer);
    if (!status)
        return kBadStatusMessage;
    return kNoReasonMessage + std::to_string(*status);
}

}  // namespace th
