#pragma once

#include <QIcon>

namespace th {

// The tray pictures: green while the register whose state changed last is connected, red
// when it is not. 40 x 44 pixels, drawn at start-up.
QIcon greenStatusIcon();
QIcon redStatusIcon();
// The small picture of the menu item "Добавить кассу".
QIcon addCashboxIcon();

}  // namespace th
