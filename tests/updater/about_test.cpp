#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>

#include "support/QtTestApp.h"
#include "updater/AboutForm.h"

namespace th {
namespace {

TEST(AboutForm, ShowsTheVersionAndClosesOnOk) {
    test::ensureQtApplication();

    TAboutForm about;
    about.Version->setText("1.0.1.0");
    about.show();
    EXPECT_EQ(about.windowTitle(), "О программе");
    EXPECT_EQ(about.size(), QSize(364, 121));
    EXPECT_EQ(about.Image1->pixmap().size(), QSize(49, 49));
    EXPECT_EQ(about.StaticText1->text(), "Кассовый клиент сервиса tillhaven");
    EXPECT_EQ(about.StaticText2->text(), "Версия ПО:");
    about.Button1->click();
    EXPECT_FALSE(about.isVisible());
    EXPECT_EQ(about.result(), QDialog::Accepted);
}

}  // namespace
}  // namespace th
