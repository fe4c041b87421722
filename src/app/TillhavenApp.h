#pragma once

#include <memory>

#include "app/AppContext.h"
#include "cashbox/CommandResults.h"
#include "drivers/Automation.h"
#include "platform/gui/QtTranslations.h"

namespace th {

class IDialogs;
class MainWindow;

// The application object: owns the process-wide objects and windows and hands them on by
// reference. Windows are created in the order main window, request log, login dialog (then
// the wizard and the about box) and live until the object goes.
class TillhavenApp {
public:
    TillhavenApp(IDialogs& dialogs, ModalRunner runModal, QuitRequest quit, DataPaths paths);
    ~TillhavenApp();
    TillhavenApp(const TillhavenApp&) = delete;
    TillhavenApp& operator=(const TillhavenApp&) = delete;

    MainWindow& mainWindow() { return *mainWindow_; }
    RequestLogWindow& requestLogWindow() { return *requestLogWindow_; }
    LoginDialog& loginDialog() { return *loginDialog_; }
    AddCashboxWizard& addCashboxWizard() { return *addCashboxWizard_; }
    AboutDialog& aboutDialog() { return *aboutDialog_; }
    AutomationRegistry& automation() { return automation_; }
    CommandResults& commandResults() { return commandResults_; }
    IDialogs& dialogs() { return services_.dialogs; }

private:
    void installRegisterBackend();

    // First of all: windows and boxes take Qt's texts as they are created.
    QtTranslations translations_;
    AutomationRegistry automation_;
    CommandResults commandResults_;
    ShellServices services_;
    ProcessWindows windows_;
    // Declared in creation order, so they go in reverse: the client window, which holds a
    // reference to the main window's settings, before the main window.
    std::unique_ptr<MainWindow> mainWindow_;
    std::unique_ptr<RequestLogWindow> requestLogWindow_;
    std::unique_ptr<LoginDialog> loginDialog_;
    std::unique_ptr<AddCashboxWizard> addCashboxWizard_;
    std::unique_ptr<AboutDialog> aboutDialog_;
};

}  // namespace th
