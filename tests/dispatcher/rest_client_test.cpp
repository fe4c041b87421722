#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>
#include "support/LoopbackProxy.h"
#include "support/LoopbackServer.h"
#include "support/LoopbackSocket.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "dispatcher/DispatcherClient.h"
#include "platform/Dialogs.h"
#include "settings/AppSettings.h"
#include "support/TempDir.h"

using th::AppSettings;
using th::DispatcherClient;
using th::Json;
using th::test::bindOnLoopback;
using th::test::LoopbackProxy;
using th::test::LoopbackServer;
using th::test::ScopedEnvironment;
using th::test::TempDir;

namespace {

// The texts and addresses the user and the service see, written out here once: a change of
// the product's constants must show up as a failing test, not follow silently.
constexpr const char* kNoData =
    "Данные не получены. Проверьте сетевое соединение или скачайте свежую версию ПО";
constexpr const char* kProductionUrl = "https://api.tillhaven.ru/dispatcher/v1";
constexpr const char* kTestUrl = "http://test.tillhaven.ru/dispatcher/v1";
constexpr const char* kNoStatus = "Error: Ответ сервиса не содержит статуса";
constexpr const char* kBadStatus = "Error: Ответ сервиса содержит некорректный статус";
constexpr const char* kNoReason403 = "Error: Сервис не сообщил причину ошибки, статус 403";

struct Reply {
    int http = 200;
    std::string body = R"({"status":200,"message":"","data":{}})";
    std::string contentType = "application/json";
    bool chunked = false;
};

struct SeenRequest {
    std::string method;
    std::string path;
    std::string body;
    std::string apiKey;
    std::string contentType;
    int clientPort = 0;  // tells the connections apart
};

// A stand-in for the dispatcher on 127.0.0.1: answers each path with the reply set for
// it (or the default one) and records what arrived.
class FakeDispatcher {
public:
    // host: the loopback address it listens on.
    explicit FakeDispatcher(std::string host = "127.0.0.1") : host_(std::move(host)) {
        server_.Post(R"(/.*)", [this](const httplib::Request& req, httplib::Response& res) {
            answer(req, res);
        });
        server_.Get(R"(/.*)", [this](const httplib::Request& req, httplib::Response& res) {
            answer(req, res);
        });
        port_ = server_.start(host_);
    }
    ~FakeDispatcher() { server_.shutdown(); }

    int port() const { return port_; }
    std::string baseUrl(const std::string& path = "/dispatcher/v1") const {
        return "http://" + host_ + ":" + std::to_string(port_) + path;
    }
    void reply(Reply r) {
        std::lock_guard lock(mutex_);
        default_ = std::move(r);
    }
    void reply(const std::string& path, Reply r) {
        std::lock_guard lock(mutex_);
        byPath_[path] = std::move(r);
    }
    void redirect(const std::string& from, const std::string& to, int status) {
        std::lock_guard lock(mutex_);
        redirects_[from] = {to, status};
    }
    std::vector<SeenRequest> seen() const {
        std::lock_guard lock(mutex_);
        return seen_;
    }

private:
    void answer(const httplib::Request& req, httplib::Response& res) {
        std::lock_guard lock(mutex_);
        seen_.push_back({req.method, req.path, req.body, req.get_header_value("X-Api-Key"),
                         req.get_header_value("Content-Type"), req.remote_port});
        if (auto moved = redirects_.find(req.path); moved != redirects_.end()) {
            res.set_redirect(moved->second.first, moved->second.second);
            return;
        }
        auto found = byPath_.find(req.path);
        const Reply& r = found != byPath_.end() ? found->second : default_;
        res.status = r.http;
        if (!r.chunked) {
            res.set_content(r.body, r.contentType.c_str());
            return;
        }
        auto body = std::make_shared<std::string>(r.body);
        res.set_chunked_content_provider(
            r.contentType.c_str(), [body](size_t offset, httplib::DataSink& sink) {
                size_t n = std::min<size_t>(1 << 20, body->size() - offset);
                if (n == 0)
                    sink.done();
                else
                    sink.write(body->data() + offset, n);
                return true;
            });
    }

