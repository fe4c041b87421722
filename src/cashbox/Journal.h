#pragma once

#include <array>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/Errors.h"
#include "platform/Json.h"

struct sqlite3;

namespace th {

// A failure of the database itself: the file cannot be opened, is damaged, locked beyond
// the busy time-out, or a statement is refused (a repeated (serial, orig_id) among them).
TH_DECLARE_ERROR(JournalError, Error);
// A document from the service that cannot become a journal row: no "external_id" or
// "type", or one of them not readable as text.
TH_DECLARE_ERROR(JournalDocumentError, Error);

inline constexpr const char* kJournalFileName = "checks.db";

// The row statuses, in their fixed order; rows store the text itself.
enum class CheckStatus { Added = 0, Completed = 1, Acked = 2 };
inline constexpr std::array<const char*, 3> checkStatuses = {"added", "completed", "acked"};
inline const char* statusText(CheckStatus status) {
    return checkStatuses[static_cast<size_t>(status)];
}

// One row of the table `checks`, every column read as text (NULL reads as "").
struct CheckRow {
    std::string serial;
    std::string orig_id;
    std::string command;
    std::string data;
    std::string status;
    std::string response;
};

struct JournalOptions {
    // How long a statement waits for another connection's write to finish.
    int busyTimeoutMs = 5000;
};

// One connection to the task journal checks.db. Every statement commits on its own.
// Not thread-safe: one connection per cashbox window, used on that window's thread.
class TJournal {
public:
    TJournal();
    ~TJournal();
    TJournal(const TJournal&) = delete;
    TJournal& operator=(const TJournal&) = delete;

    // Opens an existing journal for reading and writing; never creates one. A missing,
    // read-only, damaged or foreign file raises JournalError naming the path; the
    // connection then stays unusable and every later statement raises JournalError.
    void openJournal(const std::filesystem::path& path, JournalOptions options = {});
    bool isOpen() const;
    const std::filesystem::path& path() const { return path_; }

    // The rows of one register in one status, in the order they were stored.
    std::vector<CheckRow> selectChecks(const std::string& serial, const std::string& status);
    void completeCheck(const std::string& status, const std::string& resp,
                       const std::string& serial, const std::string& id);
    void ackCheck(const std::string& status, const std::string& serial, const std::string& id);
    // Stores a document from the service as an "added" row keyed by its "external_id".
    // JournalDocumentError for a document that cannot be read, JournalError when the
    // database refuses it (a repeated "external_id" of the same register among others).
    void insertCheck(const std::string& serial, const Json& document);

private:
    struct Connection;
    Connection& usable();

    std::filesystem::path path_;
    std::string unavailableReason_;
    std::unique_ptr<Connection> connection_;
};

// The journal file of this installation: checks.db in the data directory.
std::filesystem::path defaultJournalPath();

// Creates an empty journal with the table `checks` (installation, demo and tests only; the
// running client never creates one). Refuses an existing file, so nothing stored is lost.
void createJournalFile(const std::filesystem::path& path);

}  // namespace th
