#pragma once

#include <QCoreApplication>
#include <QDialog>
#include <QMetaObject>

#include <functional>

#include "platform/DataDir.h"

namespace th {

class AutomationRegistry;
class IDialogs;
class RequestLogWindow;
class CommandResults;
class LoginDialog;
class AddCashboxWizard;
class AboutDialog;

// Runs a dialog modally and returns its result. The program runs exec(); tests play the
// user's part in the dialog instead.
using ModalRunner = std::function<int(QDialog& dialog)>;

// Ends the program's message loop. The program asks the application to quit; tests record
// the request.
using QuitRequest = std::function<void()>;

// The process-wide services the application object owns and hands on by reference.
struct ShellServices {
    IDialogs& dialogs;
    ModalRunner runModal;
    QuitRequest quit;
    DataPaths paths;
    AutomationRegistry& automation;
    // The command results not yet sent by any cashbox window, for every cashbox window.
    CommandResults& commandResults;
};

// The process-wide windows after the main window, filled in by the application object as it
// creates them; the main window reaches them only from its first show on.
struct ProcessWindows {
    RequestLogWindow* requestLogWindow = nullptr;
    LoginDialog* loginDialog = nullptr;
    AddCashboxWizard* addCashboxWizard = nullptr;
    AboutDialog* aboutDialog = nullptr;
};

// The modal runner of the program.
inline int execModal(QDialog& dialog) {
    return dialog.exec();
}

// The quit request of the program. Queued, so that a quit asked for before the message
// loop runs still ends it.
inline void quitApplication() {
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                              Qt::QueuedConnection);
}

}  // namespace th