    std::string host_;
    LoopbackServer server_;
    int port_ = 0;
    mutable std::mutex mutex_;
    Reply default_;
    std::map<std::string, Reply> byPath_;
    std::map<std::string, std::pair<std::string, int>> redirects_;
    std::vector<SeenRequest> seen_;
};

// Runs a hook inside every box, while the client is still in its request.
class HookedDialogs : public th::RecordingDialogs {
public:
    std::function<void()> onShow;
    void show(th::BoxKind kind, const std::string& text) override {
        if (onShow)
            onShow();
        RecordingDialogs::show(kind, text);
    }
};

std::unique_ptr<AppSettings> testSettings(const TempDir& dir, const std::string& testUrl,
                                          const std::string& testMode = "1") {
    dir.write("settings.ini",
              "[system]\nTestMode=" + testMode + "\nTestUrl=" + testUrl + "\n[auth]\ntoken=abc\n");
    return std::make_unique<AppSettings>(dir.path());
}

// A port on 127.0.0.1 bound but not listening: connections to it are refused.
class RefusingPort {
public:
    RefusingPort() { fd_ = bindOnLoopback(port_); }
    ~RefusingPort() { ::close(fd_); }
    std::string baseUrl() const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/dispatcher/v1";
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

// Answers exactly one request on a raw socket and keeps the request's bytes as they came,
// for checks of the wire form that an HTTP server library would decode first.
class RawCapture {
public:
    RawCapture() {
        listener_ = bindOnLoopback(port_);
        ::listen(listener_, 1);
        thread_ = std::thread([this] { serveOne(); });
    }
    ~RawCapture() {
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    std::string baseUrl() const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/dispatcher/v1";
    }
    // The whole request; valid once the client's call has returned.
    std::string request() {
        thread_.join();
        thread_ = std::thread([] {});
        return request_;
    }

private:
    void serveOne() {
        int connection = ::accept(listener_, nullptr, nullptr);
        if (connection < 0)
            return;
        char buffer[4096];
        size_t headerEnd = std::string::npos;
        while (headerEnd == std::string::npos || request_.size() < headerEnd + bodyLength()) {
            ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            request_.append(buffer, size_t(n));
            if (headerEnd == std::string::npos && request_.find("\r\n\r\n") != std::string::npos)
                headerEnd = request_.find("\r\n\r\n") + 4;
        }
        std::string body = R"({"status":200})";
        std::string answer =
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
            std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
        ::send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);
        ::close(connection);
    }
    size_t bodyLength() const {
        size_t at = request_.find("Content-Length: ");
        return at == std::string::npos ? 0 : std::stoul(request_.substr(at + 16));
    }

    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::string request_;
};

// Accepts one TLS connection on 127.0.0.1 and records the application protocols (ALPN) the
// client offers in its greeting. The client then refuses the probe's self-signed
// certificate; what it offered is known by then.
class TlsProtocolProbe {
public:
    TlsProtocolProbe() : context_(SSL_CTX_new(TLS_server_method())) {
        useSelfSignedCertificate();
        SSL_CTX_set_alpn_select_cb(context_, &TlsProtocolProbe::selectProtocol, this);
        listener_ = bindOnLoopback(port_);
        ::listen(listener_, 1);
        thread_ = std::thread([this] { acceptOne(); });
    }
    ~TlsProtocolProbe() {
        ::shutdown(listener_, SHUT_RDWR);
        if (thread_.joinable())
            thread_.join();
        ::close(listener_);
        SSL_CTX_free(context_);
    }
    std::string baseUrl() const {
        return "https://127.0.0.1:" + std::to_string(port_) + "/dispatcher/v1";
    }
    // Valid once the client's call has returned.
    std::vector<std::string> offered() {
        thread_.join();
        return offered_;
    }

private:
    void useSelfSignedCertificate() {
        EVP_PKEY* key = EVP_EC_gen("P-256");
        X509* certificate = X509_new();
        ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
        X509_gmtime_adj(X509_getm_notBefore(certificate), 0);
        X509_gmtime_adj(X509_getm_notAfter(certificate), 3600);
        X509_set_pubkey(certificate, key);
        X509_NAME* name = X509_get_subject_name(certificate);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
        X509_set_issuer_name(certificate, name);
        X509_sign(certificate, key, EVP_sha256());
        SSL_CTX_use_certificate(context_, certificate);
        SSL_CTX_use_PrivateKey(context_, key);
        X509_free(certificate);
        EVP_PKEY_free(key);
    }

    void acceptOne() {
        int connection = ::accept(listener_, nullptr, nullptr);
        if (connection < 0)
            return;
        SSL* tls = SSL_new(context_);
        SSL_set_fd(tls, connection);
        SSL_accept(tls);
        SSL_free(tls);
        ::close(connection);
    }

