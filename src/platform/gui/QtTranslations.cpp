#include "platform/gui/QtTranslations.h"

#include <QCoreApplication>
#include <QLibraryInfo>

namespace th {

namespace {

constexpr const char* kQtCatalogue = "qtbase";
constexpr const char* kFallbackCatalogue = "qtbase_ru";

// English is the language Qt's texts are written in: its catalogue holds no texts.
bool hasQtTranslation(const QLocale& locale) {
    return locale.language() != QLocale::English && locale.language() != QLocale::C;
}

}  // namespace

QtTranslations::QtTranslations(const QLocale& locale) {
    const QString directory = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    const bool loaded =
        (hasQtTranslation(locale) && translator_.load(locale, QString::fromLatin1(kQtCatalogue),
                                                      QStringLiteral("_"), directory)) ||
        translator_.load(QString::fromLatin1(kFallbackCatalogue), directory);
    if (loaded && QCoreApplication::instance() != nullptr)
        installed_ = QCoreApplication::installTranslator(&translator_);
}

QtTranslations::~QtTranslations() {
    if (installed_)
        QCoreApplication::removeTranslator(&translator_);
}

}  // namespace th
