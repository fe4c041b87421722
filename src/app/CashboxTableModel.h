#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <QStringList>

#include <vector>

namespace th {

// One register's row of the list.
struct CashboxRow {
    QString device;
    QString serial;
    QString address;
    QString place;
    QString status;
    // The register's standing conditions (paper out, ...), shown after the status until
    // they clear.
    QStringList standing;
    // The last problem the register's own work reported since it last exchanged or
    // connected; shown after the status and the standing conditions.
    QString problem;
};

// The in-memory table behind the register grid: one row per register, kept in ascending
// order of the serial number, never written anywhere and never shrinking while the program
// runs. Texts are shown cut to kMaxTextLength characters, a cut cell with its whole text as
// its tooltip; the serial is matched in full, so a long serial still finds its row.
class CashboxTableModel : public QAbstractTableModel {
public:
    enum Column {
        DeviceColumn,
        SerialColumn,
        AddressColumn,
        PlaceColumn,
        StatusColumn,
        ColumnCount
    };
    static constexpr int kMaxTextLength = 20;
    static constexpr int kColumnWidths[ColumnCount] = {91, 180, 250, 100, -1};

    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // The row of the serial (exact, case-sensitive), or -1.
    int rowOfSerial(const QString& serial) const;
    // Inserts the row at its place in serial order and returns its index.
    int addRow(const CashboxRow& row);
    // Adds many rows at once, each at its place in serial order, in time linear in the
    // table's size plus n log n for the new rows. No serial may be listed already.
    void addRows(std::vector<CashboxRow> rows);
    void setStatus(int row, const QString& status);
    void setProblem(int row, const QString& problem);
    void setStanding(int row, const QStringList& standing);
    const CashboxRow& rowAt(int row) const { return rows_.at(row); }
    // The first kMaxTextLength characters of text, as the grid shows it.
    static QString cutText(const QString& text);

private:
    // The whole text of a cut cell; none for a cell shown whole.
    static QVariant toolTip(const CashboxRow& row, int column);

    std::vector<CashboxRow> rows_;
};

}  // namespace th