    // Records the offer and answers "h2" when it is offered, as a server that speaks it.
    static int selectProtocol(SSL*, const unsigned char** out, unsigned char* outLength,
                              const unsigned char* in, unsigned int inLength, void* self) {
        auto& probe = *static_cast<TlsProtocolProbe*>(self);
        for (unsigned int at = 0; at < inLength; at += 1 + in[at]) {
            probe.offered_.emplace_back(reinterpret_cast<const char*>(in + at + 1), in[at]);
            if (probe.offered_.back() == "h2" || at == 0) {
                *out = in + at + 1;
                *outLength = in[at];
            }
        }
        return SSL_TLSEXT_ERR_OK;
    }

    SSL_CTX* context_;
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::vector<std::string> offered_;
};

class RestClientTest : public testing::Test {
protected:
    RestClientTest() : settings(testSettings(dir, server.baseUrl())), client(dialogs) {
        client.setSettings(settings.get());
        client.setOnLog([this](const std::string& command, const Json& data) {
            events.push_back(command + " " + th::dumpCompact(data));
        });
    }

    // Runs executeImmediate with a handler that records its calls.
    void requestWithHandler(const std::string& command) {
        client.executeImmediate(command, Json::object(),
                                [this](DispatcherClient& sender, const Json& response) {
                                    EXPECT_EQ(&sender, &client);
                                    events.push_back("handler " + th::dumpCompact(response));
                                });
    }
    int handlerCalls() const {
        return int(std::count_if(events.begin(), events.end(),
                                 [](const std::string& e) { return e.rfind("handler", 0) == 0; }));
    }
    bool answerLogged() const {
        return std::any_of(events.begin(), events.end(),
                           [](const std::string& e) { return e.rfind(">>>>>  ", 0) == 0; });
    }

    FakeDispatcher server;
    TempDir dir;
    std::unique_ptr<AppSettings> settings;
    HookedDialogs dialogs;
    DispatcherClient client;
    std::vector<std::string> events;
};

TEST_F(RestClientTest, SuccessLogsRequestAnswerThenCallsHandlerOnce) {
    server.reply({200, R"({"status":"200","data":{"auth":true}})"});
    requestWithHandler("test");
    std::vector<std::string> expected = {"<<<<<  test {}",
                                         R"(>>>>>   {"status":"200","data":{"auth":true}})",
                                         R"(handler {"status":"200","data":{"auth":true}})"};
    EXPECT_EQ(events, expected);
    EXPECT_EQ(dialogs.count(), 0u);
    EXPECT_TRUE(client.isReady());
    ASSERT_EQ(server.seen().size(), 1u);
    EXPECT_EQ(server.seen()[0].method, "POST");
    EXPECT_EQ(server.seen()[0].path, "/dispatcher/v1/test");
}

// A register asks every 5 s: its requests keep one connection rather than opening a new
// one (and a new TLS session) each time.
TEST_F(RestClientTest, RequestsKeepOneConnectionToTheService) {
    server.reply({200, R"({"status":"200","data":{"auth":true}})"});
    for (int n = 0; n < 3; ++n)
        requestWithHandler("test");
    const auto seen = server.seen();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1].clientPort, seen[0].clientPort);
    EXPECT_EQ(seen[2].clientPort, seen[0].clientPort);
}

// A non-200 "status" is shown, not raised, whatever HTTP status below 500 carried it.
TEST_F(RestClientTest, FailedStatusShowsMessageAndSkipsHandlerForHttp200And404) {
    for (int http : {200, 404, 302, 499}) {
        dialogs.clear();
        events.clear();
        server.reply({http, R"({"status":401,"message":"Нет доступа"})"});
        requestWithHandler("tasks");
        EXPECT_EQ(handlerCalls(), 0) << http;
        EXPECT_EQ(dialogs.texts(), std::vector<std::string>{"Error: Нет доступа"}) << http;
        EXPECT_EQ(dialogs.boxes()[0].kind, th::BoxKind::Plain);

        const Json& answer = client.executeDelay("test", Json::object());
        EXPECT_EQ(answer.at("status"), 401) << http;
        EXPECT_EQ(answer.at("message"), "Нет доступа") << http;
        EXPECT_EQ(dialogs.count(), 2u) << http;
        EXPECT_TRUE(client.isReady());
    }
}

