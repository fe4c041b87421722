#pragma once

#include <QSize>

class QWidget;

namespace th {

// Window sizes are given for one set of fonts; the platform's fonts may need more room.
// A window is at least its given size and grows to what its layout needs for its texts.

// The size for a window: least, grown to the minimum its layout needs for its texts (and,
// with word-wrapped texts, to the height they need at that width).
QSize fittedSize(QWidget& window, QSize least);
// A window with a fixed border: fixed at its fitted size.
void fixToFit(QWidget& window, QSize least);
// A resizable window: starts at its fitted size.
void resizeToFit(QWidget& window, QSize least);

}  // namespace th
