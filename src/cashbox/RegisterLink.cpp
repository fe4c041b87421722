#include "cashbox/RegisterLink.h"

#include <QThread>
#include <QTimer>

#include <algorithm>

#include "cashbox/CommandResults.h"
#include "drivers/AtolDriver.h"
#include "platform/Dialogs.h"
#include "platform/UiThread.h"

namespace th {

// The message boxes of the worker's client and cycle. A box never waits here: during an
// action the user started it goes back with the action's outcome, otherwise it is a problem
// found by the worker's own work. Used on the worker's thread only.
class RegisterLink::Boxes : public IDialogs {
public:
    explicit Boxes(RegisterLink& link) : link_(link) {}

    void collectInto(ActionOutcome* outcome) { outcome_ = outcome; }

    void show(BoxKind kind, const std::string& text) override {
        if (outcome_)
            outcome_->boxes.push_back({kind, text});
        else
            link_.reportProblem(text);
    }
    // Nobody is there to answer: the question is shown and taken as declined.
    bool askYesCancel(BoxKind kind, const std::string& text) override {
        show(kind, text);
        return false;
    }

private:
    RegisterLink& link_;
    ActionOutcome* outcome_ = nullptr;
};

// ---- the link, on the worker's thread -------------------------------------------------------

RegisterLink::RegisterLink(const RegisterEnvironment& environment, RegisterSetup setup,
                           ReportSink report)
    : environment_(environment), setup_(std::move(setup)), report_(std::move(report)) {}

RegisterLink::~RegisterLink() = default;

void RegisterLink::open() {
    boxes_ = std::make_unique<Boxes>(*this);
    client_ = std::make_unique<DispatcherClient>(*boxes_);
    client_->setOnLog(environment_.log);
    client_->setSettings(setup_.settings);
    journal_ = std::make_unique<TaskJournal>();
    cycle_ = std::make_unique<ExchangeCycle>(static_cast<ExchangeHost&>(*this), *client_, *journal_,
                                             environment_.commandResults, *boxes_);
    clientTimer_ = new QTimer(this);
    clientTimer_->setInterval(kClientInterval);
    clientTimer_->setTimerType(Qt::PreciseTimer);
    QObject::connect(clientTimer_, &QTimer::timeout, this, [this] { runExchangeCycle(); });
    reconnectTimer_ = new QTimer(this);
    reconnectTimer_->setInterval(kReconnectInterval);
    QObject::connect(reconnectTimer_, &QTimer::timeout, this, [this] { tryReconnect(); });
    // The register still connects; its cycles open the journal again until it is back.
    if (journalUsable())
        followAttention();
    try {
        setDriverName(setup_.driverName);
    } catch (const std::exception& e) {
        reportProblem(e.what());
        return;
    }
    if (setup_.autostart)
        automaticFirstConnection();
}

// Without a driver there is nothing to retry: the register stays idle. Otherwise the
// reconnection is on before the attempt, so a failed first attempt is retried.
void RegisterLink::automaticFirstConnection() {
    try {
        requireDriver();
        reconnectTimer_->start();
        connectRegister();
    } catch (const std::exception& e) {
        reportProblem(e.what());
    }
}

void RegisterLink::close() {
    if (clientTimer_) {
        clientTimer_->stop();
        reconnectTimer_->stop();
    }
    if (cycle_)
        cycle_->flushPending();
    if (driver_) {
        try {
            driver_->onclose();
        } catch (const std::exception&) {
            // The connection goes with the driver object.
        }
        driver_->setOnChangedState(nullptr);
    }
    cycle_.reset();
    driver_.reset();
    client_.reset();
    journal_.reset();
    delete clientTimer_;
    delete reconnectTimer_;
    clientTimer_ = reconnectTimer_ = nullptr;
    QThread::currentThread()->quit();
}

void RegisterLink::runUserAction(const std::function<void()>& action, ActionOutcome& outcome) {
    boxes_->collectInto(&outcome);
    try {
        action();
    } catch (const std::exception& e) {
        outcome.boxes.push_back({BoxKind::Error, e.what()});
    }
    boxes_->collectInto(nullptr);
}

RegisterLinkState RegisterLink::state() const {
    RegisterLinkState state;
    state.hasDriver = driver_ != nullptr;
    state.connected = connected_;
    state.clientTimer = clientTimer_ && clientTimer_->isActive();
    state.reconnectTimer = reconnectTimer_ && reconnectTimer_->isActive();
    state.panel = panel_;
    state.standing = deviceWarnings_;
    state.standing.insert(state.standing.end(), conditions_.begin(), conditions_.end());
    if (cycle_) {
        const std::set<std::string>& doubtful = cycle_->doubtfulDocuments();
        state.doubtful.assign(doubtful.begin(), doubtful.end());
    }
    state.refused = refused_;
    return state;
}

void RegisterLink::report(bool connectionChange, std::optional<std::string> problem) {
    if (report_)
        report_(WorkerReport{state(), connectionChange, std::move(problem)});
}

void RegisterLink::setPanel(const std::string& text) {
    panel_ = text;
    report(false);
}

// The status bar keeps the last problem in sight until the connection changes again.
void RegisterLink::reportProblem(const std::string& text) {
    panel_ = text;
    troubled_ = true;
    report(false, text);
}

void RegisterLink::exchangeSucceeded() {
    recover();
}

void RegisterLink::journalChanged() {
    WorkerReport changed;
    changed.state = state();
    changed.journalChanged = true;
    if (report_)
        report_(changed);
}

void RegisterLink::followAttention(bool force) {
    try {
        if (journal_ && journal_->isOpen())
            refused_ = journal_->countRefused(setup_.serial);
    } catch (const JournalError&) {
        // The count stays as it was; the journal's own trouble is reported by the cycle.
    }
    const RegisterLinkState now = state();
    auto attention = std::make_pair(now.doubtful, now.refused);
    if (!force && attention == reportedAttention_)
        return;
    reportedAttention_ = std::move(attention);
    report(false);
}

void RegisterLink::resolveDoubtful(const std::string& origId, const DoubtfulResolution& resolution,
                                   ActionOutcome& outcome) {
    const std::string done = cycle_->resolveDoubtful(origId, resolution);
    outcome.boxes.push_back({BoxKind::Information, done});
    WorkerReport noted;
    noted.state = state();
    noted.note = done;
    if (report_)
        report_(noted);
    followAttention(true);
}

void RegisterLink::hideRefused(std::int64_t key) {
    journal_->hideRefused(setup_.serial, key);
    journalChanged();
    followAttention(true);
}

// Said once after a run of problems, not after every exchange.
void RegisterLink::recover() {
    if (!troubled_)
        return;
    troubled_ = false;
    WorkerReport recovered{state(), false, std::nullopt, true};
    if (report_)
        report_(recovered);
}

// ---- driver and settings --------------------------------------------------------------------

void RegisterLink::setDriverName(const std::string& name) {
    releaseDriver();
    setup_.driverName = name;
    if (name == kAtolDriverName) {
        try {
            auto driver = std::make_unique<AtolDriver>(setup_.serial, environment_.automation);
            driver->setComType(setup_.connectionType);
            driver->setComPort(setup_.comPort);
            driver->setOnChangedState(
                [this](CashboxDriver& sender) { changeConnectionState(sender); });
            driver_ = std::move(driver);
        } catch (...) {
            report(false);
            throw;
        }
    }
    report(false);
}

// A driver replaced while connected is disconnected first and the change shown, so that
// neither the window nor the register list goes on showing a connection nobody holds.
void RegisterLink::releaseDriver() {
    if (!driver_)
        return;
    cycle_->flushPending();
    std::unique_ptr<CashboxDriver> old = std::move(driver_);
    old->setOnChangedState(nullptr);
    if (!connected_)
        return;
    try {
        old->disconnect();
    } catch (const std::exception&) {
        // The connection goes with the driver object.
    }
    panel_ = kPanelNotConnected;
    connected_ = false;
    clientTimer_->stop();
    report(true);
}

// A connected driver goes on as it is; the values apply at its next connect.
void RegisterLink::setConnection(const std::string& connectionType, const std::string& comPort) {
    setup_.connectionType = connectionType;
    setup_.comPort = comPort;
    if (driver_) {
        driver_->setComType(connectionType);
        driver_->setComPort(comPort);
    }
}

void RegisterLink::requireDriver() const {
    if (!driver_)
        throw CashboxError(kNoDriverSelected);
}

void RegisterLink::driverVersion(ActionOutcome& outcome) {
    requireDriver();
    outcome.boxes.push_back({BoxKind::Plain, kDriverVersionPrefix + driver_->getVersion()});
}

// ---- connection -----------------------------------------------------------------------------

// The test connects and disconnects: the register ends idle whatever its state before.
void RegisterLink::checkConnection(ActionOutcome& outcome) {
    requireDriver();
    if (!driver_->checkConnection())
        return;
    outcome.enableSave = true;
    outcome.boxes.push_back({BoxKind::Plain, kRegisterFound});
}

// Documents cut off by an earlier stop are settled with the register's own count after
// every connection, whatever the state check finds.
void RegisterLink::connectRegister() {
    requireDriver();
    driver_->connect();
    try {
        checkParams();
    } catch (...) {
        if (journalUsable()) {
            cycle_->settleInFlight();
            followAttention();
        }
        throw;
    }
    if (journalUsable()) {
        cycle_->settleInFlight();
        followAttention();
    }
}

void RegisterLink::disconnectRegister(bool byButton) {
    if (driver_)
        driver_->disconnect();
    if (byButton)
        reconnectTimer_->stop();
    report(false);
}

// The warnings do not undo the connection: the exchange cycle runs meanwhile. They are
// boxes for the user's own "Установить соединение", problems after an automatic one. They
// come from the register alone, so they stand in the row before the report goes to the
// service, and are shown even when the report fails.
void RegisterLink::checkParams() {
    requireDriver();
    const CashboxReport cashbox = readCashboxReport(*driver_, setup_.driverName);
    const std::vector<StateWarning> warnings = stateWarnings(cashbox.deviceStatus);
    setDeviceWarnings(warnings);
    const auto showWarnings = [&] {
        for (const StateWarning& warning : warnings)
            boxes_->show(warning.kind, warning.text);
    };
    try {
        client_->executeDelay(kCommandCashbox, cashboxRequest(cashbox, false));
    } catch (...) {
        showWarnings();
        throw;
    }
    showWarnings();
}

void RegisterLink::setDeviceWarnings(const std::vector<StateWarning>& warnings) {
    std::vector<std::string> texts;
    for (const StateWarning& warning : warnings)
        texts.push_back(warning.text);
    if (texts == deviceWarnings_)
        return;
    deviceWarnings_ = std::move(texts);
    report(false);
}

// An unanswered status leaves the warnings as they are: the state is unknown, not better.
void RegisterLink::refreshDeviceWarnings() {
    if (deviceWarnings_.empty() || !driver_ || !connected_)
        return;
    const Json task = {{"type", "getDeviceStatus"}};
    const std::optional<Json> status = driver_->processJSON(&task);
    if (status)
        setDeviceWarnings(stateWarnings(*status));
}

void RegisterLink::setCondition(const std::string& text, bool holds) {
    const auto found = std::find(conditions_.begin(), conditions_.end(), text);
    if (holds == (found != conditions_.end()))
        return;
    if (holds)
        conditions_.push_back(text);
    else
        conditions_.erase(found);
    report(false);
}

void RegisterLink::changeConnectionState(CashboxDriver& sender) {
    if (sender.isConnected()) {
        panel_ = kPanelConnected;
        connected_ = true;
        reconnectTimer_->stop();
    } else {
        panel_ = kPanelNotConnected;
        connected_ = false;
    }
    clientConnect();
    report(true);
    if (connected_)
        recover();
}

void RegisterLink::clientConnect() {
    if (driver_ && driver_->isConnected())
        clientTimer_->start();
    else
        clientTimer_->stop();
}

void RegisterLink::tryReconnect() {
    setPanel(kPanelReconnecting);
    try {
        connectRegister();
    } catch (const std::exception& e) {
        setPanel(e.what());
    }
}

// A journal that could not be opened (missing, read-only, damaged, locked) is opened again
// at every cycle, so the register comes back by itself once the file is usable. Its failure
// is reported once, and again only with another reason.
bool RegisterLink::journalUsable() {
    if (journal_->isOpen())
        return true;
    try {
        journal_->openJournal(environment_.journalPath);
        journalFailure_.clear();
        return true;
    } catch (const std::exception& e) {
        if (journalFailure_ != e.what()) {
            journalFailure_ = e.what();
            reportProblem(journalFailure_);
        }
        return false;
    }
}

void RegisterLink::runExchangeCycle() {
    // Without its journal the register neither takes documents nor runs commands.
    if (!journalUsable())
        return;
    try {
        cycle_->runExchangeCycle();
    } catch (const std::exception& e) {
        reportProblem(e.what());
    }
    try {
        refreshDeviceWarnings();
    } catch (const std::exception&) {
        // The register's status cannot be read now: the warnings stay until it can.
    }
    followAttention();
}

void RegisterLink::reconnectAfterFailure() {
    reconnectTimer_->start();
    disconnectRegister(false);
}

}  // namespace th
