#pragma once

#include <filesystem>

namespace th {

// The directory of the running executable.
std::filesystem::path executableDirectory();

// Where the program keeps its files.
struct DataPaths {
    std::filesystem::path settingsDir;  // settings.ini, emulator.json
    std::filesystem::path journalDir;   // checks.db
    bool installed = false;             // the XDG layout of an installed program
    std::filesystem::path settingsFile() const { return settingsDir / "settings.ini"; }
    std::filesystem::path journalFile() const { return journalDir / "checks.db"; }
};

// $TILLHAVEN_HOME when set (both files there). Otherwise the executable's directory, as a
// portable build keeps them; but an installed program (its directory not writable and holding
// no settings.ini) uses $XDG_CONFIG_HOME/tillhaven and $XDG_DATA_HOME/tillhaven.
DataPaths resolveDataPaths();
// The same for a program whose executable lies in exeDir.
DataPaths resolveDataPaths(const std::filesystem::path& exeDir);

// The directory of settings.ini (see resolveDataPaths).
std::filesystem::path dataDirectory();

// For an installed program: creates the XDG directories, an empty settings.ini readable by
// the owner only, and copies the installed empty journal template when none is there yet.
// The program itself never creates a journal; this is the installation's first-run step.
void prepareInstalledDataPaths(const DataPaths& paths);

}  // namespace th
