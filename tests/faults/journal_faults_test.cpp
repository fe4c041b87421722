// checks.db held locked by another process beyond the busy time-out, and checks.db
// damaged: clear errors, no crash, and no row lost once the journal is usable again.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "CycleRig.h"

using namespace th;
using namespace th::faults;

namespace {

// Another process holding the journal under an exclusive transaction until released.
class JournalLocker {
public:
    explicit JournalLocker(const std::filesystem::path& journal) {
        int toChild[2];
        int fromChild[2];
        if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0)
            throw std::runtime_error("no pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
        posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
        posix_spawn_file_actions_addclose(&actions, toChild[1]);
        posix_spawn_file_actions_addclose(&actions, fromChild[0]);
        const std::string program = std::string(TH_TEST_BIN_DIR) + "/th_journal_locker";
        const std::string path = journal.string();
        char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(path.c_str()),
                        nullptr};
        const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(toChild[0]);
        ::close(fromChild[1]);
        release_ = toChild[1];
        char said[16] = {};
        const ssize_t got = rc == 0 ? ::read(fromChild[0], said, sizeof said - 1) : -1;
        ::close(fromChild[0]);
        if (got <= 0 || std::string(said).rfind("locked", 0) != 0)
            throw std::runtime_error("the locker did not lock the journal");
    }
    ~JournalLocker() { release(); }

    void release() {
        if (release_ < 0)
            return;
        ::close(release_);
        release_ = -1;
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }

private:
    pid_t pid_ = -1;
    int release_ = -1;
};

bool anyContains(const std::vector<std::string>& texts, const std::string& part) {
    for (const std::string& text : texts)
        if (text.find(part) != std::string::npos)
            return true;
    return false;
}

TEST(JournalFaults, LockedBeyondTheBusyTimeOutTheCycleReportsItAndLosesNothing) {
    CycleRig rig(JournalOptions{.busyTimeoutMs = 200});
    rig.queueSales(4);
    rig.tick();
    rig.queueSales(3);
    {
        // Reading goes on under the lock; what cannot be written (acknowledgements, the
        // new documents) is reported and kept, and the register stays connected.
        JournalLocker locker(rig.home_.file(kJournalFileName));
        for (int n = 0; n < 3; ++n)
            rig.tick();
    }
    finding() << "locked journal: " << rig.reconnects_ << " reconnections, " << rig.shown.size()
              << " errors shown, " << rig.problems.size() << " problems reported, "
              << rig.dialogs_.count() << " message boxes\n";
    EXPECT_EQ(rig.reconnects_, 0);
    EXPECT_EQ(rig.dialogs_.count(), 0u);
    EXPECT_TRUE(anyContains(rig.problems, "database is locked"));

    EXPECT_TRUE(rig.drain());
    EXPECT_EQ(rig.notFiscalisedOnce(), std::vector<std::string>{});
    EXPECT_EQ(rig.rowsIn("added") + rig.rowsIn("completed"), 0u);
}

// The journal is locked just after the register printed a receipt: the answer cannot be
// written, yet the receipt must not be printed again once the lock goes.
TEST(JournalFaults, AnAnswerThatCouldNotBeWrittenIsKeptAndNotExecutedAgain) {
    CycleRig rig(JournalOptions{.busyTimeoutMs = 200});
    rig.queueSales(3);
    std::unique_ptr<JournalLocker> locker;
    rig.watched_.afterTask = [&](const Json& task) {
        if (task.value("type", "") == "sell" && !locker)
            locker = std::make_unique<JournalLocker>(rig.home_.file(kJournalFileName));
    };
    rig.tick();
    rig.tick();
    rig.watched_.afterTask = nullptr;
    locker.reset();
    EXPECT_TRUE(anyContains(rig.problems, "database is locked"));

    EXPECT_TRUE(rig.drain());
    EXPECT_EQ(rig.notFiscalisedOnce(), std::vector<std::string>{});
}

std::string fileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

struct Damage {
    const char* name;
    std::function<std::string(std::string)> apply;
};

std::string overwritten(std::string bytes, size_t offset, size_t count) {
    const size_t end = std::min(bytes.size(), offset + count);
    for (size_t n = offset; n < end; ++n)
        bytes.at(n) = static_cast<char>(0xA5 ^ (n * 31));
    return bytes;
}

const std::vector<Damage>& damages() {
    static const std::vector<Damage> table = {
        {"header overwritten", [](std::string b) { return overwritten(std::move(b), 0, 100); }},
        {"truncated to half", [](std::string b) { return b.substr(0, b.size() / 2); }},
        {"table page overwritten",
         [](std::string b) { return overwritten(std::move(b), 4096, 4096); }},
        {"a text file", [](std::string) { return std::string("[auth]\ntoken=x\n"); }},
        {"empty", [](std::string) { return std::string(); }},
    };
    return table;
}

// Rows of every status, then the connection closed so that the file holds them all.
void fillJournal(const std::filesystem::path& path) {
    createJournalFile(path);
    TaskJournal journal;
    journal.openJournal(path);
    for (int n = 0; n < 30; ++n)
        journal.insertCheck(kSerial, {{"external_id", "doc-" + std::to_string(n)},
                                      {"type", "sell"},
                                      {"padding", std::string(200, 'x')}});
    for (int n = 0; n < 20; ++n)
        journal.completeCheck("completed", R"({"fiscalDocumentNumber":1})", kSerial,
                              "doc-" + std::to_string(n));
    for (int n = 0; n < 10; ++n)
        journal.ackCheck("acked", kSerial, "doc-" + std::to_string(n));
}

TEST(JournalFaults, ADamagedJournalIsRefusedClearlyLeftAloneAndServesAgainWhenRestored) {
    test::TempDir dir;
    const auto path = dir.file(kJournalFileName);
    fillJournal(path);
    const std::string good = fileBytes(path);
    for (const Damage& damage : damages()) {
        SCOPED_TRACE(damage.name);
        const std::string damaged = damage.apply(good);
        writeBytes(path, damaged);
        TaskJournal journal;
        try {
            journal.openJournal(path);
            ADD_FAILURE() << "a damaged journal was opened";
        } catch (const JournalError& e) {
            finding() << "journal " << damage.name << ": " << e.what() << "\n";
            EXPECT_NE(std::string(e.what()).find(path.string()), std::string::npos);
        }
        EXPECT_THROW(journal.selectChecks(kSerial, "added"), JournalError);
        EXPECT_EQ(fileBytes(path), damaged) << "the damaged file was written to";

        std::filesystem::remove(dir.file("checks.db-wal"));
        std::filesystem::remove(dir.file("checks.db-shm"));
        writeBytes(path, good);
        TaskJournal restored;
        restored.openJournal(path);
        EXPECT_EQ(restored.selectChecks(kSerial, "added").size(), 10u);
        EXPECT_EQ(restored.selectChecks(kSerial, "completed").size(), 10u);
    }
}

}  // namespace
