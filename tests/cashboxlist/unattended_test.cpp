// An unattended workstation: nobody is at the screen, so nothing the program finds on its own
// may wait for a click. Whatever goes wrong is shown in the row, logged and notified, and
// every register goes on fiscalising.
// The sandbox comes before Qt, whose "emit" keyword it uses as a name.
#include "DemoFeed.h"

#include <gtest/gtest.h>

#include <QAction>

#include "cashboxlist/ListWorld.h"
#include "emulator/EmulatorBench.h"
#include "support/Controls.h"

using namespace th;
using namespace th::test;

namespace {

Json tasksWithDocs(const Json& docs) {
    return {{"status", 200},
            {"message", ""},
            {"data", {{"acked", Json::array()}, {"docs", docs}, {"commands", Json::array()}}}};
}

Json sale(const std::string& externalId) {
    Json doc = sandbox::DemoFeed::saleTask(1);
    doc["external_id"] = externalId;
    return doc;
}

std::vector<Json> twoRegisters() {
    return {benchRegister("1", "COM1"), benchRegister("2", "COM2")};
}

// How often the register fiscalised the document, from the emulator's task log.
int timesFiscalised(const TempDir& home, const std::string& externalId) {
    int times = 0;
    for (const Json& line : EmulatorBench(home.path()).logLines()) {
        times += line.contains("fiscalDocumentNumber") && line.contains("external_id") &&
                 line["external_id"] == externalId;
    }
    return times;
}

// One register listed, connected and with its shift open.
class OneRegister {
public:
    OneRegister() : world({{.serial = "A"}}, {benchRegister("A")}) {
        world.answerSalePoints(Json::array({salePoint("A")}));
        world.form().prepareCashboxes();
        world.settleAll();
        world.dispatcher.answer("tasks", tasksWithDocs(Json::array({openShift()})));
        runCycle(record());
        world.dispatcher.answer("tasks", tasksWithDocs(Json::array()));
    }
    CashboxRecord& record() { return world.record("A"); }
    std::string row() { return world.column(CashboxTableModel::StatusColumn).at(0); }
    // The register's next cycles: a reconnection first when the last exchange failed.
    void exchange() {
        if (!record().isConnected())
            onWorker(record(), [](RegisterLink& link) { link.tryReconnect(); });
        runCycle(record());
    }

