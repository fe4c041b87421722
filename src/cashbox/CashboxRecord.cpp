#include "cashbox/CashboxRecord.h"

#include "drivers/AtolDriver.h"

namespace th {

CashboxRecord::CashboxRecord(const RegisterEnvironment& environment) : environment_(environment) {}

// The worker goes first: it may still report while it ends.
CashboxRecord::~CashboxRecord() {
    worker_.reset();
}

// The record keeps its own copy: the caller's answer may go with its client's next request.
void CashboxRecord::setData(const Json& data) {
    data_ = copyJson(data);
    serial_ = dataText("kkt_serial");
    token_ = dataText("token");
}

std::string CashboxRecord::dataText(const char* member) const {
    return textAt(data_, member).value_or("");
}

void CashboxRecord::setSettings(AppSettings& settings) {
    settings_ = &settings;
    if (worker_)
        return;
    if (!cashboxSettings_)
        cashboxSettings_ = settings.getCashboxSettings(serial_);
    if (!cashboxSettings_)
        return;
    const CashboxSettings record = settings.readCashbox(cashboxSettings_);
    if (!record.driver.empty()) {
        startWorker(record.autostart);
        return;
    }
    // Without a driver there is nothing to connect or retry: the register stays idle.
    if (record.autostart)
        showProblem(kNoDriverSelected);
}

// A register new to this workstation: the store holds its record once it is saved.
CashBoxSettingsPtr CashboxRecord::cashboxSettings() {
    if (!settings_)
        return nullptr;
    if (!cashboxSettings_)
        cashboxSettings_ = settings_->getCashboxSettings(serial_);
    if (!cashboxSettings_) {
        cashboxSettings_ = std::make_shared<CashboxSettings>();
        cashboxSettings_->serial = serial_;
    }
    return cashboxSettings_;
}

// The record is shared with the settings store, which other threads may save.
void CashboxRecord::editSettings(const std::function<void(CashboxSettings&)>& change) {
    if (CashBoxSettingsPtr record = cashboxSettings())
        settings_->editCashbox(record, change);
}

RegisterWorker& CashboxRecord::ensureWorker() {
    if (!worker_) {
        if (!settings_)
            throw CashboxError(kNoDriverSelected);
        startWorker(false);
    }
    return *worker_;
}

void CashboxRecord::startWorker(bool autostart) {
    const CashboxSettings record = settings_->readCashbox(cashboxSettings());
    const RegisterSetup setup{.serial = serial_,
                              .token = token_,
                              .driverName = record.driver,
                              .connectionType = record.connectionType,
                              .comPort = record.comPort,
                              .autostart = autostart,
                              .settings = settings_};
    worker_ = std::make_unique<RegisterWorker>(
        environment_, setup, *this, [this](const WorkerReport& report) { workerReport(report); });
    worker_->start();
}

void CashboxRecord::requestStop() {
    if (worker_)
        worker_->requestStop();
}

bool CashboxRecord::waitStopped(QDeadlineTimer deadline) {
    return !worker_ || worker_->waitStopped(deadline);
}

bool CashboxRecord::connectsAutomatically() const {
    if (!settings_)
        return false;
    const CashBoxSettingsPtr record = settings_->getCashboxSettings(serial_);
    return record && settings_->readCashbox(record).autostart;
}

std::string CashboxRecord::attentionText() const {
    return needsAttention() ? kNeedsAttention : "";
}

std::vector<std::string> CashboxRecord::standingConditions() const {
    std::vector<std::string> conditions = state_.standing;
    if (needsAttention())
        conditions.push_back(kNeedsAttention);
    return conditions;
}

void CashboxRecord::workerReport(const WorkerReport& report) {
    const bool neededAttention = needsAttention();
    const bool attentionChanged =
        report.connectionChange || report.state.standing != state_.standing ||
        report.state.connected != state_.connected || report.problem || report.recovered;
    state_ = report.state;
    if (report.journalChanged)
        ++journalChanges_;
    if (report.note && environment_.onNote)
        environment_.onNote(serial_, *report.note);
    if (report.recovered) {
        lastProblem_.clear();
        if (environment_.onRecovered)
            environment_.onRecovered(serial_);
    }
    if (report.problem) {
        lastProblem_ = *report.problem;
        if (environment_.log)
            environment_.log("problem", Json{{"serial", serial_}, {"message", lastProblem_}});
        if (environment_.onProblem)
            environment_.onProblem(serial_, lastProblem_);
    }
    if (report.connectionChange && onConnectionChange_)
        onConnectionChange_(*this);
    if ((attentionChanged || needsAttention() != neededAttention) && onAttentionChange_)
        onAttentionChange_(*this);
    if (onStateShown_)
        onStateShown_(*this);
}

void CashboxRecord::showProblem(const std::string& text) {
    WorkerReport report;
    report.state = state_;
    report.state.panel = text;
    report.problem = text;
    workerReport(report);
}

}  // namespace th
