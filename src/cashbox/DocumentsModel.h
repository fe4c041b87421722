#pragma once

#include <QAbstractTableModel>
#include <QDateTime>

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cashbox/JournalView.h"

namespace th {

// The texts a document row is shown with.
QString documentKindText(const std::string& command);
// "получен", "пробит", "подтверждён сервисом", "ошибка: …", "под вопросом".
QString documentStateText(const DocumentRow& row);
// The document's total ("total", or the sum of its positions), "" when it has none.
QString documentTotalText(const std::string& data);
// The register's fiscal document number in the row's answer, "" when it has none.
QString fiscalNumberText(const std::string& response);
// A UTC time of the journal in local time, "" for none.
QString journalTimeText(const std::string& utc);

// A register's journal rows for its "Документы" page, newest first. It holds the pages
// read so far and nothing else: the first page comes with the model, the next when the view
// scrolls to the end (fetchMore), so a journal of a million rows costs what an empty one
// does. It reads on its own read-only connection (JournalView) on the user-interface thread
// and never waits for the register's worker.
class DocumentsModel : public QAbstractTableModel {
public:
    enum Column {
        ReceivedColumn,
        KindColumn,
        IdColumn,
        TotalColumn,
        StateColumn,
        FiscalNumberColumn,
        CompletedColumn,
        AckedColumn,
        ColumnCount
    };
    enum class Filter { Today, All, Attention };
    static constexpr int kPageRows = 100;

    DocumentsModel(std::filesystem::path journal, std::string serial, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

    void setFilter(Filter filter);
    Filter filter() const { return filter_; }
    // Rows whose identifier begins with text; all rows when it is empty.
    void setSearch(const std::string& text);
    // Reads the rows shown so far again (at least one page): new rows come in on top.
    void refresh();
    // The time "today" starts from, for tests and for a day that has just turned.
    void setNow(QDateTime now) { now_ = std::move(now); }

    const DocumentRow& rowAt(int row) const { return rows_.at(static_cast<size_t>(row)); }
    // The row of a document, or -1.
    int rowOfId(const std::string& origId) const;
    // The register's refused documents nobody has hidden, newest first; none when the
    // journal cannot be read now.
    std::vector<RefusedDocument> refusedDocuments(int limit);
    // What the last read ran into, "" when it went well.
    const std::string& readError() const { return readError_; }

private:
    DocumentQuery query() const;
    std::vector<DocumentRow> readPage(std::optional<std::int64_t> before, int limit);
    // Drops the rows and reads the first page for a new filter or search.
    void startOver();

    std::filesystem::path journal_;
    std::string serial_;
    JournalView view_;
    Filter filter_ = Filter::All;
    std::string search_;
    QDateTime now_;
    std::vector<DocumentRow> rows_;
    bool atEnd_ = false;
    std::string readError_;
};

}  // namespace th
