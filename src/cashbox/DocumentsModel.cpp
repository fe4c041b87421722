#include "cashbox/DocumentsModel.h"

#include <QTimeZone>

#include <map>

#include "platform/Json.h"

namespace th {

namespace {

const char* const kTitles[DocumentsModel::ColumnCount] = {"Получен", "Документ",   "Идентификатор",
                                                          "Сумма",   "Состояние",  "Номер ФД",
                                                          "Пробит",  "Подтверждён"};

const std::map<std::string, const char*>& kindTexts() {
    static const std::map<std::string, const char*> texts = {
        {"sell", "Продажа"},
        {"sellReturn", "Возврат продажи"},
        {"buy", "Покупка"},
        {"buyReturn", "Возврат покупки"},
        {"sellCorrection", "Коррекция"},
        {"sellReturnCorrection", "Коррекция"},
        {"buyCorrection", "Коррекция"},
        {"buyReturnCorrection", "Коррекция"},
        {"openShift", "Открытие смены"},
        {"closeShift", "Закрытие смены"},
        {"reportX", "X-отчёт"},
    };
    return texts;
}

QString qtText(const std::string& text) {
    return QString::fromStdString(text);
}

std::optional<double> numberIn(const Json& object, const char* member) {
    if (!object.is_object())
        return std::nullopt;
    const auto found = object.find(member);
    if (found == object.end() || !found->is_number())
        return std::nullopt;
    return found->get<double>();
}

// A receipt's "total", or else the sum of its positions (items without a type are
// positions; texts and barcodes are not).
std::optional<double> documentTotal(const Json& document) {
    if (auto total = numberIn(document, "total"))
        return total;
    const auto items = document.is_object() ? document.find("items") : document.end();
    if (!document.is_object() || items == document.end() || !items->is_array())
        return std::nullopt;
    double sum = 0;
    bool any = false;
    for (const Json& item : *items) {
        const auto type = item.is_object() ? item.find("type") : item.end();
        if (item.is_object() && type != item.end() && *type != "position")
            continue;
        if (auto amount = numberIn(item, "amount")) {
            sum += *amount;
            any = true;
        }
    }
    return any ? std::optional(sum) : std::nullopt;
}

}  // namespace

QString documentKindText(const std::string& command) {
    const auto found = kindTexts().find(command);
    return found == kindTexts().end() ? qtText(command) : QString::fromUtf8(found->second);
}

QString documentStateText(const DocumentRow& row) {
    if (row.status == statusText(CheckStatus::Added))
        return QString::fromUtf8(row.inFlight ? "под вопросом" : "получен");
    const std::optional<Json> answer = parseJson(row.response);
    if (answer && answer->is_object() && answer->contains("error"))
        return QString::fromUtf8("ошибка: ") +
               qtText(valueText((*answer)["error"]).value_or(dumpCompact((*answer)["error"])));
    if (row.status == statusText(CheckStatus::Completed))
        return QString::fromUtf8("пробит");
    if (row.status == statusText(CheckStatus::Acked))
        return QString::fromUtf8("подтверждён сервисом");
    return qtText(row.status);
}

QString documentTotalText(const std::string& data) {
    const std::optional<Json> document = parseJson(data);
    const std::optional<double> total = document ? documentTotal(*document) : std::nullopt;
    return total ? QString::number(*total, 'f', 2) : QString();
}

QString fiscalNumberText(const std::string& response) {
    const std::optional<Json> answer = parseJson(response);
    if (!answer)
        return {};
    const Json* number = findPath(*answer, "fiscalParams.fiscalDocumentNumber");
    return number && number->is_number_integer() ? QString::number(number->get<std::int64_t>())
                                                 : QString();
}

QString journalTimeText(const std::string& utc) {
    if (utc.empty())
        return {};
    QDateTime time = QDateTime::fromString(qtText(utc), Qt::ISODate);
    if (!time.isValid())
        return qtText(utc);
    return time.toLocalTime().toString("dd.MM.yyyy HH:mm:ss");
}

DocumentsModel::DocumentsModel(std::filesystem::path journal, std::string serial, QObject* parent)
    : QAbstractTableModel(parent), journal_(std::move(journal)), serial_(std::move(serial)) {}

int DocumentsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int DocumentsModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant DocumentsModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rowCount())
        return {};
    const DocumentRow& row = rows_[static_cast<size_t>(index.row())];
    switch (index.column()) {
        case ReceivedColumn:
            return journalTimeText(row.receivedAt);
        case KindColumn:
            return documentKindText(row.command);
        case IdColumn:
            return qtText(row.origId);
        case TotalColumn:
            return documentTotalText(row.data);
        case StateColumn:
            return documentStateText(row);
        case FiscalNumberColumn:
            return fiscalNumberText(row.response);
        case CompletedColumn:
            return journalTimeText(row.completedAt);
        case AckedColumn:
            return journalTimeText(row.ackedAt);
        default:
            return {};
    }
}

