// One program per user, with real processes: a running instance turns a second start away.
#include <gtest/gtest.h>
#include <signal.h>

#include <QProcess>
#include <QProcessEnvironment>

#include <cstdlib>

#include "app/ShellTestKit.h"
#include "platform/InstanceLock.h"

using namespace th;
using namespace th::test;

namespace {

constexpr int kPatienceMs = 60000;

class SingleInstance : public ::testing::Test {
protected:
    void SetUp() override {
        ensureQtApplication();
        dispatcher.answerJson("test", testAnswer(true));
        dispatcher.answerJson("getsalepoints", {{"status", 200}, {"data", Json::array()}});
        home.write("settings.ini", dispatcher.settingsIni("stored-token"));
        // The lock lives in the runtime directory: a private one keeps the test apart from
        // anything else running as this user.
        environment.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime.path().string()));
        environment.insert("TILLHAVEN_HOME", QString::fromStdString(home.path().string()));
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        if (const char* previous = std::getenv("XDG_RUNTIME_DIR"))
            previousRuntime = previous;
        setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    }
    void TearDown() override {
        if (previousRuntime.empty())
            unsetenv("XDG_RUNTIME_DIR");
        else
            setenv("XDG_RUNTIME_DIR", previousRuntime.c_str(), 1);
    }

    void start(QProcess& process, const char* program) {
        process.setProcessEnvironment(environment);
        process.start(QString(TH_TEST_BIN_DIR) + "/" + program, {});
        ASSERT_TRUE(process.waitForStarted(kPatienceMs));
    }

    static void killAndWait(QProcess& process) {
        ::kill(static_cast<pid_t>(process.processId()), SIGKILL);
        process.waitForFinished(kPatienceMs);
    }

    TempDir runtime;
    TempDir home;
    ShellDispatcher dispatcher;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    std::string previousRuntime;
};

}  // namespace

TEST_F(SingleInstance, SecondStartEndsSilentlyAndAStartAfterTheFirstDiedRuns) {
    QProcess first;
    start(first, "th_lock_holder");
    ASSERT_TRUE(first.waitForReadyRead(kPatienceMs));
    ASSERT_EQ(first.readAll().trimmed().toStdString(), "locked");

    QProcess second;
    start(second, "tillhaven");
    ASSERT_TRUE(second.waitForFinished(kPatienceMs));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(dispatcher.count("test"), 0u) << "the refused start must not reach its window";
    EXPECT_EQ(first.state(), QProcess::Running);

    killAndWait(first);

    QProcess third;
    start(third, "tillhaven");
    // The token check comes after the lock: once it arrives, the new program holds it.
    EXPECT_TRUE(dispatcher.waitFor("test", std::chrono::seconds(60)));
    EXPECT_EQ(InstanceLock(home.path()).tryAcquire(), LockOutcome::Held);
    EXPECT_EQ(third.state(), QProcess::Running);
    killAndWait(third);
}
