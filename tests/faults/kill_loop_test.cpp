// The real program killed with SIGKILL at random moments while documents flow from the
// sandbox to the emulated register, and started again each time: every document must end
// acknowledged and fiscalised exactly once. The register takes a moment over each document,
// so many kills land between the register making a receipt and the client hearing of it.
//
// The short run (3 kills, 30 documents) belongs to every test run; TILLHAVEN_LONG_FAULTS=1
// makes it 20 kills and 200 documents. TILLHAVEN_FAULT_SEED repeats a run's kill moments.
#include <gtest/gtest.h>

#include <random>

#include "FaultKit.h"

using namespace th;
using namespace th::faults;
using namespace std::chrono_literals;

namespace {

struct KillPlan {
    int kills;
    int documents;
};

KillPlan killPlan() {
    if (envNumber("TILLHAVEN_LONG_FAULTS", 0) != 0)
        return {20, 200};
    return {3, 30};
}

class KillLoopTest : public ::testing::Test {
protected:
    KillLoopTest() : sandbox_(sandboxOptions()), port_(sandbox_.start()), admin_(port_) {
        prepareHome(home_, port_);
        home_.write("emulator.json", benchFile(true, kPrintSeconds));
    }

    static constexpr double kPrintSeconds = 0.25;

    std::filesystem::path journalFile() const { return home_.file(kJournalFileName); }

    // Starts the program and waits for its first "tasks" exchange.
    bool startAndExchange() {
        const int64_t before = admin_.tasksRequests();
        client_.start();
        return waitFor([&] { return admin_.tasksRequests() > before || !client_.running(); }, 90s,
                       20ms) &&
               client_.running();
    }

    test::TempDir home_;
    sandbox::SandboxServer sandbox_;
    int port_;
    SandboxAdmin admin_;
    ClientProcess client_{home_.path()};
};

TEST_F(KillLoopTest, EveryDocumentEndsAcknowledgedThroughKillsAndRestarts) {
    const KillPlan plan = killPlan();
    const unsigned seed = faultSeed();
    std::mt19937 random(seed);
    // Half the kills land in the first moments after the documents are stored, while they
    // are printed one after another; the rest anywhere up to past the
    // next exchange, 5 s later, while answers are completed, reported or acknowledged.
    std::bernoulli_distribution early(0.5);
    std::uniform_int_distribution<int> earlyMs(0, 2500);
    std::uniform_int_distribution<int> anyMs(0, 6500);
    finding() << "kill loop: " << plan.kills << " kills, " << plan.documents << " documents, seed "
              << seed << "\n";

    std::vector<std::string> ids;
    const int perRound = plan.documents / plan.kills;
    for (int round = 0; round < plan.kills; ++round) {
        const int count = round + 1 == plan.kills ? plan.documents - perRound * round : perRound;
        for (const std::string& id : admin_.queueDocs(documentBatch(perRound * round, count)))
            ids.push_back(id);
        ASSERT_TRUE(startAndExchange())
            << "the program did not exchange, see " << home_.file("client-output.log");
        // The service hands each document out once: a kill before the answer that brought
        // them is stored would lose them by the rules of the exchange, not by a fault here.
        ASSERT_TRUE(
            waitFor([&] { return storedRows(journalFile()) == int64_t(ids.size()); }, 90s, 10ms))
            << "the documents were not stored, see " << home_.file("client-output.log");
        const int delay = early(random) ? earlyMs(random) : anyMs(random);
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        ASSERT_TRUE(client_.running()) << "the program ended by itself in round " << round;
        client_.kill(SIGKILL);
        finding() << "round " << round << ": killed " << delay
                  << " ms after the documents were stored, " << admin_.docsIn("acked").size()
                  << " of " << ids.size() << " acknowledged\n";
    }

    // The last start runs undisturbed until the sandbox has acknowledged everything.
    ASSERT_TRUE(startAndExchange());
    // The service counts a document acknowledged when it answers; the client's journal
    // follows a moment later, when it has handled that answer.
    // Well inside the test's own time-out, so what went wrong is printed.
    const bool drained = waitFor(
        [&] {
            return admin_.docsIn("acked").size() == ids.size() && journalSettled(journalFile());
        },
        240s, 250ms);
    client_.kill(SIGKILL);
    EXPECT_TRUE(drained) << admin_.docsIn("acked").size() << " of " << ids.size()
                         << " acknowledged";

    const FiscalOutcome outcome = fiscalOutcome(home_.path(), ids);
    EXPECT_EQ(outcome.lost, 0) << "seed " << seed;
    EXPECT_EQ(outcome.twice, 0) << "seed " << seed << " (TILLHAVEN_FAULT_SEED repeats the run)";
    EXPECT_TRUE(journalSettled(journalFile()));
}

}  // namespace
