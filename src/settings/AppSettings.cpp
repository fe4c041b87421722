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
    std::string TCashBoxSettings::*member;
};

constexpr TextKey kTextKeys[] = {
    {"Token", &TCashBoxSettings::Token},
    {"Address", &TCashBoxSettings::Address},
    {"Place", &TCashBoxSettings::Place},
    {"KKTSerial", &TCashBoxSettings::KKTSerial},
    {"KKTRegnum", &TCashBoxSettings::KKTRegnum},
    {"FSSerial", &TCashBoxSettings::FSSerial},
    {"OFDName", &TCashBoxSettings::OFDName},
    {"OFDinn", &TCashBoxSettings::OFDinn},
    {"AutomatSerial", &TCashBoxSettings::AutomatSerial},
    {"Driver", &TCashBoxSettings::Driver},
    {"ConnectionType", &TCashBoxSettings::ConnectionType},
    {"ComPort", &TCashBoxSettings::ComPort},
    {"BaudRate", &TCashBoxSettings::BaudRate},
    {"Bits", &TCashBoxSettings::Bits},
    {"StopBits", &TCashBoxSettings::StopBits},
    {"Parity", &TCashBoxSettings::Parity},
};

constexpr const char* kAutostartKey = "Autostart";

}  // namespace

TAppSettings::TAppSettings(std::filesystem::path directory)
    : file_(std::move(directory) / "settings.ini") {
    load();
}

void TAppSettings::load() {
    std::lock_guard lock(mutex_);
    FSerialsList.clear();
    FCashboxList.clear();
    FToken = file_.readString(kAuth, "token");
    FSystemTestMode = file_.readBool(kSystem, "TestMode");
    FKeepVersion = file_.readBool(kSystem, "KeepVersion");
    FClientLog = file_.readBool(kClient, "Log");
    FSerialsList = splitCommaText(file_.readString(kCashboxes, "serials"));
    FSystemTestUrl = file_.readString(kSystem, "TestUrl");
    FRegisterDriver = file_.readString(kSystem, "RegisterDriver");
    for (const auto& serial : FSerialsList) {
        auto record = std::make_shared<TCashBoxSettings>();
        for (const auto& key : kTextKeys) {
            (*record).*key.member = file_.readString(serial, key.name);
        }
        record->autostart = file_.readBool(serial, kAutostartKey);
        FCashboxList.push_back(record);
    }
}

void TAppSettings::save() {
    std::lock_guard lock(mutex_);
    file_.writeString(kAuth, "token", FToken);
    file_.writeBool(kClient, "Log", FClientLog);
    file_.writeString(kCashboxes, "serials", joinCommaText(FSerialsList));
    for (const auto& record : FCashboxList) {
        const std::string& section = record->KKTSerial;
        for (const auto& key : kTextKeys) {
            file_.writeString(section, key.name, (*record).*key.member);
        }
        file_.writeBool(section, kAutostartKey, record->autostart);
    }
}

std::string TAppSettings::Token() const {
    std::lock_guard lock(mutex_);
    return FToken;
}

void TAppSettings::setToken(const std::string& token) {
    std::lock_guard lock(mutex_);
    FToken = token;
}

bool TAppSettings::SystemTestMode() const {
    std::lock_guard lock(mutex_);
    return FSystemTestMode;
}

bool TAppSettings::KeepVersion() const {
    std::lock_guard lock(mutex_);
    return FKeepVersion;
}

bool TAppSettings::ClientLog() const {
    std::lock_guard lock(mutex_);
    return FClientLog;
}

void TAppSettings::setClientLog(bool on) {
    std::lock_guard lock(mutex_);
    FClientLog = on;
}

std::string TAppSettings::SystemTestUrl() const {
    std::lock_guard lock(mutex_);
    return FSystemTestUrl;
}

std::string TAppSettings::RegisterDriver() const {
    std::lock_guard lock(mutex_);
    return FRegisterDriver;
}

CashBoxSettingsPtr TAppSettings::getCashboxSettings(const std::string& serial) const {
    std::lock_guard lock(mutex_);
    for (auto it = FCashboxList.rbegin(); it != FCashboxList.rend(); ++it) {
        if ((*it)->KKTSerial == serial)
            return *it;
    }
    return nullptr;
}

void TAppSettings::setCashboxSettings(const CashBoxSettingsPtr& cashboxsettings) {
    if (!cashboxsettings)
        return;
    std::lock_guard lock(mutex_);
    for (auto it = FCashboxList.rbegin(); it != FCashboxList.rend(); ++it) {
        if ((*it)->KKTSerial == cashboxsettings->KKTSerial) {
            *it = cashboxsettings;
            return;
        }
    }
    FCashboxList.push_back(cashboxsettings);
    FSerialsList.push_back(cashboxsettings->KKTSerial);
}

void TAppSettings::editCashbox(const CashBoxSettingsPtr& record,
                               const std::function<void(TCashBoxSettings&)>& change) {
    if (!record)
        return;
    std::lock_guard lock(mutex_);
    change(*record);
}

TCashBoxSettings TAppSettings::readCashbox(const CashBoxSettingsPtr& record) const {
    std::lock_guard lock(mutex_);
    return record ? *record : TCashBoxSettings{};
}

std::vector<std::string> TAppSettings::serials() const {
    std::lock_guard lock(mutex_);
    return FSerialsList;
}

std::vector<TCashBoxSettings> TAppSettings::cashboxes() const {
    std::lock_guard lock(mutex_);
    std::vector<TCashBoxSettings> out;
    for (const auto& r : FCashboxList)
        out.push_back(*r);
    return out;
}

}  // namespace th
