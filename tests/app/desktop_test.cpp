// The program on a real X server: Xvfb with a window manager (openbox), with or without a real
// XEmbed tray host (trayer). Clicks go through xdotool, a close comes as a taskbar sends it
// (wmctrl), and the main window's state is read back from the X server (xprop, xwininfo).
// Whether the program is responsive is asked as a window manager asks it, with _NET_WM_PING.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>

#include "app/ShellTestKit.h"
#include "app/WindowPing.h"
#include "cashbox/TaskJournal.h"

using namespace th;
using namespace th::test;

namespace {

constexpr int kPatienceMs = 60000;
constexpr const char* kMainWindowName = "Кассовый клиент tillhaven";
// How long a window manager waits for a ping's answer before it calls the program "not
// responding".
constexpr int kPingPatienceMs = 5000;

// Waits without a deadline of its own in mind: the patience is only a safety net that turns
// a hang into a failure.
bool eventually(const std::function<bool()>& done, int patienceMs = kPatienceMs) {
    QElapsedTimer elapsed;
    elapsed.start();
    while (!done()) {
        if (elapsed.elapsed() > patienceMs)
            return false;
        QThread::msleep(50);
    }
    return true;
}

// An X server of its own (the display number it picked), a window manager and, on demand, a
// tray host; everything runs with a home directory of its own.
class XDesktop {
public:
    XDesktop() {
        environment_.remove("DBUS_SESSION_BUS_ADDRESS");  // no StatusNotifierItem tray
        environment_.remove("WAYLAND_DISPLAY");
        for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME"})
            environment_.insert(name, QString::fromStdString(home_.path().string()));
        // -displayfd 1: the server picks a free display and names it on its output.
        xvfb_.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                             "-noreset"});
        if (!xvfb_.waitForStarted(kPatienceMs) || !xvfb_.waitForReadyRead(kPatienceMs))
            return;
        environment_.insert("DISPLAY", ":" + QString(xvfb_.readLine()).trimmed());
        start(windowManager_, "openbox", {"--sm-disable"});
        ready_ = eventually([this] {
            return x("xprop", {"-root", "_NET_SUPPORTING_WM_CHECK"}).contains("window id");
        });
    }

    ~XDesktop() {
        for (QProcess* process : {&tray_, &windowManager_, &xvfb_})
            stop(*process);
    }
    XDesktop(const XDesktop&) = delete;
    XDesktop& operator=(const XDesktop&) = delete;

    bool ready() const { return ready_; }
    const QProcessEnvironment& environment() const { return environment_; }
    QString display() const { return environment_.value("DISPLAY"); }

    void startTray() {
        start(tray_, "trayer",
              {"--edge", "bottom", "--align", "right", "--widthtype", "request", "--height", "32"});
    }

    // The tray host goes, and with it its windows.
    void stopTray() {
        stop(tray_);
        eventually([this] { return x("xdotool", {"search", "--class", "trayer"}).isEmpty(); });
    }

    // Runs an X tool on this display and returns what it printed.
    QString x(const QString& tool, const QStringList& args) const {
        QProcess process;
        process.setProcessEnvironment(environment_);
        process.start(tool, args);
        process.waitForFinished(kPatienceMs);
        return QString::fromUtf8(process.readAllStandardOutput());
    }

private:
    void start(QProcess& process, const QString& program, const QStringList& args) {
        process.setProcessEnvironment(environment_);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(program, args);
        process.waitForStarted(kPatienceMs);
    }

    static void stop(QProcess& process) {
        if (process.state() == QProcess::NotRunning)
            return;
        process.terminate();
        if (!process.waitForFinished(kPatienceMs))
            process.kill();
        process.waitForFinished(kPatienceMs);
    }

    TempDir home_;
    QProcessEnvironment environment_ = QProcessEnvironment::systemEnvironment();
    // Destroyed, so killed, in reverse: the tray host and the window manager before the server.
    QProcess xvfb_;
    QProcess windowManager_;
    QProcess tray_;
    bool ready_ = false;
};

