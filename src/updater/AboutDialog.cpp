#include "updater/AboutDialog.h"

#include <QGridLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPushButton>

#include "platform/gui/ObjectNames.h"
#include "platform/gui/WindowFit.h"

namespace th {

namespace {

constexpr int kWidth = 364;
constexpr int kHeight = 121;
constexpr int kPictureSize = 49;

void drawReceipt(QPainter& painter) {
    QPainterPath receipt;
    receipt.moveTo(17, 6);
    receipt.lineTo(32, 6);
    receipt.lineTo(32, 24);
    receipt.lineTo(17, 24);
    receipt.closeSubpath();
    painter.setPen(QPen(QColor(90, 90, 90), 1));
    painter.setBrush(Qt::white);
    painter.drawPath(receipt);
    for (int y = 10; y <= 20; y += 4)
        painter.drawLine(20, y, 29, y);
}

void drawRegister(QPainter& painter) {
    QLinearGradient body(0, 22, 0, 44);
    body.setColorAt(0, QColor(46, 125, 198));
    body.setColorAt(1, QColor(20, 72, 130));
    painter.setPen(Qt::NoPen);
    painter.setBrush(body);
    painter.drawRoundedRect(QRectF(6, 22, 37, 21), 4, 4);
    painter.setBrush(QColor(190, 230, 255));
    painter.drawRect(QRectF(10, 26, 14, 6));
    painter.setBrush(Qt::white);
    for (int row = 0; row < 2; ++row)
        for (int col = 0; col < 3; ++col)
            painter.drawRect(QRectF(27 + col * 5, 26 + row * 6, 3, 3));
}

}  // namespace

QPixmap aboutPicture() {
    QPixmap picture(kPictureSize, kPictureSize);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    drawReceipt(painter);
    drawRegister(painter);
    return picture;
}

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("О программе"));

    pictureLabel_ = new QLabel(this);
    pictureLabel_->setFixedSize(kPictureSize, kPictureSize);
    pictureLabel_->setPixmap(aboutPicture());

    titleLabel_ = new QLabel(QStringLiteral("Кассовый клиент сервиса tillhaven"), this);
    QFont title = titleLabel_->font();
    title.setBold(true);
    titleLabel_->setFont(title);

    versionCaption_ = new QLabel(QStringLiteral("Версия ПО:"), this);
    versionLabel_ = new QLabel(this);
    versionLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    okButton_ = new QPushButton(QStringLiteral("OK"), this);
    okButton_->setMinimumWidth(88);
    okButton_->setDefault(true);
    connect(okButton_, &QPushButton::clicked, this, [this] { closeDialog(); });

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(12, 12, 12, 12);
    grid->setHorizontalSpacing(12);
    grid->addWidget(pictureLabel_, 0, 0, 3, 1, Qt::AlignTop);
    grid->addWidget(titleLabel_, 0, 1, 1, 2);
    grid->addWidget(versionCaption_, 1, 1);
    grid->addWidget(versionLabel_, 1, 2);
    grid->setColumnStretch(2, 1);
    grid->setRowStretch(2, 1);
    grid->addWidget(okButton_, 3, 0, 1, 3, Qt::AlignRight);
    nameControls();
    fixToFit(*this, {kWidth, kHeight});
}

void AboutDialog::closeDialog() {
    accept();
}

void AboutDialog::setVersion(const QString& version) {
    versionLabel_->setText(version);
}

void AboutDialog::nameControls() {
    setObjectNames({
        {pictureLabel_, "pictureLabel"},
        {titleLabel_, "titleLabel"},
        {versionCaption_, "versionCaption"},
        {versionLabel_, "versionLabel"},
        {okButton_, "okButton"},
    });
}

}  // namespace th
