// The main window's start sequence: the token check, the login, the list of registers and
// the start-up update check. Their requests run on threads of their own, so the window stays
// responsive; a failure of the moment is tried again after a growing delay while the window
// says so, and only the user's own choice ends the program.
#include <QAction>
#include <QCoreApplication>
#include <QLabel>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTimer>

#include "app/Autostart.h"
#include "app/DesktopNotifier.h"
#include "app/MainWindow.h"
#include "auth/LoginDialog.h"
#include "cashbox/CashboxRecord.h"
#include "dispatcher/DispatcherClient.h"
#include "dispatcher/Messages.h"
#include "dispatcher/gui/RequestLogWindow.h"
#include "platform/Dialogs.h"
#include "platform/Errors.h"
#include "platform/gui/SafeApplication.h"
#include "settings/AppSettings.h"
#include "updater/UpdateActions.h"
#include "updater/Updater.h"

namespace th {

// What came back from one request of the start: the answer, or the error that ended it.
struct MainWindow::ServiceAnswer {
    std::optional<Json> answer;
    std::string failure;  // the error's text; empty when there is an answer

    // No connection, HTTP 5xx, an answer that is no JSON, or a "status" of 500 and more:
    // the service may well answer a moment later.
    bool isMomentary() const {
        if (!answer)
            return true;
        const std::optional<int> status = answerStatus(*answer);
        return status && *status >= 500;
    }
    std::string reason() const { return answer ? "Error: " + failureText(*answer) : failure; }
};

namespace {

std::string errorText(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        return describeStartupError(e);
    } catch (...) {
        return "unknown error";
    }
}

}  // namespace

// A client of its own for each request, silent: what its answer means is the step's
// business. The request log sees it as it sees every request.
void MainWindow::askService(const std::string& command, const Json& data, AnswerHandler done) {
    auto outcome = std::make_shared<ServiceAnswer>();
    AppSettings* settings = appSettings_.get();
    RequestLogWindow* requestLog = windows_.requestLogWindow;
    const std::atomic<bool>* abort = &background_->abortFlag();
    background_->run(
        [=, request = copyJson(data)] {
            ReportingDialogs silent([](const std::string&) {});
            DispatcherClient client(silent);
            client.setSettings(settings);
            client.setOnLog([requestLog](const std::string& line, const Json& logged) {
                requestLog->log(line, logged);
            });
            client.setAbortFlag(abort);
            client.setSilent();
            outcome->answer = copyJson(client.executeDelay(command, request));
        },
        [outcome, done = std::move(done)](std::exception_ptr failure) {
            if (failure)
                outcome->failure = errorText(failure);
            done(*outcome);
        });
}

void MainWindow::startOnFirstShow() {
    if (closing_ || startStage_ != StartStage::NotStarted)
        return;  // started already, or the program ends
    windows_.requestLogWindow->setSettings(appSettings_.get());
    updateTrayIcon();
    checkToken();
}

void MainWindow::checkToken() {
    startStage_ = StartStage::CheckingToken;
    askService(kCommandTest, testRequest(),
               [this](const ServiceAnswer& outcome) { tokenChecked(outcome); });
}

// Only the service's refusal of the token (any other answer that does not confirm it)
// opens the login dialog.
void MainWindow::tokenChecked(const ServiceAnswer& outcome) {
    if (outcome.isMomentary()) {
        waitForService(&MainWindow::checkToken, outcome.reason());
        return;
    }
    serviceReached();
    if (testAuthorized(*outcome.answer)) {
        runAtLoginAfterFirstLogin();
        fetchSalePoints();
        return;
    }
    logIn();
}

