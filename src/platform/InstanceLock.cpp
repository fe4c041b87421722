#include "platform/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace th {

InstanceLock::InstanceLock(std::string name) : name_(std::move(name)) {}

InstanceLock::~InstanceLock() {
    release();
}

std::filesystem::path InstanceLock::path() const {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        return std::filesystem::path(runtime) / name_;
    }
    auto dir = std::filesystem::temp_directory_path() / ("tillhaven-" + std::to_string(getuid()));
    ::mkdir(dir.c_str(), 0700);
    return dir / name_;
}

std::filesystem::path InstanceLock::socketPath() const {
    auto socket = path();
    socket += ".socket";
    return socket;
}

bool InstanceLock::tryAcquire() {
    if (fd_ >= 0)
        return true;
    int fd = ::open(path().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    // Without a lock file the guard cannot work; running beats refusing to sell.
    if (fd < 0)
        return true;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

void InstanceLock::release() {
    if (fd_ >= 0) {
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace th
