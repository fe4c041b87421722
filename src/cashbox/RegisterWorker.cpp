#include "cashbox/RegisterWorker.h"

#include <QMetaObject>
#include <QTimer>

#include "cashbox/CommandResults.h"
#include "drivers/Atoldrv.h"
#include "platform/Dialogs.h"
#include "platform/UiThread.h"

namespace th {

// The message boxes of the worker's client and cycle. A box never waits here: during an
// action the user started it goes back with the action's outcome, otherwise it is a problem
// found by the worker's own work. Used on the worker's thread only.
class TRegisterLink::Boxes : public IDialogs {
public:
    explicit Boxes(TRegisterLink& link) : link_(link) {}

    void collectInto(TActionOutcome* outcome) { outcome_ = outcome; }

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
    TRegisterLink& link_;
    TActionOutcome* outcome_ = nullptr;
};

// ---- the link, on the worker's thread -------------------------------------------------------

TRegisterLink::TRegisterLink(const TRegisterEnvironment& environment, TRegisterSetup setup,
                             ReportSink report)
    : environment_(environment), setup_(std::move(setup)), report_(std::move(report)) {}

TRegisterLink::~TRegisterLink() = default;

void TRegisterLink::open() {
    boxes_ = std::make_unique<Boxes>(*this);
    client_ = std::make_unique<TTHVRESTClient>(*boxes_);
    client_->setOnLog(environment_.log);
    client_->setSettings(setup_.settings);
    journal_ = std::make_unique<TJournal>();
    cycle_ = std::make_unique<TExchangeCycle>(static_cast<ExchangeHost&>(*this), *client_,
                                              *journal_, environment_.commandResults, *boxes_);
    clientTimer_ = new QTimer(this);
    clientTimer_->setInterval(kClientInterval);
    clientTimer_->setTimerType(Qt::PreciseTimer);
    QObject::connect(clientTimer_, &QTimer::timeout, this, [this] { ClientTimerTimer(); });
    reconnectTimer_ = new QTimer(this);
    reconnectTimer_->setInterval(kReconnectInterval);
    QObject::connect(reconnectTimer_, &QTimer::timeout, this, [this] { ReconnectTimerTimer(); });
    try {
        journal_->openJournal(environment_.journalPath);
    } catch (const std::exception& e) {
        // The register still connects; every cycle reports the journal until it is back.
        reportProblem(e.what());
    }
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
void TRegisterLink::automaticFirstConnection() {
    try {
        requireDriver();
        reconnectTimer_->start();
        connectRegister();
    } catch (const std::exception& e) {
        reportProblem(e.what());
    }
}

void TRegisterLink::close() {
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

void TRegisterLink::runUserAction(const std::function<void()>& action, TActionOutcome& outcome) {
    boxes_->collectInto(&outcome);
    try {
        action();
    } catch (const std::exception& e) {
        outcome.boxes.push_back({BoxKind::Error, e.what()});
    }
    boxes_->collectInto(nullptr);
}

TRegisterLinkState TRegisterLink::state() const {
    TRegisterLinkState state;
    state.hasDriver = driver_ != nullptr;
    state.connected = connected_;
    state.clientTimer = clientTimer_ && clientTimer_->isActive();
    state.reconnectTimer = reconnectTimer_ && reconnectTimer_->isActive();
    state.panel = panel_;
    return state;
}

void TRegisterLink::report(bool connectionChange, std::optional<std::string> problem) {
    if (report_)
        report_(TWorkerReport{state(), connectionChange, std::move(problem)});
}

void TRegisterLink::setPanel(const std::string& text) {
    panel_ = text;
    report(false);
}

// The status bar keeps the last problem in sight until the connection changes again.
void TRegisterLink::reportProblem(const std::string& text) {
    panel_ = text;
    troubled_ = true;
    report(false, text);
}

void TRegisterLink::exchangeSucceeded() {
    recover();
}

// Said once after a run of problems, not after every exchange.
void TRegisterLink::recover() {
    if (!troubled_)
        return;
    troubled_ = false;
    TWorkerReport recovered{state(), false, std::nullopt, true};
    if (report_)
        report_(recovered);
}

// ---- driver and settings --------------------------------------------------------------------

void TRegisterLink::setDriverName(const std::string& name) {
    releaseDriver();
    setup_.driverName = name;
    if (name == kAtolDriverName) {
        try {
            auto driver = std::make_unique<TAtoldrv>(setup_.serial, environment_.automation);
            driver->setComType(setup_.connectionType);
            driver->setComPort(setup_.comPort);
            driver->setOnChangedState(
                [this](TCashboxdrv& sender) { changeConnectionState(sender); });
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
void TRegisterLink::releaseDriver() {
    if (!driver_)
        return;
    cycle_->flushPending();
    std::unique_ptr<TCashboxdrv> old = std::move(driver_);
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
void TRegisterLink::setConnection(const std::string& connectionType, const std::string& comPort) {
    setup_.connectionType = connectionType;
    setup_.comPort = comPort;
    if (driver_) {
        driver_->setComType(connectionType);
        driver_->setComPort(comPort);
    }
}

void TRegisterLink::requireDriver() const {
    if (!driver_)
        throw CashboxError(kNoDriverSelected);
}

void TRegisterLink::driverVersion(TActionOutcome& outcome) {
    requireDriver();
    outcome.boxes.push_back({BoxKind::Plain, kDriverVersionPrefix + driver_->getVersion()});
}

// ---- connection -----------------------------------------------------------------------------

// The test connects and disconnects: the register ends idle whatever its state before.
void TRegisterLink::checkConnection(TActionOutcome& outcome) {
    requireDriver();
    if (!driver_->checkConnection())
        return;
    outcome.enableSave = true;
    outcome.boxes.push_back({BoxKind::Plain, kRegisterFound});
}

// Documents cut off by an earlier stop are settled with the register's own count after
// every connection, whatever the state check finds.
void TRegisterLink::connectRegister() {
    requireDriver();
    driver_->connect();
    try {
        checkParams();
    } catch (...) {
        cycle_->settleInFlight();
        throw;
    }
    cycle_->settleInFlight();
}

void TRegisterLink::disconnectRegister(bool byButton) {
    if (driver_)
        driver_->disconnect();
    if (byButton)
        reconnectTimer_->stop();
    report(false);
}

// The warnings do not undo the connection: the exchange cycle runs meanwhile. They are
// boxes for the user's own "Установить соединение", problems after an automatic one.
void TRegisterLink::checkParams() {
    requireDriver();
    for (const StateWarning& warning : checkRegisterState(*driver_, setup_.driverName, *client_))
        boxes_->show(warning.kind, warning.text);
}

void TRegisterLink::changeConnectionState(TCashboxdrv& sender) {
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

void TRegisterLink::clientConnect() {
    if (driver_ && driver_->isConnected())
        clientTimer_->start();
    else
        clientTimer_->stop();
}

void TRegisterLink::ReconnectTimerTimer() {
    setPanel(kPanelReconnecting);
    try {
        connectRegister();
    } catch (const std::exception& e) {
        setPanel(e.what());
    }
}

void TRegisterLink::ClientTimerTimer() {
    try {
        cycle_->ClientTimerTimer();
    } catch (const std::exception& e) {
        reportProblem(e.what());
    }
}

void TRegisterLink::reconnectAfterFailure() {
    reconnectTimer_->start();
    disconnectRegister(false);
}

// ---- the handle, on the user-interface thread -----------------------------------------------

TRegisterWorker::TRegisterWorker(const TRegisterEnvironment& environment,
                                 const TRegisterSetup& setup, QObject& receiver, ReportSink sink) {
    auto shared = std::make_shared<const ReportSink>(std::move(sink));
    QPointer<QObject> guard(&receiver);
    auto deliver = [guard, shared](const TWorkerReport& report) {
        postToUiThread([guard, shared, report] {
            if (guard)
                (*shared)(report);
        });
    };
    thread_ = std::make_unique<QThread>();
    thread_->setObjectName(QString::fromStdString("register " + setup.serial));
    link_ = std::make_unique<TRegisterLink>(environment, setup, std::move(deliver));
    link_->moveToThread(thread_.get());
}

TRegisterWorker::~TRegisterWorker() {
    requestStop();
    if (!gaveUp_ && thread_->wait(QDeadlineTimer(kStopTimeoutMs)))
        return;
    // Still printing or waiting for the service: a document cut off is settled at the next
    // start. Destroying a running thread would end the process at once.
    (void)link_.release();
    (void)thread_.release();
}

void TRegisterWorker::start() {
    thread_->start();
    post([](TRegisterLink& link) { link.open(); });
}

void TRegisterWorker::post(Action action) {
    TRegisterLink* link = link_.get();
    QMetaObject::invokeMethod(
        link, [link, action = std::move(action)] { action(*link); }, Qt::QueuedConnection);
}

void TRegisterWorker::postUserAction(UserAction action, QObject* context, Done done) {
    QPointer<QObject> guard(context);
    post([action = std::move(action), guard, done = std::move(done)](TRegisterLink& link) {
        TActionOutcome outcome;
        link.runUserAction([&] { action(link, outcome); }, outcome);
        postToUiThread([guard, done, outcome] {
            if (guard && done)
                done(outcome);
        });
    });
}

void TRegisterWorker::requestStop() {
    if (stopRequested_ || !thread_->isRunning())
        return;
    stopRequested_ = true;
    post([](TRegisterLink& link) { link.close(); });
}

bool TRegisterWorker::waitStopped(QDeadlineTimer deadline) {
    if (thread_->wait(deadline))
        return true;
    gaveUp_ = true;
    return false;
}

}  // namespace th
