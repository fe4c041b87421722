#include "platform/gui/SerialPortCombo.h"

#include <QSignalBlocker>
#include <QStyledItemDelegate>

#include <algorithm>

namespace th {

namespace {

// Draws an item as its port's caption; the item's text, which the box takes over when the
// item is chosen, stays the bare name.
class PortItemDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        option->text =
            SerialPortCombo::caption(index.data(Qt::DisplayRole).toString(),
                                     index.data(SerialPortCombo::DescriptionRole).toString());
    }
};

}  // namespace

SerialPortCombo::SerialPortCombo(Lister lister, QWidget* parent)
    : QComboBox(parent), lister_(std::move(lister)) {
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    setItemDelegate(new PortItemDelegate(this));
    refresh();
}

QString SerialPortCombo::caption(const QString& name, const QString& description) {
    if (description.isEmpty())
        return name;
    return name + QStringLiteral(" (") + description + QStringLiteral(")");
}

void SerialPortCombo::refresh() {
    const QSignalBlocker blocker(this);
    const QString text = currentText();
    std::vector<SerialPortEntry> ports = lister_ ? lister_() : std::vector<SerialPortEntry>{};
    const bool missing =
        !text.isEmpty() && std::none_of(ports.begin(), ports.end(), [&](const auto& port) {
            return QString::fromStdString(port.name) == text;
        });
    clear();
    if (missing)
        addPort(text, QString::fromUtf8(kMissingPort));
    for (const SerialPortEntry& port : ports)
        addPort(QString::fromStdString(port.name), QString::fromStdString(port.description));
    setEditText(text);
}

void SerialPortCombo::addPort(const QString& name, const QString& description) {
    addItem(name);
    setItemData(count() - 1, description, DescriptionRole);
    setItemData(count() - 1, caption(name, description), Qt::ToolTipRole);
}

void SerialPortCombo::showPopup() {
    refresh();
    QComboBox::showPopup();
}

}  // namespace th
