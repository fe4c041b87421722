#pragma once

// Device access as an ordinary user sees it, on a machine where the tests run as root: a
// pseudo-terminal stands in for a register's serial device, and the code under test runs in
// a forked child that dropped to the unprivileged uid and gid 65534.

#include <fcntl.h>
#include <grp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace th::test {

inline constexpr uid_t kUnprivilegedId = 65534;

// Root can hand devices to another user and drop to one; an ordinary user can do neither.
inline bool canDropPrivileges() {
    return ::geteuid() == 0;
}

// A pseudo-terminal's device, open for as long as the object lives.
class PseudoTerminal {
public:
    PseudoTerminal() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0)
            path_ = ::ptsname(master_);
    }
    ~PseudoTerminal() {
        if (master_ >= 0)
            ::close(master_);
    }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The device's group and mode, as a udev rule would set them.
    bool setAccess(gid_t group, mode_t mode) const {
        return ::chown(path_.c_str(), 0, group) == 0 && ::chmod(path_.c_str(), mode) == 0;
    }

private:
    int master_ = -1;
    std::filesystem::path path_;
};

// The id of a group of the system, such as "dialout".
inline std::optional<gid_t> groupId(const char* name) {
    if (const group* g = ::getgrnam(name))
        return g->gr_gid;
    return std::nullopt;
}

// Runs work in a forked child as uid and gid 65534 without supplementary groups, and
// returns the text it produced; nullopt when the child could not drop its privileges or
// did not end normally.
inline std::optional<std::string> runUnprivileged(const std::function<std::string()>& work) {
    int fds[2];
    if (::pipe(fds) != 0)
        return std::nullopt;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        if (::setgroups(0, nullptr) != 0 ||
            ::setresgid(kUnprivilegedId, kUnprivilegedId, kUnprivilegedId) != 0 ||
            ::setresuid(kUnprivilegedId, kUnprivilegedId, kUnprivilegedId) != 0)
            ::_exit(2);
        const std::string text = work();
        const char* at = text.data();
        size_t left = text.size();
        while (left > 0) {
            const ssize_t written = ::write(fds[1], at, left);
            if (written <= 0)
                ::_exit(3);
            at += written;
            left -= static_cast<size_t>(written);
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string text;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(fds[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(got));
    ::close(fds[0]);
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return std::nullopt;
    return text;
}

}  // namespace th::test
