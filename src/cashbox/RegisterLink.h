#pragma once

#include <QObject>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cashbox/CashboxConnection.h"
#include "cashbox/ExchangeCycle.h"
#include "cashbox/TaskJournal.h"
#include "dispatcher/DispatcherClient.h"

class QTimer;

namespace th {

class AutomationRegistry;
class AppSettings;
class CashboxDriver;
class CommandResults;

// What a register's worker needs of the process, handed on by reference.
struct RegisterEnvironment {
    AutomationRegistry& automation;
    // The command results not yet sent, one list for every register.
    CommandResults& commandResults;
    std::filesystem::path journalPath;
    // The request log; callable from any thread.
    DispatcherClient::LogEvent log;
    // Where the problems of a register's own work and its recovery are shown beyond its
    // record (the row, the tray, tillhaven.log); called on the user-interface thread.
    std::function<void(const std::string& serial, const std::string& text)> onProblem;
    std::function<void(const std::string& serial)> onRecovered;
    // What a person decided about a register's documents, for tillhaven.log; called on the
    // user-interface thread.
    std::function<void(const std::string& serial, const std::string& text)> onNote;
};

// The register and its connection settings, as the worker starts with them.
struct RegisterSetup {
    std::string serial;
    std::string token;
    std::string driverName;
    std::string connectionType;
    std::string comPort;
    bool autostart = false;
    AppSettings* settings = nullptr;  // of the worker's dispatcher client
};

// Said of a register whose documents wait for a person.
inline constexpr const char* kNeedsAttention = "требует внимания";

// What the register's connection looks like from outside.
struct RegisterLinkState {
    bool hasDriver = false;
    bool connected = false;
    bool clientTimer = false;     // the exchange cycle runs every 5 s
    bool reconnectTimer = false;  // a reconnection is tried every 10 s
    // The connection panel of the cashbox window's status bar.
    std::string panel = kPanelNotConnected;
    // Conditions of the register that stand until they clear, not until the next successful
    // exchange: the warnings of its device status (paper out, cover open, ...) and whatever
    // else the link holds against it (setCondition). Each turns the tray red and is listed
    // in its tooltip and the register's row.
    std::vector<std::string> standing;
    // Documents that need a person: those whose fate the register could not tell (their
    // identifiers), and how many the journal refused that nobody has hidden.
    std::vector<std::string> doubtful;
    int refused = 0;
    // A standing condition of the register until a person has dealt with it.
    bool needsAttention() const { return !doubtful.empty() || refused > 0; }
};

// One report of a worker to the user-interface thread.
struct WorkerReport {
    RegisterLinkState state;
    // The driver reported a connection change (shown in the row and the tray icon).
    bool connectionChange = false;
    // A problem found by the worker's own work, shown without a box.
    std::optional<std::string> problem;
    // The register exchanged or connected again after a problem: what it reports next is
    // news again.
    bool recovered = false;
    // Rows of the register's journal were stored, completed, acknowledged or settled.
    bool journalChanged = false;
    // What a person decided about a document, for the log.
    std::optional<std::string> note = std::nullopt;
};

// What an action the user started in the cashbox window ended with: the boxes to show
// there, in order (an error among them), and whether saving the settings is allowed now.
struct ActionOutcome {
    std::vector<StateWarning> boxes;
    bool enableSave = false;
};

// Timer intervals of one register.
inline constexpr int kClientInterval = 5000;
inline constexpr int kReconnectInterval = 10000;

// The register's side of the program: its driver, its own dispatcher client (the "tasks"
// exchange and the "cashbox" report), its journal connection, ClientTimer and
// ReconnectTimer, and the connection logic over them.
//
// Lives on its worker's thread: every method runs there, and the driver object, the client
// and the journal connection are used by that thread only. It never waits for a message
// box: what it finds on its own goes to the user-interface thread as a report, and the
// boxes of an action the user started go back with that action's outcome.
//
// The three states, for a register with a driver:
//   Idle          not connected, both timers off
//   Connected     connected, ClientTimer on, ReconnectTimer off
//   Reconnecting  not connected, ClientTimer off, ReconnectTimer on
class RegisterLink : public QObject, private ExchangeHost {
public:
    using ReportSink = std::function<void(const WorkerReport&)>;

