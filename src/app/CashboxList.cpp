// The register list of the main window: one row and one record per register of
// "getsalepoints", the rows' connection states, and the registers' windows, built when
// first opened.
#include <QCoreApplication>
#include <QItemSelectionModel>
#include <QSystemTrayIcon>
#include <QTableView>

#include <unordered_set>

#include "app/CashboxListModel.h"
#include "app/MainForm.h"
#include "cashbox/CashboxForm.h"
#include "cashbox/CashboxRecord.h"
#include "dispatcher/Messages.h"
#include "dispatcher/RestClient.h"
#include "dispatcher/gui/ClientForm.h"
#include "platform/gui/SafeApplication.h"
#include "settings/AppSettings.h"

namespace th {

namespace {

constexpr const char* kDeviceText = "фискальный регистратор";
constexpr const char* kConnected = "активен";
constexpr const char* kNotConnected = "не активен";

TCashboxRow rowFor(const SalePoint& point) {
    return {QString::fromUtf8(kDeviceText), QString::fromStdString(point.kktSerial),
            QString::fromStdString(point.address), QString::fromStdString(point.place),
            QString::fromUtf8(kNotConnected)};
}

}  // namespace

void TForm1::prepareCashboxes() {
    const Json& answer = windows_.ClientForm->RestClient().executeDelay(kCommandGetSalePoints,
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
        if (TCashboxRecord* listed = findCashbox(read->kktSerial))
            // A register set up here since it was listed (by the wizard) gets its worker.
            SafeApplication::guarded(services_.dialogs,
                                     [&] { listed->setSettings(*FAppSettings); });
        else
            fresh.push_back(&point);
    }
    addCashboxes(fresh);
}

// Every row exists before any record is set up, so a connection change already finds its
// row; one register that cannot be set up is shown once and the others still are.
void TForm1::addCashboxes(const std::vector<const Json*>& points) {
    std::vector<TCashboxRow> rows;
    rows.reserve(points.size());
    for (const Json* point : points)
        rows.push_back(rowFor(*readSalePoint(*point)));
    FDMemTable1->addRows(std::move(rows));
    for (const Json* point : points)
        SafeApplication::guarded(services_.dialogs, [&] { createRecord(*point); });
}

TCashboxRecord* TForm1::findCashbox(const std::string& serial) const {
    const auto found = FCashboxBySerial.find(serial);
    return found == FCashboxBySerial.end() ? nullptr : found->second;
}

// The row comes before the record's data and settings.
TCashboxRecord* TForm1::CashboxCreate(const Json& data) {
    const std::optional<SalePoint> point = readSalePoint(data);
    if (!point || findCashbox(point->kktSerial))
        return nullptr;
    FDMemTable1->addRow(rowFor(*point));
    return &createRecord(data);
}

TCashboxRecord& TForm1::createRecord(const Json& data) {
    FCashboxes.push_back(std::make_unique<TCashboxRecord>(registerEnvironment()));
    TCashboxRecord& record = *FCashboxes.back();
    record.setOnConnectionChange(
        [this](TCashboxRecord& sender) { CashboxConnectionChange(sender); });
    record.setData(data);
    FCashboxBySerial.emplace(record.serial(), &record);
    record.setSettings(*FAppSettings);
    return record;
}

const TRegisterEnvironment& TForm1::registerEnvironment() {
    if (!FRegisterEnvironment) {
        TClientForm& clientForm = *windows_.ClientForm;
        FRegisterEnvironment = std::make_unique<TRegisterEnvironment>(TRegisterEnvironment{
            services_.automation, services_.commandResults, services_.paths.journalFile(),
            [&clientForm](const std::string& command, const Json& data) {
                clientForm.log(command, data);
            },
            [this](const std::string& serial, const std::string& text) {
                showProblem(serial, text);
            },
            [this](const std::string& serial) { registerRecovered(serial); }});
    }
    return *FRegisterEnvironment;
}

// Logged every time; notified once per register and text until the register recovers.
void TForm1::showProblem(const std::string& serial, const std::string& text) {
    const int row = FDMemTable1 ? FDMemTable1->rowOfSerial(QString::fromStdString(serial)) : -1;
    if (row >= 0)
        FDMemTable1->setProblem(row, QString::fromStdString(text));
    if (!problemLog().report(serial, text))
        return;
    ++notifications_;
    const std::string message = serial.empty() ? text : serial + ": " + text;
    if (TrayIcon && FTrayAvailable())
        TrayIcon->showMessage(QString::fromUtf8(kTrayTitle), QString::fromStdString(message),
                              QSystemTrayIcon::Warning);
}

void TForm1::registerRecovered(const std::string& serial) {
    problemLog().registerRecovered(serial);
    const int row = FDMemTable1 ? FDMemTable1->rowOfSerial(QString::fromStdString(serial)) : -1;
    if (row >= 0)
        FDMemTable1->setProblem(row, {});
}

ProblemLog& TForm1::problemLog() {
    if (!problemLog_)
        problemLog_ =
            std::make_unique<ProblemLog>(services_.paths.settingsDir / ProblemLog::kFileName);
    return *problemLog_;
}

void TForm1::CashboxConnectionChange(TCashboxRecord& Sender) {
    CashboxConnectionChange(Sender.serial(), Sender.isConnected());
}

void TForm1::CashboxConnectionChange(const std::string& serial, bool isConnected) {
    const int row = FDMemTable1->rowOfSerial(QString::fromStdString(serial));
    if (row < 0)
        return;
    CashBoxGrid->setCurrentIndex(FDMemTable1->index(row, 0));
    FDMemTable1->setStatus(row, QString::fromUtf8(isConnected ? kConnected : kNotConnected));
    // The icon follows the register that changed last; it is not a summary of all of them.
    TrayIcon->setIcon(isConnected ? GreenIMage : RedImage);
}

TFormCashbox& TForm1::cashboxWindow(TCashboxRecord& record) {
    std::unique_ptr<TFormCashbox>& window = FCashboxWindows[&record];
    if (!window)
        window = std::make_unique<TFormCashbox>(services_.dialogs, record, this);
    return *window;
}

TFormCashbox* TForm1::builtCashboxWindow(const TCashboxRecord& record) const {
    const auto found = FCashboxWindows.find(&record);
    return found == FCashboxWindows.end() ? nullptr : found->second.get();
}

void TForm1::CashBoxGridDblClick() {
    const QModelIndex current = CashBoxGrid->currentIndex();
    if (!current.isValid())
        return;
    const QString serial = FDMemTable1->rowAt(current.row()).KKTSerial;
    TCashboxRecord* record = findCashbox(serial.toStdString());
    if (!record)
        return;
    TFormCashbox& window = cashboxWindow(*record);
    window.show();
    window.raise();
    window.activateWindow();
}

// Every worker is asked to stop at once: a running cycle or print may finish, each driver
// is disconnected on its own thread and each journal closed there. Ten seconds in all;
// then the disconnections they reported are shown in the rows.
void TForm1::closeCashboxes() {
    for (const auto& record : FCashboxes)
        record->requestStop();
    const QDeadlineTimer deadline(TRegisterWorker::kStopTimeoutMs);
    for (const auto& record : FCashboxes)
        record->waitStopped(deadline);
    QCoreApplication::sendPostedEvents();
}

}  // namespace th
