#include "platform/DataDir.h"

#include <cstdlib>
#include <system_error>

namespace th {

std::filesystem::path executableDirectory() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return std::filesystem::current_path();
    return exe.parent_path();
}

std::filesystem::path dataDirectory() {
    if (const char* home = std::getenv("TILLHAVEN_HOME"); home && *home) {
        return std::filesystem::path(home);
    }
    return executableDirectory();
}

}  // namespace th