TEST_F(RestClientTest, ReadyFlagIsFalseWhileFailureBoxIsOpen) {
    server.reply({404, R"({"status":404,"message":"нет"})"});
    std::vector<bool> readyInBox;
    dialogs.onShow = [&] { readyInBox.push_back(client.isReady()); };
    client.executeDelay("test", Json::object());
    EXPECT_EQ(readyInBox, std::vector<bool>{false});
    EXPECT_TRUE(client.isReady());
}

TEST_F(RestClientTest, ServerErrorRaisesStatusLineWithoutBoxOrHandler) {
    server.reply({503, R"({"status":200})"});
    try {
        requestWithHandler("tasks");
        FAIL() << "no error";
    } catch (const th::RestRequestError& e) {
        EXPECT_STREQ(e.what(), "HTTP/1.1 503 Service Unavailable");
        EXPECT_STREQ(e.typeName(), "RestRequestError");
    }
    EXPECT_EQ(handlerCalls(), 0);
    EXPECT_FALSE(answerLogged());
    EXPECT_EQ(dialogs.count(), 0u);
    EXPECT_TRUE(client.isReady());
}

TEST_F(RestClientTest, EmptyOrNonJsonOrOversizedBodyRaisesNoDataWithoutAnswerLog) {
    // Valid JSON, only too large: refused for its size, not its form.
    std::string oversized =
        R"({"status":200,"data":")" + std::string(th::kMaxAnswerBytes, 'x') + "\"}";
    for (const Reply& reply :
         {Reply{200, ""}, Reply{200, "<html>down</html>"}, Reply{404, "   "}, Reply{200, oversized},
          Reply{200, oversized, "application/json", true}}) {
        events.clear();
        server.reply(reply);
        try {
            requestWithHandler("test");
            FAIL() << "no error for a body of " << reply.body.size() << " bytes";
        } catch (const th::RestDataError& e) {
            EXPECT_STREQ(e.what(), kNoData);
        }
        EXPECT_FALSE(answerLogged());
        EXPECT_EQ(handlerCalls(), 0);
        EXPECT_TRUE(client.isReady());
    }
    EXPECT_EQ(dialogs.count(), 0u);
}

TEST_F(RestClientTest, RefusedConnectionRaisesTransportMessage) {
    RefusingPort refusing;
    TempDir otherDir;
    auto unreachable = testSettings(otherDir, refusing.baseUrl());
    client.setSettings(unreachable.get());
    try {
        client.executeDelay("test", Json::object());
        FAIL() << "no error";
    } catch (const th::RestRequestError& e) {
        std::string text = e.what();
        EXPECT_EQ(text.rfind("REST request failed: ", 0), 0u) << text;
        EXPECT_NE(text.find("onnect"), std::string::npos) << text;
    }
    EXPECT_EQ(events, std::vector<std::string>{"<<<<<  test {}"});
    EXPECT_TRUE(client.isReady());
}

TEST_F(RestClientTest, SilentCoversExactlyOneRequestAlsoAfterTransportError) {
    server.reply({200, R"({"status":401,"message":"m"})"});
    client.setSilent();
    client.executeDelay("test", Json::object());
    EXPECT_EQ(dialogs.count(), 0u);
    client.executeDelay("test", Json::object());
    EXPECT_EQ(dialogs.count(), 1u);

    RefusingPort refusing;
    TempDir otherDir;
    auto unreachable = testSettings(otherDir, refusing.baseUrl());
    client.setSettings(unreachable.get());
    client.setSilent();
    EXPECT_THROW(client.executeDelay("test", Json::object()), th::RestRequestError);
    client.setSettings(settings.get());
    client.executeDelay("test", Json::object());
    EXPECT_EQ(dialogs.count(), 2u);
}

TEST_F(RestClientTest, TokenIsReadAtEveryRequest) {
    settings->setToken("first");
    client.executeDelay("test", Json::object());
    settings->setToken("second");
    client.executeDelay("test", Json::object());
    auto seen = server.seen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].apiKey, "first");
    EXPECT_EQ(seen[1].apiKey, "second");
}

TEST(RestClientWire, HeadersAndBodyGoOutAsSpecifiedBytes) {
    RawCapture capture;
    TempDir dir;
    auto settings = testSettings(dir, capture.baseUrl());
    settings->setToken("a+b/c= d%41Ток");
    th::RecordingDialogs dialogs;
    DispatcherClient client(dialogs);
    client.setSettings(settings.get());
    client.executeDelay("test", Json{{"k", "v/w"}});
    std::string request = capture.request();
    EXPECT_EQ(request.rfind("POST /dispatcher/v1/test HTTP/1.1\r\n", 0), 0u) << request;
    EXPECT_NE(request.find("\r\nX-Api-Key: a%2Bb%2Fc%3D%20d%2541%D0%A2%D0%BE%D0%BA\r\n"),
              std::string::npos)
        << request;
    EXPECT_NE(request.find("\r\nContent-Type: application/json\r\n"), std::string::npos);
    EXPECT_EQ(request.substr(request.find("\r\n\r\n") + 4), R"({"k":"v\/w"})");
}

