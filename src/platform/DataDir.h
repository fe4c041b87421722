#pragma once

#include <filesystem>

#include "platform/Errors.h"

namespace th {

// An installed program that cannot tell where its files belong.
TH_DECLARE_ERROR(DataDirError, Error);
inline constexpr const char* kNoDataDirMessage =
    "Не удалось найти каталог данных программы: переменная окружения HOME не задана. "
    "Задайте HOME или TILLHAVEN_HOME.";

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
// no settings.ini) uses $XDG_CONFIG_HOME/tillhaven and $XDG_DATA_HOME/tillhaven, by default
// under $HOME. An installed program without HOME (and without absolute XDG directories)
// raises DataDirError rather than use the current directory.
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
