#include "cashbox/CashboxConnection.h"

#include "dispatcher/DispatcherClient.h"
#include "drivers/CashboxDriver.h"

namespace th {

namespace {

// A condition on the status answer: the flag at path must read as expected; a flag that
// cannot be read never holds.
struct FlagCondition {
    const char* path;
    bool expected;
};

bool holds(const Json& status, const FlagCondition& condition) {
    const std::optional<bool> flag = getJSONValueAsBoolean(status, condition.path);
    return flag && *flag == condition.expected;
}

struct WarningRule {
    FlagCondition condition;
    std::optional<FlagCondition> alsoRequired;
    BoxKind kind;
    const char* text;
};

// Fiscal storage that is absent cannot be unfiscalised: its own state is read only when
// it is present.
const WarningRule kWarningRules[] = {
    {{"deviceStatus.blocked", true}, std::nullopt, BoxKind::Error, "Касса заблокирована"},
    {{"deviceStatus.coverOpened", true}, std::nullopt, BoxKind::Warning, "Проверьте крышку кассы"},
    {{"deviceStatus.fiscal", false},
     std::nullopt,
     BoxKind::Warning,
     "Касса не зарегистрирована в ФНС"},
    {{"deviceStatus.fnPresent", false},
     std::nullopt,
     BoxKind::Warning,
     "фискальный накопитель отсутствует"},
    {{"deviceStatus.fnFiscal", false},
     FlagCondition{"deviceStatus.fnPresent", true},
     BoxKind::Warning,
     "ФН не фискализирован"},
    {{"deviceStatus.paperPresent", false},
     std::nullopt,
     BoxKind::Warning,
     "В кассе отсутствует чековая лента"},
};

}  // namespace

std::optional<bool> getJSONValueAsBoolean(const Json& value, std::string_view path) {
    return boolAt(value, path);
}

CashboxReport readCashboxReport(CashboxDriver& driver, const std::string& driverName) {
    CashboxReport report;
    report.driver = driverName;
    report.deviceInfo = runRegisterTask(driver, "getDeviceInfo");
    report.deviceStatus = runRegisterTask(driver, "getDeviceStatus");
    report.fnInfo = runRegisterTask(driver, "getFnInfo");
    report.registration = runRegisterTask(driver, "getRegistrationInfo");
    return report;
}

std::vector<StateWarning> stateWarnings(const Json& deviceStatus) {
    std::vector<StateWarning> warnings;
    for (const WarningRule& rule : kWarningRules) {
        if (!holds(deviceStatus, rule.condition))
            continue;
        if (rule.alsoRequired && !holds(deviceStatus, *rule.alsoRequired))
            continue;
        warnings.push_back({rule.kind, rule.text});
    }
    return warnings;
}

std::vector<StateWarning> checkRegisterState(CashboxDriver& driver, const std::string& driverName,
                                             DispatcherClient& sharedClient) {
    const CashboxReport report = readCashboxReport(driver, driverName);
    sharedClient.executeDelay(kCommandCashbox, cashboxRequest(report, false));
    return stateWarnings(report.deviceStatus);
}

}  // namespace th