QVariant DocumentsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal || section < 0 ||
        section >= ColumnCount)
        return {};
    return QString::fromUtf8(kTitles[section]);
}

Qt::ItemFlags DocumentsModel::flags(const QModelIndex& index) const {
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

bool DocumentsModel::canFetchMore(const QModelIndex& parent) const {
    return !parent.isValid() && !atEnd_ && !rows_.empty();
}

void DocumentsModel::fetchMore(const QModelIndex& parent) {
    if (!canFetchMore(parent))
        return;
    std::vector<DocumentRow> page = readPage(rows_.back().key, kPageRows);
    if (!readError_.empty())
        return;
    atEnd_ = page.size() < static_cast<size_t>(kPageRows);
    if (page.empty())
        return;
    const int first = rowCount();
    beginInsertRows({}, first, first + static_cast<int>(page.size()) - 1);
    rows_.insert(rows_.end(), std::make_move_iterator(page.begin()),
                 std::make_move_iterator(page.end()));
    endInsertRows();
}

void DocumentsModel::setFilter(Filter filter) {
    if (filter == filter_)
        return;
    filter_ = filter;
    startOver();
}

void DocumentsModel::setSearch(const std::string& text) {
    if (text == search_)
        return;
    search_ = text;
    startOver();
}

void DocumentsModel::startOver() {
    beginResetModel();
    rows_.clear();
    atEnd_ = false;
    endResetModel();
    refresh();
}

// The rows shown so far are read again in one go; when the same rows come back only their
// cells change, so the view keeps its selection and place.
void DocumentsModel::refresh() {
    const int limit = std::max(kPageRows, static_cast<int>(rows_.size()));
    std::vector<DocumentRow> fresh = readPage(std::nullopt, limit);
    if (!readError_.empty())
        return;
    const bool sameRows = fresh.size() == rows_.size() &&
                          std::equal(fresh.begin(), fresh.end(), rows_.begin(),
                                     [](const auto& a, const auto& b) { return a.key == b.key; });
    atEnd_ = fresh.size() < static_cast<size_t>(limit);
    if (sameRows) {
        rows_ = std::move(fresh);
        if (!rows_.empty())
            emit dataChanged(index(0, 0), index(rowCount() - 1, ColumnCount - 1));
        return;
    }
    beginResetModel();
    rows_ = std::move(fresh);
    endResetModel();
}

int DocumentsModel::rowOfId(const std::string& origId) const {
    for (size_t n = 0; n < rows_.size(); ++n)
        if (rows_[n].origId == origId)
            return static_cast<int>(n);
    return -1;
}

std::vector<RefusedDocument> DocumentsModel::refusedDocuments(int limit) {
    try {
        if (!view_.isOpen())
            view_.open(journal_);
        return view_.refusedDocuments(serial_, limit);
    } catch (const JournalError& e) {
        readError_ = e.what();
        return {};
    }
}

DocumentQuery DocumentsModel::query() const {
    DocumentQuery query;
    query.serial = serial_;
    query.idPrefix = search_;
    if (filter_ == Filter::Attention)
        query.filter = DocumentFilter::InFlight;
    if (filter_ == Filter::Today) {
        const QDateTime now = now_.isValid() ? now_ : QDateTime::currentDateTime();
        const QDateTime midnight(now.toLocalTime().date(), QTime(0, 0));
        query.filter = DocumentFilter::Since;
        query.since = midnight.toUTC().toString("yyyy-MM-ddTHH:mm:ssZ").toStdString();
    }
    return query;
}

// A journal that cannot be read now leaves the rows as they are; the error is kept for
// the page to show, and the next refresh tries again.
std::vector<DocumentRow> DocumentsModel::readPage(std::optional<std::int64_t> before, int limit) {
    try {
        if (!view_.isOpen())
            view_.open(journal_);
        std::vector<DocumentRow> page = view_.documents(query(), before, limit);
        readError_.clear();
        return page;
    } catch (const JournalError& e) {
        readError_ = e.what();
        return {};
    }
}

}  // namespace th
