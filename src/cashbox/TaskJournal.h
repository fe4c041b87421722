#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Errors.h"
#include "platform/Json.h"

struct sqlite3;

namespace th {

// A failure of the database itself: the file cannot be opened, is damaged, locked beyond
// the busy time-out, full, or a statement is refused.
TH_DECLARE_ERROR(JournalError, Error);
// The one refusal that is no failure: the register already has a row for this document
// (the service sent the same "external_id" again). The document is stored, once.
TH_DECLARE_ERROR(JournalDuplicateError, JournalError);
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

// A fiscal document handed to the register whose outcome is not yet written down: the
// register's last fiscal document number read just before, when it could be read.
struct InFlightMark {
    std::string serial;
    std::string origId;
    std::optional<std::int64_t> fiscalNumberBefore;
};

// One connection to the task journal checks.db. Statements commit on their own unless a
// Transaction is open. Not thread-safe: one connection per register, used on one thread.
//
// Beside `checks`, each row's times live in `checks_times` (UTC, "YYYY-MM-DDTHH:MM:SSZ"):
// written with the statement that changes the row, in its transaction, so they cost no
// write of their own. Rows stored before the table existed have no times.
class TaskJournal {
public:
    TaskJournal();
    ~TaskJournal();
    TaskJournal(const TaskJournal&) = delete;
    TaskJournal& operator=(const TaskJournal&) = delete;

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
    // JournalDocumentError for a document that cannot be read, JournalDuplicateError when
    // the register already has a row with that "external_id", JournalError when the
    // database fails.
    void insertCheck(const std::string& serial, const Json& document);
    // Stores a document that is refused, as it came, as a row already completed with
    // {"error": reason}: the next request reports it and the service stops sending it.
    // JournalDuplicateError when the register already has a row with that id.
    void insertRefused(const std::string& serial, const std::string& origId,
                       const std::string& command, const std::string& data,
                       const std::string& reason);
    // Records a refused document in `checks_refused` (with the time, UTC); false, writing
    // nothing, when the same refusal of that document is recorded already.
    bool recordRefusal(const std::string& serial, const std::string& origId,
                       const std::string& reason);

    // In-flight marks, kept in a table of their own beside `checks`. A mark is written
    // (and on disk) before a fiscal document goes to the register, and removed in the
    // same transaction that completes the row, so after any crash a mark names exactly
    // the documents whose fate only the register knows.
    void markInFlight(const InFlightMark& mark);
    std::vector<InFlightMark> inFlightMarks(const std::string& serial);
    void clearInFlight(const std::string& serial, const std::string& id);
    // completeCheck and clearInFlight as one transaction.
    void completeInFlight(const std::string& status, const std::string& resp,
                          const std::string& serial, const std::string& id);
    // The register's row for a document, whatever its status.
    std::optional<CheckRow> findCheck(const std::string& serial, const std::string& id);

    // Command results not yet delivered to the service, kept in a table of their own for the
    // process-wide list (CommandResults): an entry's JSON text, under a key in the order
    // they were written.
    struct StoredCommandResult {
        std::int64_t key = 0;
        std::string entry;
    };
    std::int64_t saveCommandResult(const std::string& entry);
    std::vector<StoredCommandResult> storedCommandResults();
    // In one transaction.
    void removeCommandResults(const std::vector<std::int64_t>& keys);
    // Another row of the register (not id) whose answer carries this fiscal document
    // number; nullopt when none has it.
    std::optional<std::string> documentWithFiscalNumber(const std::string& serial,
                                                        std::int64_t number, const std::string& id);
    // Documents the journal refused and nobody has hidden yet (`checks_refused`).
    int countRefused(const std::string& serial);
    // "Скрыть": the refused document (its key as JournalView lists it) is no longer shown.
    void hideRefused(const std::string& serial, std::int64_t key);

    // Groups statements into one transaction (one write to disk): committed by commit(),
    // rolled back when it goes out of scope without. "begin immediate", so a lock held by
    // another program shows at once, before any statement of the group.
    class Transaction {
    public:
        explicit Transaction(TaskJournal& journal);
        ~Transaction();
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;
        void commit();

    private:
        TaskJournal& journal_;
        bool open_ = true;
    };

private:
    struct Connection;
    Connection& usable();
    // A row's change and its time go to disk together: in the caller's transaction when
    // one is open, else in one of their own.
    void asOneWrite(const std::function<void()>& statements);

    void runSql(const char* sql);
    void ensureCommandResultsTable();
    void insertRow(const CheckRow& row);

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
