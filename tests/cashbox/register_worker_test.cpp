// Registers' workers side by side: one register's slow service or long print holds up
// neither another register nor the user-interface thread.
// The sandbox comes before Qt, whose "emit" keyword it uses as a name.
#include "DemoFeed.h"

#include <gtest/gtest.h>

#include <QTimer>

#include "cashbox/CashboxTestKit.h"

using namespace th;
using namespace th::test;

namespace {

constexpr const char* kSlow = "00106100000001";
constexpr const char* kOther = "00106100000002";

class RegisterWorkerTest : public ::testing::Test {
protected:
    // Two registers connected at start, each on its own port.
    void setUp(Json slowRegister = benchRegister(kSlow, "COM1")) {
        world = std::make_unique<CashboxWorld>(
            std::vector<RecordSpec>{{.serial = kSlow, .connectionType = "COM", .comPort = "COM1"},
                                    {.serial = kOther, .connectionType = "COM", .comPort = "COM2"}},
            std::vector<Json>{slowRegister, benchRegister(kOther, "COM2")});
        slow = world->makeWindow(salePoint(kSlow));
        other = world->makeWindow(salePoint(kOther));
        settle(*slow.record);
        settle(*other.record);
        ASSERT_TRUE(slow.record->isConnected());
        ASSERT_TRUE(other.record->isConnected());
    }
    void startCycle(CashboxWorld::Cashbox& cashbox) {
        cashbox.record->worker()->post([](RegisterLink& link) { link.runExchangeCycle(); });
    }
    size_t rows(const char* serial, const char* status) {
        TaskJournal journal;
        journal.openJournal(world->home.file(kJournalFileName));
        return journal.selectChecks(serial, status).size();
    }

    std::unique_ptr<CashboxWorld> world;
    CashboxWorld::Cashbox slow;
    CashboxWorld::Cashbox other;
};

TEST_F(RegisterWorkerTest, ARegisterWhoseServiceHangsDelaysNoOtherRegistersRequests) {
    setUp();
    world->dispatcher.hold(kSlow);
    const size_t slowBefore = world->dispatcher.countOf("tasks", kSlow);
    startCycle(slow);
    ASSERT_TRUE(waitUntil([&] { return world->dispatcher.countOf("tasks", kSlow) > slowBefore; }));

    // The slow register's request is still held: the other one exchanges meanwhile.
    const size_t otherBefore = world->dispatcher.countOf("tasks", kOther);
    runCycle(*other.record);
    EXPECT_EQ(world->dispatcher.countOf("tasks", kOther), otherBefore + 1);
    EXPECT_TRUE(other.record->isConnected());

    world->dispatcher.releaseAll();
    settle(*slow.record);
    EXPECT_TRUE(slow.record->isConnected());
}

TEST_F(RegisterWorkerTest, TheUserInterfaceThreadStaysFreeWhileARequestHangs) {
    setUp();
    world->dispatcher.hold(kSlow);
    const size_t before = world->dispatcher.countOf("tasks", kSlow);
    startCycle(slow);
    ASSERT_TRUE(waitUntil([&] { return world->dispatcher.countOf("tasks", kSlow) > before; }));

    // A 10 ms timer on the user-interface thread keeps firing while the request hangs.
    int ticks = 0;
    QTimer timer;
    timer.setInterval(10);
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start();
    EXPECT_TRUE(waitUntil([&] { return ticks >= 20; }));
    timer.stop();
    EXPECT_EQ(world->dispatcher.countOf("tasks", kSlow), before + 1);

    world->dispatcher.releaseAll();
    settle(*slow.record);
}

TEST_F(RegisterWorkerTest, ARegisterPrintingABurstDelaysNoOtherRegistersCycle) {
    Json printing = benchRegister(kSlow, "COM1");
    printing["printSeconds"] = 0.5;
    setUp(printing);
    Json docs = Json::array();
    docs.push_back(sandbox::DemoFeed::openShiftTask());
    for (int n = 0; n < 8; ++n)
        docs.push_back(sandbox::DemoFeed::saleTask(n));
    for (size_t n = 0; n < docs.size(); ++n)
        docs[n]["external_id"] = "burst-" + std::to_string(n);
    world->dispatcher.answer(
        "tasks",
        {{"status", 200},
         {"message", ""},
         {"data", {{"acked", Json::array()}, {"docs", docs}, {"commands", Json::array()}}}});
    startCycle(slow);
    ASSERT_TRUE(waitUntil([&] { return rows(kSlow, "added") + rows(kSlow, "completed") == 9; }));
    world->dispatcher.answer(
        "tasks",
        {{"status", 200},
         {"message", ""},
         {"data",
          {{"acked", Json::array()}, {"docs", Json::array()}, {"commands", Json::array()}}}});

    // The burst takes seconds to print; the other register's cycle ends before it does.
    const size_t otherBefore = world->dispatcher.countOf("tasks", kOther);
    runCycle(*other.record);
    EXPECT_EQ(world->dispatcher.countOf("tasks", kOther), otherBefore + 1);
    EXPECT_GT(rows(kSlow, "added"), 0u);

    // A pass takes no new document 4 s after its request started: the next cycles go on.
    settle(*slow.record);
    for (int cycle = 0; cycle < 5 && rows(kSlow, "completed") < 9u; ++cycle)
        runCycle(*slow.record);
    EXPECT_EQ(rows(kSlow, "completed"), 9u);
}

}  // namespace
