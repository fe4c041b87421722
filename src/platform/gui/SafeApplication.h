#pragma once

#include <QApplication>

#include <functional>
#include <string>

namespace th {

class IDialogs;

// The application's default error handler: an exception escaping any event handler is
// caught here and its text shown in an error box; the program keeps running.
class SafeApplication : public QApplication {
public:
    SafeApplication(int& argc, char** argv);
    void setDialogs(IDialogs* dialogs) { dialogs_ = dialogs; }
    bool notify(QObject* receiver, QEvent* event) override;

    // Runs fn and shows any exception as the default handler would; for code paths that
    // run outside notify (start-up, tests).
    static void guarded(IDialogs& dialogs, const std::function<void()>& fn);

private:
    IDialogs* dialogs_ = nullptr;
};

// Shows an escaped error the way the default handler does: its message in an error box.
void showUnhandledError(IDialogs& dialogs, const std::exception& e);

}  // namespace th
