#include "cashbox/JournalView.h"

#include <sqlite3.h>

#include <system_error>

namespace th {

namespace {

// A read that would wait longer for a writer fails: the window never waits for a register.
constexpr int kReadBusyMs = 20;
// No identifier holds this byte (it never occurs in UTF-8): every identifier that begins
// with a prefix sorts below prefix + it.
constexpr const char* kAfterEveryText = "\xFF";

std::string failure(sqlite3* db) {
    return "Журнал заданий не читается: " + std::string(db ? sqlite3_errmsg(db) : "out of memory");
}

std::string columnText(sqlite3_stmt* statement, int column) {
    const auto* text = sqlite3_column_text(statement, column);
    if (!text)
        return {};
    return {reinterpret_cast<const char*>(text),
            static_cast<size_t>(sqlite3_column_bytes(statement, column))};
}

// One statement for one read, finalized when it goes.
class Query {
public:
    Query(sqlite3* db, const std::string& sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement_, nullptr) != SQLITE_OK)
            throw JournalError(failure(db));
    }
    ~Query() { sqlite3_finalize(statement_); }
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    void bind(const char* name, const std::string& text) {
        const int index = sqlite3_bind_parameter_index(statement_, name);
        if (index > 0)
            sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                              SQLITE_TRANSIENT);
    }
    void bind(const char* name, std::int64_t number) {
        const int index = sqlite3_bind_parameter_index(statement_, name);
        if (index > 0)
            sqlite3_bind_int64(statement_, index, number);
    }
    bool next() {
        const int rc = sqlite3_step(statement_);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE)
            throw JournalError(failure(db_));
        return rc == SQLITE_ROW;
    }
    sqlite3_stmt* get() const { return statement_; }

private:
    sqlite3* db_;
    sqlite3_stmt* statement_ = nullptr;
};

// The select of a page: the joins follow the tables the journal has. A page of rows whose
// fate only the register knows starts from the few marks, not from the register's rows.
std::string documentsSql(const DocumentQuery& query, bool hasTimes, bool hasMarks, bool hasBefore) {
    std::string sql = "select c.rowid, c.orig_id, c.command, c.data, c.status, c.response, ";
    sql += hasTimes ? "t.received_at, t.completed_at, t.acked_at, " : "null, null, null, ";
    sql += hasMarks ? "m.orig_id is not null" : "0";
    if (query.filter == DocumentFilter::InFlight)
        sql +=
            " from checks_in_flight m cross join checks c"
            " on c.serial = m.serial and c.orig_id = m.orig_id";
    else {
        sql += " from checks c";
        if (hasMarks)
            sql += " left join checks_in_flight m on m.serial = c.serial and m.orig_id = c.orig_id";
    }
    if (hasTimes)
        sql += " left join checks_times t on t.serial = c.serial and t.orig_id = c.orig_id";
    sql += " where c.serial = :serial";
    if (query.filter == DocumentFilter::InFlight)
        sql += " and m.serial = :serial and c.status = 'added'";
    if (hasBefore)
        sql += " and c.rowid < :before";
    // The rows of a prefix are picked on the key's index alone, which holds their rowids: a
    // prefix that matches most of the journal sorts numbers, not whole rows.
    if (!query.idPrefix.empty())
        sql += " and c.rowid in (select rowid from checks where serial = :serial"
               " and orig_id >= :from and orig_id < :to" +
               std::string(hasBefore ? " and rowid < :before" : "") +
               " order by rowid desc limit :limit)";
    sql += " order by c.rowid desc limit :limit";
    return sql;
}

DocumentRow readDocument(sqlite3_stmt* row) {
    DocumentRow document;
    document.key = sqlite3_column_int64(row, 0);
    document.origId = columnText(row, 1);
    document.command = columnText(row, 2);
    document.data = columnText(row, 3);
    document.status = columnText(row, 4);
    document.response = columnText(row, 5);
    document.receivedAt = columnText(row, 6);
    document.completedAt = columnText(row, 7);
    document.ackedAt = columnText(row, 8);
    document.inFlight =
        sqlite3_column_int(row, 9) != 0 && document.status == statusText(CheckStatus::Added);
    return document;
}

}  // namespace

struct JournalView::Connection {
    sqlite3* db = nullptr;
    ~Connection() { sqlite3_close_v2(db); }
};

JournalView::JournalView() = default;
JournalView::~JournalView() = default;

void JournalView::open(const std::filesystem::path& path) {
    connection_.reset();
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        throw JournalError("Журнал заданий не найден: " + path.string());
    auto connection = std::make_unique<Connection>();
    if (sqlite3_open_v2(path.string().c_str(), &connection->db, SQLITE_OPEN_READONLY, nullptr) !=
        SQLITE_OK)
        throw JournalError(failure(connection->db));
    sqlite3_busy_timeout(connection->db, kReadBusyMs);
    connection_ = std::move(connection);
    // A file that is no journal shows here, not at the first page.
    try {
        Query probe(connection_->db, "select rowid, serial, orig_id from checks limit 0");
        probe.next();
    } catch (...) {
        connection_.reset();
        throw;
    }
}

bool JournalView::isOpen() const {
    return connection_ != nullptr;
}

bool JournalView::hasTable(const char* name) {
    Query query(connection_->db,
                "select 1 from sqlite_master where type = 'table' and name = :name");
    query.bind(":name", std::string(name));
    return query.next();
}

std::vector<DocumentRow> JournalView::documents(const DocumentQuery& query,
                                                std::optional<std::int64_t> before, int limit) {
    if (!connection_)
        throw JournalError("Журнал заданий не открыт");
    const bool hasMarks = hasTable("checks_in_flight");
    if (query.filter == DocumentFilter::InFlight && !hasMarks)
        return {};
    const bool hasTimes = hasTable("checks_times");
    Query select(connection_->db, documentsSql(query, hasTimes, hasMarks, before.has_value()));
    select.bind(":serial", query.serial);
    if (before)
        select.bind(":before", *before);
    select.bind(":from", query.idPrefix);
    select.bind(":to", query.idPrefix + kAfterEveryText);
    select.bind(":limit", static_cast<std::int64_t>(limit));
    std::vector<DocumentRow> rows;
    while (select.next()) {
        DocumentRow row = readDocument(select.get());
        // Rows are stored in the order they arrive: the first one received earlier ends
        // the page and the list.
        if (query.filter == DocumentFilter::Since && row.receivedAt < query.since)
            break;
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<RefusedDocument> JournalView::refusedDocuments(const std::string& serial, int limit) {
    if (!connection_)
        throw JournalError("Журнал заданий не открыт");
    if (!hasTable("checks_refused"))
        return {};
    Query select(connection_->db,
                 "select rowid, orig_id, reason, refused_at from checks_refused"
                 " where serial = :serial and hidden = 0 order by rowid desc limit :limit");
    select.bind(":serial", serial);
    select.bind(":limit", static_cast<std::int64_t>(limit));
    std::vector<RefusedDocument> rows;
    while (select.next())
        rows.push_back({sqlite3_column_int64(select.get(), 0), columnText(select.get(), 1),
                        columnText(select.get(), 2), columnText(select.get(), 3)});
    return rows;
}

}  // namespace th
