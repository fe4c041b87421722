#pragma once

#include <QLocale>
#include <QTranslator>

namespace th {

// Qt's own texts (standard buttons, context menus, file dialogs) in the user's language,
// from Qt's translations installed with the system. The program's own texts are Russian,
// so a locale Qt has no translation for, English (Qt's own language) included, gets
// Qt's Russian texts. Installed on the application for as long as the object lives.
class QtTranslations {
public:
    explicit QtTranslations(const QLocale& locale = QLocale::system());
    ~QtTranslations();
    QtTranslations(const QtTranslations&) = delete;
    QtTranslations& operator=(const QtTranslations&) = delete;

    // The translation in use, such as "ru"; empty when none could be loaded.
    QString language() const { return translator_.language(); }

private:
    QTranslator translator_;
    bool installed_ = false;
};

}  // namespace th