    RegisterLink(const RegisterEnvironment& environment, RegisterSetup setup, ReportSink report);
    ~RegisterLink() override;

    // Opens the journal, makes the client, the cycle and the timers, chooses the driver and,
    // when the settings ask for it, makes the automatic first connection.
    void open();
    // Timers off, the driver's connection closed (the change reported), everything released.
    void close();

    // An action the user started: boxes raised meanwhile are collected in outcome.
    void runUserAction(const std::function<void()>& action, ActionOutcome& outcome);

    // The driver by its name; only "Атол" makes one. A driver replaced while connected is
    // disconnected first and the change reported.
    void setDriverName(const std::string& name);
    // Applies to the driver at its next connect.
    void setConnection(const std::string& connectionType, const std::string& comPort);
    // "Установить соединение": connect, then the state check.
    void connectRegister();
    // Only the user's button switches the reconnection off: the exchange cycle disconnects
    // and leaves its reconnection running.
    void disconnectRegister(bool byButton);
    // "Проверить связь": connects and disconnects; saving is allowed when it succeeds.
    void checkConnection(ActionOutcome& outcome);
    // "Проверить драйвер".
    void driverVersion(ActionOutcome& outcome);

    // A condition that needs a person stands (holds) or has cleared; reported with the
    // register's state until it clears.
    void setCondition(const std::string& text, bool holds);
    // A person's answer for a document left in question ("Чек пробит", "Чек не пробит —
    // пробить"); what was done goes back as a box and to the log.
    void resolveDoubtful(const std::string& origId, const DoubtfulResolution& resolution,
                         ActionOutcome& outcome);
    // "Скрыть" for a document the journal refused.
    void hideRefused(std::int64_t key);

    // The timers' handlers; they never raise.
    void runExchangeCycle();
    void tryReconnect();

    RegisterLinkState state() const;
    // The register's driver, nullptr when there is none.
    CashboxDriver* driver() override { return driver_.get(); }

private:
    class Boxes;

    // ExchangeHost
    std::string serialText() override { return setup_.serial; }
    std::string cashboxToken() override { return setup_.token; }
    std::string driverName() override { return setup_.driverName; }
    void reconnectAfterFailure() override;
    void reportProblem(const std::string& text) override;
    void exchangeSucceeded() override;
    void journalChanged() override;
    // Reports the documents that need a person when they changed (or when forced).
    void followAttention(bool force = false);

    void automaticFirstConnection();
    bool journalUsable();
    void checkParams();
    // The device warnings now standing; reported when they change.
    void setDeviceWarnings(const std::vector<StateWarning>& warnings);
    // While a device warning stands, each cycle reads the device status again: the warning
    // goes when its condition has.
    void refreshDeviceWarnings();
    void changeConnectionState(CashboxDriver& sender);
    void clientConnect();
    void releaseDriver();
    void requireDriver() const;
    void setPanel(const std::string& text);
    void report(bool connectionChange, std::optional<std::string> problem = std::nullopt);
    void recover();

    RegisterEnvironment environment_;
    RegisterSetup setup_;
    ReportSink report_;
    std::unique_ptr<Boxes> boxes_;
    std::unique_ptr<CashboxDriver> driver_;
    std::unique_ptr<DispatcherClient> client_;
    std::unique_ptr<TaskJournal> journal_;
    std::unique_ptr<ExchangeCycle> cycle_;
    QTimer* clientTimer_ = nullptr;
    QTimer* reconnectTimer_ = nullptr;
    bool connected_ = false;
    std::string panel_ = kPanelNotConnected;
    // A problem was reported since the register last exchanged or connected.
    bool troubled_ = false;
    std::vector<std::string> deviceWarnings_;
    std::vector<std::string> conditions_;
    // The journal's last failure to open, reported once.
    std::string journalFailure_;
    // The refused documents not hidden, and what the last report said needs a person.
    int refused_ = 0;
    std::pair<std::vector<std::string>, int> reportedAttention_;
};

}  // namespace th
