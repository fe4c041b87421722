// Process entry: one instance per user, the application object, the message loop.
#include <cstdio>
#include <exception>
#include <optional>

#include "app/Autostart.h"
#include "app/MainWindow.h"
#include "app/TillhavenApp.h"
#include "platform/DataDir.h"
#include "platform/InstanceDoor.h"
#include "platform/InstanceLock.h"
#include "platform/gui/QtDialogs.h"
#include "platform/gui/SafeApplication.h"

namespace {

th::DataPaths prepareDataPaths() {
    th::DataPaths paths = th::resolveDataPaths();
    if (paths.installed)
        th::prepareInstalledDataPaths(paths);
    return paths;
}

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

}  // namespace

int main(int argc, char** argv) {
    th::InstanceLock instanceLock;
    if (!instanceLock.tryAcquire())
        return showRunningInstance(argc, argv, instanceLock);

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
    // Listening before the windows exist, so that a start right after this one finds the door.
    th::InstanceDoor door(instanceLock.socketPath());
    door.listen();

    try {
        th::TillhavenApp app(dialogs, th::execModal, th::quitApplication, prepareDataPaths());
        door.onShowRequest([&app] { app.mainWindow().showWindow(); });
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
