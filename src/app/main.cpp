// Process entry: one instance per user, one program per journal, the application object, the
// message loop.
#include <cstdio>
#include <exception>
#include <iostream>
#include <optional>

#include "app/Autostart.h"
#include "app/MainWindow.h"
#include "app/TillhavenApp.h"
#include "platform/DataDir.h"
#include "platform/InstanceDoor.h"
#include "platform/InstanceLock.h"
#include "platform/JournalLock.h"
#include "platform/QuitSignals.h"
#include "platform/gui/QtDialogs.h"
#include "platform/gui/SafeApplication.h"

namespace {

// The exit status of a start that was turned away with a message.
constexpr int kRefusedStart = 1;

// Another instance runs: it stays the only one, but shows its main window, which may be
// hidden in the tray or, on a desktop without one, out of sight; this start then ends.
int showRunningInstance(int argc, char** argv, const th::InstanceLock& instanceLock) {
    QCoreApplication application(argc, argv);
    th::askRunningInstanceToShow(instanceLock.socketPath());
    return 0;
}

constexpr const char* kUsage =
    "Использование: tillhaven [--hidden]\n"
    "  --hidden  запуск без окна: программа ждёт в трее (без трея — свёрнутой)\n";

// The one option: --hidden. Anything else is refused with the usage.
std::optional<bool> startsHidden(const QStringList& arguments) {
    bool hidden = false;
    for (const QString& argument : arguments.mid(1)) {
        if (argument == th::AutostartEntry::kHiddenOption)
            hidden = true;
        else
            return std::nullopt;
    }
    return hidden;
}

// A start that must not run: said on the standard error output (a service manager's log) and
// in a box (a desktop start), and the program ends without touching anything.
int refuseStart(int argc, char** argv, const std::string& text) {
    std::cerr << text << std::endl;
    th::SafeApplication application(argc, argv);
    // A signal ends the box as well; exit() rather than quit(), since the box's own loop runs.
    th::QuitSignals quitSignals([](int) { QCoreApplication::exit(kRefusedStart); });
    th::QtDialogs dialogs;
    dialogs.show(th::BoxKind::Error, text);
    return kRefusedStart;
}

}  // namespace

int main(int argc, char** argv) {
    th::DataPaths paths;
    try {
        paths = th::resolveDataPaths();
    } catch (const std::exception& e) {  // no HOME and no TILLHAVEN_HOME
        return refuseStart(argc, argv, e.what());
    }
    th::InstanceLock instanceLock(paths.settingsDir);
    switch (instanceLock.tryAcquire()) {
        case th::LockOutcome::Held:
            return showRunningInstance(argc, argv, instanceLock);
        case th::LockOutcome::Unavailable:
            return refuseStart(argc, argv, instanceLock.unavailableText());
        case th::LockOutcome::Acquired:
            break;
    }
    if (paths.installed)
        th::prepareInstalledDataPaths(paths);
    // Before any register works, and for the life of the process.
    th::JournalLock journalLock(paths.journalFile());
    if (const auto outcome = journalLock.tryAcquire(); outcome != th::LockOutcome::Acquired)
        return refuseStart(argc, argv, journalLock.refusalText(outcome));

    th::SafeApplication application(argc, argv);
    const std::optional<bool> hidden = startsHidden(QCoreApplication::arguments());
    if (!hidden) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    // Closing the main window hides it in the tray or the taskbar; only "Выход" and
    // "Разлогинить" end the program.
    application.setQuitOnLastWindowClosed(false);
    th::QtDialogs dialogs;
    application.setDialogs(&dialogs);
    // Until the application object exists a signal ends any box of its creation and is kept:
    // nothing works yet.
    bool quitRequested = false;
    th::QuitSignals quitSignals([&quitRequested](int) {
        quitRequested = true;
        QCoreApplication::exit(0);
    });
    // Listening before the windows exist, so that a start right after this one finds the door.
    th::InstanceDoor door(instanceLock.socketPath());
    door.listen();

    try {
        th::TillhavenApp app(dialogs, th::execModal, th::quitApplication, paths);
        door.onShowRequest([&app] { app.mainWindow().showWindow(); });
        // A session's end, a service manager or Ctrl+C end the program as "Выход" does.
        quitSignals.setHandler([&app](int) {
            if (!app.mainWindow().isClosing())
                app.mainWindow().quit();
        });
        if (quitRequested)
            app.mainWindow().quit();
        // An update accepted during the start-up check ends the program before the main
        // window is ever shown.
        if (app.mainWindow().isClosing())
            return 0;
        app.mainWindow().begin(*hidden);
        return application.exec();
    } catch (const std::exception& e) {
        th::showUnhandledError(dialogs, e);
        return 1;
    }
}
