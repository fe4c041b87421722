#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace th {

// What the program found wrong on its own (an exchange, a reconnection, the automatic first
// connection, the start-up update check), kept where a merchant looks later: one line per
// report in tillhaven.log in the data directory, with the time and the register. Nobody has
// to click anything for the work to go on.
//
// It also decides what deserves a notification: the same text from the same register is
// notified once, until that register's next successful exchange (for a lost contact, its
// next connection), so a loose plug does not bury the desktop in bubbles.
//
// Lives on the user-interface thread; the log file is written under a mutex all the same,
// so a worker may record a line directly.
class ProblemLog {
public:
    static constexpr const char* kFileName = "tillhaven.log";
    // The file is rotated past this size, keeping one older file ("tillhaven.log.1").
    static constexpr std::uintmax_t kRotateAtBytes = 1024 * 1024;

    explicit ProblemLog(std::filesystem::path file, std::uintmax_t rotateAt = kRotateAtBytes);

    // Records the report; true when it should be notified (new for that register since its
    // last success). serial is empty for reports that belong to no register.
    bool report(const std::string& serial, const std::string& text);

    // Records what a person did (a document settled by hand): logged, never notified.
    void note(const std::string& serial, const std::string& text);

    // The register exchanged (or connected) again: what it reports next is notified again.
    void registerRecovered(const std::string& serial);

    const std::filesystem::path& file() const { return file_; }

private:
    void appendLine(const std::string& line);

    std::filesystem::path file_;
    std::uintmax_t rotateAt_;
    std::mutex fileMutex_;
    std::map<std::string, std::set<std::string>> notified_;
};

}  // namespace th