// What the X server says about a window: mapped or not, and the window manager's WM_STATE
// (Normal, Iconic; Withdrawn when the window was hidden and the manager let it go).
struct WindowState {
    bool viewable = false;
    std::string wmState;
};

class Desktop : public ::testing::Test {
protected:
    void SetUp() override {
        ensureQtApplication();
        for (const char* tool :
             {"Xvfb", "openbox", "trayer", "xdotool", "xprop", "xwininfo", "wmctrl", "xlogo"})
            ASSERT_FALSE(QStandardPaths::findExecutable(tool).isEmpty())
                << tool << " is missing: scripts/setup installs it";
        ASSERT_TRUE(desktop.ready()) << "no X server with a window manager";
        dispatcher.answerJson("test", testAnswer(true));
        dispatcher.answerJson("getsalepoints", {{"status", 200}, {"data", Json::array()}});
        home.write("settings.ini", dispatcher.settingsIni("stored-token"));
        runtime.write("keep", "");
        std::filesystem::permissions(runtime.path(), std::filesystem::perms::owner_all);
    }
    void TearDown() override {
        client.kill();
        client.waitForFinished(kPatienceMs);
    }

    QProcessEnvironment clientEnvironment() const {
        QProcessEnvironment environment = desktop.environment();
        environment.insert("QT_QPA_PLATFORM", "xcb");
        environment.insert("TILLHAVEN_HOME", QString::fromStdString(home.path().string()));
        environment.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime.path().string()));
        return environment;
    }

    // Starts the program with the given options, without waiting for anything more.
    void launchClient(const QStringList& options = {}) {
        client.setProcessEnvironment(clientEnvironment());
        client.setProcessChannelMode(QProcess::ForwardedChannels);
        client.start(QString(TH_TEST_BIN_DIR) + "/tillhaven", options);
        ASSERT_TRUE(client.waitForStarted(kPatienceMs));
    }

    // One register "A" on the register emulator, set up to connect by itself and listed by
    // the service; each document takes printSeconds to print.
    void setUpRegister(double printSeconds = 0) {
        home.write("settings.ini", dispatcher.settingsIni("stored-token") +
                                       "RegisterDriver=emulator\n[cashboxes]\nserials=A\n"
                                       "[A]\nKKTSerial=A\nDriver=Атол\nConnectionType=USB\n"
                                       "Autostart=1\n");
        home.write(
            "emulator.json",
            dumpCompact(Json{{"registers", Json::array({{{"serial", "A"},
                                                         {"port", "USB"},
                                                         {"reachable", true},
                                                         {"printSeconds", printSeconds}}})}}));
        createJournalFile(home.file(kJournalFileName));
        dispatcher.answerJson("getsalepoints", {{"status", 200},
                                                {"data", Json::array({{{"kkt_serial", "A"},
                                                                       {"address", "ул. Ленина, 1"},
                                                                       {"place", "Касса 1"},
                                                                       {"token", "t-A"}}})}});
        dispatcher.answerJson(
            "tasks",
            {{"status", 200},
             {"message", ""},
             {"data",
              {{"acked", Json::array()}, {"docs", Json::array()}, {"commands", Json::array()}}}});
    }

    // Starts the program and waits until its start sequence ended with the window shown.
    void startClient() {
        launchClient();
        ASSERT_TRUE(dispatcher.waitFor("getsalepoints", std::chrono::seconds(60)));
        ASSERT_TRUE(eventually([this] { return !mainWindow().isEmpty(); }));
        ASSERT_TRUE(eventually([this] { return isShown(); }));
    }

    // A second start: it ends on its own, with status 0.
    void startAgain() {
        QProcess second;
        second.setProcessEnvironment(clientEnvironment());
        second.start(QString(TH_TEST_BIN_DIR) + "/tillhaven", {});
        ASSERT_TRUE(second.waitForFinished(kPatienceMs));
        EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(second.exitCode(), 0);
    }

    QString mainWindow() const {
        return desktop.x("xdotool", {"search", "--name", kMainWindowName}).section('\n', 0, 0);
    }
    // The program's window that the tray host embedded: visible, and not the main window.
    QString trayIcon() const {
        const QString main = mainWindow();
        const auto windows =
            desktop.x("xdotool", {"search", "--onlyvisible", "--class", "tillhaven"})
                .split('\n', Qt::SkipEmptyParts);
        for (const QString& window : windows)
            if (window != main)
                return window;
        return {};
    }

    // The program's visible windows but tooltips: the icon's tooltip may come up while the
    // pointer rests on it during a slow run.
    int visibleProgramWindows() const {
        const QStringList windows =
            desktop.x("xdotool", {"search", "--onlyvisible", "--class", "tillhaven"})
                .split('\n', Qt::SkipEmptyParts);
        return static_cast<int>(
            std::count_if(windows.begin(), windows.end(), [&](const QString& w) {
                return !desktop.x("xprop", {"-id", w, "_NET_WM_WINDOW_TYPE"}).contains("TOOLTIP");
            }));
    }
    // A right click on the icon opens its menu (the icon and the menu are then two windows).
    // A click a busy X server let pass is clicked again, as a user would.
    bool openTrayMenu() {
        for (int click = 0; click < 3; ++click) {
            clickTrayIcon(1, "3");
            if (eventually([this] { return visibleProgramWindows() >= 2; }, kPatienceMs / 4))
                return true;
        }
        return false;
    }

    WindowState mainWindowState() const {
        const QString window = mainWindow();
        WindowState state;
        state.viewable = desktop.x("xwininfo", {"-id", window}).contains("Map State: IsViewable");
        const QString wmState = desktop.x("xprop", {"-id", window, "WM_STATE"});
        const int at = wmState.indexOf("window state: ");
        state.wmState =
            at < 0 ? "Withdrawn" : wmState.mid(at + 14).section('\n', 0, 0).trimmed().toStdString();
        return state;
    }
    bool isShown() const {
        const WindowState state = mainWindowState();
        return state.viewable && state.wmState == "Normal";
    }
    bool isHiddenInTheTray() const {
        const WindowState state = mainWindowState();
        return !state.viewable && state.wmState == "Withdrawn";
    }
    bool isInTheTaskbar() const {
        const WindowState state = mainWindowState();
        return !state.viewable && state.wmState == "Iconic";
    }
    // Whether the main window is above the other one in the window manager's stacking order.
    bool isAbove(const QString& other) const {
        const QString stacking = desktop.x("xprop", {"-root", "_NET_CLIENT_LIST_STACKING"});
        const auto windows = stacking.section('#', 1).split(',', Qt::SkipEmptyParts);
        auto position = [&](const QString& window) {
            for (int at = 0; at < windows.size(); ++at)
                if (windows[at].trimmed().toULongLong(nullptr, 16) == window.toULongLong())
                    return at;
            return -1;
        };
        return position(mainWindow()) > position(other) && position(other) >= 0;
    }
    bool mainWindowAnswersPing() const {
        return answersPing(desktop.display(), mainWindow().toUInt(), kPingPatienceMs);
    }
    // The caption's close button, as the window manager passes it on.
    void closeMainWindow() { desktop.x("wmctrl", {"-i", "-c", mainWindow()}); }
    void minimiseMainWindow() { desktop.x("xdotool", {"windowminimize", mainWindow()}); }
    void clickTrayIcon(int clicks, const QString& button = "1") {
        // Away first: a synchronous move to where the pointer is already would wait for a
        // motion that never comes.
        desktop.x("xdotool", {"mousemove", "0", "0"});
        desktop.x("xdotool", {"mousemove", "--sync", "--window", trayIcon(), "5", "5", "click",
                              "--repeat", QString::number(clicks), "--delay", "100", button});
    }

    XDesktop desktop;
    ShellDispatcher dispatcher;
    TempDir home;
    TempDir runtime;
    QProcess client;
};

}  // namespace

