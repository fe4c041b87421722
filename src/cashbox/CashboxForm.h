#pragma once

#include <QWidget>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "cashbox/ExchangeCycle.h"
#include "cashbox/Journal.h"
#include "platform/Json.h"
#include "settings/AppSettings.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QStatusBar;
class QTimer;

namespace th {

class AutomationRegistry;
class IDialogs;
class TCashboxdrv;
class TClientForm;
class TCommandResults;
class TTHVRESTClient;

// What a cashbox window needs of the process, handed on by reference.
struct TCashboxEnvironment {
    IDialogs& dialogs;
    AutomationRegistry& automation;
    // The process-wide command results, shared by every cashbox window.
    TCommandResults& commandResults;
    // Owns the shared dispatcher client and the request log.
    TClientForm& clientForm;
    std::filesystem::path journalPath;
};

// "Настройки кассы": the window of one register. It owns the register's driver, its own
// dispatcher client for the "tasks" exchange, its own journal connection and two timers:
// ClientTimer runs the exchange cycle while the register is connected, ReconnectTimer tries
// to reconnect after contact was lost. Created hidden; the main window shows it on demand.
//
// The three states, for a window with a driver:
//   Idle          not connected, both timers off
//   Connected     connected, ClientTimer on, ReconnectTimer off
//   Reconnecting  not connected, ClientTimer off, ReconnectTimer on
//
// Handlers raise their errors; the controls' signals and the timers route them to the
// application's error display. Tests call the handlers directly.
class TFormCashbox : public QWidget, private ExchangeHost {
public:
    using ConnectionChangeEvent = std::function<void(TFormCashbox& sender)>;

    static constexpr const char* kCaption = "Настройки кассы";
    static constexpr int kClientWidth = 746;
    static constexpr int kClientHeight = 377;
    static constexpr int kDeviceBoxHeight = 153;
    static constexpr int kClientInterval = 5000;
    static constexpr int kReconnectInterval = 10000;
    static constexpr int kStatusPanel0Width = 50;
    static constexpr int kStatusPanel1Width = 600;

    // With a parent the window stays a top-level window of its own.
    explicit TFormCashbox(const TCashboxEnvironment& environment, QWidget* parent = nullptr);
    ~TFormCashbox() override;

    // The register's element of "getsalepoints"; members it lacks read as empty text.
    void setData(const Json& data);
    // Looks up (or makes) the register's record, fills the controls, chooses the driver and,
    // when the record asks for it, connects at once. Errors reach the caller.
    void setSettings(TAppSettings& settings);

    bool isConnected() const { return FisConnected; }
    const ConnectionChangeEvent& onConnectionChange() const { return FConnectionChange; }
    void setOnConnectionChange(ConnectionChangeEvent event) {
        FConnectionChange = std::move(event);
    }
    const Json& Data() const { return FJData; }
    const std::string& CashboxToken() const { return FCashboxToken; }
    CashBoxSettingsPtr CashBoxSettings() const { return FCashBoxSettings; }
    TCashboxdrv* Driver() const { return FDriver.get(); }
    TTHVRESTClient& Client() { return *FClient; }
    TJournal& Journal() { return FJournal; }
    // The text of KKTSerial, the register's key.
    std::string serial() const;

    // The register's record and driver.
    void SDriverChange(QObject* Sender);
    void FieldChange(QObject* Sender);
    void SaveBtnClick(QObject* Sender);
    void checkDriverClick(QObject* Sender);

    // Connection.
    void CheckConnectionClick(QObject* Sender);
    void ConnectClick(QObject* Sender);
    // Only a button as the sender switches the reconnection off: the exchange cycle
    // disconnects with the window as the sender and leaves its reconnection running.
    void DisconnectClick(QObject* Sender);
    void checkParams();
    void changeConnectionState(TCashboxdrv& Sender);
    void clientConnect();
    // Never raises: a failed attempt's error goes to the connection panel.
    void ReconnectTimerTimer(QObject* Sender);
    void ClientTimerTimer(QObject* Sender);

    // Closes the register's connection, which the main window hears of, before the owner
    // releases the window.
    void free();

    // Controls, named as the window's designer named them; tests read them.
    QGroupBox* DeviceBox = nullptr;
    QLineEdit* KKTSerial = nullptr;
    QLineEdit* Address = nullptr;
    QLineEdit* Place = nullptr;
    QLineEdit* FSSerial = nullptr;
    QLineEdit* RegStatus = nullptr;
    QLineEdit* RegNum = nullptr;
    QGroupBox* ConnectionBox = nullptr;
    QComboBox* SDriver = nullptr;
    QPushButton* checkDriver = nullptr;
    QComboBox* SConnectionType = nullptr;
    QPushButton* CheckConnection = nullptr;
    QCheckBox* autostart = nullptr;
    QPushButton* Connect = nullptr;
    QPushButton* Disconnect = nullptr;
    QComboBox* SComPort = nullptr;
    QLabel* SComPortLabel = nullptr;
    QComboBox* SBaudRate = nullptr;
    QLabel* SBaudRateLabel = nullptr;
    QComboBox* SBit = nullptr;
    QLabel* SBitLabel = nullptr;
    QComboBox* SParity = nullptr;
    QLabel* SParityLabel = nullptr;
    QComboBox* SStop = nullptr;
    QLabel* SStopLabel = nullptr;
    QPushButton* SaveBtn = nullptr;
    QStatusBar* StatusBar1 = nullptr;
    QLabel* StatusPanel0 = nullptr;
    QLabel* StatusPanel1 = nullptr;
    QTimer* ClientTimer = nullptr;
    QTimer* ReconnectTimer = nullptr;

private:
    // ExchangeHost
    std::string serialText() override { return serial(); }
    std::string cashboxToken() override { return FCashboxToken; }
    std::string driverName() override;
    TCashboxdrv* driver() override { return FDriver.get(); }
    void reconnectAfterFailure() override;
    void reportProblem(const std::string& text) override;

    void FormCreate();
    void createControls();
    QGroupBox* createDeviceBox();
    QGroupBox* createConnectionBox();
    void createStatusBar();
    void createTimers();
    void connectSignals();
    QLineEdit* addReadOnlyEdit(QGridLayout& grid, int row, int column, const char* label);
    // A labelled combo box: combo, or a plain one when none is given.
    QComboBox* addCombo(QGridLayout& grid, int row, int column, const char* label,
                        QLabel** labelOut, QComboBox* combo = nullptr);
    void fillControls(const TCashBoxSettings& record);
    void editRecord(const std::function<void(TCashBoxSettings&)>& change);
    void releaseDriver();
    void setPanel1(const std::string& text);
    void requireDriver() const;
    // Runs a handler from a control or a timer; its error goes to the error display.
    void guarded(const std::function<void()>& handler);

    IDialogs& dialogs_;
    AutomationRegistry& automation_;
    TClientForm& clientForm_;
    std::filesystem::path journalPath_;

    std::unique_ptr<TCashboxdrv> FDriver;
    Json FJData;
    std::string FCashboxToken;
    std::unique_ptr<TTHVRESTClient> FClient;
    TAppSettings* FSettings = nullptr;
    CashBoxSettingsPtr FCashBoxSettings;
    bool FisConnected = false;
    ConnectionChangeEvent FConnectionChange;
    TJournal FJournal;  // SQLConnection1
    std::unique_ptr<TExchangeCycle> FExchange;
};

}  // namespace th
