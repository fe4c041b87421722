#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace th {

// "О программе": the program's name and version. The main window sets the text of Version
// before showing it modally.
class AboutDialog : public QDialog {
public:
    explicit AboutDialog(QWidget* parent = nullptr);

    void closeDialog();

    QLabel* pictureLabel = nullptr;
    QLabel* titleLabel = nullptr;
    QLabel* versionCaption = nullptr;
    QLabel* Version = nullptr;
    QPushButton* okButton = nullptr;
};

// The 49 x 49 picture of the about box: a receipt leaving a register.
QPixmap aboutPicture();

}  // namespace th
