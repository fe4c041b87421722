// A receipt whose answer never reached the journal (the link went mid-print, the program
// was killed, the power failed) is settled by the register's own count: printed once,
// completed from the register's record, or left for a person when the register cannot tell.
#include <gtest/gtest.h>

#include "CycleRig.h"
#include "cashbox/DoubtfulDocuments.h"
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

// Another program on the same register closes the shift and opens the next one: two more
// fiscal documents, and a shift to print in.
bool reopenShiftFromAnotherProgram(CycleRig& rig) {
    AutomationRegistry otherProgram;
    installRegisterBackend(otherProgram, "emulator", rig.home_.path());
    AtolDriver other(kSerial, otherProgram);
    other.setComType("USB");
    other.connect();
    for (const char* type : {"closeShift", "openShift"}) {
        const Json task = {{"type", type}};
        if (!other.processJSON(&task))
            return false;
    }
    return true;
}

// The sandbox's record of a document: what the service was told and how often.
Json serviceRecordOf(CycleRig& rig, const std::string& id) {
    const Json state = rig.admin_.registerState();
    for (const Json& doc : state["docs"])
        if (doc["external_id"] == id)
            return doc;
    return Json();
}

// A person checked the register's documents and found the doubtful sale printed: the row is
// completed with the number from the receipt, the service gets it in the next request and
// once, and the register never prints it again. A number the register cannot have given
// the sale is refused and changes nothing.
TEST(InFlight, ADoubtfulSaleConfirmedPrintedIsReportedOnceWithItsNumber) {
    CycleRig rig;
    const std::string sale = saleWithALostAnswer(rig);
    ASSERT_TRUE(closeShiftFromAnotherProgram(rig));
    rig.tick();
    ASSERT_EQ(rig.cycle_.doubtfulDocuments(), std::set<std::string>{sale});
    const std::int64_t printed = registerNumberOf(rig.home_.path(), sale).value();
    const std::int64_t count = printed + 1;  // the shift closed elsewhere came after it

    const std::pair<std::int64_t, const char*> refused[] = {
        {count + 1, "больше номера последнего документа кассы"},
        {printed - 1, "был у кассы ещё до передачи документа"},
        {0, "больше нуля"}};
    for (const auto& [number, why] : refused) {
        SCOPED_TRACE(number);
        try {
            rig.cycle_.resolveDoubtful(sale, {DoubtfulResolution::Kind::Printed, number});
            ADD_FAILURE() << "accepted";
        } catch (const ResolutionError& e) {
            EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(rig.journal_.findCheck(kSerial, sale)->status, "added");

    const std::string done =
        rig.cycle_.resolveDoubtful(sale, {DoubtfulResolution::Kind::Printed, printed});
    EXPECT_NE(done.find(std::to_string(printed)), std::string::npos) << done;
    EXPECT_TRUE(rig.cycle_.doubtfulDocuments().empty());
    EXPECT_TRUE(rig.journal_.inFlightMarks(kSerial).empty());
    const size_t requestsBefore = static_cast<size_t>(rig.admin_.tasksRequests());
    rig.tick();
    EXPECT_EQ(static_cast<size_t>(rig.admin_.tasksRequests()), requestsBefore + 1);
    Json told = serviceRecordOf(rig, sale);
    EXPECT_EQ(told["state"], "acked");
    EXPECT_EQ(told["response"], operatorConfirmedResponse(printed));
    EXPECT_EQ(told["response"]["confirmedBy"], "operator");
    for (int n = 0; n < 3; ++n)
        rig.tick();
    EXPECT_EQ(serviceRecordOf(rig, sale)["ack_count"], 1);
    EXPECT_EQ(fiscalisations(rig.home_.path()).at(sale), 1);
    EXPECT_EQ(rig.journal_.findCheck(kSerial, sale)->status, "acked");
    EXPECT_THROW(rig.cycle_.resolveDoubtful(sale, {DoubtfulResolution::Kind::NotPrinted, 0}),
                 ResolutionError);
}

// The register was cut off before the sale reached it and another program made a document
// meanwhile: a person finds no receipt and has it printed. It is printed once, marked again
// before it goes.
TEST(InFlight, ADoubtfulSaleConfirmedNotPrintedIsPrintedOnce) {
    CycleRig rig;
    rig.queueSales(1);
    rig.tick();
    const std::string sale = rig.queueSales(1).front();
    rig.watched_.afterTask = [&](const Json& task) {
        if (task.value("type", "") == "getFnStatus")
            rig.atol_.disconnect();
    };
    rig.tick();
    rig.watched_.afterTask = nullptr;
    ASSERT_TRUE(reopenShiftFromAnotherProgram(rig));
    rig.tick();
    ASSERT_EQ(rig.cycle_.doubtfulDocuments(), std::set<std::string>{sale});
    rig.tick();
    ASSERT_EQ(fiscalisations(rig.home_.path()).count(sale), 0u);

    rig.cycle_.resolveDoubtful(sale, {DoubtfulResolution::Kind::NotPrinted, 0});
    EXPECT_THROW(rig.cycle_.resolveDoubtful(sale, {DoubtfulResolution::Kind::NotPrinted, 0}),
                 ResolutionError);
    ASSERT_TRUE(rig.drain());
    EXPECT_EQ(rig.notFiscalisedOnce(), std::vector<std::string>{});
    const Json answer = Json::parse(rig.journal_.findCheck(kSerial, sale)->response);
    EXPECT_EQ(answeredFiscalNumber(answer), registerNumberOf(rig.home_.path(), sale));
    EXPECT_FALSE(answer.contains("recovered"));
    EXPECT_EQ(serviceRecordOf(rig, sale)["ack_count"], 1);
}

}  // namespace
