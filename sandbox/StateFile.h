#pragma once

#include "platform/Json.h"

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace th::sandbox {

// The sandbox's state file. A missing file is no error; an unreadable or broken one is
// (SandboxDataError), so that a typo never silently replaces a saved state.
std::optional<Json> loadStateFile(const std::filesystem::path& path);
// Writes a temporary file beside the target, flushes it to disk and renames it over the
// target, so a crash leaves either the old or the new state. Throws SandboxDataError.
void saveStateFile(const std::filesystem::path& path, const Json& state);

// Saves the state in the background after changes, at most every `pause`, and once more
// when it stops: requests never wait for the disk.
class StateSaver {
public:
    using Snapshot = std::function<Json()>;
    using ErrorSink = std::function<void(const std::string&)>;

    StateSaver(std::filesystem::path path, Snapshot snapshot, ErrorSink onError,
               std::chrono::milliseconds pause = std::chrono::milliseconds(250));
    ~StateSaver();
    StateSaver(const StateSaver&) = delete;
    StateSaver& operator=(const StateSaver&) = delete;

    void markChanged();
    // Writes now, in the calling thread; false when the write failed.
    bool saveNow();
    void stop();

private:
    void run();

    std::filesystem::path path_;
    Snapshot snapshot_;
    ErrorSink onError_;
    std::chrono::milliseconds pause_;
    std::mutex mutex_;
    std::mutex writeMutex_;
    std::condition_variable wake_;
    bool dirty_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace th::sandbox
