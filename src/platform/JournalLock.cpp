#include "platform/JournalLock.h"

#include <pwd.h>
#include <unistd.h>

#include <sstream>

namespace th {

namespace {

std::string userName(uid_t uid) {
    passwd entry{};
    passwd* found = nullptr;
    char buffer[1024];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found)
        return found->pw_name;
    return std::to_string(uid);
}

std::string holderContent() {
    return "pid=" + std::to_string(::getpid()) + "\nuser=" + userName(::geteuid()) + "\n";
}

}  // namespace

JournalLock::JournalLock(std::filesystem::path journalFile)
    : journalFile_(std::move(journalFile)) {}

std::filesystem::path JournalLock::path() const {
    auto lockFile = journalFile_;
    lockFile += kSuffix;
    return lockFile;
}

LockOutcome JournalLock::tryAcquire() {
    if (lock_.held())
        return LockOutcome::Acquired;
    const LockOutcome outcome = lock_.tryLock(path());
    // Who holds the journal is a courtesy for a refused start; the lock itself is what counts.
    if (outcome == LockOutcome::Acquired)
        lock_.writeContent(holderContent());
    return outcome;
}

std::string JournalLock::refusalText(LockOutcome outcome) const {
    if (outcome == LockOutcome::Held) {
        std::string holder = describeJournalHolder(lock_.readContent());
        if (holder.empty())
            holder = "процесс неизвестен";
        return "Журнал заданий " + journalFile_.string() +
               " уже использует другая запущенная программа (" + holder +
               "). Программа завершается, чтобы документы не выполнялись дважды.";
    }
    return "Нет доступа к файлу блокировки журнала заданий " + path().string() + " (" +
           lock_.errorText() +
           "): журналом, возможно, пользуется другой пользователь. Программа завершается.";
}

std::string describeJournalHolder(const std::string& lockContent) {
    std::istringstream lines(lockContent);
    std::string line, pid, user;
    while (std::getline(lines, line)) {
        if (line.rfind("pid=", 0) == 0)
            pid = line.substr(4);
        else if (line.rfind("user=", 0) == 0)
            user = line.substr(5);
    }
    if (pid.empty())
        return {};
    return "процесс " + pid + (user.empty() ? "" : ", пользователь " + user);
}

}  // namespace th
