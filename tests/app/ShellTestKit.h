#pragma once

// What the shell's tests share: a Qt application, a dispatcher on 127.0.0.1 and a
// program assembled around a temporary data directory.

#include "support/LoopbackSocket.h"
#include "support/QtTestApp.h"
#include "support/RecordingDispatcher.h"

#include <QApplication>
#include <QDialog>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/MainWindow.h"
#include "app/TillhavenApp.h"
#include "auth/LoginDialog.h"
#include "platform/Dialogs.h"
#include "platform/Json.h"
#include "support/TempDir.h"

namespace th::test {

// Base of fixtures whose members are widgets: the application exists before them.
struct WithQtApplication {
    WithQtApplication() { ensureQtApplication(); }
};

// Runs the message loop until done holds; false when it did not within the patience.
inline bool loopUntil(const std::function<bool()>& done, int patienceMs = 60000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(patienceMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

inline std::string settingsIniFor(int port, const std::string& token) {
    return "[auth]\ntoken=" + token +
           "\n[system]\nTestMode=1\nKeepVersion=1\nTestUrl=http://127.0.0.1:" +
           std::to_string(port) + "/dispatcher/v1\n";
}

// The shell's stand-in service; its settings.ini also carries the stored token and skips
// the update check.
class ShellDispatcher : public RecordingDispatcher {
public:
    std::string settingsIni(const std::string& token) const {
        return settingsIniFor(port(), token);
    }
};

inline Json testAnswer(bool auth) {
    return {{"status", 200}, {"message", ""}, {"data", {{"auth", auth}}}};
}

// The program around a temporary data directory, with the user's part in modal dialogs
// played by loginScript (the dialog is rejected when there is none).
class ShellHarness {
public:
    explicit ShellHarness(const std::string& settingsIni) {
        ensureQtApplication();
        home.write("settings.ini", settingsIni);
    }

    TillhavenApp& start() {
        app = std::make_unique<TillhavenApp>(
            dialogs, [this](QDialog& dialog) { return runModal(dialog); }, [this] { ++quits; },
            DataPaths{home.path(), home.path(), installed});
        // Headless there is no tray; the tests say whether the desktop has one.
        app->mainWindow().setTrayProbe([this] { return trayAvailable; });
        settle();
        return *app;
    }

    // Shows the main window and lets the start sequence run, as the message loop would.
    void showMainWindow() {
        app->mainWindow().show();
        settle();
    }

    // Runs the message loop until the requests of the start sequence and the update check
    // have come back and the start went as far as it goes now (running, waiting to try a
    // step again, or ended).
    void settle() {
        MainWindow& form = app->mainWindow();
        QCoreApplication::processEvents();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < deadline &&
               (form.isBusy() ||
                (form.isVisible() && form.startStage() == MainWindow::StartStage::NotStarted))) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        QCoreApplication::processEvents();
    }

    TempDir home;
    RecordingDialogs dialogs;
    std::function<int(LoginDialog&)> loginScript;
    bool trayAvailable = true;
    // The data directories of an installed program rather than TILLHAVEN_HOME.
    bool installed = false;
    int modalRuns = 0;
    int quits = 0;
    std::unique_ptr<TillhavenApp> app;

private:
    int runModal(QDialog& dialog) {
        ++modalRuns;
        auto* login = dynamic_cast<LoginDialog*>(&dialog);
        if (login == nullptr || !loginScript)
            return QDialog::Rejected;
        return loginScript(*login);
    }
};

}  // namespace th::test