TEST_F(RestClientTest, BodyIsCompactWithMemberOrderAndDispatcherEscapes) {
    Json request = Json::object();
    request["login"] = "a/b\"c\\d\n\t";
    request["password"] = "Пароль";
    request["Shift"] = Json::parse(R"({"z":1,"a":[true,null,1.5]})");
    client.executeDelay("authorize", request);
    auto seen = server.seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(
        seen[0].body,
        R"({"login":"a\/b\"c\\d\n\t","password":"Пароль","Shift":{"z":1,"a":[true,null,1.5]}})");
    EXPECT_EQ(seen[0].contentType, "application/json");
    EXPECT_EQ(seen[0].path, "/dispatcher/v1/authorize");
}

struct UrlCase {
    const char* testMode;
    const char* testUrl;
    const char* expected;
};

TEST(RestClientUrl, BaseUrlFollowsTestModeAndTestUrl) {
    const UrlCase cases[] = {
        {"0", "", kProductionUrl},
        {"0", "http://127.0.0.1:1/dispatcher/v1", kProductionUrl},
        {"1", "", kTestUrl},
        {"1", "http://127.0.0.1:1/dispatcher/v1", "http://127.0.0.1:1/dispatcher/v1"},
    };
    th::RecordingDialogs dialogs;
    for (const UrlCase& c : cases) {
        TempDir dir;
        auto settings = testSettings(dir, c.testUrl, c.testMode);
        DispatcherClient client(dialogs);
        client.setSettings(settings.get());
        EXPECT_EQ(client.baseUrl(), c.expected) << c.testMode << " " << c.testUrl;
    }
}

TEST_F(RestClientTest, RedirectsAreFollowedKeepingPostBodyAndToken) {
    for (int status : {301, 302, 307, 308}) {
        std::string from = "/old" + std::to_string(status) + "/dispatcher/v1/test";
        server.redirect(from, "/dispatcher/v1/test", status);
        TempDir movedDir;
        auto moved = testSettings(
            movedDir, server.baseUrl("/old" + std::to_string(status) + "/dispatcher/v1"));
        client.setSettings(moved.get());
        const Json& answer = client.executeDelay("test", Json{{"k", "v"}});
        EXPECT_EQ(answer.at("status"), 200) << status;
        SeenRequest last = server.seen().back();
        EXPECT_EQ(last.path, "/dispatcher/v1/test") << status;
        EXPECT_EQ(last.method, "POST") << status;
        EXPECT_EQ(last.body, R"({"k":"v"})") << status;
        EXPECT_EQ(last.apiKey, "abc") << status;
    }
}

TEST_F(RestClientTest, AnAbsoluteRedirectToTheSameOriginIsFollowed) {
    server.redirect("/old/dispatcher/v1/test", server.baseUrl() + "/test", 307);
    TempDir movedDir;
    auto moved = testSettings(movedDir, server.baseUrl("/old/dispatcher/v1"));
    client.setSettings(moved.get());
    EXPECT_EQ(client.executeDelay("test", Json{{"k", "v"}}).at("status"), 200);
    ASSERT_EQ(server.seen().size(), 2u);
    EXPECT_EQ(server.seen()[1].body, R"({"k":"v"})");
    EXPECT_EQ(server.seen()[1].apiKey, "abc");
}

struct ForeignRedirect {
    const char* what;
    std::function<std::string(const FakeDispatcher& home, const FakeDispatcher& elsewhere)>
        location;
};

