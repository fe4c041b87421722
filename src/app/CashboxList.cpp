// The register list of the main window: one row and one record per register of
// "getsalepoints", the rows' connection states, and the registers' windows, built when
// first opened.
#include <QCoreApplication>
#include <QItemSelectionModel>
#include <QSystemTrayIcon>
#include <QTableView>

#include <algorithm>
#include <unordered_set>

#include "app/CashboxTableModel.h"
#include "app/DesktopNotifier.h"
#include "app/MainWindow.h"
#include "cashbox/CashboxRecord.h"
#include "cashbox/CashboxWindow.h"
#include "dispatcher/DispatcherClient.h"
#include "dispatcher/Messages.h"
#include "dispatcher/gui/RequestLogWindow.h"
#include "platform/Background.h"
#include "platform/Dialogs.h"
#include "platform/gui/SafeApplication.h"
#include "settings/AppSettings.h"

namespace th {

namespace {

constexpr const char* kDeviceText = "фискальный регистратор";
constexpr const char* kConnected = "активен";
constexpr const char* kNotConnected = "не активен";

CashboxRow rowFor(const SalePoint& point) {
    return {QString::fromUtf8(kDeviceText),
            QString::fromStdString(point.kktSerial),
            QString::fromStdString(point.address),
            QString::fromStdString(point.place),
            QString::fromUtf8(kNotConnected),
            {},
            {}};
}

}  // namespace

// The list after the wizard: the request runs off this thread, which meanwhile keeps the
// window answering, and a refusal is shown as the client shows it.
void MainWindow::prepareCashboxes() {
    Json answer;
    AppSettings* settings = appSettings_.get();
    RequestLogWindow* requestLog = windows_.requestLogWindow;
    IDialogs& dialogs = services_.dialogs;
    waitInBackground([&] {
        DispatcherClient client(dialogs);
        client.setSettings(settings);
        client.setOnLog([requestLog](const std::string& line, const Json& logged) {
            requestLog->log(line, logged);
        });
        answer = copyJson(client.executeDelay(kCommandGetSalePoints, getSalePointsRequest()));
    });
    applySalePoints(answer);
}

void MainWindow::applySalePoints(const Json& answer) {
    // Without a list (a refusal) the rows stay as they are.
    const std::optional<Json> points = salePoints(answer);
    if (!points)
        return;
    listReceived_ = true;
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
    updateTrayIcon();
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
    record.setOnAttentionChange([this](CashboxRecord& sender) {
        const int row = cashboxModel_->rowOfSerial(QString::fromStdString(sender.serial()));
        if (row >= 0) {
            QStringList standing;
            for (const std::string& condition : sender.standingConditions())
                standing << QString::fromStdString(condition);
            cashboxModel_->setStanding(row, standing);
        }
        updateTrayIcon();
    });
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
            [this](const std::string& serial) { registerRecovered(serial); },
            [this](const std::string& serial, const std::string& text) {
                problemLog().note(serial, text);
            }});
    }
    return *registerEnvironment_;
}

// Logged every time; notified once per register and text until the register recovers. A
// problem of no register is the main window's message line until the next one.
void MainWindow::showProblem(const std::string& serial, const std::string& text) {
    const int row = cashboxModel_ ? cashboxModel_->rowOfSerial(QString::fromStdString(serial)) : -1;
    if (row >= 0)
        cashboxModel_->setProblem(row, QString::fromStdString(text));
    if (serial.empty())
        showMessage(text);
    if (!problemLog().report(serial, text))
        return;
    const std::string message = serial.empty() ? text : serial + ": " + text;
    notifier_->notify(QString::fromUtf8(kTrayTitle), QString::fromStdString(message));
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
    updateTrayIcon();
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
