#include "platform/DataDir.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

#include "platform/FileModes.h"

namespace th {

namespace {

std::filesystem::path envPath(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? std::filesystem::path(value) : std::filesystem::path();
}

// $variable/tillhaven, else $HOME/fallbackUnderHome/tillhaven. Only absolute paths count (a
// relative XDG variable is ignored, as desktops treat one as unset): without
// them the files would land in whatever directory the program was started from.
std::filesystem::path xdgDir(const char* variable, const char* fallbackUnderHome) {
    if (auto dir = envPath(variable); dir.is_absolute())
        return dir / "tillhaven";
    const auto home = envPath("HOME");
    if (!home.is_absolute())
        throw DataDirError(kNoDataDirMessage);
    return home / fallbackUnderHome / "tillhaven";
}

std::filesystem::path installedJournalTemplate(const std::filesystem::path& exeDir) {
    return exeDir.parent_path() / "share" / "tillhaven" / "checks.db";
}

// A portable build keeps its files beside the executable (the build tree puts an empty
// journal there). An installed program has neither file beside it, and either cannot write
// there or comes with the installed journal template; the template counts for root, whom a
// read-only directory does not stop.
bool isInstalledLayout(const std::filesystem::path& exeDir) {
    std::error_code ec;
    if (std::filesystem::exists(exeDir / "settings.ini", ec) ||
        std::filesystem::exists(exeDir / "checks.db", ec))
        return false;
    return ::access(exeDir.c_str(), W_OK) != 0 ||
           std::filesystem::exists(installedJournalTemplate(exeDir), ec);
}

}  // namespace

std::filesystem::path executableDirectory() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return std::filesystem::current_path();
    return exe.parent_path();
}

DataPaths resolveDataPaths() {
    return resolveDataPaths(executableDirectory());
}

DataPaths resolveDataPaths(const std::filesystem::path& exeDir) {
    if (auto home = envPath("TILLHAVEN_HOME"); !home.empty())
        return {home, home};
    if (!isInstalledLayout(exeDir))
        return {exeDir, exeDir};
    return {xdgDir("XDG_CONFIG_HOME", ".config"), xdgDir("XDG_DATA_HOME", ".local/share"), true};
}

std::filesystem::path dataDirectory() {
    return resolveDataPaths().settingsDir;
}

void prepareInstalledDataPaths(const DataPaths& paths) {
    std::error_code ec;
    std::filesystem::create_directories(paths.settingsDir, ec);
    std::filesystem::create_directories(paths.journalDir, ec);
    if (!std::filesystem::exists(paths.settingsFile(), ec)) {
        int fd =
            ::open(paths.settingsFile().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0)
            ::close(fd);
    }
    if (!std::filesystem::exists(paths.journalFile(), ec)) {
        std::filesystem::copy_file(installedJournalTemplate(executableDirectory()),
                                   paths.journalFile(), ec);
        // The template is readable by everyone; the copy holds this user's receipts.
        restrictToOwner(paths.journalFile());
    }
}

}  // namespace th
