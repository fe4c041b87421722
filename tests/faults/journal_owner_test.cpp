// The journal belongs to one program, and a program that is told to end keeps what it was
// told: real programs on one data directory, signals in the middle of a burst, a journal
// that cannot be opened at start. Every test counts the register's own record of fiscal
// documents, and every document is handed out once by the service (its "sent_count").
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "DemoFeed.h"
#include "FaultKit.h"
#include "support/Unprivileged.h"

using namespace th;
using namespace th::faults;
using namespace std::chrono_literals;

namespace {

constexpr double kPrintSeconds = 0.3;

Json sales(int first, int count) {
    Json batch = Json::array();
    for (int n = first; n < first + count; ++n)
        batch.push_back(n == 0 ? sandbox::DemoFeed::openShiftTask()
                               : sandbox::DemoFeed::saleTask(n - 1));
    return batch;
}

std::string fileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

size_t occurrences(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

int rowsOf(const std::filesystem::path& journal, const char* table) {
    sqlite3* db = nullptr;
    int rows = -1;
    if (sqlite3_open_v2(journal.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* count = nullptr;
        const std::string sql = std::string("select count(*) from ") + table;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &count, nullptr) == SQLITE_OK &&
            sqlite3_step(count) == SQLITE_ROW)
            rows = sqlite3_column_int(count, 0);
        sqlite3_finalize(count);
    }
    sqlite3_close(db);
    return rows;
}

bool exitedWith(int status, int code) {
    return WIFEXITED(status) && WEXITSTATUS(status) == code;
}

class JournalOwnerTest : public ::testing::Test {
protected:
    JournalOwnerTest() : sandbox_(sandboxOptions()), port_(sandbox_.start()), admin_(port_) {
        prepareHome(home_, port_);
        home_.write("emulator.json", benchFile(true, kPrintSeconds));
    }

    bool exchanged(ClientProcess& client) {
        const int64_t before = admin_.tasksRequests();
        return waitFor([&] { return admin_.tasksRequests() > before || !client.running(); }, 90s,
                       20ms) &&
               client.running();
    }

    bool allAcked(size_t documents) {
        return waitFor(
            [&] {
                return admin_.docsIn("acked").size() == documents &&
                       journalSettled(home_.file(kJournalFileName));
            },
            240s, 250ms);
    }

    // Every queued document printed exactly once, each handed out by the service only once.
    void expectEachPrintedOnce(const std::vector<std::string>& ids) {
        const auto fiscal = fiscalisations(home_.path());
        for (const std::string& id : ids)
            EXPECT_EQ(fiscal.count(id) ? fiscal.at(id) : 0, 1) << id;
        const Json state = admin_.registerState();
        for (const Json& doc : state["docs"])
            EXPECT_EQ(doc.value("sent_count", 0), 1) << doc.dump();
    }