TEST_F(Desktop, WithATrayOneClickOnItsIconShowsTheWindowHiddenThere) {
    desktop.startTray();
    startClient();
    ASSERT_TRUE(eventually([this] { return !trayIcon().isEmpty(); })) << "no icon in the tray";

    closeMainWindow();
    EXPECT_TRUE(eventually([this] { return isHiddenInTheTray(); }));
    clickTrayIcon(1);
    EXPECT_TRUE(eventually([this] { return isShown(); }));

    // The right button still opens the tray menu, whose first item, "Управление", shows the
    // window as well.
    closeMainWindow();
    ASSERT_TRUE(eventually([this] { return isHiddenInTheTray(); }));
    EXPECT_TRUE(openTrayMenu()) << "no tray menu";
    desktop.x("xdotool", {"key", "Down", "Return"});
    EXPECT_TRUE(eventually([this] { return isShown(); }));

    minimiseMainWindow();
    EXPECT_TRUE(eventually([this] { return isHiddenInTheTray(); }));
    clickTrayIcon(2);
    EXPECT_TRUE(eventually([this] { return isShown(); }));
    EXPECT_EQ(dispatcher.count("test"), 1u) << "showing again repeats no start sequence";

    // The panel goes: from the next close on, the taskbar.
    desktop.stopTray();
    closeMainWindow();
    EXPECT_TRUE(eventually([this] { return isInTheTaskbar(); }));
    EXPECT_EQ(client.state(), QProcess::Running);
}

