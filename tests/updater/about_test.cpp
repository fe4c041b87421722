#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>

#include "support/Controls.h"
#include "support/QtTestApp.h"
#include "updater/AboutDialog.h"

namespace th {
namespace {

// The version is the main window's to fill (its about action is tested with the main window):
// the box itself shows its texts, keeps a selectable place for the version and closes on OK.
TEST(AboutForm, ShowsItsTextsAndClosesOnOk) {
    test::ensureQtApplication();

    AboutDialog about;
    about.show();
    EXPECT_TRUE(control<QLabel>(about, "versionLabel")->isVisible());
    EXPECT_TRUE(control<QLabel>(about, "versionLabel")->text().isEmpty());
    EXPECT_TRUE(control<QLabel>(about, "versionLabel")->textInteractionFlags() &
                Qt::TextSelectableByMouse);
    EXPECT_EQ(about.windowTitle(), "О программе");
    EXPECT_GE(about.width(), 364);
    EXPECT_GE(about.height(), 121);
    EXPECT_EQ(about.minimumSize(), about.maximumSize());
    EXPECT_EQ(control<QLabel>(about, "pictureLabel")->pixmap().size(), QSize(49, 49));
    EXPECT_EQ(control<QLabel>(about, "titleLabel")->text(), "Кассовый клиент сервиса tillhaven");
    EXPECT_EQ(control<QLabel>(about, "versionCaption")->text(), "Версия ПО:");
    control<QPushButton>(about, "okButton")->click();
    EXPECT_FALSE(about.isVisible());
    EXPECT_EQ(about.result(), QDialog::Accepted);
}

}  // namespace
}  // namespace th
