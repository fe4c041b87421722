#include "app/TillhavenApp.h"

#include "app/MainWindow.h"
#include "auth/LoginDialog.h"
#include "dispatcher/gui/RequestLogWindow.h"
#include "emulator/RegisterBackends.h"
#include "platform/FileModes.h"
#include "settings/AppSettings.h"
#include "updater/AboutDialog.h"
#include "wizard/AddCashboxWizard.h"

namespace th {

TillhavenApp::TillhavenApp(IDialogs& dialogs, ModalRunner runModal, QuitRequest quit,
                           DataPaths paths)
    : services_{dialogs,          std::move(runModal), std::move(quit),
                std::move(paths), automation_,         commandResults_} {
    // Before anything opens them: the journal and the problem log are the owner's alone.
    restrictDataFiles(services_.paths);
    // What an earlier run left undelivered goes out with the first request of any register.
    commandResults_.keepIn(services_.paths.journalFile());
    mainWindow_ = std::make_unique<MainWindow>(services_, windows_);
    installRegisterBackend();
    requestLogWindow_ = std::make_unique<RequestLogWindow>(dialogs);
    windows_.requestLogWindow = requestLogWindow_.get();
    loginDialog_ = std::make_unique<LoginDialog>(requestLogWindow_->client(), dialogs);
    windows_.loginDialog = loginDialog_.get();
    addCashboxWizard_ =
        std::make_unique<AddCashboxWizard>(dialogs, automation_, requestLogWindow_->client());
    windows_.addCashboxWizard = addCashboxWizard_.get();
    aboutDialog_ = std::make_unique<AboutDialog>();
    windows_.aboutDialog = aboutDialog_.get();
}

// The registers' workers use the client window's log and the settings until they end: they
// are stopped before any window goes.
TillhavenApp::~TillhavenApp() {
    mainWindow_->stopRegisters();
}

void TillhavenApp::installRegisterBackend() {
    // The register driver's automation object comes from the backend that settings.ini's
    // system/RegisterDriver names; the settings are read by now.
    th::installRegisterBackend(automation_, mainWindow_->appSettings().registerDriver(),
                               services_.paths.settingsDir);
}

}  // namespace th