TEST_F(Desktop, ASecondStartShowsAndRaisesTheWindowHiddenInTheTray) {
    desktop.startTray();
    startClient();
    ASSERT_TRUE(eventually([this] { return !trayIcon().isEmpty(); }));
    closeMainWindow();
    ASSERT_TRUE(eventually([this] { return isHiddenInTheTray(); }));
    // Another program's window in front.
    QProcess other;
    other.setProcessEnvironment(desktop.environment());
    other.start("xlogo", {"-geometry", "900x700+0+0"});
    auto xlogo = [&] {
        return desktop.x("xdotool", {"search", "--onlyvisible", "--class", "xlogo"})
            .section('\n', 0, 0);
    };
    ASSERT_TRUE(eventually([&] { return !xlogo().isEmpty(); }));

    startAgain();
    EXPECT_TRUE(eventually([&] { return isShown() && isAbove(xlogo()); }))
        << desktop.x("xprop", {"-root", "_NET_CLIENT_LIST_STACKING"}).toStdString();
    EXPECT_EQ(client.state(), QProcess::Running) << "the first program goes on";
    other.kill();
    other.waitForFinished(kPatienceMs);
    EXPECT_EQ(dispatcher.count("test"), 1u) << "the second start reached no service";
}

TEST_F(Desktop, WithoutATrayCloseAndMinimiseLeaveTheWindowInTheTaskbar) {
    startClient();

    closeMainWindow();
    EXPECT_TRUE(eventually([this] { return isInTheTaskbar(); }));
    EXPECT_EQ(client.state(), QProcess::Running);
    startAgain();
    EXPECT_TRUE(eventually([this] { return isShown(); }));

    minimiseMainWindow();
    EXPECT_TRUE(eventually([this] { return isInTheTaskbar(); }));
    // Stays there: not hidden a moment later.
    QThread::msleep(500);
    EXPECT_TRUE(isInTheTaskbar());
    startAgain();
    EXPECT_TRUE(eventually([this] { return isShown(); }));

    // A tray that comes while the program runs is used from the next close on.
    desktop.startTray();
    ASSERT_TRUE(eventually([this] { return !trayIcon().isEmpty(); })) << "no icon in the tray";
    closeMainWindow();
    EXPECT_TRUE(eventually([this] { return isHiddenInTheTray(); }));
    EXPECT_EQ(client.state(), QProcess::Running);
}

