#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "emulator/RegisterModel.h"

namespace th {

// The emulator's files in the data directory, shared by every emulator object of the
// process that serves the directory:
//   emulator.json        the registers on the bench (written by people and tests)
//   emulator-state.json  each register's shift, numbers and totals (written by us)
//   emulator-log.jsonl   one line per task executed
// Each visit holds the object's mutex (threads of this process) and an flock on
// emulator.lock (other processes, and filesystems where flock is refused to threads).
class EmulatorBench {
public:
    explicit EmulatorBench(std::filesystem::path dataDir);
    EmulatorBench(const EmulatorBench&) = delete;
    EmulatorBench& operator=(const EmulatorBench&) = delete;

    const std::filesystem::path& dataDir() const { return dir_; }
    std::filesystem::path benchFile() const { return dir_ / "emulator.json"; }
    std::filesystem::path stateFile() const { return dir_ / "emulator-state.json"; }
    std::filesystem::path logFile() const { return dir_ / "emulator-log.jsonl"; }

    // One locked visit to the files. Everything read and written within one session is
    // consistent: no other emulator object runs a task on the same files meanwhile.
    class Session {
    public:
        ~Session();
        Session(const Session&) = delete;
        Session& operator=(const Session&) = delete;

        // The registers of emulator.json, read afresh. Raises EmulatorError.
        std::vector<RegisterConfig> registers();
        // The register's saved state, or a new register's state. Raises EmulatorError when
        // the state file is damaged; the file is then never written over.
        EmulatedRegisterState state(const std::string& serial);
        // Replaces the state file as a whole (temporary file and rename), so a killed
        // process leaves either the old or the new state. Raises EmulatorError.
        void saveState(const std::string& serial, const EmulatedRegisterState& state);
        // Appends one line to the log with a single write; false when it could not.
        bool appendLog(const Json& line);

    private:
        friend class EmulatorBench;
        explicit Session(EmulatorBench& bench);
        const Json& states();

        EmulatorBench& bench_;
        std::unique_lock<std::mutex> lock_;
        int lockFd_ = -1;
        const Json* states_ = nullptr;  // the bench's parsed state file, read in this session
        Json missingStates_;            // what states_ points to while there is no file
    };

    Session session() { return Session(*this); }

    // Looks for tests and tools.
    EmulatedRegisterState stateOf(const std::string& serial);
    std::vector<Json> logLines() const;

private:
    // A file's text as last read and what it parsed to: every task reads the files again,
    // and parses them again only when the text has changed.
    template <typename Parsed>
    struct ParsedText {
        std::string text;
        Parsed parsed;
    };

    std::filesystem::path dir_;
    std::mutex mutex_;
    std::optional<ParsedText<std::vector<RegisterConfig>>> registers_;
    std::optional<ParsedText<Json>> states_;
};

}  // namespace th
