#pragma once

#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cashbox/RegisterWorker.h"
#include "platform/Json.h"
#include "settings/AppSettings.h"

namespace th {

// One sale point of the register list: its element of "getsalepoints", the state its
// register last reported and, only for a register that can connect here, its worker. A
// sale point of the account whose register is elsewhere costs this record and its row,
// nothing more: no window, driver, journal connection or thread.
//
// Lives on the user-interface thread. workerReport is the one place where what the worker
// reports arrives there.
class CashboxRecord : public QObject {
public:
    using Listener = std::function<void(CashboxRecord& sender)>;

    explicit CashboxRecord(const RegisterEnvironment& environment);
    ~CashboxRecord() override;

    // The register's element of "getsalepoints", copied; members it lacks read as empty.
    void setData(const Json& data);
    // Looks the register's record up in settings and starts the worker when the record
    // names a driver, so the register can connect here; the worker then makes the automatic
    // first connection the record asks for. A record with the automatic connection and no
    // driver is reported as "Драйвер не выбран". Later calls start a worker for a register
    // set up since (the wizard's), and leave a running one alone.
    void setSettings(AppSettings& settings);

    const Json& data() const { return data_; }
    const std::string& serial() const { return serial_; }
    const std::string& cashboxToken() const { return token_; }
    // The text of a member of the sale point's element, "" when it has none.
    std::string dataText(const char* member) const;

    AppSettings* settings() const { return settings_; }
    const RegisterEnvironment& environment() const { return environment_; }
    // The register's record in the settings store, or a new one the store does not hold
    // until it is saved; nullptr before setSettings.
    CashBoxSettingsPtr cashboxSettings();
    // Changes the register's record under the store's lock.
    void editSettings(const std::function<void(CashboxSettings&)>& change);

    bool isConnected() const { return state_.connected; }
    // The register is set up here to connect by itself: while it is not active, or has a
    // standing condition, it needs someone's attention.
    bool connectsAutomatically() const;
    // What stands against the register until it clears: its device warnings, whatever the link
    // holds against it, and documents that wait for a person.
    std::vector<std::string> standingConditions() const;
    const RegisterLinkState& state() const { return state_; }
    // The last problem the register's own work ran into, "" when none.
    const std::string& lastProblem() const { return lastProblem_; }
    // Documents wait for a person (in question, or refused by the journal): a standing
    // condition of the register until someone deals with them on its "Документы" page.
    bool needsAttention() const { return state_.needsAttention(); }
    // "требует внимания" while it does, "" otherwise.
    std::string attentionText() const;
    // Counts the worker's reports that its journal rows changed: whoever shows them reads
    // again when it moves.
    std::uint64_t journalChanges() const { return journalChanges_; }

    RegisterWorker* worker() { return worker_.get(); }
    // The worker, started now (without the automatic connection) for a register the user
    // sets up or connects by hand from its window.
    RegisterWorker& ensureWorker();
    // Asks the worker, if any, to end; returns at once.
    void requestStop();
    // Waits for the worker to end until the deadline; true when there is none running.
    bool waitStopped(QDeadlineTimer deadline);

    // Fired after every connection change the driver reports, once isConnected has its
    // new value (the main window's row and tray icon).
    void setOnConnectionChange(Listener listener) { onConnectionChange_ = std::move(listener); }
    // Fired when the connection, the standing conditions or the documents that need a person
    // change (the row and the tray icon).
    void setOnAttentionChange(Listener listener) { onAttentionChange_ = std::move(listener); }
    // Fired after every report (the cashbox window, while it exists).
    void setOnStateShown(Listener listener) { onStateShown_ = std::move(listener); }

    // Everything the worker reports, delivered queued on the user-interface thread: its
    // state, its connection changes, the problems its own work ran into (kept as the last
    // problem and logged), and its recovery after them.
    void workerReport(const WorkerReport& report);

private:
    void startWorker(bool autostart);
    void showProblem(const std::string& text);

    RegisterEnvironment environment_;
    Json data_;
    std::string serial_;
    std::string token_;
    AppSettings* settings_ = nullptr;
    CashBoxSettingsPtr cashboxSettings_;
    RegisterLinkState state_;
    std::string lastProblem_;
    std::unique_ptr<RegisterWorker> worker_;
    Listener onConnectionChange_;
    Listener onStateShown_;
    Listener onAttentionChange_;
    std::uint64_t journalChanges_ = 0;
};

}  // namespace th
