#include "platform/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace th {

FileLock::~FileLock() {
    release();
}

LockOutcome FileLock::tryLock(const std::filesystem::path& path) {
    release();
    errorText_.clear();
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        errorText_ = std::strerror(errno);
        return LockOutcome::Unavailable;
    }
    fd_ = fd;
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            return LockOutcome::Held;
        errorText_ = std::strerror(errno);
        return LockOutcome::Unavailable;
    }
    held_ = true;
    return LockOutcome::Acquired;
}

void FileLock::release() {
    if (fd_ < 0)
        return;
    if (held_)
        ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
    held_ = false;
}

bool FileLock::writeContent(const std::string& text) {
    if (!held_ || ::ftruncate(fd_, 0) != 0)
        return false;
    return ::pwrite(fd_, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
}

std::string FileLock::readContent() const {
    if (fd_ < 0)
        return {};
    std::string text;
    char buffer[256];
    for (off_t offset = 0; text.size() < 4096;) {
        const ssize_t got = ::pread(fd_, buffer, sizeof buffer, offset);
        if (got <= 0)
            break;
        text.append(buffer, static_cast<size_t>(got));
        offset += got;
    }
    return text;
}

}  // namespace th
