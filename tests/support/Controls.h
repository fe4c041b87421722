#pragma once

#include <QObject>
#include <QString>
#include <stdexcept>
#include <string>

namespace th {

// A window's control, found by its object name; a missing one fails the test that asked.
template <typename Control>
Control* control(const QObject& window, const char* name) {
    auto* found = window.findChild<Control*>(QLatin1String(name));
    if (found == nullptr)
        throw std::logic_error(std::string("no control named ") + name + " in " +
                               window.metaObject()->className());
    return found;
}

}  // namespace th
