// The register's own failures, met by the real program with its own timers running: a link
// that dies during a print, paper that runs out with receipts queued, a correction receipt.
// Whatever the register says, a receipt is printed once, and what the service hears about
// it is what the register did.
#include <gtest/gtest.h>

#include "DemoFeed.h"
#include "FaultKit.h"
#include "drivers/CashboxDriver.h"
#include "platform/ProblemLog.h"

using namespace th;
using namespace th::faults;
using namespace std::chrono_literals;

namespace {

std::string benchWith(const Json& members) {
    Json reg = {{"serial", kSerial}, {"port", "USB"}};
    reg.update(members);
    return dumpCompact(Json{{"registers", Json::array({reg})}});
}

// The register's answer to a document as the service recorded it; null before it has one.
Json responseOf(SandboxAdmin& admin, const std::string& id) {
    const Json state = admin.registerState();
    for (const Json& doc : state["docs"])
        if (doc["external_id"] == id)
            return doc.value("response", Json());
    return Json();
}

std::int64_t registerCount(const test::TempDir& home) {
    return EmulatorBench(home.path()).stateOf(kSerial).lastDocumentNumber;
}

// The emulator's fiscal document number for a document, from its task log.
Json registerNumberOf(const test::TempDir& home, const std::string& id) {
    for (const Json& line : EmulatorBench(home.path()).logLines())
        if (line.value("external_id", Json()) == id && line.contains("fiscalDocumentNumber"))
            return line["fiscalDocumentNumber"];
    return Json();
}

class RegisterFaults : public ::testing::Test {
protected:
    RegisterFaults() : sandbox_(sandboxOptions()), port_(sandbox_.start()), admin_(port_) {
        prepareHome(home_, port_);
    }

    // The program started and the shift opened on the register.
    void startWithShiftOpen() {
        const auto shift = admin_.queueDocs(Json::array({sandbox::DemoFeed::openShiftTask()}));
        client_.start();
        ASSERT_TRUE(waitFor([&] { return admin_.docsIn("acked") == shift; }, 120s))
            << "see " << home_.file("client-output.log");
    }

    bool allAcknowledged(const std::vector<std::string>& ids) {
        return waitFor(
            [&] {
                const auto acked = admin_.docsIn("acked");
                return std::all_of(ids.begin(), ids.end(), [&](const std::string& id) {
                    return std::find(acked.begin(), acked.end(), id) != acked.end();
                });
            },
            180s);
    }

    bool problemLogged(const std::string& text) {
        return home_.read(ProblemLog::kFileName).find(text) != std::string::npos;
    }

    test::TempDir home_;
    sandbox::SandboxServer sandbox_;
    int port_;
    SandboxAdmin admin_;
    ClientProcess client_{home_.path()};
};

// The register falls silent (code 2) while it prints a sale: the sale is made, its answer
// lost. The program loses contact, reconnects by itself once the register answers again,
// and completes the sale from the register's own record instead of printing it again.
TEST_F(RegisterFaults, ASaleWhoseLinkDiesMidPrintIsPrintedOnceAndCompletedAsRecovered) {
    startWithShiftOpen();
    home_.write("emulator.json", benchWith({{"printSeconds", 3}}));
    const std::string sale =
        admin_.queueDocs(Json::array({sandbox::DemoFeed::saleTask(1)})).front();
    ASSERT_TRUE(waitFor([&] { return fiscalisations(home_.path()).count(sale) == 1; }, 120s));
    home_.write("emulator.json", benchWith({{"printSeconds", 3}, {"silent", true}}));
    ASSERT_TRUE(waitFor([&] { return problemLogged(kNoRegisterContact); }, 120s))
        << home_.read(ProblemLog::kFileName);

    home_.write("emulator.json", benchWith(Json::object()));
    ASSERT_TRUE(allAcknowledged({sale})) << "see " << home_.file("client-output.log");
    EXPECT_EQ(fiscalisations(home_.path()).at(sale), 1);
    const Json response = responseOf(admin_, sale);
    EXPECT_EQ(response["recovered"], true) << response.dump();
    EXPECT_EQ(response["fiscalParams"]["fiscalDocumentNumber"], registerNumberOf(home_, sale));
}

// Paper runs out with five sales queued: the first is refused with the register's code 44
// and reported so, the register's count unchanged; the other four wait instead of being
// refused in turn, and print once each when paper is back.
TEST_F(RegisterFaults, PaperOutRefusesOneSaleAndTheOthersPrintOnceWhenPaperIsBack) {
    startWithShiftOpen();
    home_.write("emulator.json", benchWith({{"paperPresent", false}}));
    const std::int64_t countBefore = registerCount(home_);
    Json sales = Json::array();
    for (int n = 1; n <= 5; ++n)
        sales.push_back(sandbox::DemoFeed::saleTask(n));
    const std::vector<std::string> ids = admin_.queueDocs(sales);
    ASSERT_TRUE(allAcknowledged({ids[0]})) << "see " << home_.file("client-output.log");
    EXPECT_EQ(responseOf(admin_, ids[0]), (Json{{"error", "44 [Нет бумаги]"}}));
    EXPECT_EQ(registerCount(home_), countBefore);

    // Two more exchanges: the others still wait, nothing handed to the printer.
    const std::int64_t requests = admin_.tasksRequests();
    ASSERT_TRUE(waitFor([&] { return admin_.tasksRequests() >= requests + 2; }, 120s));
    const auto waiting = fiscalisations(home_.path());
    for (size_t n = 1; n < ids.size(); ++n) {
        EXPECT_TRUE(responseOf(admin_, ids[n]).is_null()) << ids[n];
        EXPECT_EQ(waiting.count(ids[n]), 0u) << ids[n];
    }

    home_.write("emulator.json", benchWith(Json::object()));
    ASSERT_TRUE(allAcknowledged(ids)) << "see " << home_.file("client-output.log");
    const auto fiscal = fiscalisations(home_.path());
    EXPECT_EQ(fiscal.count(ids[0]), 0u) << "the refused sale is not printed";
    for (size_t n = 1; n < ids.size(); ++n) {
        EXPECT_EQ(fiscal.count(ids[n]) ? fiscal.at(ids[n]) : 0, 1) << ids[n];
        EXPECT_TRUE(responseOf(admin_, ids[n])["fiscalParams"].contains("fiscalDocumentNumber"));
    }
    EXPECT_EQ(responseOf(admin_, ids[0]), (Json{{"error", "44 [Нет бумаги]"}}));
}

// A correction receipt in the register's newer form is fiscalised like a sale, and the
// service hears its fiscal document number.
TEST_F(RegisterFaults, ACorrectionReceiptIsPrintedOnceAndItsNumberReported) {
    startWithShiftOpen();
    Json correction = sandbox::DemoFeed::saleTask(2);
    correction["type"] = "sellCorrection";
    correction["correctionType"] = "self";
    correction["correctionBaseDate"] = "2024.05.31";
    const std::string id = admin_.queueDocs(Json::array({correction})).front();
    ASSERT_TRUE(allAcknowledged({id})) << "see " << home_.file("client-output.log");
    EXPECT_EQ(fiscalisations(home_.path()).at(id), 1);
    const Json number = registerNumberOf(home_, id);
    ASSERT_FALSE(number.is_null());
    EXPECT_EQ(responseOf(admin_, id)["fiscalParams"]["fiscalDocumentNumber"], number)
        << responseOf(admin_, id).dump();
}

}  // namespace
