#include "platform/gui/QtDialogs.h"

#include <QApplication>
#include <QMessageBox>

#include "platform/UiThread.h"

namespace th {

namespace {

QMessageBox::Icon iconFor(BoxKind kind) {
    switch (kind) {
        case BoxKind::Plain:
            return QMessageBox::NoIcon;
        case BoxKind::Information:
            return QMessageBox::Information;
        case BoxKind::Warning:
            return QMessageBox::Warning;
        case BoxKind::Error:
            return QMessageBox::Critical;
    }
    return QMessageBox::NoIcon;
}

int runBox(BoxKind kind, const std::string& text, QMessageBox::StandardButtons buttons) {
    int result = QMessageBox::Cancel;
    runOnUiThread([&] {
        QMessageBox box(iconFor(kind), QApplication::applicationDisplayName(),
                        QString::fromStdString(text), buttons, QApplication::activeWindow());
        result = box.exec();
    });
    return result;
}

}  // namespace

void QtDialogs::show(BoxKind kind, const std::string& text) {
    runBox(kind, text, QMessageBox::Ok);
}

bool QtDialogs::askYesCancel(BoxKind kind, const std::string& text) {
    return runBox(kind, text, QMessageBox::Yes | QMessageBox::Cancel) == QMessageBox::Yes;
}

}  // namespace th