// The token and the body go only where the settings send them: a redirect anywhere else
// fails like a transport error before anything is sent there. Two of the targets begin with
// the service's own address as text: one names it as user information before another host,
// the other is a longer host name (127.0.0.10, also this machine) that starts like it.
TEST_F(RestClientTest, ARedirectToAnotherOriginFailsAndSendsItNothing) {
    FakeDispatcher elsewhere;
    FakeDispatcher longerHost("127.0.0.10");
    const ForeignRedirect cases[] = {
        {"the service's address as user information before another host",
         [](const FakeDispatcher& home, const FakeDispatcher& other) {
             return "http://127.0.0.1:" + std::to_string(home.port()) +
                    "@localhost:" + std::to_string(other.port()) + "/dispatcher/v1/test";
         }},
        {"a longer host name that starts with the service's",
         [&longerHost](const FakeDispatcher&, const FakeDispatcher&) {
             return longerHost.baseUrl() + "/test";
         }},
        {"another port", [](const FakeDispatcher&,
                            const FakeDispatcher& other) { return other.baseUrl() + "/test"; }},
        {"another host name",
         [](const FakeDispatcher& home, const FakeDispatcher&) {
             return "http://localhost:" + std::to_string(home.port()) + "/dispatcher/v1/test";
         }},
        {"https on the same host and port",
         [](const FakeDispatcher& home, const FakeDispatcher&) {
             return "https://127.0.0.1:" + std::to_string(home.port()) + "/dispatcher/v1/test";
         }},
    };
    for (const ForeignRedirect& c : cases) {
        for (int status : {301, 302, 307, 308}) {
            events.clear();
            const size_t seenBefore = server.seen().size();
            server.redirect("/dispatcher/v1/test", c.location(server, elsewhere), status);
            try {
                client.executeDelay("test", Json{{"secret", "body"}});
                ADD_FAILURE() << c.what << " " << status << ": followed";
            } catch (const th::RestRequestError& e) {
                EXPECT_EQ(std::string(e.what()).rfind("REST request failed: ", 0), 0u) << e.what();
            }
            EXPECT_EQ(server.seen().size(), seenBefore + 1) << c.what << " " << status;
            EXPECT_FALSE(answerLogged()) << c.what;
            EXPECT_TRUE(client.isReady());
        }
    }
    EXPECT_EQ(elsewhere.seen().size(), 0u);
    EXPECT_EQ(longerHost.seen().size(), 0u);
    EXPECT_EQ(dialogs.count(), 0u);
}

TEST_F(RestClientTest, TenRedirectsAreFollowedAndAnEleventhFails) {
    for (int hop = 1; hop <= 11; ++hop) {
        server.redirect("/hop" + std::to_string(hop) + "/test",
                        "/hop" + std::to_string(hop + 1) + "/test", 307);
    }
    server.redirect("/hop12/test", "/dispatcher/v1/test", 307);
    TempDir hopDir;
    auto startAt = [&](int hop) {
        auto hopSettings = testSettings(hopDir, server.baseUrl("/hop" + std::to_string(hop)));
        client.setSettings(hopSettings.get());
        Json status;
        try {
            status = client.executeDelay("test", Json::object()).at("status");
        } catch (...) {
            client.setSettings(settings.get());
            throw;
        }
        client.setSettings(settings.get());
        return status;
    };
    EXPECT_EQ(startAt(3), 200);  // hop3 .. hop12, then the endpoint: ten redirects
    EXPECT_THROW(startAt(2), th::RestRequestError);
    EXPECT_TRUE(client.isReady());
}

TEST(RestClientWire, AnEmptyTokenIsSentAsAnEmptyHeader) {
    RawCapture capture;
    TempDir dir;
    auto settings = testSettings(dir, capture.baseUrl());
    settings->setToken("");
    th::RecordingDialogs dialogs;
    DispatcherClient client(dialogs);
    client.setSettings(settings.get());
    client.executeDelay("test", Json::object());
    const std::string request = capture.request();
    const std::string name = "\r\nX-Api-Key:";
    const size_t header = request.find(name);
    ASSERT_NE(header, std::string::npos) << request;
    const size_t valueStart = header + name.size();
    const std::string value =
        request.substr(valueStart, request.find("\r\n", valueStart) - valueStart);
    EXPECT_EQ(value.find_first_not_of(' '), std::string::npos) << request;
}

// HTTP/2 status lines carry no reason phrase: the client asks for HTTP/1.1 over TLS too.
TEST(RestClientWire, OverTlsOnlyHttp11IsOffered) {
    TlsProtocolProbe probe;
    TempDir dir;
    auto settings = testSettings(dir, probe.baseUrl());
    th::RecordingDialogs dialogs;
    DispatcherClient client(dialogs);
    client.setSettings(settings.get());
    EXPECT_THROW(client.executeDelay("test", Json::object()), th::RestRequestError);
    EXPECT_EQ(probe.offered(), std::vector<std::string>{"http/1.1"});
}

