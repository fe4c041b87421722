#include "platform/gui/SafeApplication.h"

#include <cstdio>
#include <exception>

#include "platform/Dialogs.h"

namespace th {

SafeApplication::SafeApplication(int& argc, char** argv) : QApplication(argc, argv) {}

void showUnhandledError(IDialogs& dialogs, const std::exception& e) {
    dialogs.show(BoxKind::Error, e.what());
}

bool SafeApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        if (dialogs_)
            showUnhandledError(*dialogs_, e);
        else
            std::fprintf(stderr, "tillhaven: %s\n", e.what());
    } catch (...) {
        if (dialogs_)
            dialogs_->show(BoxKind::Error, "Неизвестная ошибка");
    }
    return false;
}

void SafeApplication::guarded(IDialogs& dialogs, const std::function<void()>& fn) {
    try {
        fn();
    } catch (const std::exception& e) {
        showUnhandledError(dialogs, e);
    }
}

}  // namespace th
