// The program's windows with the platform's fonts and Qt's own texts in Russian: every
// window is at least its designed size and shows every label and button whole.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QStackedWidget>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/MainWindow.h"
#include "app/ShellTestKit.h"
#include "platform/gui/QtTranslations.h"
#include "support/Controls.h"
#include "wizard/AddCashboxWizard.h"

using namespace th;
using namespace th::test;

namespace {

std::string text(const QString& s) {
    return s.toStdString();
}

// The texts of a window that do not fit their widgets, each with its widget's size and the
// size it asks for.
std::vector<std::string> cutTexts(const QWidget& window) {
    std::vector<std::string> cut;
    auto check = [&](const QWidget& widget, const QString& shown, bool wraps) {
        if (!widget.isVisibleTo(&window) || shown.isEmpty())
            return;
        const QSize hint = widget.sizeHint();
        const bool fits = wraps
                              ? widget.heightForWidth(widget.width()) <= widget.height() &&
                                    widget.minimumSizeHint().width() <= widget.width()
                              : hint.width() <= widget.width() && hint.height() <= widget.height();
        if (!fits)
            cut.push_back(text(shown) + " " + std::to_string(widget.width()) + "x" +
                          std::to_string(widget.height()) + " < " + std::to_string(hint.width()) +
                          "x" + std::to_string(hint.height()));
    };
    for (const QLabel* label : window.findChildren<QLabel*>())
        check(*label, label->text(), label->wordWrap());
    for (const QAbstractButton* button : window.findChildren<QAbstractButton*>())
        check(*button, button->text(), false);
    return cut;
}

// The windows of the program, by caption: shown, laid out and walked page by page.
std::vector<QWidget*> programWindows() {
    std::vector<QWidget*> windows;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->windowType() == Qt::Window || widget->windowType() == Qt::Dialog)
            windows.push_back(widget);
    return windows;
}

void showLaidOut(QWidget& window) {
    window.show();
    QCoreApplication::processEvents();
}

// Each window of the program at least at its designed size.
const std::map<std::string, QSize> kLeastSizes = {
    {"Авторизация", {284, 183}}, {"Мастер добавления кассы", {534, 469}},
    {"О программе", {364, 121}}, {"Настройки кассы", {746, 377}},
    {"Клиент", {835, 299}},      {"Кассовый клиент tillhaven. Версия ПО: ", {728, 221}}};

std::string captionKey(const QWidget& window) {
    const std::string caption = text(window.windowTitle());
    for (const auto& [key, size] : kLeastSizes)
        if (caption.starts_with(key))
            return key;
    return caption;
}

// The check itself: a text in a widget narrower than the text is found.
TEST(WindowTexts, ATextNarrowerThanItsWidgetIsFoundCut) {
    ensureQtApplication();
    QWidget window;
    auto* label = new QLabel("Необходимо ввести логин и пароль  от", &window);
    label->setGeometry(0, 0, label->sizeHint().width() / 2, label->sizeHint().height());
    window.show();
    EXPECT_EQ(cutTexts(window).size(), 1u);
    label->resize(label->sizeHint());
    EXPECT_EQ(cutTexts(window), std::vector<std::string>{});
}

// The program after its start sequence with one register, every window created.
class ProgramWindows : public ::testing::Test {
protected:
    void SetUp() override {
        dispatcher.answerJson("test", testAnswer(true));
        dispatcher.answerJson(
            "getsalepoints",
            {{"status", 200},
             {"data",
              Json::array({{{"kkt_serial", "00106700000001"},
                            {"address", "г. Москва, ул. Большая Садовая, д. 302-бис, кв. 50"},
                            {"place", "Торговый зал, касса 1"},
                            {"token", "t"},
                            {"kkt_reg_num", "0000000001012345"},
                            {"fs_serial", "9999078900001234"}}})}});
        shell.start();
        shell.showMainWindow();
        // A register's window is built when it is first opened, as a double click does.
        MainWindow& main = shell.app->mainWindow();
        for (const auto& record : main.cashboxes())
            main.cashboxWindow(*record);
    }

    ShellDispatcher dispatcher;
    ShellHarness shell{dispatcher.settingsIni("stored-token")};
};

}  // namespace