// The workstation's proxy (http_proxy, as libcurl reads it) carries every request;
// no_proxy still names hosts reached directly.
TEST(RestClientProxy, RequestsGoThroughTheProxyOfTheEnvironment) {
    FakeDispatcher server;
    LoopbackProxy proxy;
    ScopedEnvironment environment;
    environment.set("http_proxy", proxy.url());
    environment.unset("no_proxy");
    environment.unset("NO_PROXY");
    TempDir dir;
    auto settings = testSettings(dir, server.baseUrl());
    th::RecordingDialogs dialogs;
    DispatcherClient client(dialogs);
    client.setSettings(settings.get());

    EXPECT_EQ(client.executeDelay("test", Json{{"k", "v"}}).at("status"), 200);
    EXPECT_EQ(client.executeDelay("tasks", Json::object()).at("status"), 200);
    const auto seen = proxy.seen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].url, server.baseUrl() + "/test");
    EXPECT_EQ(seen[0].apiKey, "abc");
    EXPECT_EQ(seen[0].body, R"({"k":"v"})");
    EXPECT_EQ(seen[1].url, server.baseUrl() + "/tasks");
    EXPECT_EQ(server.seen().size(), 2u);

    environment.set("no_proxy", "127.0.0.1");
    EXPECT_EQ(client.executeDelay("test", Json::object()).at("status"), 200);
    EXPECT_EQ(proxy.seen().size(), 2u);
    EXPECT_EQ(server.seen().size(), 3u);
}

struct CharsetCase {
    const char* contentType;
    std::string message;  // "Ошибка" in that charset
};

TEST_F(RestClientTest, AnswerIsDecodedWithDeclaredCharset) {
    const CharsetCase cases[] = {
        {"application/json; charset=windows-1251", "\xCE\xF8\xE8\xE1\xEA\xE0"},
        {"application/json;charset=\"KOI8-R\"", "\xEF\xDB\xC9\xC2\xCB\xC1"},
        {"application/json; charset=utf-8", "Ошибка"},
        {"application/json", "Ошибка"},
    };
    for (const CharsetCase& c : cases) {
        dialogs.clear();
        server.reply({200, R"({"status":500,"message":")" + c.message + "\"}", c.contentType});
        client.executeDelay("test", Json::object());
        EXPECT_EQ(dialogs.texts(), std::vector<std::string>{"Error: Ошибка"}) << c.contentType;
    }
}

struct OddAnswerCase {
    const char* body;
    std::string box;
};

// Answers that are JSON but not a proper envelope: a failure shown to the user, never the
// handler.
TEST_F(RestClientTest, AnswersWithoutUsableStatusAreShownAsFailures) {
    const OddAnswerCase cases[] = {
        {R"({"message":"m"})", "Error: m"},
        {R"({"data":{}})", kNoStatus},
        {R"([1,2])", kNoStatus},
        {R"(null)", kNoStatus},
        {R"({"status":"ok","message":"m"})", "Error: m"},
        {R"({"status":"20x"})", kBadStatus},
        {R"({"status":200.0})", kBadStatus},
        {R"({"status":true})", kBadStatus},
        {R"({"status":99999999999})", kBadStatus},
        {R"({"status":403})", kNoReason403},
        {R"({"status":"403","message":""})", kNoReason403},
        {R"({"status":403,"message":{"x":1}})", kNoReason403},
    };
    for (const OddAnswerCase& c : cases) {
        dialogs.clear();
        events.clear();
        server.reply({200, c.body});
        requestWithHandler("test");
        EXPECT_EQ(handlerCalls(), 0) << c.body;
        EXPECT_TRUE(answerLogged()) << c.body;
        EXPECT_EQ(dialogs.texts(), std::vector<std::string>{c.box}) << c.body;
        EXPECT_EQ(th::dumpCompact(client.executeDelay("test", Json::object())),
                  th::dumpCompact(*th::parseJson(c.body)));
    }
}

TEST_F(RestClientTest, HandlerErrorReachesCallerAndFlagsAreReset) {
    client.setSilent();
    server.reply({200, R"({"status":200})"});
    EXPECT_THROW(client.executeImmediate(
                     "test", Json::object(),
                     [](DispatcherClient&, const Json&) { throw th::Error("из обработчика"); }),
                 th::Error);
    EXPECT_TRUE(client.isReady());
    server.reply({200, R"({"status":401,"message":"m"})"});
    client.executeDelay("test", Json::object());
    EXPECT_EQ(dialogs.count(), 1u);  // the silent flag ended with the failed request
}

