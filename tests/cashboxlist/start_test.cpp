// The whole program's start against a service that is not there yet, slow, or refuses the
// list: no box, no end, the window says why it waits, and the registers exchange once the
// service answers. Also the tray icon over several registers and a register's standing
// conditions.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QThread>

#include <atomic>

#include "cashboxlist/ListWorld.h"
#include "emulator/EmulatorBench.h"
#include "support/LoopbackSocket.h"

using namespace th;
using namespace th::test;

namespace {

constexpr int kPatienceMs = 120000;

// Stands between the program and the service on a port chosen up front: nothing listens
// there (connection refused), then every request gets HTTP 503, then the service answers.
class FlakyFront {
public:
    enum class Mode { Refused, Unavailable, Up };

    explicit FlakyFront(const TestDispatcher& service) : port_(closedPort()) {
        const std::string target = service.baseUrl();
        const int servicePort = std::stoi(target.substr(target.rfind(':') + 1));
        server_.Post(R"(/dispatcher/v1/(\w+))",
                     [this, servicePort](const httplib::Request& req, httplib::Response& res) {
                         if (mode_ == Mode::Unavailable) {
                             res.status = 503;
                             res.set_content("Service Unavailable", "text/plain");
                             return;
                         }
                         httplib::Client service("127.0.0.1", servicePort);
                         service.set_read_timeout(60);
                         auto answer = service.Post(req.path, req.body, "application/json");
                         res.status = answer ? answer->status : 502;
                         if (answer)
                             res.set_content(answer->body, "application/json");
                     });
    }
    ~FlakyFront() { stop(); }

    std::string baseUrl() const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/dispatcher/v1";
    }
    // False when the port could not be taken for the service.
    bool setMode(Mode mode) {
        mode_ = mode;
        if (mode != Mode::Refused && !thread_.joinable()) {
            if (!server_.bind_to_port("127.0.0.1", port_))
                return false;
            thread_ = std::thread([this] { server_.listen_after_bind(); });
        }
        return true;
    }

private:
    void stop() {
        if (!thread_.joinable())
            return;
        while (!server_.is_running())
            std::this_thread::yield();
        server_.stop();
        thread_.join();
    }

    int port_;
    std::atomic<Mode> mode_{Mode::Refused};
    httplib::Server server_;
    std::thread thread_;
};

// The program with one register "A" on the emulator, its start sequence run as from the
// message loop: the window shown, then the loop.
class StartWorld {
public:
    explicit StartWorld(const std::string& baseUrl,
                        std::vector<Json> bench = {benchRegister("A")}) {
        ensureQtApplication();
        home.write("settings.ini", settingsIniText(baseUrl, {{.serial = "A"}}));
        home.write("emulator.json", benchText(bench));
        createJournalFile(home.file(kJournalFileName));
        app = std::make_unique<TillhavenApp>(
            dialogs, [](QDialog&) { return int(QDialog::Rejected); }, [this] { ++quits; },
            DataPaths{home.path(), home.path()});
        form().setTrayProbe([] { return true; });
        form().show();
    }

    MainWindow& form() { return app->mainWindow(); }
    bool loopUntil(const std::function<bool()>& done, int patienceMs = kPatienceMs) {
        return waitUntil(done, patienceMs);
    }

    TempDir home;
    RecordingDialogs dialogs;
    int quits = 0;
    std::unique_ptr<TillhavenApp> app;
};

}  // namespace

// A workstation that starts before its network, then finds the service down for a while:
// the start waits without a box and goes on by itself once the service answers.
TEST(StartWithoutService, RefusedThenUnavailableThenUpExchangesSoonAfter) {
    TestDispatcher service;
    service.answer("test", {{"status", 200}, {"data", {{"auth", true}}}});
    service.answer("getsalepoints", {{"status", 200}, {"data", Json::array({salePoint("A")})}});
    FlakyFront front(service);
    StartWorld world(front.baseUrl());

    // Connection refused: the window says so at once and counts down.
    ASSERT_TRUE(world.loopUntil([&] { return world.form().isWaitingForService(); }));
    EXPECT_EQ(world.form().serviceStatus().toStdString(),
              "Нет связи с сервисом — повтор через 5 с");
    EXPECT_TRUE(world.form().trayIcon().icon().cacheKey() ==
                world.form().disconnectedIcon().cacheKey());
    EXPECT_NE(world.form().trayIcon().toolTip().toStdString().find("Нет связи с сервисом"),
              std::string::npos);

    // Refused for five seconds, then HTTP 503 for fifteen: twenty seconds in all.
    world.loopUntil([] { return false; }, 5000);
    ASSERT_TRUE(front.setMode(FlakyFront::Mode::Unavailable));
    world.loopUntil([] { return false; }, 15000);
    EXPECT_EQ(service.count("test"), 0u);
    EXPECT_TRUE(world.form().isWaitingForService()) << world.form().messageLine().toStdString();

    ASSERT_TRUE(front.setMode(FlakyFront::Mode::Up));
    QElapsedTimer sinceUp;
    sinceUp.start();
    ASSERT_TRUE(world.loopUntil([&] { return service.countOf("tasks", "A") > 0; }))
        << world.form().serviceStatus().toStdString();
    EXPECT_LT(sinceUp.elapsed(), 30000) << "the register exchanged too late";
    EXPECT_EQ(world.dialogs.count(), 0u) << world.dialogs.texts().front();
    EXPECT_EQ(world.quits, 0);
    EXPECT_FALSE(world.form().isClosing());
    EXPECT_FALSE(world.form().isWaitingForService());
    EXPECT_EQ(world.form().serviceStatus().toStdString(), "");
}

