#include "app/TillhavenApp.h"

#include "app/MainForm.h"
#include "auth/PasswordDlg.h"
#include "dispatcher/gui/ClientForm.h"
#include "emulator/RegisterBackends.h"
#include "settings/AppSettings.h"
#include "updater/AboutForm.h"
#include "wizard/AddCashboxWizard.h"

namespace th {

TillhavenApp::TillhavenApp(IDialogs& dialogs, ModalRunner runModal, QuitRequest quit,
                           DataPaths paths)
    : services_{dialogs,          std::move(runModal), std::move(quit),
                std::move(paths), automation_,         commandResults_} {
    form1_ = std::make_unique<TForm1>(services_, windows_);
    installRegisterBackend();
    clientForm_ = std::make_unique<TClientForm>(dialogs);
    windows_.ClientForm = clientForm_.get();
    passwordDlg_ = std::make_unique<TPasswordDlg>(clientForm_->RestClient(), dialogs);
    windows_.PasswordDlg = passwordDlg_.get();
    addCashboxWizard_ =
        std::make_unique<TAddCashboxWizard>(dialogs, automation_, clientForm_->RestClient());
    windows_.AddCashboxWizard = addCashboxWizard_.get();
    aboutForm_ = std::make_unique<TAboutForm>();
    windows_.AboutForm = aboutForm_.get();
}

// The registers' workers use the client window's log and the settings until they end: they
// are stopped before any window goes.
TillhavenApp::~TillhavenApp() {
    form1_->FormClose();
}

void TillhavenApp::installRegisterBackend() {
    // The register driver's automation object comes from the backend that settings.ini's
    // system/RegisterDriver names; the settings are read by now.
    th::installRegisterBackend(automation_, form1_->AppSettings().RegisterDriver(),
                               services_.paths.settingsDir);
}

}  // namespace th
