// The register list of the main window: the rows of "getsalepoints" and their states.
#include <QItemSelectionModel>
#include <QSystemTrayIcon>
#include <QTableView>

#include "app/CashboxListModel.h"
#include "app/MainForm.h"
#include "dispatcher/Messages.h"
#include "dispatcher/RestClient.h"
#include "dispatcher/gui/ClientForm.h"

namespace th {

namespace {

constexpr const char* kDeviceText = "фискальный регистратор";
constexpr const char* kConnected = "активен";
constexpr const char* kNotConnected = "не активен";

}  // namespace

void TForm1::prepareCashboxes() {
    const Json& answer = windows_.ClientForm->RestClient().executeDelay(kCommandGetSalePoints,
                                                                        getSalePointsRequest());
    // A copy: the answer goes with the client's next request. Without a list (a refused
    // request has been reported by the client) the rows stay as they are.
    const std::optional<Json> points = salePoints(answer);
    if (!points)
        return;
    for (const Json& point : *points)
        CashboxCreate(point);
}

bool TForm1::CashboxCreate(const Json& data) {
    const std::optional<SalePoint> point = readSalePoint(data);
    if (!point)
        return false;
    const QString serial = QString::fromStdString(point->kktSerial);
    if (FDMemTable1->rowOfSerial(serial) >= 0)
        return false;
    FDMemTable1->addRow({QString::fromUtf8(kDeviceText), serial,
                         QString::fromStdString(point->address),
                         QString::fromStdString(point->place), QString::fromUtf8(kNotConnected)});
    return true;
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

void TForm1::CashBoxGridDblClick() {
    const QModelIndex current = CashBoxGrid->currentIndex();
    if (!current.isValid())
        return;
    // Shows the cashbox window (TFormCashbox) of the row's register, found by serial, once
    // the rows have their cashbox windows.
}

}  // namespace th
