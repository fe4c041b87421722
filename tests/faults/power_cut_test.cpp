// Power cuts: the real program runs with a disk that keeps every write to the journal in
// its cache until the file is synced (the power-cut layer, loaded with LD_PRELOAD), and is
// killed at random moments while the register prints: whatever was written since the last
// sync is gone, as when the power goes. It starts again each time; over many cuts every
// document ends fiscalised once and acknowledged, none lost, none doubled. The service
// hands each document out once.
//
// The short run (5 cuts, 30 documents) belongs to every test run; TILLHAVEN_LONG_FAULTS=1
// makes it 100 cuts and 1,100 documents. TILLHAVEN_FAULT_SEED repeats a run's cut moments.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <random>

#include "FaultKit.h"
#include "support/Sanitizers.h"

using namespace th;
using namespace th::faults;
using namespace std::chrono_literals;

namespace {

const std::string kPowerCutLibrary = std::string(TH_TEST_BIN_DIR) + "/libth_power_cut.so";

// The program's environment with the power-cut layer in front of SQLite. A sanitizer's
// runtime must otherwise come first among the libraries; here it need not.
std::vector<std::string> powerCutEnvironment() {
    const char* asan = std::getenv("ASAN_OPTIONS");
    return {"LD_PRELOAD=" + kPowerCutLibrary, std::string("ASAN_OPTIONS=") +
                                                  (asan ? std::string(asan) + ":" : "") +
                                                  "verify_asan_link_order=0"};
}

// What a journal holds after a process wrote it through the power-cut layer and died.
int64_t tableRows(const std::filesystem::path& file) {
    sqlite3* db = nullptr;
    int64_t rows = -1;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* count = nullptr;
        if (sqlite3_prepare_v2(db, "select count(*) from t", -1, &count, nullptr) == SQLITE_OK &&
            sqlite3_step(count) == SQLITE_ROW)
            rows = sqlite3_column_int64(count, 0);
        sqlite3_finalize(count);
    }
    sqlite3_close(db);
    return rows;
}

// A child process writes through the layer and dies without closing: with syncs off
// nothing reaches the disk; with every commit synced, everything does.
TEST(PowerCut, TheCutDropsWhatWasWrittenSinceTheLastSync) {
    if (test::kUnderSanitizer)
        GTEST_SKIP() << "the power-cut layer is built without the sanitizers and sits under "
                        "SQLite inside a sanitized program; the cuts run in the plain build";
    for (const char* synchronous : {"off", "full"}) {
        SCOPED_TRACE(synchronous);
        test::TempDir dir;
        const std::filesystem::path file = dir.file("cut.db");
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            sqlite3* db = nullptr;
            const bool ok =
                ::dlopen(kPowerCutLibrary.c_str(), RTLD_NOW) != nullptr &&
                sqlite3_open(file.c_str(), &db) == SQLITE_OK &&
                sqlite3_exec(
                    db,
                    (std::string("pragma journal_mode=WAL; pragma synchronous=") + synchronous +
                     "; create table t (n); insert into t values (1), (2), (3);")
                        .c_str(),
                    nullptr, nullptr, nullptr) == SQLITE_OK;
            ::_exit(ok ? 0 : 1);  // the cut: no close, no checkpoint
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ::dlerror();
        EXPECT_EQ(tableRows(file), std::string(synchronous) == "off" ? -1 : 3);
    }
}

struct CutPlan {
    int cuts;
    int documents;
};

CutPlan cutPlan() {
    if (envNumber("TILLHAVEN_LONG_FAULTS", 0) != 0)
        return {100, 1100};
    return {5, 30};
}

class PowerCutLoop : public ::testing::Test {
protected:
    PowerCutLoop() : sandbox_(sandboxOptions()), port_(sandbox_.start()), admin_(port_) {
        prepareHome(home_, port_);
        home_.write("emulator.json", benchFile(true, 0.2));
    }

    std::filesystem::path journalFile() const { return home_.file(kJournalFileName); }

    // Starts the program and waits until it has stored every document queued so far.
    bool startAndStore(size_t documents) {
        client_.start();
        return waitFor(
                   [&] {
                       return storedRows(journalFile()) == int64_t(documents) || !client_.running();
                   },
                   90s, 10ms) &&
               client_.running();
    }

    test::TempDir home_;
    sandbox::SandboxServer sandbox_;
    int port_;
    SandboxAdmin admin_;
    ClientProcess client_{home_.path(), powerCutEnvironment()};
};

TEST_F(PowerCutLoop, OverManyCutsNothingIsLostOrDoubled) {
    if (test::kUnderSanitizer)
        GTEST_SKIP() << "the power-cut layer is built without the sanitizers and sits under "
                        "SQLite inside a sanitized program; the cuts run in the plain build";
    const CutPlan plan = cutPlan();
    const unsigned seed = faultSeed();
    std::mt19937 random(seed);
    // From the moment the documents are stored to past the next exchange: while they are
    // marked, printed and completed, and while their answers are reported and acknowledged.
    std::uniform_int_distribution<int> cutMs(0, 6000);
    finding() << "power cuts: " << plan.cuts << " cuts, " << plan.documents << " documents, seed "
              << seed << "\n";

    std::vector<std::string> ids;
    const int perRound = plan.documents / plan.cuts;
    for (int round = 0; round < plan.cuts; ++round) {
        const int count = round + 1 == plan.cuts ? plan.documents - perRound * round : perRound;
        for (const std::string& id : admin_.queueDocs(documentBatch(perRound * round, count)))
            ids.push_back(id);
        ASSERT_TRUE(startAndStore(ids.size()))
            << "the program did not store the documents, see " << home_.file("client-output.log");
        const int delay = cutMs(random);
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        ASSERT_TRUE(client_.running()) << "the program ended by itself in round " << round;
        client_.kill(SIGKILL);
        finding() << "round " << round << ": cut " << delay
                  << " ms after the documents were stored, " << admin_.docsIn("acked").size()
                  << " of " << ids.size() << " acknowledged\n";
    }

    client_.start();
    const bool drained = waitFor(
        [&] {
            return admin_.docsIn("acked").size() == ids.size() && journalSettled(journalFile());
        },
        240s, 250ms);
    client_.kill(SIGKILL);
    EXPECT_TRUE(drained) << admin_.docsIn("acked").size() << " of " << ids.size()
                         << " acknowledged, see " << home_.file("client-output.log");

    const FiscalOutcome outcome = fiscalOutcome(home_.path(), ids);
    EXPECT_EQ(outcome.lost, 0) << "seed " << seed;
    EXPECT_EQ(outcome.twice, 0) << "seed " << seed << " (TILLHAVEN_FAULT_SEED repeats the run)";
}

}  // namespace
