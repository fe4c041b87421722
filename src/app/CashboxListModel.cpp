#include "app/CashboxListModel.h"

#include <algorithm>

namespace th {

namespace {

const char* const kTitles[TCashboxListModel::ColumnCount] = {"Устройство", "Серийный номер",
                                                             "Адрес", "Место", "Статус"};

const QString& cellText(const TCashboxRow& row, int column) {
    switch (column) {
        case TCashboxListModel::device:
            return row.device;
        case TCashboxListModel::KKTSerial:
            return row.KKTSerial;
        case TCashboxListModel::Address:
            return row.Address;
        case TCashboxListModel::Place:
            return row.Place;
        default:
            return row.status;
    }
}

}  // namespace

QString TCashboxListModel::cutText(const QString& text) {
    // Characters, not UTF-16 units: a character outside the basic plane is never split.
    const QList<uint> characters = text.toUcs4();
    if (characters.size() <= kMaxTextLength)
        return text;
    return QString::fromUcs4(reinterpret_cast<const char32_t*>(characters.constData()),
                             kMaxTextLength);
}

int TCashboxListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TCashboxListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant TCashboxListModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rowCount())
        return {};
    return cutText(cellText(rows_[index.row()], index.column()));
}

QVariant TCashboxListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal || section < 0 ||
        section >= ColumnCount)
        return {};
    return QString::fromUtf8(kTitles[section]);
}

Qt::ItemFlags TCashboxListModel::flags(const QModelIndex& index) const {
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

int TCashboxListModel::rowOfSerial(const QString& serial) const {
    auto found = std::find_if(rows_.begin(), rows_.end(),
                              [&](const TCashboxRow& row) { return row.KKTSerial == serial; });
    return found == rows_.end() ? -1 : static_cast<int>(found - rows_.begin());
}

int TCashboxListModel::addRow(const TCashboxRow& row) {
    auto place = std::upper_bound(
        rows_.begin(), rows_.end(), row,
        [](const TCashboxRow& a, const TCashboxRow& b) { return a.KKTSerial < b.KKTSerial; });
    const int index = static_cast<int>(place - rows_.begin());
    beginInsertRows({}, index, index);
    rows_.insert(place, row);
    endInsertRows();
    return index;
}

void TCashboxListModel::setStatus(int row, const QString& status) {
    rows_.at(row).status = status;
    const QModelIndex cell = index(row, TCashboxListModel::status);
    emit dataChanged(cell, cell);
}

}  // namespace th
