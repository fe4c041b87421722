#include "app/TillhavenApp.h"

#include "app/MainForm.h"
#include "auth/PasswordDlg.h"
#include "dispatcher/gui/ClientForm.h"

namespace th {

TillhavenApp::TillhavenApp(IDialogs& dialogs, ModalRunner runModal, QuitRequest quit,
                           DataPaths paths)
    : services_{dialogs, std::move(runModal), std::move(quit), std::move(paths), automation_} {
    form1_ = std::make_unique<TForm1>(services_, windows_);
    installRegisterBackend();
    clientForm_ = std::make_unique<TClientForm>(dialogs);
    windows_.ClientForm = clientForm_.get();
    passwordDlg_ = std::make_unique<TPasswordDlg>(clientForm_->RestClient(), dialogs);
    windows_.PasswordDlg = passwordDlg_.get();
}

TillhavenApp::~TillhavenApp() = default;

void TillhavenApp::installRegisterBackend() {
    // The register driver's automation object comes from the backend that settings.ini's
    // system/RegisterDriver names, installed into automation_ once the settings are read.
}

}  // namespace th
