#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dispatcher/Messages.h"
#include "platform/Dialogs.h"
#include "platform/Errors.h"
#include "platform/Json.h"

namespace th {

class CashboxDriver;
class DispatcherClient;

// An action of the cashbox window that cannot run as the window stands (no driver).
TH_DECLARE_ERROR(CashboxError, Error);

inline constexpr const char* kNoDriverSelected = "Драйвер не выбран";
inline constexpr const char* kRegisterFound = "Касса найдена! Сохраните настройки";
inline constexpr const char* kDriverVersionPrefix = "Установленная версия драйвера: ";

// Texts of the connection panel of the cashbox window's status bar.
inline constexpr const char* kPanelConnected = "ККТ на связи";
inline constexpr const char* kPanelNotConnected = "Соединение с ККТ не установлено";
inline constexpr const char* kPanelReconnecting = "Попытка восстановления связи с ккт";

// One message box about the register's state after a connection.
struct StateWarning {
    BoxKind kind;
    std::string text;
    bool operator==(const StateWarning&) const = default;
};

// The Boolean at a dotted path; nullopt when the path is missing or holds another type.
std::optional<bool> getJSONValueAsBoolean(const Json& value, std::string_view path);

// Runs the four identity tasks on the register in their fixed order. Raises DriverError
// "Нет связи с кассой" at the first task without an answer; the tasks after it do not run.
CashboxReport readCashboxReport(CashboxDriver& driver, const std::string& driverName);

// The warnings a "getDeviceStatus" answer calls for, in the order they are shown. A flag
// that is missing or not a Boolean (a refusal such as {"error": ...} has none) warns about
// nothing: the register's state is unknown, not bad.
std::vector<StateWarning> stateWarnings(const Json& deviceStatus);

// The state check after every connection: the four tasks, the "cashbox" report through the
// given (shared) client, waiting for its answer without examining it, and the warnings to
// show. Errors of the tasks and of the request end the check before any warning.
std::vector<StateWarning> checkRegisterState(CashboxDriver& driver, const std::string& driverName,
                                             DispatcherClient& sharedClient);

}  // namespace th
