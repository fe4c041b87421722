#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "platform/InstanceLock.h"
#include "platform/JournalLock.h"
#include "support/TempDir.h"
#include "support/Unprivileged.h"

using th::LockOutcome;
using th::test::TempDir;

namespace {

// XDG_RUNTIME_DIR set for one test and put back afterwards.
class RuntimeDirectory {
public:
    explicit RuntimeDirectory(const std::filesystem::path& dir) {
        if (const char* previous = std::getenv("XDG_RUNTIME_DIR"))
            previous_ = previous;
        setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    }
    ~RuntimeDirectory() {
        if (previous_.empty())
            unsetenv("XDG_RUNTIME_DIR");
        else
            setenv("XDG_RUNTIME_DIR", previous_.c_str(), 1);
    }

private:
    std::string previous_;
};

struct RuntimeCase {
    const char* name;
    bool runtimeExists;
};

class InstanceLockPlace : public testing::TestWithParam<RuntimeCase> {};

}  // namespace

// The runtime directory when it is there, the data directory when it is not: a second holder
// is refused in both until the first releases.
TEST_P(InstanceLockPlace, SecondHolderIsRefusedUntilTheFirstReleases) {
    TempDir runtime, data;
    const auto runtimeDir = GetParam().runtimeExists ? runtime.path() : runtime.file("missing");
    RuntimeDirectory environment(runtimeDir);
    th::InstanceLock first(data.path(), "test_mutex");
    th::InstanceLock second(data.path(), "test_mutex");
    ASSERT_EQ(first.tryAcquire(), LockOutcome::Acquired);
    EXPECT_EQ(first.path(),
              (GetParam().runtimeExists ? runtime.path() : data.path()) / "test_mutex");
    EXPECT_EQ(second.tryAcquire(), LockOutcome::Held);
    EXPECT_EQ(second.socketPath().parent_path(), first.path().parent_path());
    first.release();
    EXPECT_EQ(second.tryAcquire(), LockOutcome::Acquired);
}

INSTANTIATE_TEST_SUITE_P(Runtime, InstanceLockPlace,
                         testing::Values(RuntimeCase{"Usable", true},
                                         RuntimeCase{"Missing", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(InstanceLock, WithNowhereToMakeTheLockTheStartIsNotLetThrough) {
    TempDir runtime, data;
    RuntimeDirectory environment(runtime.file("missing"));
    // A file where the data directory should be.
    data.write("not-a-directory", "");
    th::InstanceLock lock(data.file("not-a-directory"), "test_mutex");
    EXPECT_EQ(lock.tryAcquire(), LockOutcome::Unavailable);
    EXPECT_NE(lock.unavailableText().find("not-a-directory"), std::string::npos)
        << lock.unavailableText();
}

TEST(JournalLock, ASecondHolderIsToldWhichProcessHoldsTheJournal) {
    TempDir home;
    th::JournalLock first(home.file("checks.db"));
    th::JournalLock second(home.file("checks.db"));
    ASSERT_EQ(first.tryAcquire(), LockOutcome::Acquired);
    EXPECT_EQ(first.path(), home.file("checks.db.lock"));
    ASSERT_EQ(second.tryAcquire(), LockOutcome::Held);
    const std::string text = second.refusalText(LockOutcome::Held);
    EXPECT_NE(text.find(home.file("checks.db").string()), std::string::npos) << text;
    EXPECT_NE(text.find("процесс " + std::to_string(::getpid())), std::string::npos) << text;
}

TEST(JournalLock, TheHolderIsReadFromTheLockFile) {
    EXPECT_EQ(th::describeJournalHolder("pid=41\nuser=kassa\n"), "процесс 41, пользователь kassa");
    EXPECT_EQ(th::describeJournalHolder("pid=41\n"), "процесс 41");
    EXPECT_EQ(th::describeJournalHolder(""), "");
    EXPECT_EQ(th::describeJournalHolder("\x01garbage"), "");
}

// Another user's owner-only lock file cannot even be opened: that start is refused too.
TEST(JournalLock, AnotherUsersLockFileIsRefusedSafely) {
    if (!th::test::canDropPrivileges())
        GTEST_SKIP() << "needs root to drop to another user";
    TempDir home;
    std::filesystem::permissions(home.path(), std::filesystem::perms(0777));
    {
        // The owner's program has ended; its lock file stays, readable by the owner only.
        th::JournalLock owner(home.file("checks.db"));
        ASSERT_EQ(owner.tryAcquire(), LockOutcome::Acquired);
    }
    const auto seen = th::test::runUnprivileged([&] {
        th::JournalLock other(home.file("checks.db"));
        const LockOutcome outcome = other.tryAcquire();
        return std::to_string(static_cast<int>(outcome)) + "\n" + other.refusalText(outcome);
    });
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(seen->substr(0, 2), std::to_string(static_cast<int>(LockOutcome::Unavailable)) + "\n")
        << *seen;
    EXPECT_NE(seen->find("checks.db.lock"), std::string::npos) << *seen;
}
