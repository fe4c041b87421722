// The register list of the main window: one row and one cashbox window per register of
// "getsalepoints", and the rows' connection states.
#include <QItemSelectionModel>
#include <QSystemTrayIcon>
#include <QTableView>

#include "app/CashboxListModel.h"
#include "app/MainForm.h"
#include "cashbox/CashboxForm.h"
#include "dispatcher/Messages.h"
#include "dispatcher/RestClient.h"
#include "dispatcher/gui/ClientForm.h"
#include "platform/gui/SafeApplication.h"

namespace th {

namespace {

constexpr const char* kDeviceText = "фискальный регистратор";
constexpr const char* kConnected = "активен";
constexpr const char* kNotConnected = "не активен";

}  // namespace

void TForm1::prepareCashboxes() {
    const Json& answer = windows_.ClientForm->RestClient().executeDelay(kCommandGetSalePoints,
                                                                        getSalePointsRequest());
    // A copy: the answer goes with the client's next request, and the new windows send
    // their reports on the same client. Without a list (a refused request has been
    // reported by the client) the rows stay as they are.
    const std::optional<Json> points = salePoints(answer);
    if (!points)
        return;
    // Each register on its own: one that cannot be connected (or set up) is shown once and
    // keeps what was made for it, and the registers after it are still listed.
    for (const Json& point : *points) {
        try {
            CashboxCreate(point);
        } catch (const std::exception& e) {
            showUnhandledError(services_.dialogs, e);
        }
    }
}

TFormCashbox* TForm1::findCashbox(const std::string& serial) const {
    for (const auto& cashbox : FCashboxes)
        if (cashbox->serial() == serial)
            return cashbox.get();
    return nullptr;
}

// The row comes before the window's data and settings: a connection made while the
// settings are applied already finds it.
TFormCashbox* TForm1::CashboxCreate(const Json& data) {
    const std::optional<SalePoint> point = readSalePoint(data);
    if (!point)
        return nullptr;
    const QString serial = QString::fromStdString(point->kktSerial);
    if (findCashbox(point->kktSerial) || FDMemTable1->rowOfSerial(serial) >= 0)
        return nullptr;
    FDMemTable1->addRow({QString::fromUtf8(kDeviceText), serial,
                         QString::fromStdString(point->address),
                         QString::fromStdString(point->place), QString::fromUtf8(kNotConnected)});
    const TCashboxEnvironment environment{services_.dialogs, services_.automation,
                                          services_.commandResults, *windows_.ClientForm,
                                          services_.paths.journalFile()};
    FCashboxes.push_back(std::make_unique<TFormCashbox>(environment, this));
    TFormCashbox& cashbox = *FCashboxes.back();
    cashbox.setOnConnectionChange(
        [this](TFormCashbox& sender) { CashboxConnectionChange(sender); });
    cashbox.setData(data);
    cashbox.setSettings(*FAppSettings);
    return &cashbox;
}

void TForm1::CashboxConnectionChange(TFormCashbox& Sender) {
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

void TForm1::CashBoxGridDblClick() {
    const QModelIndex current = CashBoxGrid->currentIndex();
    if (!current.isValid())
        return;
    const QString serial = FDMemTable1->rowAt(current.row()).KKTSerial;
    TFormCashbox* cashbox = findCashbox(serial.toStdString());
    if (!cashbox)
        return;
    cashbox->show();
    cashbox->raise();
    cashbox->activateWindow();
}

// Each register's connection is closed, and the change shown, before the windows go. One
// register that cannot be closed does not keep the others open.
void TForm1::closeCashboxes() {
    for (const auto& cashbox : FCashboxes)
        SafeApplication::guarded(services_.dialogs, [&] { cashbox->free(); });
}

}  // namespace th
