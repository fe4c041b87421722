#include "emulator/FptrConstants.h"

#include <array>
#include <utility>

namespace th::fptr {

namespace {

constexpr std::array<std::pair<std::string_view, std::int64_t>, 13> kConstants{{
    {"LIBFPTR_SETTING_MODEL", kSettingModel},
    {"LIBFPTR_MODEL_ATOL_AUTO", kModelAtolAuto},
    {"LIBFPTR_SETTING_PORT", kSettingPort},
    {"LIBFPTR_PORT_USB", kPortUsb},
    {"LIBFPTR_PORT_COM", kPortCom},
    {"LIBFPTR_SETTING_COM_FILE", kSettingComFile},
    {"LIBFPTR_SETTING_BAUDRATE", kSettingBaudrate},
    {"LIBFPTR_PORT_BR_115200", kPortBr115200},
    {"LIBFPTR_PARAM_DATA_TYPE", kParamDataType},
    {"LIBFPTR_DT_STATUS", kDtStatus},
    {"LIBFPTR_PARAM_SERIAL_NUMBER", kParamSerialNumber},
    {"LIBFPTR_PARAM_MODEL_NAME", kParamModelName},
    {"LIBFPTR_PARAM_JSON_DATA", kParamJsonData},
}};

}  // namespace

std::optional<std::int64_t> constantByName(std::string_view name) {
    for (const auto& [constantName, value] : kConstants) {
        if (constantName == name) {
            return value;
        }
    }
    return std::nullopt;
}

const char* errorText(ErrorCode code) {
    switch (code) {
        case ErrorCode::ok:
            return "Ошибок нет";
        case ErrorCode::connectionDisabled:
            return "Соединение не установлено";
        case ErrorCode::noConnection:
            return "Нет связи";
        case ErrorCode::portNotAvailable:
            return "Порт недоступен";
        case ErrorCode::invalidSettings:
            return "Некорректные настройки";
        case ErrorCode::invalidParam:
            return "Некорректное значение параметра";
        case ErrorCode::positionAmount:
            return "Неверная цена (сумма)";
        case ErrorCode::blocked:
            return "Вход в режим заблокирован";
        case ErrorCode::noPaper:
            return "Нет бумаги";
        case ErrorCode::coverOpened:
            return "Открыта крышка";
        case ErrorCode::changeFromNonCash:
            return "Сумма не наличных платежей превышает сумму чека";
        case ErrorCode::notEnoughPayment:
            return "Чек оплачен не полностью";
        case ErrorCode::shiftExpired:
            return "Смена превысила 24 часа";
        case ErrorCode::shiftClosed:
            return "Смена закрыта - операция невозможна";
        case ErrorCode::shiftOpened:
            return "Смена открыта, операция невозможна";
        case ErrorCode::notFiscal:
            return "ККТ не зарегистрирована";
        case ErrorCode::noFn:
            return "ФН не найден";
        case ErrorCode::receiptTotal:
            return "Неверный итог чека";
        case ErrorCode::taxSum:
            return "Некорректная сумма налога";
        case ErrorCode::invalidTask:
            return "Ошибка парсинга запроса";
    }
    return "Неизвестная ошибка";
}

}  // namespace th::fptr