    test::TempDir home_;
    sandbox::SandboxServer sandbox_;
    int port_;
    SandboxAdmin admin_;
};

// ---- two programs on one data directory -------------------------------------------------

enum class Second { SameUserNoRuntimeDirs, SameUserOtherRuntimeDir, OtherUser };

struct TwoProgramsCase {
    const char* name;
    Second second;
};

class TwoPrograms : public JournalOwnerTest,
                    public ::testing::WithParamInterface<TwoProgramsCase> {};

TEST_P(TwoPrograms, OneExecutesAndEverySaleIsPrintedOnce) {
    const Second second = GetParam().second;
    if (second == Second::OtherUser && !test::canDropPrivileges())
        GTEST_SKIP() << "needs root to start the second program as another user";
    test::TempDir runtimeFirst, runtimeSecond;
    ClientProcess first(home_.path());
    first.setOutputName("first-output.log");
    first.setRuntimeDir(second == Second::SameUserNoRuntimeDirs ? runtimeFirst.file("missing")
                                                                : runtimeFirst.path());
    ClientProcess other(home_.path());
    other.setOutputName("second-output.log");
    other.setRuntimeDir(second == Second::OtherUser ? runtimeSecond.path()
                                                    : runtimeSecond.file("missing"));
    if (second == Second::OtherUser) {
        // A folder shared by two users of the workstation.
        std::filesystem::permissions(home_.path(), std::filesystem::perms(0777));
        ASSERT_EQ(
            ::chown(runtimeSecond.path().c_str(), test::kUnprivilegedId, test::kUnprivilegedId), 0);
        other.setUser(test::kUnprivilegedId);
    }

    std::vector<std::string> ids = admin_.queueDocs(sales(0, 5));
    first.start();
    ASSERT_TRUE(exchanged(first)) << fileText(first.outputFile());
    other.start();
    const std::string expected = second == Second::OtherUser
                                     ? "Нет доступа к файлу блокировки журнала заданий"
                                     : "(процесс " + std::to_string(first.pid());
    if (second == Second::SameUserNoRuntimeDirs) {
        // The instance lock in the data directory turns it away: it shows the running
        // program and ends.
        ASSERT_TRUE(waitFor([&] { return !other.running(); }, 90s));
        EXPECT_TRUE(exitedWith(other.status(), 0)) << other.status();
    } else {
        // The journal's lock turns it away with a message naming the holder.
        ASSERT_TRUE(waitFor(
            [&] {
                return fileText(other.outputFile()).find(expected) != std::string::npos ||
                       !other.running();
            },
            90s));
        EXPECT_NE(fileText(other.outputFile()).find(expected), std::string::npos)
            << fileText(other.outputFile());
    }
    // More sales while the second program is still there, waiting in its box.
    for (const std::string& id : admin_.queueDocs(sales(5, 10)))
        ids.push_back(id);
    const bool drained = allAcked(ids.size());
    EXPECT_TRUE(drained) << admin_.docsIn("acked").size() << " of " << ids.size();
    if (other.running()) {
        other.signal(SIGTERM);
        EXPECT_TRUE(waitFor([&] { return !other.running(); }, 60s));
        EXPECT_TRUE(exitedWith(other.status(), 1)) << other.status();
    }
    EXPECT_TRUE(first.running());
    first.kill(SIGKILL);
    expectEachPrintedOnce(ids);
    std::string said = fileText(other.outputFile());
    said = said.substr(0, said.find('\n'));
    finding() << GetParam().name << ": the second program said: " << said << "\n";
}

INSTANTIATE_TEST_SUITE_P(DataDirectory, TwoPrograms,
                         ::testing::Values(TwoProgramsCase{"SameUserWithoutRuntimeDirectories",
                                                           Second::SameUserNoRuntimeDirs},
                                           TwoProgramsCase{"SameUserWithAnotherRuntimeDirectory",
                                                           Second::SameUserOtherRuntimeDir},
                                           TwoProgramsCase{"AnotherUser", Second::OtherUser}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- told to end in the middle of a burst -------------------------------------------------

struct SignalCase {
    const char* name;
    int signal;
};

class EndedBySignal : public JournalOwnerTest, public ::testing::WithParamInterface<SignalCase> {};

// A command comes with a burst of sales; its result would leave with the next request, after
// the burst. The signal lands while the register prints: the program ends in order (status
// 0), the result waits in the journal, and the next start delivers it.
TEST_P(EndedBySignal, TheCommandsResultReachesTheServiceAfterTheRestart) {
    constexpr int kSales = 20;
    const std::vector<std::string> ids = admin_.queueDocs(sales(0, kSales));
    const Json commandId = sandbox_.state().queueCommands(
        kSerial, Json{{"payload", {{"type", "getDeviceStatus"}}}})[0];
    auto commandState = [&] {
        const Json state = admin_.registerState();
        for (const Json& command : state["commands"])
            if (command["id"] == commandId)
                return command.value("state", "");
        return std::string("missing");
    };

    ClientProcess client(home_.path());
    client.start();
    ASSERT_TRUE(exchanged(client)) << fileText(client.outputFile());
    ASSERT_TRUE(waitFor([&] { return !fiscalisations(home_.path()).empty(); }, 90s, 20ms));
    ASSERT_EQ(commandState(), "sent");
    client.signal(GetParam().signal);
    ASSERT_TRUE(waitFor([&] { return !client.running(); }, 90s)) << "the program did not end";
    EXPECT_TRUE(exitedWith(client.status(), 0)) << "wait status " << client.status();
    // The burst was printed through and its answers are in the journal; the result waits.
    TaskJournal journal;
    journal.openJournal(home_.file(kJournalFileName));
    EXPECT_EQ(journal.selectChecks(kSerial, "completed").size() +
                  journal.selectChecks(kSerial, "acked").size(),
              fiscalisations(home_.path()).size());
    EXPECT_EQ(commandState(), "sent");
    EXPECT_EQ(rowsOf(home_.file(kJournalFileName), "command_results"), 1);

    ClientProcess again(home_.path());
    again.start();
    EXPECT_TRUE(allAcked(ids.size())) << admin_.docsIn("acked").size() << " of " << ids.size();
    EXPECT_TRUE(waitFor([&] { return commandState() == "answered"; }, 60s));
    again.signal(SIGTERM);
    EXPECT_TRUE(waitFor([&] { return !again.running(); }, 90s));
    EXPECT_TRUE(exitedWith(again.status(), 0)) << "wait status " << again.status();

    int delivered = 0;
    const Json state = admin_.registerState();
    for (const Json& result : state["command_results"])
        delivered += result.value("id", Json()) == commandId ? 1 : 0;
    EXPECT_EQ(delivered, 1);
    EXPECT_EQ(rowsOf(home_.file(kJournalFileName), "command_results"), 0);
    expectEachPrintedOnce(ids);
}

INSTANTIATE_TEST_SUITE_P(Signals, EndedBySignal,
                         ::testing::Values(SignalCase{"SIGTERM", SIGTERM},
                                           SignalCase{"SIGHUP", SIGHUP},
                                           SignalCase{"SIGINT", SIGINT}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- a journal that cannot be opened at start ------------------------------------------

// chattr +i for the life of the object; false when the file system does not allow it.
class Immutable {
public:
    explicit Immutable(std::filesystem::path file) : file_(std::move(file)) { set_ = run("+i"); }
    ~Immutable() { release(); }
    Immutable(const Immutable&) = delete;
    Immutable& operator=(const Immutable&) = delete;
    bool isSet() const { return set_; }
    void release() {
        if (set_)
            set_ = !run("-i");
    }

private:
    bool run(const char* flag) const {
        const std::string command = std::string("chattr ") + flag + " '" + file_.string() + "'";
        return std::system(command.c_str()) == 0;
    }

    std::filesystem::path file_;
    bool set_ = false;
};

TEST_F(JournalOwnerTest, AJournalThatCouldNotBeOpenedAtStartIsOpenedAgainAndTheRegisterPrints) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to make checks.db immutable";
    Immutable immutable(home_.file(kJournalFileName));
    if (!immutable.isSet())
        GTEST_SKIP() << "the file system keeps no immutable flag";
    const std::vector<std::string> ids = admin_.queueDocs(sales(0, 3));
    ClientProcess client(home_.path());
    client.start();
    const auto start = std::chrono::steady_clock::now();
    // The register connects and its cycles find the journal refused, for 20 s.
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(home_.file("tillhaven.log")); }, 90s))
        << fileText(client.outputFile());
    std::this_thread::sleep_until(start + 20s);
    ASSERT_TRUE(client.running());
    EXPECT_TRUE(fiscalisations(home_.path()).empty());
    immutable.release();
    ASSERT_FALSE(immutable.isSet());
    const bool printed =
        waitFor([&] { return fiscalisations(home_.path()).size() == ids.size(); }, 15s);
    EXPECT_TRUE(printed) << fiscalisations(home_.path()).size() << " of " << ids.size()
                         << " printed 15 s after the journal became usable";
    EXPECT_TRUE(allAcked(ids.size()));
    client.kill(SIGKILL);
    // Reported once, not at every cycle.
    const std::string log = fileText(home_.file("tillhaven.log"));
    EXPECT_EQ(occurrences(log, "только для чтения"), 1u) << log;
    expectEachPrintedOnce(ids);
}

}  // namespace
