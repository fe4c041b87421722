// A receipt whose answer never reached the journal (the link went mid-print, the program
// was killed, the power failed) is settled by the register's own count: printed once,
// completed from the register's record, or left for a person when the register cannot tell.
#include <gtest/gtest.h>

#include "CycleRig.h"
#include "cashbox/InFlight.h"

using namespace th;
using namespace th::faults;
using namespace std::chrono_literals;

namespace {

std::string benchWith(const Json& members) {
    Json reg = {{"serial", kSerial}, {"port", "USB"}};
    reg.update(members);
    return dumpCompact(Json{{"registers", Json::array({reg})}});
}

// The emulator's fiscal document number for a document, from its task log.
std::optional<std::int64_t> registerNumberOf(const std::filesystem::path& home,
                                             const std::string& id) {
    for (const Json& line : EmulatorBench(home).logLines())
        if (line.value("external_id", Json()) == id && line.contains("fiscalDocumentNumber"))
            return line["fiscalDocumentNumber"].get<std::int64_t>();
    return std::nullopt;
}

// Another program on the same register closes the shift: one more fiscal document.
bool closeShiftFromAnotherProgram(CycleRig& rig) {
    AutomationRegistry otherProgram;
    installRegisterBackend(otherProgram, "emulator", rig.home_.path());
    AtolDriver other(kSerial, otherProgram);
    other.setComType("USB");
    other.connect();
    const Json closeShift = {{"type", "closeShift"}};
    return other.processJSON(&closeShift).has_value();
}

// The shift is opened; the next sale is fiscalised and its answer lost on the way back.
std::string saleWithALostAnswer(CycleRig& rig) {
    rig.queueSales(1);
    rig.tick();
    rig.home_.write("emulator.json", benchWith({{"loseAnswers", 1}}));
    const std::string sale = rig.queueSales(1).front();
    rig.tick();
    EXPECT_EQ(rig.journal_.inFlightMarks(kSerial).size(), 1u);
    return sale;
}

TEST(InFlight, ASaleWhoseAnswerIsLostIsFiscalisedOnceAndCompletedFromTheRegister) {
    CycleRig rig;
    const std::string sale = saleWithALostAnswer(rig);
    ASSERT_TRUE(rig.drain());
    EXPECT_EQ(rig.notFiscalisedOnce(), std::vector<std::string>{});

    const std::optional<CheckRow> row = rig.journal_.findCheck(kSerial, sale);
    ASSERT_TRUE(row);
    const Json response = Json::parse(row->response);
    EXPECT_EQ(response["recovered"], true);
    EXPECT_EQ(response["fiscalParams"]["fiscalDocumentNumber"],
              registerNumberOf(rig.home_.path(), sale));
    EXPECT_TRUE(response["fiscalParams"].contains("total"));
    EXPECT_TRUE(rig.problems.empty());
    EXPECT_EQ(rig.reconnects_, 0);
}

// The service's next answer carries a command that makes a fiscal document (a shift
// closing): the sale is settled before the command reaches the register.
TEST(InFlight, ACommandArrivingAfterTheLossDoesNotPassForTheSale) {
    CycleRig rig;
    const std::string sale = saleWithALostAnswer(rig);
    rig.sandbox_.state().queueCommands(
        kSerial, Json::array({{{"id", "close"}, {"payload", {{"type", "closeShift"}}}}}));
    ASSERT_TRUE(rig.drain());
    EXPECT_EQ(rig.notFiscalisedOnce(), std::vector<std::string>{});
    EXPECT_EQ(Json::parse(rig.journal_.findCheck(kSerial, sale)->response)["recovered"], true);
    EXPECT_TRUE(rig.problems.empty());
}

// Between the loss and the next cycle another program makes a fiscal document on the
// register: the count moved by two, so nobody can tell from the register alone.
TEST(InFlight, ADocumentMadeElsewhereMeanwhileLeavesTheSaleToAPerson) {
    CycleRig rig;
    const std::string sale = saleWithALostAnswer(rig);
    ASSERT_TRUE(closeShiftFromAnotherProgram(rig));

    for (int n = 0; n < 3; ++n)
        rig.tick();
    EXPECT_EQ(fiscalisations(rig.home_.path()).at(sale), 1);
    EXPECT_EQ(rig.journal_.findCheck(kSerial, sale)->status, "added");
    ASSERT_EQ(rig.problems.size(), 1u);
    EXPECT_NE(rig.problems[0].find(sale), std::string::npos);
    EXPECT_NE(rig.problems[0].find("проверьте последние документы кассы"), std::string::npos);
    EXPECT_EQ(rig.admin_.docsIn("received"), std::vector<std::string>{sale});
}

// The program was killed after it marked the sale but before the register printed it, and
// another document was made meanwhile: the register's last document is not this sale.
TEST(InFlight, AMarkedSaleIsNotTakenForAnotherDocument) {
    CycleRig rig;
    rig.queueSales(1);
    rig.tick();
    const std::string sale = rig.queueSales(1).front();
    rig.watched_.afterTask = [&](const Json& task) {
        if (task.value("type", "") == "getFnStatus")
            rig.atol_.disconnect();  // the link goes before the sale is handed over
    };
    rig.tick();
    rig.watched_.afterTask = nullptr;
    ASSERT_EQ(rig.journal_.inFlightMarks(kSerial).size(), 1u);
    ASSERT_TRUE(closeShiftFromAnotherProgram(rig));

    for (int n = 0; n < 3; ++n)
        rig.tick();
    EXPECT_EQ(fiscalisations(rig.home_.path()).count(sale), 0u);
    EXPECT_EQ(rig.journal_.findCheck(kSerial, sale)->status, "added");
    EXPECT_EQ(rig.problems.size(), 1u);
}

// The real program killed while the register prints (the document is made, its answer not
// yet back) and started again: the sale is fiscalised once and completed.
TEST(InFlight, KilledDuringAPrintTheSaleIsFiscalisedOnceAfterTheRestart) {
    test::TempDir home;
    sandbox::SandboxServer sandbox(sandboxOptions());
    const int port = sandbox.start();
    SandboxAdmin admin(port);
    prepareHome(home, port);
    home.write("emulator.json", benchWith({{"printSeconds", 3}}));
    const auto ids = admin.queueDocs(
        Json::array({sandbox::DemoFeed::openShiftTask(), sandbox::DemoFeed::saleTask(1)}));
    ClientProcess client(home.path());
    client.start();
    // The shift opening is made at once and answered 3 s later: kill in between.
    ASSERT_TRUE(waitFor([&] { return fiscalisations(home.path()).count(ids[0]) == 1; }, 90s, 20ms));
    client.kill(SIGKILL);

    home.write("emulator.json", benchWith(Json::object()));
    client.start();
    const bool acknowledged =
        waitFor([&] { return admin.docsIn("acked").size() == ids.size(); }, 120s, 100ms);
    client.kill(SIGKILL);
    EXPECT_TRUE(acknowledged) << "see " << home.file("client-output.log");
    const auto fiscal = fiscalisations(home.path());
    for (const std::string& id : ids)
        EXPECT_EQ(fiscal.count(id) ? fiscal.at(id) : 0, 1) << id;
    TaskJournal journal;
    journal.openJournal(home.file(kJournalFileName));
    EXPECT_EQ(Json::parse(journal.findCheck(kSerial, ids[0])->response)["recovered"], true);
}

}  // namespace
