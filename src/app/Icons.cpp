#include "app/Icons.h"

#include <QPainter>
#include <QPixmap>

namespace th {

namespace {

constexpr int kIconWidth = 40;
constexpr int kIconHeight = 44;

// A till: a screen on a body, with a lamp in the state's colour.
QIcon drawTillIcon(const QColor& lamp) {
    QPixmap pixmap(kIconWidth, kIconHeight);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(40, 40, 40), 2));
    painter.setBrush(QColor(225, 225, 225));
    painter.drawRoundedRect(QRectF(4, 20, 32, 20), 3, 3);
    painter.setBrush(QColor(70, 90, 110));
    painter.drawRect(QRectF(9, 6, 22, 12));
    painter.setPen(Qt::NoPen);
    painter.setBrush(lamp);
    painter.drawEllipse(QPointF(20, 30), 7, 7);
    return QIcon(pixmap);
}

}  // namespace

QIcon greenStatusIcon() {
    return drawTillIcon(QColor(20, 170, 40));
}

QIcon redStatusIcon() {
    return drawTillIcon(QColor(210, 30, 30));
}

QIcon addCashboxIcon() {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(20, 150, 40));
    painter.drawRect(QRectF(6, 2, 4, 12));
    painter.drawRect(QRectF(2, 6, 12, 4));
    return QIcon(pixmap);
}

}  // namespace th
