#include "platform/InstanceLock.h"

#include <cstdlib>
#include <system_error>
#include <vector>

namespace th {

namespace {

// The user's runtime directory, when it names a directory that exists.
std::filesystem::path runtimeDirectory() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || !*runtime)
        return {};
    std::error_code ec;
    return std::filesystem::is_directory(runtime, ec) ? std::filesystem::path(runtime)
                                                      : std::filesystem::path();
}

}  // namespace

InstanceLock::InstanceLock(std::filesystem::path dataDir, std::string name)
    : dataDir_(std::move(dataDir)), name_(std::move(name)) {
    const auto runtime = runtimeDirectory();
    path_ = (runtime.empty() ? dataDir_ : runtime) / name_;
}

std::filesystem::path InstanceLock::socketPath() const {
    auto socket = path_;
    socket += ".socket";
    return socket;
}

// The first directory where the lock file can be made decides; a start that can make it
// nowhere is not let through unchecked.
LockOutcome InstanceLock::tryAcquire() {
    if (lock_.held())
        return LockOutcome::Acquired;
    std::vector<std::filesystem::path> candidates;
    if (auto runtime = runtimeDirectory(); !runtime.empty())
        candidates.push_back(runtime / name_);
    if (!dataDir_.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(dataDir_, ec);
        candidates.push_back(dataDir_ / name_);
    }
    for (const auto& candidate : candidates) {
        const LockOutcome outcome = lock_.tryLock(candidate);
        if (outcome != LockOutcome::Unavailable) {
            path_ = candidate;
            return outcome;
        }
        path_ = candidate;
        lastError_ = lock_.errorText();
    }
    return LockOutcome::Unavailable;
}

std::string InstanceLock::unavailableText() const {
    return "Не удалось проверить, не запущена ли программа уже: файл блокировки " + path_.string() +
           " не создаётся (" + (lastError_.empty() ? "нет каталога данных" : lastError_) +
           "). Программа завершается.";
}

}  // namespace th
