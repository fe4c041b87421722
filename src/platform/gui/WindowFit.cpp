#include "platform/gui/WindowFit.h"

#include <QLayout>
#include <QWidget>

#include <algorithm>

namespace th {

QSize fittedSize(QWidget& window, QSize least) {
    QLayout* layout = window.layout();
    if (layout == nullptr)
        return least;
    layout->activate();
    // The minimum gives every label and button the room its text needs; the size hint would
    // widen the window for word-wrapped texts, which only need the height for its width.
    QSize size = least.expandedTo(layout->totalMinimumSize());
    if (layout->hasHeightForWidth())
        size.setHeight(std::max(size.height(), layout->totalHeightForWidth(size.width())));
    return size;
}

void fixToFit(QWidget& window, QSize least) {
    window.setFixedSize(fittedSize(window, least));
}

void resizeToFit(QWidget& window, QSize least) {
    window.resize(fittedSize(window, least));
}

}  // namespace th
