// "Выход" while a register prints a burst of documents, against the sandbox: the program
// ends once the burst is through, and the next start reports what was printed and the result
// of the command that came with the burst; no document is printed twice.
// The sandbox comes before Qt, whose "emit" keyword it uses as a name.
#include "DemoFeed.h"
#include "SandboxServer.h"

#include <gtest/gtest.h>

#include <map>

#include "app/MainWindow.h"
#include "app/TillhavenApp.h"
#include "cashbox/CashboxRecord.h"
#include "cashbox/CashboxTestKit.h"
#include "dispatcher/gui/RequestLogWindow.h"

using namespace th;
using namespace th::test;

namespace {

constexpr const char* kSerial = "00106700000001";
constexpr const char* kAccountToken = "burst-account-token";
constexpr int kSales = 10;

std::map<std::string, std::string> docStates(sandbox::SandboxServer& sandbox) {
    std::map<std::string, std::string> states;
    const Json book = sandbox.state().registerSnapshot(kSerial);
    for (const Json& doc : book.value("docs", Json::array()))
        states[doc.value("external_id", "")] = doc.value("state", "");
    return states;
}

class QuitDuringBurst : public ::testing::Test {
protected:
    QuitDuringBurst() {
        ensureQtApplication();
        sandbox::SandboxOptions options;
        options.handOutOnce = true;
        options.seed = {
            {"accounts", Json::array({{{"login", "burst@tillhaven.local"},
                                       {"password", "burst"},
                                       {"token", kAccountToken},
                                       {"salepoints", Json::array({salePoint(kSerial)})}}})}};
        sandbox_ = std::make_unique<sandbox::SandboxServer>(options);
        const int port = sandbox_->start();
        home_.write("settings.ini",
                    std::string("[auth]\ntoken=") + kAccountToken +
                        "\n[system]\nTestMode=1\nKeepVersion=1\nTestUrl=http://127.0.0.1:" +
                        std::to_string(port) +
                        "/dispatcher/v1\nRegisterDriver=emulator\n[cashboxes]\nserials=" + kSerial +
                        "\n[" + kSerial + "]\nKKTSerial=" + kSerial +
                        "\nDriver=Атол\nConnectionType=USB\nAutostart=1\n");
        Json reg = benchRegister(kSerial);
        reg["printSeconds"] = 0.3;
        home_.write("emulator.json", benchText({reg}));
        createJournalFile(home_.file(kJournalFileName));
    }

    // The program with its list filled, as after a start.
    std::unique_ptr<TillhavenApp> start() {
        auto app = std::make_unique<TillhavenApp>(
            dialogs_, [](QDialog&) { return 0; }, [] {}, DataPaths{home_.path(), home_.path()});
        app->requestLogWindow().setSettings(&app->mainWindow().appSettings());
        app->mainWindow().prepareCashboxes();
        return app;
    }

    std::string commandState(const Json& id) {
        const Json book = sandbox_->state().registerSnapshot(kSerial);
        for (const Json& command : book["commands"])
            if (command["id"] == id)
                return command.value("state", "");
        return "missing";
    }

    test::TempDir home_;
    std::unique_ptr<sandbox::SandboxServer> sandbox_;
    RecordingDialogs dialogs_;
};

TEST_F(QuitDuringBurst, EveryDocumentIsPrintedOnceAndReportedAfterTheNextStart) {
    Json burst = Json::array({sandbox::DemoFeed::openShiftTask()});
    for (int n = 0; n < kSales; ++n)
        burst.push_back(sandbox::DemoFeed::saleTask(n));
    const std::vector<std::string> ids = sandbox_->state().queueDocs(kSerial, burst);
    const Json commandId = sandbox_->state().queueCommands(
        kSerial, Json{{"payload", {{"type", "getDeviceStatus"}}}})[0];

    {
        auto app = start();
        // The burst has begun printing: quit now.
        ASSERT_TRUE(waitUntil([&] { return !fiscalisations(home_.path()).empty(); }));
        app->mainWindow().stopRegisters();
        // What was printed before the program ended is kept with its answer.
        TaskJournal journal;
        journal.openJournal(home_.file(kJournalFileName));
        EXPECT_EQ(journal.selectChecks(kSerial, "completed").size(),
                  fiscalisations(home_.path()).size());
        // The command ran with the burst; its result waits for the next request.
        EXPECT_EQ(commandState(commandId), "sent");
        EXPECT_EQ(journal.storedCommandResults().size(), 1u);
    }
    {
        auto app = start();
        EXPECT_TRUE(waitUntil(
            [&] {
                for (const auto& [id, state] : docStates(*sandbox_))
                    if (state != "acked")
                        return false;
                return true;
            },
            60000))
            << sandbox_->state().registerSnapshot(kSerial).dump();
        EXPECT_TRUE(waitUntil([&] { return commandState(commandId) == "answered"; }, 60000));
        app->mainWindow().stopRegisters();
    }
    int delivered = 0;
    const Json book = sandbox_->state().registerSnapshot(kSerial);
    for (const Json& result : book["command_results"])
        delivered += result.value("id", Json()) == commandId ? 1 : 0;
    EXPECT_EQ(delivered, 1);
    std::map<std::string, int> once;
    for (const std::string& id : ids)
        once[id] = 1;
    EXPECT_EQ(fiscalisations(home_.path()), once);
    EXPECT_EQ(dialogs_.count(), 0u) << dialogs_.texts().front();
}

}  // namespace
