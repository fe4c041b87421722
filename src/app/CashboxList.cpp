// The register list of the main window: one row and one record per register of
// "getsalepoints", the rows' connection states, and the registers' windows, built when
// first opened.
#include <QCoreApplication>
#include <QItemSelectionModel>
#include <QSystemTrayIcon>
#include <QTableView>

#include <unordered_set>

#include "app/CashboxTableModel.h"
#include "app/MainWindow.h"
#include "cashbox/CashboxRecord.h"
#include "cashbox/CashboxWindow.h"
#include "dispatcher/DispatcherClient.h"
#include "dispatcher/Messages.h"
#include "dispatcher/gui/RequestLogWindow.h"
#include "platform/gui/SafeApplication.h"
#include "settings/AppSettings.h"

namespace th {

namespace {

constexpr const char* kDeviceText = "фискальный регистратор";
constexpr const char* kConnected = "активен";
constexpr const char* kNotConnected = "не активен";

CashboxRow rowFor(const SalePoint& point) {
    return {QString::fromUtf8(kDeviceText), QString::fromStdString(point.kktSerial),
            QString::fromStdString(point.address), QString::fromStdString(point.place),
            QString::fromUtf8(kNotConnected), QString()};
}

}  // namespace

void MainWindow::prepareCashboxes() {
    const Json& answer = windows_.requestLogWindow->client().executeDelay(kCommandGetSalePoints,
                                                                          getSalePointsRequest());
    // A copy: the answer goes with the client's next request. Without a list (a refused
    // request has been reported by the client) the rows stay as they are.
    const std::optional<Json> points = salePoints(answer);
    if (!points)
        return;
    std::vector<const Json*> fresh;
    std::unordered_set<std::string> seen;
    for (const Json& point : *points) {
        const std::optional<SalePoint> read = readSalePoint(point);
        if (!read || !seen.insert(read->kktSerial).second)
            continue;
        if (CashboxRecord* listed = findCashbox(read->kktSerial))
            // A register set up here since it was listed (by the wizard) gets its worker.
            SafeApplication::guarded(services_.dialogs,
                                     [&] { listed->setSettings(*appSettings_); });
        else
            fresh.push_back(&point);
    }
    addCashboxes(fresh);
}

// Every row exists before any record is set up, so a connection change already finds its
// row; one register that cannot be set up is shown once and the others still are.
void MainWindow::addCashboxes(const std::vector<const Json*>& points) {
    std::vector<CashboxRow> rows;
    rows.reserve(points.size());
    for (const Json* point : points)
        rows.push_back(rowFor(*readSalePoint(*point)));
    cashboxModel_->addRows(std::move(rows));
    for (const Json* point : points)
        SafeApplication::guarded(services_.dialogs, [&] { createRecord(*point); });
}

CashboxRecord* MainWindow::findCashbox(const std::string& serial) const {
    const auto found = cashboxBySerial_.find(serial);
    return found == cashboxBySerial_.end() ? nullptr : found->second;
}

// The row comes before the record's data and settings.
CashboxRecord* MainWindow::addSalePoint(const Json& data) {
    const std::optional<SalePoint> point = readSalePoint(data);
    if (!point || findCashbox(point->kktSerial))
        return nullptr;
    cashboxModel_->addRow(rowFor(*point));
    return &createRecord(data);
}

CashboxRecord& MainWindow::createRecord(const Json& data) {
    cashboxes_.push_back(std::make_unique<CashboxRecord>(registerEnvironment()));
    CashboxRecord& record = *cashboxes_.back();
    record.setOnConnectionChange([this](CashboxRecord& sender) { onConnectionChanged(sender); });
    record.setData(data);
    cashboxBySerial_.emplace(record.serial(), &record);
    record.setSettings(*appSettings_);
    return record;
}

const RegisterEnvironment& MainWindow::registerEnvironment() {
    if (!registerEnvironment_) {
        RequestLogWindow& requestLogWindow = *windows_.requestLogWindow;
        registerEnvironment_ = std::make_unique<RegisterEnvironment>(RegisterEnvironment{
            services_.automation, services_.commandResults, services_.paths.journalFile(),
            [&requestLogWindow](const std::string& command, const Json& data) {
                requestLogWindow.log(command, data);
            },
            [this](const std::string& serial, const std::string& text) {
                showProblem(serial, text);
            },
            [this](const std::string& serial) { registerRecovered(serial); }});
    }
    return *registerEnvironment_;
}

// Logged every time; notified once per register and text until the register recovers.
void MainWindow::showProblem(const std::string& serial, const std::string& text) {
    const int row = cashboxModel_ ? cashboxModel_->rowOfSerial(QString::fromStdString(serial)) : -1;
    if (row >= 0)
        cashboxModel_->setProblem(row, QString::fromStdString(text));
    if (!problemLog().report(serial, text))
        return;
    ++notifications_;
    const std::string message = serial.empty() ? text : serial + ": " + text;
    if (trayIcon_ && trayAvailable_())
        trayIcon_->showMessage(QString::fromUtf8(kTrayTitle), QString::fromStdString(message),
                               QSystemTrayIcon::Warning);
}

void MainWindow::registerRecovered(const std::string& serial) {
    problemLog().registerRecovered(serial);
    const int row = cashboxModel_ ? cashboxModel_->rowOfSerial(QString::fromStdString(serial)) : -1;
    if (row >= 0)
        cashboxModel_->setProblem(row, {});
}

ProblemLog& MainWindow::problemLog() {
    if (!problemLog_)
        problemLog_ =
            std::make_unique<ProblemLog>(services_.paths.settingsDir / ProblemLog::kFileName);
    return *problemLog_;
}

void MainWindow::onConnectionChanged(CashboxRecord& record) {
    onConnectionChanged(record.serial(), record.isConnected());
}

void MainWindow::onConnectionChanged(const std::string& serial, bool isConnected) {
    const int row = cashboxModel_->rowOfSerial(QString::fromStdString(serial));
    if (row < 0)
        return;
    cashboxTable_->setCurrentIndex(cashboxModel_->index(row, 0));
    cashboxModel_->setStatus(row, QString::fromUtf8(isConnected ? kConnected : kNotConnected));
    // The icon follows the register that changed last; it is not a summary of all of them.
    trayIcon_->setIcon(isConnected ? connectedIcon_ : disconnectedIcon_);
}

CashboxWindow& MainWindow::cashboxWindow(CashboxRecord& record) {
    std::unique_ptr<CashboxWindow>& window = cashboxWindows_[&record];
    if (!window)
        window = std::make_unique<CashboxWindow>(services_.dialogs, record, this);
    return *window;
}

CashboxWindow* MainWindow::builtCashboxWindow(const CashboxRecord& record) const {
    const auto found = cashboxWindows_.find(&record);
    return found == cashboxWindows_.end() ? nullptr : found->second.get();
}

void MainWindow::openSelectedCashbox() {
    const QModelIndex current = cashboxTable_->currentIndex();
    if (!current.isValid())
        return;
    const QString serial = cashboxModel_->rowAt(current.row()).serial;
    CashboxRecord* record = findCashbox(serial.toStdString());
    if (!record)
        return;
    CashboxWindow& window = cashboxWindow(*record);
    window.show();
    window.raise();
    window.activateWindow();
}

// Every worker is asked to stop at once: a running cycle or print may finish, each driver
// is disconnected on its own thread and each journal closed there. Ten seconds in all;
// then the disconnections they reported are shown in the rows.
void MainWindow::closeCashboxes() {
    for (const auto& record : cashboxes_)
        record->requestStop();
    const QDeadlineTimer deadline(RegisterWorker::kStopTimeoutMs);
    for (const auto& record : cashboxes_)
        record->waitStopped(deadline);
    QCoreApplication::sendPostedEvents();
}

}  // namespace th
