// Process entry: one instance per user, the application object, the message loop.
#include <exception>

#include "app/MainForm.h"
#include "app/TillhavenApp.h"
#include "platform/DataDir.h"
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

}  // namespace

int main(int argc, char** argv) {
    th::InstanceLock instanceLock;
    // Another instance runs: end at once, silently, leaving it undisturbed.
    if (!instanceLock.tryAcquire())
        return 0;

    th::SafeApplication application(argc, argv);
    // The main window hides to the tray; only "Выход" and "Разлогинить" end the program.
    application.setQuitOnLastWindowClosed(false);
    th::QtDialogs dialogs;
    application.setDialogs(&dialogs);

    try {
        th::TillhavenApp app(dialogs, th::execModal, th::quitApplication, prepareDataPaths());
        // An update accepted during the start-up check ends the program before the main
        // window is ever shown.
        if (app.Form1().isClosing())
            return 0;
        app.Form1().show();
        return application.exec();
    } catch (const std::exception& e) {
        th::showUnhandledError(dialogs, e);
        return 1;
    }
}
