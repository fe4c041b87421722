// A later start's request to show the running program's window, over a real local socket.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLocalSocket>

#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <thread>

#include "platform/InstanceDoor.h"
#include "support/TempDir.h"

using namespace std::chrono_literals;
using th::askRunningInstanceToShow;
using th::InstanceDoor;

namespace {

QCoreApplication& ensureCoreApplication() {
    if (auto* existing = QCoreApplication::instance())
        return *existing;
    static int argc = 1;
    static char name[] = "th-door-test";
    static char* argv[] = {name, nullptr};
    return *new QCoreApplication(argc, argv);
}

// Runs the event loop of this thread, where the door lives, until done() or a generous end.
template <typename Done>
bool spinUntil(Done done) {
    QElapsedTimer elapsed;
    elapsed.start();
    while (!done() && elapsed.elapsed() < 30000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

class Door : public ::testing::Test {
protected:
    void SetUp() override {
        ensureCoreApplication();
        door.onShowRequest([this] { ++shows; });
    }

    // The later start, blocking as it does, from a thread of its own.
    std::future<bool> knock(std::chrono::milliseconds patience = 10s) {
        return std::async(std::launch::async,
                          [this, patience] { return askRunningInstanceToShow(socket, patience); });
    }

    // Someone else on the socket writes words; then leaves, or waits for the door to hang up
    // and tells whether it did.
    enum class Then { Leave, WaitForHangUp };
    std::future<bool> say(QByteArray words, Then then) {
        return std::async(std::launch::async, [this, words, then] {
            QLocalSocket client;
            client.connectToServer(QString::fromStdString(socket.string()));
            if (!client.waitForConnected(10000))
                return false;
            client.write(words);
            while (client.bytesToWrite() > 0 && client.waitForBytesWritten(10000)) {
            }
            if (then == Then::Leave) {
                client.disconnectFromServer();
                return true;
            }
            return client.state() == QLocalSocket::UnconnectedState ||
                   client.waitForDisconnected(10000);
        });
    }
    static bool isReady(const std::future<bool>& result) {
        return result.wait_for(0s) == std::future_status::ready;
    }

    th::test::TempDir runtime;
    std::filesystem::path socket = runtime.file("tillhaven_mutex.socket");
    InstanceDoor door{socket};
    int shows = 0;
};

}  // namespace

TEST_F(Door, EachLaterStartShowsTheWindowOnce) {
    ASSERT_TRUE(door.listen());
    for (int start = 1; start <= 3; ++start) {
        auto asked = knock();
        ASSERT_TRUE(spinUntil([&] { return shows == start; }));
        EXPECT_TRUE(asked.get());
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(shows, 3);
}

TEST_F(Door, ASocketLeftByADeadInstanceIsReplaced) {
    // What a killed program leaves: the socket file, with nobody listening.
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
    ASSERT_TRUE(std::filesystem::exists(socket));

    ASSERT_TRUE(door.listen());
    auto asked = knock();
    EXPECT_TRUE(spinUntil([&] { return shows == 1; }));
    EXPECT_TRUE(asked.get());
}

TEST_F(Door, AStartRightAfterTheFirstWaitsUntilItListens) {
    auto asked = knock();
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(door.listen());
    EXPECT_TRUE(spinUntil([&] { return shows == 1; }));
    EXPECT_TRUE(asked.get());
}

TEST_F(Door, NobodyListeningEndsTheAskingAfterItsPatience) {
    EXPECT_FALSE(askRunningInstanceToShow(socket, 200ms));
    std::ofstream(socket) << "not a socket";
    EXPECT_FALSE(askRunningInstanceToShow(socket, 200ms));
}

TEST_F(Door, OtherWordsOnTheSocketShowNothing) {
    ASSERT_TRUE(door.listen());
    for (const char* words : {"hide\n", "show", "showshowshow\n", "\n"}) {
        auto said = say(words, Then::Leave);
        ASSERT_TRUE(spinUntil([&] { return isReady(said); })) << words;
        // Whatever arrived is read by now; one proper request comes after it.
        auto asked = knock();
        ASSERT_TRUE(spinUntil([&] { return shows == 1; })) << words;
        asked.get();
        shows = 0;
    }
}

TEST_F(Door, AFloodWithoutALineEndIsCutOff) {
    ASSERT_TRUE(door.listen());
    auto cut = say(QByteArray(1 << 20, 'x'), Then::WaitForHangUp);
    ASSERT_TRUE(spinUntil([&] { return isReady(cut); }));
    EXPECT_TRUE(cut.get()) << "the door kept reading";
    EXPECT_EQ(shows, 0);
}
