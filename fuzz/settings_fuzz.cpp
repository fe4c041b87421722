// settings.ini as a person or a broken disk may leave it: load, save and load again must
// never crash, a save must keep the switches only a person sets, and the register list
// must come back as long as it fits the value limit.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "FuzzDir.h"
#include "settings/AppSettings.h"

namespace {

const std::filesystem::path& workDir() {
    static const std::filesystem::path dir = th::fuzz::makeWorkDir("settings");
    return dir;
}

void check(bool holds) {
    if (!holds)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto& dir = workDir();
    th::fuzz::writeFile(dir / "settings.ini",
                        std::string(reinterpret_cast<const char*>(data), size));
    th::AppSettings first(dir);
    try {
        first.save();
    } catch (const th::SettingsError&) {
        return 0;
    }
    th::AppSettings second(dir);
    check(second.systemTestMode() == first.systemTestMode());
    check(second.keepVersion() == first.keepVersion());
    check(second.clientLog() == first.clientLog());
    if (th::joinCommaText(first.serials()).size() <= th::ProfileFile::kMaxValue)
        check(second.serials().size() == first.serials().size());
    second.save();
    return 0;
}
