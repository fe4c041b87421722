#pragma once

#include <memory>

#include "app/AppContext.h"
#include "cashbox/CommandResults.h"
#include "drivers/Automation.h"
#include "platform/gui/QtTranslations.h"

namespace th {

class IDialogs;
class TForm1;

// The application object: owns the process-wide objects and windows and hands them on by
// reference. Windows are created in the order Form1, ClientForm, PasswordDlg (then the
// wizard and the about box) and live until the object goes.
class TillhavenApp {
public:
    TillhavenApp(IDialogs& dialogs, ModalRunner runModal, QuitRequest quit, DataPaths paths);
    ~TillhavenApp();
    TillhavenApp(const TillhavenApp&) = delete;
    TillhavenApp& operator=(const TillhavenApp&) = delete;

    TForm1& Form1() { return *form1_; }
    TClientForm& ClientForm() { return *clientForm_; }
    TPasswordDlg& PasswordDlg() { return *passwordDlg_; }
    TAddCashboxWizard& AddCashboxWizard() { return *addCashboxWizard_; }
    TAboutForm& AboutForm() { return *aboutForm_; }
    AutomationRegistry& Automation() { return automation_; }
    TCommandResults& CommandResults() { return commandResults_; }
    IDialogs& Dialogs() { return services_.dialogs; }

private:
    void installRegisterBackend();

    // First of all: windows and boxes take Qt's texts as they are created.
    QtTranslations translations_;
    AutomationRegistry automation_;
    TCommandResults commandResults_;
    TShellServices services_;
    TProcessWindows windows_;
    // Declared in creation order, so they go in reverse: the client window, which holds a
    // reference to the main window's settings, before the main window.
    std::unique_ptr<TForm1> form1_;
    std::unique_ptr<TClientForm> clientForm_;
    std::unique_ptr<TPasswordDlg> passwordDlg_;
    std::unique_ptr<TAddCashboxWizard> addCashboxWizard_;
    std::unique_ptr<TAboutForm> aboutForm_;
};

}  // namespace th
