// The fuzz targets' working directory and file helper.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace th::fuzz {

// Under $TILLHAVEN_FUZZ_DIR (scripts/fuzz makes one and removes it afterwards), else on
// tmpfs when there is one: the journal and the settings sync every write, which on a disk
// would leave the fuzzer waiting for it most of the time.
inline std::filesystem::path makeWorkDir(const char* name) {
    std::error_code ec;
    const char* chosen = std::getenv("TILLHAVEN_FUZZ_DIR");
    const std::filesystem::path base = chosen && *chosen ? std::filesystem::path(chosen)
                                       : std::filesystem::is_directory("/dev/shm", ec) ? "/dev/shm"
                                                                                       : "/tmp";
    std::string pattern = (base / (std::string("tillhaven-fuzz-") + name + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr)
        std::abort();
    return pattern;
}

inline void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

}  // namespace th::fuzz
