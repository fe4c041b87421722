#pragma once

#include <QApplication>

namespace th::test {

// Widgets need one application object per process. It is never destroyed: at exit it would
// outlive Qt's own statics. Tests never run its loop, so no timer fires on its own.
inline QApplication& ensureQtApplication() {
    if (auto* existing = qobject_cast<QApplication*>(QApplication::instance()))
        return *existing;
    static int argc = 1;
    static char name[] = "tillhaven-test";
    static char* argv[] = {name, nullptr};
    return *new QApplication(argc, argv);
}

}  // namespace th::test
