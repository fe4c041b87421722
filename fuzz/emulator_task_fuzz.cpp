// Any text handed to the emulated register as LIBFPTR_PARAM_JSON_DATA: processJson must
// answer or refuse with an error code, never fail otherwise, and an answer is JSON.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "FuzzRig.h"
#include "emulator/FptrEmulator.h"

namespace {

struct EmulatorRig {
    std::filesystem::path dir = th::fuzz::makeWorkDir("emulator");
    std::shared_ptr<th::EmulatorBench> bench;
    std::unique_ptr<th::FptrEmulator> fptr;

    EmulatorRig() {
        th::fuzz::writeFile(dir / "emulator.json", R"({"registers": [{"serial": ")" +
                                                       std::string(th::fuzz::kSerial) +
                                                       R"(", "port": "USB"}]})");
        bench = std::make_shared<th::EmulatorBench>(dir);
        fptr = std::make_unique<th::FptrEmulator>(bench);
        fptr->invoke("setSingleSetting", {th::fptr::kSettingPort, th::Variant(th::fptr::kPortUsb)});
        fptr->invoke("applySingleSettings");
        if (fptr->invoke("open") != th::Variant(std::int64_t{0}))
            std::abort();
    }
};

EmulatorRig& rig() {
    static EmulatorRig shared;
    return shared;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int runs = 0;
    auto& emulator = rig();
    if (++runs % 2000 == 0) {
        std::error_code ec;
        std::filesystem::remove(emulator.dir / "emulator-log.jsonl", ec);
    }
    const std::string task(reinterpret_cast<const char*>(data), size);
    emulator.fptr->invoke("setParam", {th::fptr::kParamJsonData, th::Variant(task)});
    const th::Variant result = emulator.fptr->invoke("processJson");
    if (result == th::Variant(std::int64_t{0})) {
        const auto answer = emulator.fptr->invoke("getParamString", {th::fptr::kParamJsonData});
        if (!th::parseJson(th::variantText(answer)))
            std::abort();
    } else if (th::variantInt(emulator.fptr->invoke("errorCode")) == 0) {
        std::abort();  // a refusal must say why
    }
    return 0;
}
