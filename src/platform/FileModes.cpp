#include "platform/FileModes.h"

#include <system_error>

#include "platform/DataDir.h"
#include "platform/ProblemLog.h"

namespace th {

void restrictToOwner(const std::filesystem::path& file) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec))
        return;
    std::filesystem::permissions(
        file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
        std::filesystem::perm_options::replace, ec);
}

void restrictDataFiles(const DataPaths& paths) {
    const std::filesystem::path journal = paths.journalFile();
    const std::filesystem::path log = paths.settingsDir / ProblemLog::kFileName;
    for (const std::filesystem::path& file :
         {journal, std::filesystem::path(journal.string() + "-wal"),
          std::filesystem::path(journal.string() + "-shm"), log,
          std::filesystem::path(log.string() + ".1")})
        restrictToOwner(file);
}

}  // namespace th