// A box runs a nested event loop in which the same client may serve another request: the
// outer caller still gets its own answer, and the client is busy until the outer one ends.
TEST_F(RestClientTest, NestedRequestDuringBoxKeepsOuterAnswerAndBusyFlag) {
    server.reply("/dispatcher/v1/outer", {200, R"({"status":401,"message":"outer"})"});
    server.reply("/dispatcher/v1/inner", {200, R"({"status":200,"data":"inner"})"});
    bool readyAfterInner = true;
    dialogs.onShow = [&] {
        dialogs.onShow = nullptr;
        EXPECT_EQ(client.executeDelay("inner", Json::object()).at("data"), "inner");
        readyAfterInner = client.isReady();
    };
    const Json& outer = client.executeDelay("outer", Json::object());
    EXPECT_EQ(outer.at("message"), "outer");
    EXPECT_FALSE(readyAfterInner);
    EXPECT_TRUE(client.isReady());
}

TEST(RestClientEncoding, PercentEncodeKeepsUnreservedAndEncodesEveryOtherByte) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""},
        {"AZaz09-_.~", "AZaz09-_.~"},
        {"a+b/c= d", "a%2Bb%2Fc%3D%20d"},
        {"%?&#", "%25%3F%26%23"},
        {"Ж", "%D0%96"},
        {"\x01\xFF", "%01%FF"},
    };
    for (const auto& [text, encoded] : cases)
        EXPECT_EQ(th::percentEncode(text), encoded) << text;
}

}  // namespace

namespace {

TEST(RestClientSetup, RequestWithoutSettingsIsRefusedAndClientStaysUsable) {
    th::RecordingDialogs dialogs;
    DispatcherClient client(dialogs);
    client.setSilent();
    EXPECT_THROW(client.executeDelay("test", Json::object()), th::RestRequestError);
    EXPECT_TRUE(client.isReady());

    FakeDispatcher server;
    server.reply({200, R"({"status":401,"message":"m"})"});
    TempDir dir;
    auto settings = testSettings(dir, server.baseUrl());
    client.setSettings(settings.get());
    client.executeDelay("test", Json::object());
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{"Error: m"});
}

// The wizard sends its enrolment from a worker thread: the whole request, log lines
// included, runs on that thread.
TEST(RestClientSetup, RequestOnWorkerThreadLogsOnThatThread) {
    FakeDispatcher server;
    TempDir dir;
    auto settings = testSettings(dir, server.baseUrl());
    th::RecordingDialogs dialogs;
    DispatcherClient client(dialogs);
    client.setSettings(settings.get());
    std::vector<std::thread::id> logThreads;
    client.setOnLog(
        [&](const std::string&, const Json&) { logThreads.push_back(std::this_thread::get_id()); });
    std::thread::id worker;
    std::thread([&] {
        worker = std::this_thread::get_id();
        client.executeDelay("cashbox", Json::object());
    }).join();
    EXPECT_EQ(logThreads, (std::vector<std::thread::id>{worker, worker}));
    EXPECT_TRUE(client.isReady());
}

}  // namespace

// The program ends while the service is slow to answer: the raised abort flag ends the
// request as a transport failure instead of waiting for the answer.
TEST(RestClientAbort, RaisedFlagEndsARequestUnderWay) {
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    bool arrived = false;
    LoopbackServer server;
    server.Post(".*", [&](const httplib::Request&, httplib::Response& res) {
        std::unique_lock lock(mutex);
        arrived = true;
        released.notify_all();
        released.wait_for(lock, std::chrono::seconds(60), [&] { return release; });
        res.set_content(R"({"status":200})", "application/json");
    });
    server.start();
    TempDir dir;
    auto settings = testSettings(dir, server.baseUrl());
    th::RecordingDialogs dialogs;
    DispatcherClient client(dialogs);
    client.setSettings(settings.get());
    std::atomic<bool> abort{false};
    client.setAbortFlag(&abort);

    std::thread stopper([&] {
        std::unique_lock lock(mutex);
        released.wait(lock, [&] { return arrived; });
        abort = true;
    });
    EXPECT_THROW(client.executeDelay("test", Json::object()), th::RestRequestError);
    stopper.join();
    {
        std::lock_guard lock(mutex);
        release = true;
    }
    released.notify_all();
    EXPECT_EQ(dialogs.count(), 0u);
}
