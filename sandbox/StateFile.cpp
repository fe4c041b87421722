#include "StateFile.h"

#include "SandboxState.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace th::sandbox {

namespace {

std::string systemError(const std::string& what, const std::filesystem::path& path) {
    return what + " " + path.string() + ": " + std::strerror(errno);
}

void writeAll(int fd, const std::string& text, const std::filesystem::path& path) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw SandboxDataError(systemError("cannot write", path));
        done += static_cast<size_t>(n);
    }
}

}  // namespace

std::optional<Json> loadStateFile(const std::filesystem::path& path) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec))
        return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw SandboxDataError(systemError("cannot read the state file", path));
    std::stringstream text;
    text << in.rdbuf();
    auto state = parseJson(text.str());
    if (!state)
        throw SandboxDataError("the state file " + path.string() + " is not JSON");
    return state;
}

void saveStateFile(const std::filesystem::path& path, const Json& state) {
    std::filesystem::path temporary = path;
    temporary += ".tmp";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw SandboxDataError(systemError("cannot create", temporary));
    try {
        writeAll(fd, state.dump(1, '\t', false, Json::error_handler_t::replace) + "\n", temporary);
        if (::fsync(fd) != 0)
            throw SandboxDataError(systemError("cannot flush", temporary));
    } catch (...) {
        ::close(fd);
        ::unlink(temporary.c_str());
        throw;
    }
    ::close(fd);
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        std::string message = systemError("cannot replace", path);
        ::unlink(temporary.c_str());
        throw SandboxDataError(message);
    }
}

StateSaver::StateSaver(std::filesystem::path path, Snapshot snapshot, ErrorSink onError,
                       std::chrono::milliseconds pause)
    : path_(std::move(path)),
      snapshot_(std::move(snapshot)),
      onError_(std::move(onError)),
      pause_(pause),
      thread_([this] { run(); }) {}

StateSaver::~StateSaver() {
    stop();
}

void StateSaver::markChanged() {
    {
        std::lock_guard lock(mutex_);
        dirty_ = true;
    }
    wake_.notify_one();
}

bool StateSaver::saveNow() {
    std::lock_guard write(writeMutex_);
    {
        std::lock_guard lock(mutex_);
        dirty_ = false;
    }
    try {
        saveStateFile(path_, snapshot_());
        return true;
    } catch (const std::exception& e) {
        if (onError_)
            onError_(e.what());
        return false;
    }
}

void StateSaver::run() {
    std::unique_lock lock(mutex_);
    while (true) {
        wake_.wait(lock, [this] { return dirty_ || stopping_; });
        if (stopping_)
            break;
        lock.unlock();
        saveNow();
        lock.lock();
        // Changes made during the pause are saved together afterwards.
        wake_.wait_for(lock, pause_, [this] { return stopping_; });
    }
}

void StateSaver::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return;
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
    saveNow();
}

}  // namespace th::sandbox
