#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace th {

// "О программе": the program's name and version. The main window sets the version before
// showing it modally.
class AboutDialog : public QDialog {
public:
    explicit AboutDialog(QWidget* parent = nullptr);

    void closeDialog();
    void setVersion(const QString& version);

private:
    // Gives each control its object name: its member's name without the underscore.
    void nameControls();

    // Controls.
    QLabel* pictureLabel_ = nullptr;
    QLabel* titleLabel_ = nullptr;
    QLabel* versionCaption_ = nullptr;
    QLabel* versionLabel_ = nullptr;
    QPushButton* okButton_ = nullptr;
};

// The 49 x 49 picture of the about box: a receipt leaving a register.
QPixmap aboutPicture();

}  // namespace th
