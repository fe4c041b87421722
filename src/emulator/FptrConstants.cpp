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
        case ErrorCode::connectionClosed:
            return "Соединение с ККТ не установлено";
        case ErrorCode::badParameter:
            return "Неверное значение параметра";
        case ErrorCode::noConnection:
            return "Нет связи с ККТ";
        case ErrorCode::unsupportedDataType:
            return "Неподдерживаемый тип запроса";
        case ErrorCode::shiftClosed:
            return "Смена закрыта - операция невозможна";
        case ErrorCode::shiftOpened:
            return "Смена открыта - операция невозможна";
        case ErrorCode::shiftExpired:
            return "Смена превысила 24 часа";
        case ErrorCode::noPaper:
            return "Нет бумаги";
        case ErrorCode::coverOpened:
            return "Открыта крышка";
        case ErrorCode::blocked:
            return "ККТ заблокирована";
        case ErrorCode::noFn:
            return "ФН отсутствует";
        case ErrorCode::notFiscal:
            return "ККТ не зарегистрирована";
        case ErrorCode::invalidJson:
            return "Задание не является корректным JSON";
        case ErrorCode::unknownTask:
            return "Неизвестный тип задания";
        case ErrorCode::invalidTask:
            return "Некорректное задание";
        case ErrorCode::positionAmount:
            return "Стоимость позиции не равна произведению цены на количество";
        case ErrorCode::receiptTotal:
            return "Итог чека не совпадает с суммой позиций";
        case ErrorCode::notEnoughPayment:
            return "Недостаточно оплаты для закрытия чека";
        case ErrorCode::changeFromNonCash:
            return "Сумма безналичных оплат превышает сумму чека";
        case ErrorCode::taxSum:
            return "Неверная сумма налога";
    }
    return "Неизвестная ошибка";
}

}  // namespace th::fptr
