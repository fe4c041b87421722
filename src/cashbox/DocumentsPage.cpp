#include "cashbox/DocumentsPage.h"

#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QTableView>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

#include "cashbox/CashboxRecord.h"
#include "cashbox/DocumentsModel.h"
#include "platform/Dialogs.h"
#include "platform/gui/ObjectNames.h"
#include "platform/gui/SafeApplication.h"

namespace th {

namespace {

// In the order of DocumentsModel::Filter.
const char* const kFilterTexts[] = {"Сегодня", "Все", "Требует внимания"};

QString qtText(const std::string& text) {
    return QString::fromStdString(text);
}

}  // namespace

DocumentsPage::DocumentsPage(IDialogs& dialogs, CashboxRecord& record, QWidget* parent)
    : QWidget(parent), dialogs_(dialogs), record_(record) {
    model_ = new DocumentsModel(record_.environment().journalPath, record_.serial(), this);
    refreshTimer_ = new QTimer(this);
    refreshTimer_->setSingleShot(true);
    refreshTimer_->setInterval(kRefreshDelayMs);
    searchTimer_ = new QTimer(this);
    searchTimer_->setSingleShot(true);
    searchTimer_->setInterval(kSearchDelayMs);
    createControls();
    nameControls();
    connectSignals();
    seenChanges_ = record_.journalChanges();
    updateActions();
}

DocumentsPage::~DocumentsPage() = default;

// ---- controls -------------------------------------------------------------------------------

void DocumentsPage::createControls() {
    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    filterCombo_ = new QComboBox;
    for (const char* text : kFilterTexts)
        filterCombo_->addItem(QString::fromUtf8(text));
    filterCombo_->setCurrentIndex(static_cast<int>(DocumentsModel::Filter::All));
    searchEdit_ = new QLineEdit;
    searchEdit_->setPlaceholderText(QString::fromUtf8("Поиск по идентификатору документа"));
    searchEdit_->setClearButtonEnabled(true);
    top->addWidget(filterCombo_);
    top->addWidget(searchEdit_, 1);
    layout->addLayout(top);

    readErrorLabel_ = new QLabel;
    readErrorLabel_->setWordWrap(true);
    readErrorLabel_->hide();
    layout->addWidget(readErrorLabel_);

    documentsTable_ = new QTableView;
    documentsTable_->setModel(model_);
    documentsTable_->setSelectionBehavior(QAbstractItemView::SelectRows);
    documentsTable_->setSelectionMode(QAbstractItemView::SingleSelection);
    documentsTable_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    documentsTable_->verticalHeader()->hide();
    documentsTable_->horizontalHeader()->setStretchLastSection(true);
    layout->addWidget(documentsTable_, 1);
    layout->addWidget(createResolveRow());
    refusedBox_ = createRefusedBox();
    refusedBox_->hide();
    layout->addWidget(refusedBox_);
}

QWidget* DocumentsPage::createResolveRow() {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    resolveLabel_ =
        new QLabel(QString::fromUtf8("Документ под вопросом: проверьте последние документы кассы"));
    fiscalNumberEdit_ = new QLineEdit;
    fiscalNumberEdit_->setPlaceholderText(QString::fromUtf8("Номер ФД"));
    fiscalNumberEdit_->setValidator(
        new QRegularExpressionValidator(QRegularExpression("[0-9]{1,15}"), fiscalNumberEdit_));
    fiscalNumberEdit_->setMaximumWidth(120);
    printedButton_ = new QPushButton(QString::fromUtf8("Чек пробит"));
    notPrintedButton_ = new QPushButton(QString::fromUtf8("Чек не пробит — пробить"));
    layout->addWidget(resolveLabel_, 1);
    layout->addWidget(fiscalNumberEdit_);
    layout->addWidget(printedButton_);
    layout->addWidget(notPrintedButton_);
    return row;
}

QGroupBox* DocumentsPage::createRefusedBox() {
    auto* box = new QGroupBox(QString::fromUtf8("Требует внимания"));
    auto* layout = new QVBoxLayout(box);
    refusedTable_ = new QTableWidget(0, 3);
    refusedTable_->setHorizontalHeaderLabels({QString::fromUtf8("Отклонён"),
                                              QString::fromUtf8("Идентификатор"),
                                              QString::fromUtf8("Причина")});
    refusedTable_->setSelectionBehavior(QAbstractItemView::SelectRows);
    refusedTable_->setSelectionMode(QAbstractItemView::SingleSelection);
    refusedTable_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    refusedTable_->verticalHeader()->hide();
    refusedTable_->horizontalHeader()->setStretchLastSection(true);
    refusedTable_->setMaximumHeight(110);
    hideButton_ = new QPushButton(QString::fromUtf8("Скрыть"));
    layout->addWidget(refusedTable_);
    layout->addWidget(hideButton_, 0, Qt::AlignRight);
    return box;
}

void DocumentsPage::connectSignals() {
    connect(refreshTimer_, &QTimer::timeout, this, [this] { refresh(); });
    connect(filterCombo_, &QComboBox::currentIndexChanged, this, [this](int index) {
        model_->setFilter(static_cast<DocumentsModel::Filter>(index));
        updateActions();
    });
    connect(searchEdit_, &QLineEdit::textChanged, searchTimer_, qOverload<>(&QTimer::start));
    connect(searchEdit_, &QLineEdit::returnPressed, this, [this] { applySearch(); });
    connect(searchTimer_, &QTimer::timeout, this, [this] { applySearch(); });
    connect(documentsTable_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { updateActions(); });
    connect(model_, &QAbstractItemModel::modelReset, this, [this] { updateActions(); });
    connect(fiscalNumberEdit_, &QLineEdit::textChanged, this, [this] { updateActions(); });
    connect(printedButton_, &QPushButton::clicked, this,
            [this] { guarded([this] { confirmPrinted(); }); });
    connect(notPrintedButton_, &QPushButton::clicked, this,
            [this] { guarded([this] { confirmNotPrinted(); }); });
    connect(hideButton_, &QPushButton::clicked, this,
            [this] { guarded([this] { hideSelectedRefused(); }); });
    connect(refusedTable_, &QTableWidget::itemSelectionChanged, this, [this] { updateActions(); });
}

void DocumentsPage::guarded(const std::function<void()>& handler) {
    SafeApplication::guarded(dialogs_, handler);
}

// ---- reading --------------------------------------------------------------------------------

void DocumentsPage::activate() {
    if (activated_)
        return;
    activated_ = true;
    refresh();
}

void DocumentsPage::refresh() {
    activated_ = true;
    refreshTimer_->stop();
    const std::string selected = selectedId();
    model_->refresh();
    showRefused();
    const std::string& error = model_->readError();
    readErrorLabel_->setText(qtText(error));
    readErrorLabel_->setVisible(!error.empty());
    if (!selected.empty() && selectedId() != selected)
        selectId(selected);
    updateActions();
}

void DocumentsPage::showAttention() {
    filterCombo_->setCurrentIndex(static_cast<int>(DocumentsModel::Filter::Attention));
    activate();
}

// A first letter matches most of a large journal: the search waits for the typing to pause.
void DocumentsPage::applySearch() {
    searchTimer_->stop();
    model_->setSearch(searchEdit_->text().trimmed().toStdString());
    updateActions();
}

void DocumentsPage::followRecord() {
    if (record_.journalChanges() != seenChanges_) {
        seenChanges_ = record_.journalChanges();
        if (activated_ && !refreshTimer_->isActive())
            refreshTimer_->start();
    }
    updateActions();
}

void DocumentsPage::showRefused() {
    const std::vector<RefusedDocument> refused = model_->refusedDocuments(kRefusedShown);
    refusedTable_->setRowCount(static_cast<int>(refused.size()));
    for (size_t n = 0; n < refused.size(); ++n) {
        const int row = static_cast<int>(n);
        auto* time = new QTableWidgetItem(journalTimeText(refused[n].refusedAt));
        time->setData(Qt::UserRole, QVariant::fromValue<qlonglong>(refused[n].key));
        refusedTable_->setItem(row, 0, time);
        refusedTable_->setItem(row, 1, new QTableWidgetItem(qtText(refused[n].origId)));
        refusedTable_->setItem(row, 2, new QTableWidgetItem(qtText(refused[n].reason)));
    }
    refusedBox_->setVisible(!refused.empty());
}

// ---- selection and actions ------------------------------------------------------------------

std::string DocumentsPage::selectedId() const {
    const QModelIndexList rows = documentsTable_->selectionModel()->selectedRows();
    if (rows.isEmpty())
        return {};
    return model_->rowAt(rows.front().row()).origId;
}

void DocumentsPage::selectId(const std::string& origId) {
    const int row = model_->rowOfId(origId);
    if (row >= 0)
        documentsTable_->selectRow(row);
}

// Offered only for a row the worker's last settlement left in question and the journal
// still shows "added" with its mark: an acknowledged row is never offered for printing.
const DocumentRow* DocumentsPage::selectedDoubtful() const {
    const QModelIndexList rows = documentsTable_->selectionModel()->selectedRows();
    if (rows.isEmpty())
        return nullptr;
    const DocumentRow& row = model_->rowAt(rows.front().row());
    const std::vector<std::string>& doubtful = record_.state().doubtful;
    if (!row.inFlight || std::find(doubtful.begin(), doubtful.end(), row.origId) == doubtful.end())
        return nullptr;
    return &row;
}

void DocumentsPage::updateActions() {
    const bool doubtful = selectedDoubtful() != nullptr;
    resolveLabel_->setEnabled(doubtful);
    fiscalNumberEdit_->setEnabled(doubtful);
    printedButton_->setEnabled(doubtful && !fiscalNumberEdit_->text().isEmpty());
    notPrintedButton_->setEnabled(doubtful);
    hideButton_->setEnabled(!refusedTable_->selectedItems().isEmpty());
}

std::string DocumentsPage::describe(const DocumentRow& row) const {
    std::string text =
        "Документ " + row.origId + " (" + documentKindText(row.command).toStdString();
    const QString total = documentTotalText(row.data);
    if (!total.isEmpty())
        text += ", сумма " + total.toStdString();
    return text + ")";
}

void DocumentsPage::confirmPrinted() {
    const DocumentRow* row = selectedDoubtful();
    if (!row)
        return;
    bool ok = false;
    const std::int64_t number = fiscalNumberEdit_->text().toLongLong(&ok);
    if (!ok || number <= 0) {
        dialogs_.show(BoxKind::Warning,
                      "Введите номер фискального документа, напечатанный на чеке");
        return;
    }
    const std::string question =
        describe(*row) + " будет записан как пробитый с номером ФД " + std::to_string(number) +
        ", и сервис получит его при следующем обмене. Касса его больше не пробьёт. Продолжить?";
    if (dialogs_.askYesCancel(BoxKind::Warning, question))
        resolve(*row, true, number);
}

void DocumentsPage::confirmNotPrinted() {
    const DocumentRow* row = selectedDoubtful();
    if (!row)
        return;
    const std::string question =
        describe(*row) +
        " будет пробит на кассе при следующем обмене. Выбирайте это, только если среди "
        "последних документов кассы его нет: иначе чек будет пробит дважды. Продолжить?";
    if (dialogs_.askYesCancel(BoxKind::Warning, question))
        resolve(*row, false, 0);
}

// Carried out by the register's worker, which checks again that the document is still in
// question; its answer comes back as a box.
void DocumentsPage::resolve(const DocumentRow& row, bool printed, std::int64_t number) {
    RegisterWorker* worker = record_.worker();
    if (!worker)
        throw CashboxError(kNoDriverSelected);
    const std::string origId = row.origId;
    DoubtfulResolution resolution;
    resolution.kind =
        printed ? DoubtfulResolution::Kind::Printed : DoubtfulResolution::Kind::NotPrinted;
    resolution.fiscalNumber = number;
    worker->postUserAction(
        [origId, resolution](RegisterLink& link, ActionOutcome& outcome) {
            link.resolveDoubtful(origId, resolution, outcome);
        },
        this,
        [this](const ActionOutcome& outcome) {
            for (const StateWarning& box : outcome.boxes)
                dialogs_.show(box.kind, box.text);
            fiscalNumberEdit_->clear();
            refresh();
        });
}

void DocumentsPage::hideSelectedRefused() {
    const QList<QTableWidgetItem*> selected = refusedTable_->selectedItems();
    RegisterWorker* worker = record_.worker();
    if (selected.isEmpty())
        return;
    if (!worker)
        throw CashboxError(kNoDriverSelected);
    const std::int64_t key =
        refusedTable_->item(selected.front()->row(), 0)->data(Qt::UserRole).toLongLong();
    worker->postUserAction([key](RegisterLink& link, ActionOutcome&) { link.hideRefused(key); },
                           this,
                           [this](const ActionOutcome& outcome) {
                               for (const StateWarning& box : outcome.boxes)
                                   dialogs_.show(box.kind, box.text);
                               refresh();
                           });
}

void DocumentsPage::nameControls() {
    setObjectNames({
        {filterCombo_, "filterCombo"},
        {searchEdit_, "searchEdit"},
        {readErrorLabel_, "readErrorLabel"},
        {documentsTable_, "documentsTable"},
        {resolveLabel_, "resolveLabel"},
        {fiscalNumberEdit_, "fiscalNumberEdit"},
        {printedButton_, "printedButton"},
        {notPrintedButton_, "notPrintedButton"},
        {refusedBox_, "refusedBox"},
        {refusedTable_, "refusedTable"},
        {hideButton_, "hideButton"},
    });
}

}  // namespace th