// Started at login before a tray or anyone is there: the window stays in the tray, and the
// register exchanges all the same.
TEST_F(Desktop, AHiddenStartWithATrayMapsNoWindowAndStillExchanges) {
    setUpRegister();
    desktop.startTray();
    launchClient({"--hidden"});
    ASSERT_TRUE(dispatcher.waitFor("tasks", std::chrono::seconds(90))) << "no exchange";
    ASSERT_TRUE(eventually([this] { return !trayIcon().isEmpty(); })) << "no icon in the tray";
    const QString window = mainWindow();
    EXPECT_TRUE(window.isEmpty() || !mainWindowState().viewable) << "the window was shown";
    EXPECT_EQ(client.state(), QProcess::Running);

    // The icon brings the window as usual.
    clickTrayIcon(1);
    EXPECT_TRUE(eventually([this] { return !mainWindow().isEmpty() && isShown(); }));
}

TEST_F(Desktop, AHiddenStartWithoutATrayLeavesTheWindowInTheTaskbar) {
    setUpRegister();
    launchClient({"--hidden"});
    ASSERT_TRUE(dispatcher.waitFor("tasks", std::chrono::seconds(90))) << "no exchange";
    ASSERT_TRUE(eventually([this] { return !mainWindow().isEmpty(); }));
    EXPECT_TRUE(eventually([this] { return isInTheTaskbar(); }));
    EXPECT_EQ(client.state(), QProcess::Running);
}

// A service that takes 30 s to answer the token check: the window is there at once and
// answers the window manager throughout.
TEST_F(Desktop, ASlowServiceAtStartHoldsUpNeitherTheWindowNorItsAnswers) {
    std::atomic<bool> answered{false};
    dispatcher.answer("test", [&answered](const Json&) {
        QThread::sleep(30);
        answered = true;
        return testAnswer(true);
    });
    launchClient();
    ASSERT_TRUE(eventually([this] { return !mainWindow().isEmpty() && isShown(); }));
    EXPECT_FALSE(answered) << "the window waited for the service";

    // While the token check waits for the service, the window manager's requests are
    // answered: its ping, and the caption's close button, which takes the window to the
    // taskbar at once.
    ASSERT_TRUE(dispatcher.waitFor("test", std::chrono::seconds(60)));
    EXPECT_TRUE(mainWindowAnswersPing()) << "the window stopped answering";
    closeMainWindow();
    EXPECT_TRUE(eventually([this] { return isInTheTaskbar(); }, 10000));
    EXPECT_FALSE(answered) << "the window answered only after the service";
    EXPECT_TRUE(dispatcher.waitFor("getsalepoints", std::chrono::seconds(60)));
}

// A document that takes the register 15 s to print: the window answers its window manager
// all the while, and the document is reported printed once it is.
TEST_F(Desktop, ARegisterPrintingForLongHoldsUpNeitherTheWindowNorItsAnswers) {
    setUpRegister(15);
    const Json shift = {
        {"external_id", "long-print"}, {"type", "openShift"}, {"operator", {{"name", "Кассир"}}}};
    std::atomic<bool> handedOut{false};
    dispatcher.answer("tasks", [&handedOut, shift](const Json&) {
        const bool first = !handedOut.exchange(true);
        return Json{{"status", 200},
                    {"message", ""},
                    {"data",
                     {{"acked", Json::array()},
                      {"docs", first ? Json::array({shift}) : Json::array()},
                      {"commands", Json::array()}}}};
    });
    auto reported = [this] {
        for (const auto& request : dispatcher.requests("tasks"))
            if (request.body.value("completed", Json::array()).dump().find("long-print") !=
                std::string::npos)
                return true;
        return false;
    };
    startClient();
    ASSERT_TRUE(eventually([&handedOut] { return handedOut.load(); }, 90000)) << "no exchange";

    QElapsedTimer printing;
    printing.start();
    while (printing.elapsed() < 10000 && !reported()) {
        ASSERT_TRUE(mainWindowAnswersPing())
            << "the window stopped answering " << printing.elapsed() << " ms into the print";
        QThread::msleep(500);
    }
    EXPECT_FALSE(reported()) << "the print was over before the window was asked";
    EXPECT_TRUE(eventually(reported, 90000)) << "the printed document was not reported";
}
