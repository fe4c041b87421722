#include "app/CashboxTableModel.h"

#include <algorithm>

namespace th {

namespace {

const char* const kTitles[CashboxTableModel::ColumnCount] = {"Устройство", "Серийный номер",
                                                             "Адрес", "Место", "Статус"};

QString cellText(const CashboxRow& row, int column) {
    switch (column) {
        case CashboxTableModel::DeviceColumn:
            return row.device;
        case CashboxTableModel::SerialColumn:
            return row.serial;
        case CashboxTableModel::AddressColumn:
            return row.address;
        case CashboxTableModel::PlaceColumn:
            return row.place;
        default:
            return row.status;
    }
}

}  // namespace

QString CashboxTableModel::cutText(const QString& text) {
    // Characters, not UTF-16 units: a character outside the basic plane is never split.
    const QList<uint> characters = text.toUcs4();
    if (characters.size() <= kMaxTextLength)
        return text;
    return QString::fromUcs4(reinterpret_cast<const char32_t*>(characters.constData()),
                             kMaxTextLength);
}

int CashboxTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int CashboxTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant CashboxTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    if (role == Qt::ToolTipRole)
        return toolTip(rows_[index.row()], index.column());
    if (role != Qt::DisplayRole)
        return {};
    const CashboxRow& row = rows_[index.row()];
    const QString text = cutText(cellText(row, index.column()));
    if (index.column() != StatusColumn)
        return text;
    // The field texts are cut to the column; conditions and a problem are shown whole, or
    // they say nothing. A problem that is one of the standing conditions is said once.
    QString status = text;
    for (const QString& condition : row.standing)
        status += " — " + condition;
    if (!row.problem.isEmpty() && !row.standing.contains(row.problem))
        status += " — " + row.problem;
    return status;
}

// A cell cut to the column shows its whole text when the pointer rests on it.
QVariant CashboxTableModel::toolTip(const CashboxRow& row, int column) {
    const QString whole = cellText(row, column);
    if (cutText(whole) == whole)
        return {};
    return whole;
}

QVariant CashboxTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal || section < 0 ||
        section >= ColumnCount)
        return {};
    return QString::fromUtf8(kTitles[section]);
}

Qt::ItemFlags CashboxTableModel::flags(const QModelIndex& index) const {
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

namespace {

bool bySerial(const CashboxRow& a, const CashboxRow& b) {
    return a.serial < b.serial;
}

}  // namespace

// The rows are kept in serial order: a binary search finds one.
int CashboxTableModel::rowOfSerial(const QString& serial) const {
    auto found = std::lower_bound(
        rows_.begin(), rows_.end(), serial,
        [](const CashboxRow& row, const QString& key) { return row.serial < key; });
    if (found == rows_.end() || found->serial != serial)
        return -1;
    return static_cast<int>(found - rows_.begin());
}

void CashboxTableModel::addRows(std::vector<CashboxRow> rows) {
    if (rows.size() == 1) {
        addRow(rows.front());
        return;
    }
    if (rows.empty())
        return;
    std::stable_sort(rows.begin(), rows.end(), bySerial);
    beginResetModel();
    const auto middle = rows_.insert(rows_.end(), std::make_move_iterator(rows.begin()),
                                     std::make_move_iterator(rows.end()));
    std::inplace_merge(rows_.begin(), middle, rows_.end(), bySerial);
    endResetModel();
}

int CashboxTableModel::addRow(const CashboxRow& row) {
    auto place = std::upper_bound(rows_.begin(), rows_.end(), row, bySerial);
    const int index = static_cast<int>(place - rows_.begin());
    beginInsertRows({}, index, index);
    rows_.insert(place, row);
    endInsertRows();
    return index;
}

void CashboxTableModel::setProblem(int row, const QString& problem) {
    rows_.at(row).problem = problem;
    const QModelIndex cell = index(row, CashboxTableModel::StatusColumn);
    emit dataChanged(cell, cell);
}

void CashboxTableModel::setStanding(int row, const QStringList& standing) {
    if (rows_.at(row).standing == standing)
        return;
    rows_.at(row).standing = standing;
    const QModelIndex cell = index(row, CashboxTableModel::StatusColumn);
    emit dataChanged(cell, cell);
}

void CashboxTableModel::setStatus(int row, const QString& status) {
    rows_.at(row).status = status;
    const QModelIndex cell = index(row, CashboxTableModel::StatusColumn);
    emit dataChanged(cell, cell);
}

}  // namespace th
