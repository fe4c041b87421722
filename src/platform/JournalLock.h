#pragma once

#include <filesystem>
#include <string>

#include "platform/FileLock.h"

namespace th {

// The task journal belongs to one process: an exclusive flock on a file beside it
// (checks.db.lock), taken before any register works and held for the life of the process.
// The holder writes its process id and user into the file, so that a start it turns away
// can say who holds the journal. Any user's second program on the same journal is refused,
// also when the instance lock did not see it (another user, another runtime directory).
class JournalLock {
public:
    static constexpr const char* kSuffix = ".lock";

    explicit JournalLock(std::filesystem::path journalFile);
    JournalLock(const JournalLock&) = delete;
    JournalLock& operator=(const JournalLock&) = delete;

    LockOutcome tryAcquire();
    std::filesystem::path path() const;
    // After a refusal (Held or Unavailable): the message for the user.
    std::string refusalText(LockOutcome outcome) const;

private:
    std::filesystem::path journalFile_;
    FileLock lock_;
};

// "процесс 1234, пользователь kassa" from a lock file's content; empty when it names nobody.
std::string describeJournalHolder(const std::string& lockContent);

}  // namespace th