TEST_F(ProgramWindows, EveryWindowIsAtLeastItsSizeAndShowsEveryTextWhole) {
    std::set<std::string> seen;
    for (QWidget* window : programWindows()) {
        const std::string key = captionKey(*window);
        SCOPED_TRACE(key);
        seen.insert(key);
        showLaidOut(*window);
        if (auto least = kLeastSizes.find(key); least != kLeastSizes.end()) {
            EXPECT_GE(window->width(), least->second.width());
            EXPECT_GE(window->height(), least->second.height());
        }
        // A window of pages shows one page at a time: each is walked.
        const auto pages = window->findChildren<QStackedWidget*>();
        if (pages.isEmpty()) {
            EXPECT_EQ(cutTexts(*window), std::vector<std::string>{});
            continue;
        }
        for (int page = 0; page < pages.front()->count(); ++page) {
            pages.front()->setCurrentIndex(page);
            QCoreApplication::processEvents();
            EXPECT_EQ(cutTexts(*window), std::vector<std::string>{}) << "page " << page;
        }
        window->hide();
    }
    for (const auto& [key, size] : kLeastSizes)
        EXPECT_TRUE(seen.count(key)) << "not walked: " << key;
}

// The program's questions are Qt's message boxes with the buttons Yes and Cancel.
TEST_F(ProgramWindows, MessageBoxesShowTheirTextAndQtsButtonsInRussian) {
    QMessageBox box(QMessageBox::Warning, QString(),
                    "Доступна новая версия программы. Нажмите ДА, чтобы обновить её сейчас",
                    QMessageBox::Yes | QMessageBox::Cancel);
    showLaidOut(box);
    std::vector<std::string> buttons;
    for (QAbstractButton* button : box.buttons())
        buttons.push_back(text(button->text()));
    std::sort(buttons.begin(), buttons.end());
    EXPECT_EQ(buttons, (std::vector<std::string>{"&Да", "Отмена"}));
    EXPECT_EQ(cutTexts(box), std::vector<std::string>{});
}

TEST_F(ProgramWindows, EditFieldsOfferQtsContextMenuInRussian) {
    auto* login = control<QLineEdit>(shell.app->loginDialog(), "loginEdit");
    std::unique_ptr<QMenu> menu(login->createStandardContextMenu());
    std::vector<std::string> items;
    for (const QAction* action : menu->actions())
        if (!action->isSeparator())
            items.push_back(text(action->text()));
    EXPECT_NE(std::find(items.begin(), items.end(), "&Копировать\tCtrl+C"), items.end())
        << ::testing::PrintToString(items);
}

namespace {

struct LocaleCase {
    const char* name;
    const char* locale;
    const char* language;  // of the translation in use
    const char* yes;       // without its shortcut mark
};

class QtTexts : public ::testing::TestWithParam<LocaleCase> {
protected:
    void SetUp() override { ensureQtApplication(); }
};

}  // namespace

TEST_P(QtTexts, FollowTheUsersLocaleOrElseRussian) {
    const LocaleCase& c = GetParam();
    QtTranslations translations{QLocale(QString::fromLatin1(c.locale))};
    EXPECT_EQ(text(translations.language()), c.language);
    QMessageBox box(QMessageBox::Question, "", "", QMessageBox::Yes | QMessageBox::Cancel);
    EXPECT_EQ(text(box.button(QMessageBox::Yes)->text().remove(QLatin1Char('&'))), c.yes);
}

INSTANTIATE_TEST_SUITE_P(Locales, QtTexts,
                         ::testing::Values(LocaleCase{"russian", "ru_RU", "ru_RU", "Да"},
                                           LocaleCase{"ukrainian", "uk_UA", "uk_UA", "Так"},
                                           LocaleCase{"german", "de_DE", "de_DE", "Ja"},
                                           LocaleCase{"english", "en_US", "ru_RU", "Да"},
                                           LocaleCase{"posix", "C", "ru_RU", "Да"},
                                           LocaleCase{"withoutQtTranslation", "sw_KE", "ru_RU",
                                                      "Да"}),
                         [](const auto& info) { return std::string(info.param.name); });
