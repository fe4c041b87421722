#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cashbox/TaskJournal.h"

namespace th {

// One row of a register's journal as the documents page shows it.
struct DocumentRow {
    // Where the row stands in the journal: larger is newer. Pages continue from it.
    std::int64_t key = 0;
    std::string origId;
    std::string command;
    std::string data;
    std::string status;
    std::string response;
    // UTC "YYYY-MM-DDTHH:MM:SSZ"; empty when unknown (rows older than the times).
    std::string receivedAt;
    std::string completedAt;
    std::string ackedAt;
    // An "added" row whose fate only the register knows (its in-flight mark is there).
    bool inFlight = false;
};

// A document the journal refused (`checks_refused`): unreadable, or a used id with other
// contents.
struct RefusedDocument {
    std::int64_t key = 0;
    std::string origId;
    std::string reason;
    std::string refusedAt;
};

enum class DocumentFilter {
    All,
    // Received since `since` (UTC text); rows without a time are older.
    Since,
    // Rows whose fate only the register knows.
    InFlight,
};

struct DocumentQuery {
    std::string serial;
    DocumentFilter filter = DocumentFilter::All;
    std::string since;
    // Rows whose identifier begins with it, when not empty.
    std::string idPrefix;
};

// A read-only connection to the journal for looking at it: pages of a register's rows,
// newest first, each read with LIMIT from where the last page ended, so a journal of any
// size costs one page. In WAL mode it reads while the register's worker writes and never
// waits for it; a read that would wait fails at once with JournalError, and the caller
// keeps what it showed. Never writes, never makes tables. Used on one thread.
class JournalView {
public:
    JournalView();
    ~JournalView();
    JournalView(const JournalView&) = delete;
    JournalView& operator=(const JournalView&) = delete;

    // JournalError when the file is missing or cannot be read.
    void open(const std::filesystem::path& path);
    bool isOpen() const;

    // At most limit rows matching the query, newest first, all older than `before`.
    std::vector<DocumentRow> documents(const DocumentQuery& query,
                                       std::optional<std::int64_t> before, int limit);
    // The register's refused documents not hidden, newest first.
    std::vector<RefusedDocument> refusedDocuments(const std::string& serial, int limit);

private:
    struct Connection;
    bool hasTable(const char* name);

    std::unique_ptr<Connection> connection_;
};

}  // namespace th