void MainWindow::logIn() {
    startStage_ = StartStage::LoggingIn;
    LoginDialog& loginDialog = *windows_.loginDialog;
    try {
        services_.runModal(loginDialog);
        if (loginDialog.isAuthorized()) {
            appSettings_->setToken(loginDialog.token());
            appSettings_->save();
            windows_.requestLogWindow->setSettings(appSettings_.get());
        }
    } catch (const std::exception& e) {
        services_.dialogs.show(BoxKind::Error, describeStartupError(e));
    }
    if (closing_)
        return;
    if (!loginDialog.isAuthorized()) {
        closeMainWindow();  // the user cancelled the login
        return;
    }
    runAtLoginAfterFirstLogin();
    fetchSalePoints();
}

void MainWindow::fetchSalePoints() {
    startStage_ = StartStage::FetchingList;
    askService(kCommandGetSalePoints, getSalePointsRequest(),
               [this](const ServiceAnswer& outcome) { salePointsFetched(outcome); });
}

void MainWindow::salePointsFetched(const ServiceAnswer& outcome) {
    if (outcome.isMomentary()) {
        waitForService(&MainWindow::fetchSalePoints, outcome.reason());
        return;
    }
    serviceReached();
    if (!salePoints(*outcome.answer)) {
        // Refused: said once, asked again later.
        const std::string refusal = outcome.reason();
        if (refusal != shownRefusal_) {
            shownRefusal_ = refusal;
            showProblem({}, refusal);
        }
        retryLater(&MainWindow::fetchSalePoints);
        return;
    }
    shownRefusal_.clear();
    startStage_ = StartStage::Running;
    SafeApplication::guarded(services_.dialogs, [&] { applySalePoints(*outcome.answer); });
    updateTrayIcon();
}

void MainWindow::waitForService(void (MainWindow::*step)(), const std::string& reason) {
    const bool news = !waitingForService_;
    waitingForService_ = true;
    retryLater(step);
    if (news)
        showProblem({}, std::string(kNoService) + ": " + reason);
    updateTrayIcon();
}

void MainWindow::retryLater(void (MainWindow::*step)()) {
    retryStep_ = step;
    secondsToRetry_ = startRetries_.nextDelaySeconds();
    retryTimer_->start(secondsToRetry_ * 1000);
    countdownTimer_->start();
    showCountdown();
    statusBar()->show();
}

void MainWindow::showCountdown() {
    serviceStatusLabel_->setText(serviceStatus());
}

QString MainWindow::serviceStatus() const {
    if (!retryStep_)
        return {};
    const QString head =
        QString::fromUtf8(waitingForService_ ? kNoService : "Список касс не получен");
    return head + QString::fromUtf8(kRetryIn) + QString::number(secondsToRetry_) + " с";
}

bool MainWindow::isWaitingForService() const {
    return retryStep_ != nullptr;
}

bool MainWindow::isBusy() const {
    return background_->busy();
}

void MainWindow::retryNow() {
    if (!retryStep_ || closing_)
        return;
    const auto step = retryStep_;
    retryStep_ = nullptr;
    retryTimer_->stop();
    countdownTimer_->stop();
    statusBar()->hide();
    (this->*step)();
}

void MainWindow::serviceReached() {
    startRetries_.reset();
    if (!waitingForService_)
        return;
    waitingForService_ = false;
    if (messageText_->text().startsWith(QString::fromUtf8(kNoService)))
        dismissMessage();
    updateTrayIcon();
}

// ---- the start-up update check ------------------------------------------------------------

// Nobody may be at the screen when the program starts with the session: a newer version
// enables "Обновить" and is notified, a failed check is reported and tried again later,
// and the start goes on meanwhile. The question comes when the user chooses "Проверить
// обновления".
void MainWindow::checkUpdateAtStartup() {
    if (appSettings_->keepVersion())
        return;
    startUpdateCheck();
}

void MainWindow::startUpdateCheck() {
    if (updateCheckRunning_ || closing_)
        return;
    updateCheckRunning_ = true;
    auto offered = std::make_shared<bool>(false);
    auto boxes = std::make_shared<std::vector<std::string>>();
    Updater* updater = updater_.get();
    background_->run(
        [updater, offered, boxes] {
            ReportingDialogs collect([boxes](const std::string& text) { boxes->push_back(text); });
            *offered = updater->checkUpdate(collect);
        },
        [this, offered, boxes](std::exception_ptr failure) {
            updateCheckDone(*offered, failure, *boxes);
        });
}

