#pragma once

#include <filesystem>
#include <string>

namespace th {

// One instance per user: an exclusive flock on a file named like the lock in the user's
// runtime directory. The kernel releases it when the process dies, however it dies.
class InstanceLock {
public:
    explicit InstanceLock(std::string name = "tillhaven_mutex");
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // True when this process now holds the lock; false when another process holds it.
    bool tryAcquire();
    void release();
    std::filesystem::path path() const;
    // The running program's local socket for later starts (InstanceDoor), beside the lock.
    std::filesystem::path socketPath() const;

private:
    std::string name_;
    int fd_ = -1;
};

}  // namespace th