    ListWorld world;

private:
    static Json openShift() {
        Json doc = sandbox::DemoFeed::openShiftTask();
        doc["external_id"] = "shift";
        return doc;
    }
};

struct BadAnswer {
    const char* name;
    int httpStatus;
    std::string body;
    const char* problem;  // a part of what the row shows
};

class BadTasksAnswer : public ::testing::TestWithParam<BadAnswer> {};

TEST_P(BadTasksAnswer, LeavesTheRegisterExchangingAndShowsTheProblemInItsRow) {
    OneRegister cashbox;
    cashbox.world.dispatcher.respond("tasks", GetParam().httpStatus, GetParam().body);
    runCycle(cashbox.record());
    EXPECT_NE(cashbox.row().find(std::string(" — ")), std::string::npos) << cashbox.row();
    EXPECT_NE(cashbox.row().find(GetParam().problem), std::string::npos) << cashbox.row();
    EXPECT_EQ(cashbox.world.dialogs.count(), 0u) << cashbox.world.dialogs.texts().front();
    EXPECT_EQ(cashbox.world.form().notificationCount(), 1);

    cashbox.world.dispatcher.answer("tasks", tasksWithDocs(Json::array({sale("next")})));
    cashbox.exchange();
    cashbox.world.dispatcher.answer("tasks", tasksWithDocs(Json::array()));
    cashbox.exchange();
    EXPECT_EQ(timesFiscalised(cashbox.world.home, "next"), 1);
    EXPECT_TRUE(cashbox.record().isConnected());
    EXPECT_EQ(cashbox.world.dialogs.count(), 0u);
}

std::string answerWithDocs(const Json& docs) {
    return dumpCompact(tasksWithDocs(docs));
}

Json withoutExternalId() {
    Json doc = sandbox::DemoFeed::saleTask(2);
    doc.erase("external_id");
    return doc;
}

Json withExternalId(const Json& externalId) {
    Json doc = sandbox::DemoFeed::saleTask(2);
    doc["external_id"] = externalId;
    return doc;
}

INSTANTIATE_TEST_SUITE_P(
    Unattended, BadTasksAnswer,
    ::testing::Values(BadAnswer{"ServiceStatus500", 200,
                                R"({"status":500,"message":"Временная ошибка сервиса"})",
                                "Временная ошибка сервиса"},
                      BadAnswer{"Http403", 403, R"({"status":403,"message":"Доступ запрещён"})",
                                "Доступ запрещён"},
                      BadAnswer{"ArrayBody", 200, "[]", ""},
                      BadAnswer{"DocThatIsAString", 200, answerWithDocs(Json::array({"чек"})), ""},
                      BadAnswer{"DocWithoutExternalId", 200,
                                answerWithDocs(Json::array({withoutExternalId()})), ""},
                      BadAnswer{"ExternalIdThatIsAnObject", 200,
                                answerWithDocs(Json::array({withExternalId({{"id", 1}})})), ""}),
    [](const auto& info) { return std::string(info.param.name); });

// The first register cannot work (paper out, cover open, its report refused): the one after
// it connects and exchanges all the same, and nobody has to click anything.
struct FirstRegisterFault {
    const char* name;
    const char* flag;  // a bench flag of the first register set false, or none
    bool refuseReport;
    const char* problem;
};

class FirstOfTwoRegisters : public ::testing::TestWithParam<FirstRegisterFault> {};

TEST_P(FirstOfTwoRegisters, ItsFaultLetsTheSecondStart) {
    std::vector<Json> bench = twoRegisters();
    if (*GetParam().flag)
        bench[0][GetParam().flag] = std::string(GetParam().flag) == "coverOpened";
    ListWorld world({{.serial = "1", .connectionType = "COM", .comPort = "COM1"},
                     {.serial = "2", .connectionType = "COM", .comPort = "COM2"}},
                    bench);
    if (GetParam().refuseReport)
        world.dispatcher.answer("cashbox", {{"status", 403}, {"message", GetParam().problem}});
    world.answerSalePoints(Json::array({salePoint("1"), salePoint("2")}));
    world.form().prepareCashboxes();
    world.settleAll();

    EXPECT_EQ(world.dialogs.count(), 0u) << world.dialogs.texts().front();
    EXPECT_NE(world.record("1").lastProblem().find(GetParam().problem), std::string::npos)
        << world.record("1").lastProblem();
    EXPECT_TRUE(world.record("2").isConnected());
    const size_t before = world.dispatcher.countOf("tasks", "2");
    runCycle(world.record("2"));
    EXPECT_EQ(world.dispatcher.countOf("tasks", "2"), before + 1);
    EXPECT_EQ(world.dialogs.count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Unattended, FirstOfTwoRegisters,
                         ::testing::Values(FirstRegisterFault{"PaperOut", "paperPresent", false,
                                                              "В кассе отсутствует чековая лента"},
                                           FirstRegisterFault{"CoverOpen", "coverOpened", false,
                                                              "Проверьте крышку кассы"},
                                           FirstRegisterFault{"ReportRefused", "", true,
                                                              "Касса не зарегистрирована"}),
                         [](const auto& info) { return std::string(info.param.name); });

// A loose plug: the register keeps losing contact. Each loss is shown in the row and the
// log; the tray says it once per register until the register is back.
TEST(Unattended, TenLossesOfContactNotifyOncePerRegisterWithoutABox) {
    ListWorld world({{.serial = "1", .connectionType = "COM", .comPort = "COM1"},
                     {.serial = "2", .connectionType = "COM", .comPort = "COM2"}},
                    twoRegisters());
    world.answerSalePoints(Json::array({salePoint("1"), salePoint("2")}));
    world.form().prepareCashboxes();
    world.settleAll();
    ASSERT_TRUE(world.record("1").isConnected());
    ASSERT_TRUE(world.record("2").isConnected());

    std::vector<Json> unplugged = twoRegisters();
    for (Json& entry : unplugged)
        entry["reachable"] = false;
    world.home.write("emulator.json", benchText(unplugged));
    for (int loss = 0; loss < 10; ++loss) {
        for (const char* serial : {"1", "2"}) {
            CashboxRecord& record = world.record(serial);
            if (record.isConnected())
                runCycle(record);
            else
                onWorker(record, [](RegisterLink& link) { link.tryReconnect(); });
        }
    }
    EXPECT_EQ(world.dialogs.count(), 0u) << world.dialogs.texts().front();
    EXPECT_LE(world.form().notificationCount(), 2);
    EXPECT_EQ(world.column(CashboxTableModel::StatusColumn),
              (Strings{"не активен — Нет связи с кассой", "не активен — Нет связи с кассой"}));
    const std::string log = world.home.read(ProblemLog::kFileName);
    EXPECT_NE(log.find("Нет связи с кассой"), std::string::npos) << log;
}

// A newer version at start is notified and offered on "Обновить"; the registers start and
// exchange at once, without a question waiting for someone at the screen.
TEST(Unattended, AnUpdateOfferedAtStartDelaysNoExchange) {
    ListWorld world({{.serial = "A"}}, {benchRegister("A")}, "9.0.0.0");
    EXPECT_EQ(world.dialogs.count(), 0u) << world.dialogs.texts().front();
    EXPECT_TRUE(control<QAction>(world.form(), "updateAction")->isEnabled());
    EXPECT_EQ(world.form().notificationCount(), 1);
    EXPECT_NE(world.home.read(ProblemLog::kFileName).find("до версии 9.0.0.0"), std::string::npos);

    world.answerSalePoints(Json::array({salePoint("A")}));
    world.form().prepareCashboxes();
    world.settleAll();
    ASSERT_TRUE(world.record("A").isConnected());
    runCycle(world.record("A"));
    EXPECT_EQ(world.dispatcher.countOf("tasks", "A"), 1u);
    EXPECT_EQ(world.dialogs.count(), 0u);
}

}  // namespace
