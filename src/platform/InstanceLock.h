#pragma once

#include <filesystem>
#include <string>

#include "platform/FileLock.h"

namespace th {

inline constexpr const char* kInstanceLockName = "tillhaven_mutex";

// One instance per user: an exclusive flock on a file named like the lock in the user's
// runtime directory, or, when that directory is unset or unusable, in the program's data
// directory. The kernel releases it when the process dies, however it dies.
class InstanceLock {
public:
    explicit InstanceLock(std::filesystem::path dataDir, std::string name = kInstanceLockName);
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Acquired when this process now holds the lock, Held when another process holds it,
    // Unavailable when no lock file can be made anywhere (then nothing was checked).
    LockOutcome tryAcquire();
    void release() { lock_.release(); }
    // Where the lock was found (held or taken); the runtime directory's before any attempt.
    std::filesystem::path path() const { return path_; }
    // The running program's local socket for later starts (InstanceDoor), beside the lock.
    std::filesystem::path socketPath() const;
    // Why the lock could not be made, for the user.
    std::string unavailableText() const;

private:
    std::filesystem::path dataDir_;
    std::string name_;
    std::filesystem::path path_;
    std::string lastError_;
    FileLock lock_;
};

}  // namespace th
