#include "emulator/EmulatorBench.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace th {

namespace {

std::string systemFault(const std::filesystem::path& file, const char* action) {
    return std::string("Невозможно ") + action + " " + file.string() + ": " + std::strerror(errno);
}

// The whole file, or nullopt when it cannot be opened or read.
std::optional<std::string> readWholeFile(const std::filesystem::path& file) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string text;
    char buffer[16384];
    ssize_t got = 0;
    while ((got = ::read(fd, buffer, sizeof buffer)) != 0) {
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            ::close(fd);
            return std::nullopt;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return text;
}

bool writeAll(int fd, const std::string& data) {
    const char* next = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        ssize_t written = ::write(fd, next, left);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        next += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}

void writeFileAtomically(const std::filesystem::path& file, const std::string& data) {
    // Every writer holds the bench lock, so one fixed temporary name cannot be shared.
    std::filesystem::path temporary = file;
    temporary += ".tmp";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        throw EmulatorError(systemFault(temporary, "создать"));
    }
    // No fsync: the rename alone keeps the old or the new state for anyone who reads the
    // file after this process dies, which is all a stand-in register must survive. Flushing
    // the disk for every document would make the emulator cost as much as the journal's own
    // durable writes and hide them in every measurement.
    bool ok = writeAll(fd, data);
    std::string fault = ok ? "" : systemFault(temporary, "записать");
    ::close(fd);
    if (!ok) {
        ::unlink(temporary.c_str());
        throw EmulatorError(fault);
    }
    if (::rename(temporary.c_str(), file.c_str()) != 0) {
        fault = systemFault(file, "заменить");
        ::unlink(temporary.c_str());
        throw EmulatorError(fault);
    }
}

}  // namespace

EmulatorBench::EmulatorBench(std::filesystem::path dataDir) : dir_(std::move(dataDir)) {}

EmulatorBench::Session::Session(EmulatorBench& bench) : bench_(bench), lock_(bench.mutex_) {
    std::filesystem::path lockFile = bench.dir_ / "emulator.lock";
    lockFd_ = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd_ < 0) {
        throw EmulatorError(systemFault(lockFile, "открыть"));
    }
    while (::flock(lockFd_, LOCK_EX) != 0) {
        if (errno == EINTR) {
            continue;
        }
        // No flock on this filesystem: the mutex still orders this process's objects.
        if (errno == ENOLCK || errno == EOPNOTSUPP) {
            break;
        }
        std::string fault = systemFault(lockFile, "заблокировать");
        ::close(lockFd_);
        throw EmulatorError(fault);
    }
}

EmulatorBench::Session::~Session() {
    if (lockFd_ >= 0) {
        ::close(lockFd_);  // releases the flock
    }
}

std::vector<RegisterConfig> EmulatorBench::Session::registers() {
    auto text = readWholeFile(bench_.benchFile());
    if (!text) {
        throw EmulatorError("Нет файла " + bench_.benchFile().string());
    }
    auto& known = bench_.registers_;
    if (!known || known->text != *text) {
        known.reset();
        known.emplace(ParsedText<std::vector<RegisterConfig>>{*text, parseBench(*text)});
    }
    return known->parsed;
}

const Json& EmulatorBench::Session::states() {
    if (states_) {
        return *states_;
    }
    auto text = readWholeFile(bench_.stateFile());
    if (!text) {
        // No state yet: every register starts afresh.
        missingStates_ = Json{{"registers", Json::object()}};
        states_ = &missingStates_;
        return *states_;
    }
    auto& known = bench_.states_;
    if (!known || known->text != *text) {
        known.reset();
        std::optional<Json> parsed = parseJson(*text);
        if (!parsed || !parsed->is_object() || !parsed->contains("registers") ||
            !(*parsed)["registers"].is_object()) {
            throw EmulatorError("emulator-state.json повреждён: " + bench_.stateFile().string());
        }
        known.emplace(ParsedText<Json>{std::move(*text), std::move(*parsed)});
    }
    states_ = &known->parsed;
    return *states_;
}

EmulatedRegisterState EmulatorBench::Session::state(const std::string& serial) {
    const Json& registers = states()["registers"];
    auto it = registers.find(serial);
    if (it == registers.end()) {
        return EmulatedRegisterState{};
    }
    return stateFromJson(*it);
}

void EmulatorBench::Session::saveState(const std::string& serial,
                                       const EmulatedRegisterState& state) {
    Json updated = states();
    updated["registers"][serial] = stateToJson(state);
    std::string text = updated.dump(2) + "\n";
    writeFileAtomically(bench_.stateFile(), text);
    bench_.states_.emplace(ParsedText<Json>{std::move(text), std::move(updated)});
    states_ = &bench_.states_->parsed;
}

bool EmulatorBench::Session::appendLog(const Json& line) {
    std::filesystem::path file = bench_.logFile();
    int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    bool ok = writeAll(fd, dumpCompact(line) + "\n");
    ::close(fd);
    return ok;
}

EmulatedRegisterState EmulatorBench::stateOf(const std::string& serial) {
    return session().state(serial);
}

std::vector<Json> EmulatorBench::logLines() const {
    std::vector<Json> lines;
    std::ifstream in(logFile());
    std::string line;
    while (std::getline(in, line)) {
        if (auto parsed = parseJson(line)) {
            lines.push_back(std::move(*parsed));
        }
    }
    return lines;
}

}  // namespace th
