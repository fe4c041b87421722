#include "settings/AppSettings.h"

namespace th {

namespace {

constexpr const char* kAuth = "auth";
constexpr const char* kSystem = "system";
constexpr const char* kClient = "client";
constexpr const char* kCashboxes = "cashboxes";

// The sixteen text keys of a register's section, in file order, with their members.
struct TextKey {
    const char* name;
    std::string CashboxSettings::*member;
};

constexpr TextKey kTextKeys[] = {
    {"Token", &CashboxSettings::token},
    {"Address", &CashboxSettings::address},
    {"Place", &CashboxSettings::place},
    {"KKTSerial", &CashboxSettings::serial},
    {"KKTRegnum", &CashboxSettings::registrationNumber},
    {"FSSerial", &CashboxSettings::fiscalStorageSerial},
    {"OFDName", &CashboxSettings::ofdName},
    {"OFDinn", &CashboxSettings::ofdInn},
    {"AutomatSerial", &CashboxSettings::vendingMachineSerial},
    {"Driver", &CashboxSettings::driver},
    {"ConnectionType", &CashboxSettings::connectionType},
    {"ComPort", &CashboxSettings::comPort},
    {"BaudRate", &CashboxSettings::baudRate},
    {"Bits", &CashboxSettings::dataBits},
    {"StopBits", &CashboxSettings::stopBits},
    {"Parity", &CashboxSettings::parity},
};

constexpr const char* kAutostartKey = "Autostart";
constexpr const char* kRunAtLoginKey = "RunAtLogin";

}  // namespace

AppSettings::AppSettings(std::filesystem::path directory)
    : file_(std::move(directory) / "settings.ini") {
    load();
}

void AppSettings::load() {
    std::lock_guard lock(mutex_);
    serialsList_.clear();
    cashboxList_.clear();
    token_ = file_.readString(kAuth, "token");
    systemTestMode_ = file_.readBool(kSystem, "TestMode");
    keepVersion_ = file_.readBool(kSystem, "KeepVersion");
    clientLog_ = file_.readBool(kClient, "Log");
    const std::string runAtLogin = file_.readString(kClient, kRunAtLoginKey);
    runAtLogin_ = runAtLogin.empty() ? std::nullopt : std::optional(parseProfileBool(runAtLogin));
    serialsList_ = splitCommaText(file_.readString(kCashboxes, "serials"));
    systemTestUrl_ = file_.readString(kSystem, "TestUrl");
    registerDriver_ = file_.readString(kSystem, "RegisterDriver");
    for (const auto& serial : serialsList_) {
        auto record = std::make_shared<CashboxSettings>();
        for (const auto& key : kTextKeys) {
            (*record).*key.member = file_.readString(serial, key.name);
        }
        record->autostart = file_.readBool(serial, kAutostartKey);
        cashboxList_.push_back(record);
    }
}

void AppSettings::save() {
    std::lock_guard lock(mutex_);
    file_.writeString(kAuth, "token", token_);
    file_.writeBool(kClient, "Log", clientLog_);
    file_.writeString(kCashboxes, "serials", joinCommaText(serialsList_));
    for (const auto& record : cashboxList_) {
        const std::string& section = record->serial;
        for (const auto& key : kTextKeys) {
            file_.writeString(section, key.name, (*record).*key.member);
        }
        file_.writeBool(section, kAutostartKey, record->autostart);
    }
}

std::string AppSettings::token() const {
    std::lock_guard lock(mutex_);
    return token_;
}

void AppSettings::setToken(const std::string& token) {
    std::lock_guard lock(mutex_);
    token_ = token;
}

bool AppSettings::systemTestMode() const {
    std::lock_guard lock(mutex_);
    return systemTestMode_;
}

bool AppSettings::keepVersion() const {
    std::lock_guard lock(mutex_);
    return keepVersion_;
}

bool AppSettings::clientLog() const {
    std::lock_guard lock(mutex_);
    return clientLog_;
}

void AppSettings::setClientLog(bool on) {
    std::lock_guard lock(mutex_);
    clientLog_ = on;
}

std::optional<bool> AppSettings::runAtLogin() const {
    std::lock_guard lock(mutex_);
    return runAtLogin_;
}

void AppSettings::setRunAtLogin(bool on) {
    std::lock_guard lock(mutex_);
    file_.writeBool(kClient, kRunAtLoginKey, on);
    runAtLogin_ = on;
}

std::string AppSettings::systemTestUrl() const {
    std::lock_guard lock(mutex_);
    return systemTestUrl_;
}

std::string AppSettings::registerDriver() const {
    std::lock_guard lock(mutex_);
    return registerDriver_;
}

CashBoxSettingsPtr AppSettings::getCashboxSettings(const std::string& serial) const {
    std::lock_guard lock(mutex_);
    for (auto it = cashboxList_.rbegin(); it != cashboxList_.rend(); ++it) {
        if ((*it)->serial == serial)
            return *it;
    }
    return nullptr;
}

void AppSettings::setCashboxSettings(const CashBoxSettingsPtr& cashboxsettings) {
    if (!cashboxsettings)
        return;
    std::lock_guard lock(mutex_);
    for (auto it = cashboxList_.rbegin(); it != cashboxList_.rend(); ++it) {
        if ((*it)->serial == cashboxsettings->serial) {
            *it = cashboxsettings;
            return;
        }
    }
    cashboxList_.push_back(cashboxsettings);
    serialsList_.push_back(cashboxsettings->serial);
}

void AppSettings::editCashbox(const CashBoxSettingsPtr& record,
                              const std::function<void(CashboxSettings&)>& change) {
    if (!record)
        return;
    std::lock_guard lock(mutex_);
    change(*record);
}

CashboxSettings AppSettings::readCashbox(const CashBoxSettingsPtr& record) const {
    std::lock_guard lock(mutex_);
    return record ? *record : CashboxSettings{};
}

std::vector<std::string> AppSettings::serials() const {
    std::lock_guard lock(mutex_);
    return serialsList_;
}

std::vector<CashboxSettings> AppSettings::cashboxes() const {
    std::lock_guard lock(mutex_);
    std::vector<CashboxSettings> out;
    for (const auto& r : cashboxList_)
        out.push_back(*r);
    return out;
}

}  // namespace th