void MainWindow::updateCheckDone(bool offered, std::exception_ptr failure,
                                 const std::vector<std::string>& boxes) {
    updateCheckRunning_ = false;
    for (const std::string& box : boxes)
        showProblem({}, box);
    if (failure) {
        try {
            std::rethrow_exception(failure);
        } catch (const std::exception& e) {
            showProblem({}, e.what());
        } catch (...) {
        }
        updateRetryTimer_->start(updateRetries_.nextDelaySeconds() * 1000);
        return;
    }
    updateRetries_.reset();
    if (!offered)
        return;
    updateAction_->setEnabled(true);
    showProblem({}, kOutdatedMessage + updater_->offeredVersionText());
}

// ---- the message line, the tray icon, the start at login --------------------------------------

void MainWindow::showMessage(const std::string& text) {
    messageText_->setText(QString::fromStdString(text));
    messageLine_->show();
}

QString MainWindow::messageLine() const {
    return messageLine_->isVisibleTo(this) ? messageText_->text() : QString();
}

void MainWindow::dismissMessage() {
    messageText_->clear();
    messageLine_->hide();
}

int MainWindow::notificationCount() const {
    return notifier_->shownCount();
}

void MainWindow::updateTrayIcon() {
    QStringList reasons;
    if (waitingForService_)
        reasons << QString::fromUtf8(kNoService);
    for (const auto& record : cashboxes_) {
        if (!record->connectsAutomatically())
            continue;
        const QString serial = QString::fromStdString(record->serial());
        // One the user disconnected by hand (no reconnection under way) is kept so, and
        // counts for nothing.
        const RegisterLinkState& state = record->state();
        if (!state.connected && state.hasDriver && !state.reconnectTimer)
            continue;
        if (!state.connected) {
            QString why = serial + ": не активен";
            if (!record->lastProblem().empty())
                why += " — " + QString::fromStdString(record->lastProblem());
            reasons << why;
        }
        for (const std::string& condition : record->standingConditions())
            reasons << serial + ": " + QString::fromStdString(condition);
    }
    // Red as well until the list is in: no register is known to work yet.
    const bool red = !reasons.isEmpty() || !listReceived_;
    trayIcon_->setIcon(red ? disconnectedIcon_ : connectedIcon_);
    QString tip = QString::fromUtf8(kTrayTitle);
    if (!reasons.isEmpty())
        tip += "\n" + reasons.join("\n");
    trayIcon_->setToolTip(tip);
}

std::string MainWindow::autostartProgram() const {
    const QString program = QCoreApplication::applicationFilePath();
    return program.isEmpty() ? std::string("tillhaven") : program.toStdString();
}

void MainWindow::setAutostartDirectory(std::filesystem::path directory) {
    autostartDirectory_ = std::move(directory);
    runAtLoginAction_->setChecked(appSettings_->runAtLogin().value_or(
        AutostartEntry(autostartDirectory_, autostartProgram()).exists()));
}

void MainWindow::setRunAtLogin(bool on) {
    runAtLoginAction_->setChecked(on);
    SafeApplication::guarded(services_.dialogs, [&] {
        const AutostartEntry entry(autostartDirectory_, autostartProgram());
        if (on)
            entry.write();
        else
            entry.remove();
        appSettings_->setRunAtLogin(on);
    });
    runAtLoginAction_->setChecked(AutostartEntry(autostartDirectory_, autostartProgram()).exists());
}

void MainWindow::runAtLoginAfterFirstLogin() {
    if (!services_.paths.installed || appSettings_->runAtLogin())
        return;
    setRunAtLogin(true);
}

}  // namespace th
