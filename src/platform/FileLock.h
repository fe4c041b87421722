#pragma once

#include <filesystem>
#include <string>

namespace th {

// What an attempt to take an exclusive lock file ended with.
enum class LockOutcome {
    Acquired,     // this process holds it now
    Held,         // another process holds it
    Unavailable,  // the file cannot be opened or made: nobody can tell who holds it
};

// An exclusive flock on one file, held until released or until the process ends, however it
// ends: the kernel releases it then.
class FileLock {
public:
    FileLock() = default;
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Opens (and makes, owner-only) the file and tries the lock without waiting. The error of
    // a failed open is kept for errorText().
    LockOutcome tryLock(const std::filesystem::path& path);
    void release();
    bool held() const { return held_; }
    // Replaces the file's content (the holder's description); false when it cannot be written.
    bool writeContent(const std::string& text);
    // The file's content, as the holder wrote it; empty when nothing can be read.
    std::string readContent() const;
    const std::string& errorText() const { return errorText_; }

private:
    int fd_ = -1;
    bool held_ = false;
    std::string errorText_;
};

}  // namespace th
