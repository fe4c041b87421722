// settings.ini as a person or a broken disk may leave it: load, save and load again must
// never crash, and what was saved must load again with the same token.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "settings/AppSettings.h"

namespace {

std::filesystem::path workDir() {
    static const std::filesystem::path dir = [] {
        std::string pattern = "/tmp/tillhaven-fuzz-settings-XXXXXX";
        return std::filesystem::path(::mkdtemp(pattern.data()));
    }();
    return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto dir = workDir();
    {
        std::ofstream out(dir / "settings.ini", std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    th::TAppSettings first(dir);
    try {
        first.save();
    } catch (const th::SettingsError&) {
        return 0;
    }
    th::TAppSettings second(dir);
    th::TAppSettings third(dir);
    if (second.Token() != third.Token() || second.ClientLog() != third.ClientLog()) std::abort();
    third.save();
    return 0;
}