// A list the service refuses is said once in the message line and asked for again; the
// register is listed once the service gives the list.
TEST(StartWithoutService, RefusedListIsShownOnceAndAskedForAgain) {
    TestDispatcher service;
    service.answer("test", {{"status", 200}, {"data", {{"auth", true}}}});
    service.respond("getsalepoints", 200,
                    R"({"status":423,"message":"Список временно недоступен"})");
    StartWorld world(service.baseUrl());

    ASSERT_TRUE(world.loopUntil([&] { return service.count("getsalepoints") >= 2; }));
    world.loopUntil([&] { return !world.form().isBusy(); });
    EXPECT_EQ(world.form().messageLine().toStdString(), "Error: Список временно недоступен");
    EXPECT_EQ(world.form().notificationCount(), 1) << "said once";
    EXPECT_EQ(world.dialogs.count(), 0u) << world.dialogs.texts().front();
    EXPECT_TRUE(world.form().isWaitingForService());
    EXPECT_EQ(world.form().cashboxModel().rowCount(), 0);

    service.answer("getsalepoints", {{"status", 200}, {"data", Json::array({salePoint("A")})}});
    world.form().retryNow();
    ASSERT_TRUE(world.loopUntil([&] { return world.form().cashboxModel().rowCount() == 1; }));
    EXPECT_FALSE(world.form().isWaitingForService());
    EXPECT_EQ(world.dialogs.count(), 0u);
    EXPECT_EQ(world.quits, 0);
}

// The tray icon sums up every register set up to connect by itself: one that is not active
// turns it red and the tooltip names it; one the user disconnected by hand does not count.
TEST(TrayIcon, IsRedWhileAnyAutomaticRegisterIsNotActiveAndNamesIt) {
    std::vector<Json> bench = {benchRegister("A"), benchRegister("B", "COM2")};
    ListWorld world({{.serial = "A"}, {.serial = "B", .connectionType = "COM", .comPort = "COM2"}},
                    bench);
    world.answerSalePoints(Json::array({salePoint("A"), salePoint("B")}));
    world.form().prepareCashboxes();
    world.settleAll();
    ASSERT_EQ(world.column(CashboxTableModel::StatusColumn), (Strings{"активен", "активен"}));
    EXPECT_TRUE(world.trayIs(world.form().connectedIcon()));
    EXPECT_EQ(world.form().trayIcon().toolTip().toStdString(), "Тиллхейвен");

    world.form().cashboxWindow(world.record("B")).disconnectByUser();
    world.settleAll();
    EXPECT_EQ(world.column(CashboxTableModel::StatusColumn), (Strings{"активен", "не активен"}));
    EXPECT_TRUE(world.trayIs(world.form().connectedIcon())) << "kept disconnected by the user";

    // A is unplugged: its next cycle loses it, and it stays red while it reconnects.
    bench[0]["reachable"] = false;
    world.home.write("emulator.json", benchText(bench));
    runCycle(world.record("A"));
    world.settleAll();
    EXPECT_TRUE(world.trayIs(world.form().disconnectedIcon()));
    const std::string tip = world.form().trayIcon().toolTip().toStdString();
    EXPECT_NE(tip.find("A: не активен"), std::string::npos) << tip;
    EXPECT_EQ(tip.find("B:"), std::string::npos) << tip;

    bench[0]["reachable"] = true;
    world.home.write("emulator.json", benchText(bench));
    onWorker(world.record("A"), [](RegisterLink& link) { link.tryReconnect(); });
    world.settleAll();
    EXPECT_TRUE(world.trayIs(world.form().connectedIcon()));
    EXPECT_EQ(world.dialogs.count(), 0u) << world.dialogs.texts().front();
}

// Paper out after an automatic connection stays in the row, and in the tray, across cycles
// until the paper is back; it is in the row even when the service does not take the
// register's report.
class PaperOut : public ::testing::TestWithParam<int> {};

TEST_P(PaperOut, StaysInTheRowAcrossCyclesAndClearsWhenPaperReturns) {
    std::vector<Json> bench = {benchRegister("A")};
    bench[0]["paperPresent"] = false;
    ListWorld world({{.serial = "A"}}, bench);
    if (GetParam() != 200)
        world.dispatcher.respond("cashbox", GetParam(), "");
    world.answerSalePoints(Json::array({salePoint("A")}));
    world.form().prepareCashboxes();
    world.settleAll();
    const std::string paperOut = "В кассе отсутствует чековая лента";
    const auto status = [&] { return world.column(CashboxTableModel::StatusColumn).at(0); };
    EXPECT_EQ(status().rfind("активен — " + paperOut, 0), 0u) << status();

    world.dispatcher.respond("cashbox", 200, R"({"status":200,"data":{}})");
    for (int cycle = 0; cycle < 3; ++cycle) {
        runCycle(world.record("A"));
        world.settleAll();
        EXPECT_EQ(status(), "активен — " + paperOut) << "cycle " << cycle;
    }
    EXPECT_TRUE(world.trayIs(world.form().disconnectedIcon()));
    EXPECT_NE(world.form().trayIcon().toolTip().toStdString().find("A: " + paperOut),
              std::string::npos);

    bench[0]["paperPresent"] = true;
    world.home.write("emulator.json", benchText(bench));
    runCycle(world.record("A"));
    world.settleAll();
    EXPECT_EQ(status(), "активен");
    EXPECT_TRUE(world.trayIs(world.form().connectedIcon()));
    EXPECT_EQ(world.dialogs.count(), 0u) << world.dialogs.texts().front();
}

INSTANTIATE_TEST_SUITE_P(CashboxReport, PaperOut, ::testing::Values(200, 503),
                         [](const auto& info) {
                             return info.param == 200 ? std::string("Taken")
                                                      : std::string("ServiceDown");
                         });
