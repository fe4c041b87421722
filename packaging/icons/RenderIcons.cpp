// Draws the program's icon for the desktop's icon theme: the green till of the main window
// and the tray, as <dir>/<N>x<N>/apps/tillhaven.png for every size N given.
// Runs at build time; draws into images, so it needs no display.
#include <QImage>
#include <QPainter>
#include <QString>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace {

// The same till as the tray picture (a screen on a body with a green lamp), drawn on a
// 40 x 44 grid and scaled to a square of the given size.
QImage drawTill(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal scale = size / 44.0;
    painter.scale(scale, scale);
    painter.translate(2, 0);
    painter.setPen(QPen(QColor(40, 40, 40), 2));
    painter.setBrush(QColor(225, 225, 225));
    painter.drawRoundedRect(QRectF(4, 20, 32, 20), 3, 3);
    painter.setBrush(QColor(70, 90, 110));
    painter.drawRect(QRectF(9, 6, 22, 12));
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(20, 170, 40));
    painter.drawEllipse(QPointF(20, 30), 7, 7);
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <icon theme directory> <size>...\n", argv[0]);
        return 2;
    }
    const std::filesystem::path theme = argv[1];
    for (int i = 2; i < argc; ++i) {
        const int size = std::atoi(argv[i]);
        if (size <= 0 || size > 1024) {
            std::fprintf(stderr, "not an icon size: %s\n", argv[i]);
            return 2;
        }
        const auto dir = theme / (std::to_string(size) + "x" + std::to_string(size)) / "apps";
        std::filesystem::create_directories(dir);
        const auto file = dir / "tillhaven.png";
        if (!drawTill(size).save(QString::fromStdString(file.string()), "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", file.c_str());
            return 1;
        }
    }
    return 0;
}
