// Large answers from the service, under the cap but megabytes each, with the request log on
// and off: the log keeps bounded text and the memory of every answer the client no longer
// needs goes back to the system, so the client's resident memory returns to where it was.
#include <gtest/gtest.h>

// Before any Qt header: the sandbox's headers use a name that Qt defines as a macro.
#include "FaultKit.h"

#include <QCoreApplication>
#include <QPlainTextEdit>
#include <QTextDocument>

#include <malloc.h>

#include <chrono>
#include <fstream>
#include <memory>

#include "dispatcher/DispatcherClient.h"
#include "dispatcher/gui/RequestLogWindow.h"
#include "platform/Dialogs.h"
#include "settings/AppSettings.h"
#include "support/Controls.h"
#include "support/LoopbackServer.h"
#include "support/QtTestApp.h"
#include "support/Sanitizers.h"

using namespace th;
using namespace th::faults;

namespace {

constexpr size_t kAnswerBytes = 12 * 1000 * 1000;
constexpr int kLargeAnswers = 7;
constexpr long kAllowedGrowthMiB = 40;

// The resident memory of this process now, in MiB, as the kernel counts it.
long residentMiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6)) / 1024;
    }
    return -1;
}

// A valid "tasks" answer of about `bytes` bytes. Receipts: documents with receipt items, as
// a busy sale point's backlog might arrive (parsed, several times the size of their text).
// Texts: fewer documents, each carrying a long text.
enum class Shape { Receipts, Texts };

Json receiptDocument(int n) {
    Json items = Json::array();
    for (int i = 0; i < 8; ++i) {
        items.push_back({{"type", "position"},
                         {"name", "Товар номер " + std::to_string(i) + " " + std::string(60, 'x')},
                         {"price", 100.5 + i},
                         {"quantity", 1},
                         {"tax", {{"type", "vat20"}}}});
    }
    return {{"external_id", "doc-" + std::to_string(n)},
            {"payload", {{"type", "sell"}, {"items", items}}}};
}

Json textDocument(int n) {
    return {{"external_id", "doc-" + std::to_string(n)},
            {"payload", {{"type", "print"}, {"text", std::string(100 * 1000, 'z')}}}};
}

std::string largeTasksAnswer(Shape shape, size_t bytes) {
    Json docs = Json::array();
    size_t size = 0;
    for (int n = 0; size < bytes; ++n) {
        Json doc = shape == Shape::Receipts ? receiptDocument(n) : textDocument(n);
        size += dumpCompact(doc).size() + 1;
        docs.push_back(std::move(doc));
    }
    return dumpCompact(Json{{"status", 200}, {"message", ""}, {"data", {{"docs", docs}}}});
}

// Serves the large answer for "tasks" and a small one for anything else, streaming from one
// shared buffer so that the server itself copies nothing per request.
class LargeAnswerServer {
public:
    explicit LargeAnswerServer(Shape shape)
        : answer_(std::make_shared<const std::string>(largeTasksAnswer(shape, kAnswerBytes))) {
        server_.Post(".*", [this](const httplib::Request& req, httplib::Response& res) {
            if (!req.path.ends_with("/tasks")) {
                res.set_content(R"({"status":200,"data":{}})", "application/json");
                return;
            }
            auto body = answer_;
            res.set_content_provider(body->size(), "application/json",
                                     [body](size_t offset, size_t length, httplib::DataSink& sink) {
                                         return sink.write(body->data() + offset,
                                                           std::min<size_t>(length, 1 << 20));
                                     });
        });
        server_.start();
    }
    ~LargeAnswerServer() { server_.shutdown(); }

    std::string baseUrl() const { return server_.baseUrl(); }
    size_t answerBytes() const { return answer_->size(); }

private:
    std::shared_ptr<const std::string> answer_;
    test::LoopbackServer server_;
};

struct LargeAnswerCase {
    Shape shape;
    bool logOn;
    // Whether the parsed answer the client holds until its next request fits in the
    // allowance itself: the receipts' does not.
    bool heldAnswerFits;
};

class LargeAnswers : public ::testing::TestWithParam<LargeAnswerCase> {};

TEST_P(LargeAnswers, LeaveTheResidentMemoryWhereItWas) {
    if (test::kUnderSanitizer)
        GTEST_SKIP() << "the sanitizers' allocators hold freed memory on purpose";
    const LargeAnswerCase& c = GetParam();
    test::ensureQtApplication();
    LargeAnswerServer server(c.shape);
    test::TempDir home;
    home.write("settings.ini", "[system]\nTestMode=1\nTestUrl=" + server.baseUrl() +
                                   "\n[client]\nLog=" + (c.logOn ? "1" : "0") + "\n");
    AppSettings settings(home.path());
    RecordingDialogs dialogs;
    RequestLogWindow form(dialogs);
    form.setSettings(&settings);
    form.client().executeDelay("test", Json::object());
    QCoreApplication::processEvents();
    ::malloc_trim(0);  // what building the answer left behind is the test's, not the client's

    const long before = residentMiB();
    const auto start = std::chrono::steady_clock::now();
    for (int n = 0; n < kLargeAnswers; ++n) {
        const Json& answer = form.client().executeDelay("tasks", Json::object());
        ASSERT_EQ(answer.at("status"), 200);
        QCoreApplication::processEvents();
    }
    const long afterLarge = residentMiB();
    // The next exchange releases the last answer, which the client keeps until then.
    form.client().executeDelay("test", Json::object());
    QCoreApplication::processEvents();
    const long afterNext = residentMiB();
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start);

    finding() << kLargeAnswers << " answers of " << server.answerBytes() / 1000 << " kB ("
              << (c.shape == Shape::Receipts ? "receipts" : "texts") << ") with the log "
              << (c.logOn ? "on" : "off") << ": resident memory " << before << " MiB, "
              << afterLarge << " MiB after them, " << afterNext
              << " MiB after the next request; the log holds "
              << control<QPlainTextEdit>(form, "logText")->document()->characterCount()
              << " characters; " << seconds.count() << " s\n";
    EXPECT_LE(afterNext - before, kAllowedGrowthMiB);
    if (c.heldAnswerFits) {
        EXPECT_LE(afterLarge - before, kAllowedGrowthMiB);
    }
    EXPECT_EQ(control<QPlainTextEdit>(form, "logText")->document()->isEmpty(), !c.logOn);
    EXPECT_LE(control<QPlainTextEdit>(form, "logText")->document()->characterCount(),
              RequestLogWindow::kMaxLogCharacters);
}

INSTANTIATE_TEST_SUITE_P(Log, LargeAnswers,
                         ::testing::Values(LargeAnswerCase{Shape::Texts, true, true},
                                           LargeAnswerCase{Shape::Texts, false, true},
                                           LargeAnswerCase{Shape::Receipts, true, false}),
                         [](const auto& info) {
                             return std::string(info.param.shape == Shape::Receipts ? "Receipts"
                                                                                    : "Texts") +
                                    (info.param.logOn ? "LogOn" : "LogOff");
                         });

}  // namespace
