#include "RecordingFptr.h"

#include <map>

namespace th::test {

namespace {

const std::map<std::string, std::int64_t>& constants() {
    static const std::map<std::string, std::int64_t> table = {
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
        {"LIBFPTR_PARAM_JSON_DATA", kParamJsonData},
    };
    return table;
}

std::string render(const Variant& v) {
    if (auto* s = std::get_if<std::string>(&v)) {
        return "\"" + *s + "\"";
    }
    if (auto* b = std::get_if<bool>(&v)) {
        return *b ? "true" : "false";
    }
    return variantText(v);
}

std::string render(const std::string& member, const std::vector<Variant>& args) {
    if (args.empty()) {
        return member;
    }
    std::string text = member + "(";
    for (size_t i = 0; i < args.size(); ++i) {
        text += (i ? "," : "") + render(args[i]);
    }
    return text + ")";
}

void expectArgs(const std::vector<Variant>& args, size_t count) {
    if (args.size() != count) {
        throw AutomationError("Неверное число параметров");
    }
}

}  // namespace

Variant RecordingFptr::invoke(const std::string& member, const std::vector<Variant>& args) {
    script_->trace.push_back(render(member, args));
    if (script_->failing.count(member)) {
        throw AutomationError("Сбой " + member);
    }
    return answer(member, args);
}

Variant RecordingFptr::answer(const std::string& member, const std::vector<Variant>& args) {
    FptrScript& s = *script_;
    if (auto it = constants().find(member); it != constants().end()) {
        expectArgs(args, 0);
        return it->second;
    }
    if (member == "isOpened") {
        expectArgs(args, 0);
        return s.opened;
    }
    if (member == "open") {
        s.opened = s.openSucceeds;
        return std::int64_t{s.openSucceeds ? 0 : -1};
    }
    if (member == "close") {
        s.opened = false;
        return std::int64_t{0};
    }
    if (member == "beep" || member == "applySingleSettings" || member == "queryData") {
        return std::int64_t{0};
    }
    if (member == "setSingleSetting" || member == "setParam") {
        expectArgs(args, 2);
        return {};
    }
    if (member == "getParamString") {
        expectArgs(args, 1);
        return variantInt(args[0]) == kParamSerialNumber ? s.serial : s.answer;
    }
    if (member == "processJson") {
        return s.processResult;
    }
    if (member == "errorCode") {
        return s.errorCode;
    }
    if (member == "errorDescription") {
        return s.errorDescription;
    }
    if (member == "version") {
        return s.version;
    }
    throw AutomationError("Неизвестное имя.");
}

void serveRecordingFptr(AutomationRegistry& registry, std::shared_ptr<FptrScript> script) {
    registry.registerProgId(kFptrProgId,
                            [script] { return std::make_unique<RecordingFptr>(script); });
}

}  // namespace th::test
