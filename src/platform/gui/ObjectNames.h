#pragma once

#include <QObject>
#include <initializer_list>
#include <utility>

namespace th {

// A window's controls are private; their object names are how tests, accessibility tools and
// style sheets find them.
inline void setObjectNames(std::initializer_list<std::pair<QObject*, const char*>> controls) {
    for (const auto& [control, name] : controls)
        control->setObjectName(QLatin1String(name));
}

}  // namespace th
