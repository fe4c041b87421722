#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>

#include "updater/AboutForm.h"

namespace th {
namespace {

TEST(AboutForm, ShowsTheVersionAndClosesOnOk) {
    static int argc = 1;
    static char name[] = "test_about";
    static char* argv[] = {name, nullptr};
    // Never destroyed: at exit it would outlive Qt's own statics.
    static auto* app = new QApplication(argc, argv);
    (void)app;

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
