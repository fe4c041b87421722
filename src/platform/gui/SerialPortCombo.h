#pragma once

#include <QComboBox>

#include <functional>
#include <vector>

#include "platform/SerialPorts.h"

namespace th {

// An editable combo box of serial ports. The list is read afresh each time it opens, so a
// register plugged in meanwhile shows up; each item is a port's name, shown with its
// description. The text stays what was typed or stored, also a port that is not there now:
// such a port heads the list, marked as missing.
class SerialPortCombo : public QComboBox {
public:
    using Lister = std::function<std::vector<SerialPortEntry>()>;
    static constexpr int DescriptionRole = Qt::UserRole + 1;
    static constexpr const char* kMissingPort = "не найден";

    explicit SerialPortCombo(Lister lister, QWidget* parent = nullptr);

    // Reads the list again; the text and the change signals stay untouched.
    void refresh();
    void showPopup() override;

    // What the list shows for a port: its name and, when known, its description.
    static QString caption(const QString& name, const QString& description);

private:
    void addPort(const QString& name, const QString& description);

    Lister lister_;
};

}  // namespace th
