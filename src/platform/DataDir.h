#pragma once

#include <filesystem>

namespace th {

// The directory of the running executable.
std::filesystem::path executableDirectory();

// Where settings.ini and checks.db live: $TILLHAVEN_HOME when set, otherwise the
// executable's directory.
std::filesystem::path dataDirectory();

}  // namespace th
