#include "cashbox/TaskJournal.h"

#include <sqlite3.h>

#include <sstream>
#include <system_error>

#include "platform/DataDir.h"

namespace th {

namespace {

constexpr const char* kSelectChecks =
    "select * from checks where serial = :serial and status = :status";
constexpr const char* kCompleteCheck =
    "update checks set status=:status, response=:resp where serial = :serial and orig_id = :id";
constexpr const char* kAckCheck =
    "update checks set status=:status where serial = :serial and orig_id = :id";
constexpr const char* kInsertCheck =
    "insert into checks values (:serial, :orig_id, :command, :data, :status, :response);";

// The index on (serial, status) serves every select and, with the rowid as its last key,
// hands rows back in the order they were stored. The unique key keeps a document that the
// service sends twice from being stored, and so executed, twice.
constexpr const char* kCreateSchema =
    "create table checks ("
    " serial text not null, orig_id text not null, command text, data text,"
    " status text, response text,"
    " unique (serial, orig_id));"
    "create index checks_serial_status on checks (serial, status);";

std::string pathText(const std::filesystem::path& path) {
    return path.string();
}

std::string databaseMessage(sqlite3* db) {
    return db ? sqlite3_errmsg(db) : "out of memory";
}

constexpr const char* kFindCheck = "select * from checks where serial = :serial and orig_id = :id";

// In-flight marks live in a table of their own, so `checks` keeps exactly its six columns.
constexpr const char* kCreateInFlight =
    "create table if not exists checks_in_flight ("
    " serial text not null, orig_id text not null, fiscal_number_before integer,"
    " marked_at text not null default (datetime('now')),"
    " primary key (serial, orig_id))";
constexpr const char* kMarkInFlight =
    "insert or replace into checks_in_flight (serial, orig_id, fiscal_number_before)"
    " values (:serial, :id, :before)";
constexpr const char* kSelectInFlight =
    "select serial, orig_id, fiscal_number_before from checks_in_flight"
    " where serial = :serial order by rowid";
constexpr const char* kClearInFlight =
    "delete from checks_in_flight where serial = :serial and orig_id = :id";

// Documents refused by this program, one row each (unreadable, or a used id with other
// contents), so that each is reported once and a person can look at them later.
constexpr const char* kFindRefusal =
    "select count(*) from checks_refused"
    " where serial = :serial and orig_id = :id and reason = :reason";
constexpr const char* kRecordRefusal =
    "insert into checks_refused (serial, orig_id, reason, refused_at)"
    " values (:serial, :id, :reason, strftime('%Y-%m-%dT%H:%M:%SZ', 'now'))";

// Older journals were made without the unique key; it is added when their rows allow.
constexpr const char* kAddUniqueKey =
    "create unique index if not exists checks_serial_orig_id on checks (serial, orig_id)";
constexpr const char* kUniqueKeyColumns =
    "select count(*) from pragma_index_list('checks') as list"
    " where list.[unique] = 1 and (select group_concat(info.name, ',') from"
    " (select name from pragma_index_info(list.name) order by name) as info)"
    " = 'orig_id,serial'";
constexpr const char* kCountCheck =
    "select count(*) from checks where serial = :serial and orig_id = :id";

// The tables beside `checks` that older journals lack, and the index that lists a
// register's rows in the order they were stored (newest first for the documents page).
// Made when missing, in one deferred transaction: a journal that has them is not written.
constexpr const char* kCreateSideTables =
    "begin;"
    "create table if not exists checks_times ("
    " serial text not null, orig_id text not null,"
    " received_at text, completed_at text, acked_at text,"
    " primary key (serial, orig_id));"
    "create table if not exists checks_refused ("
    " serial text not null, orig_id text not null, reason text not null,"
    " refused_at text not null, hidden integer not null default 0);"
    "create index if not exists checks_serial_order on checks (serial);"
    "commit;";

#define TH_NOW_UTC "strftime('%Y-%m-%dT%H:%M:%SZ', 'now')"
constexpr const char* kTimeReceived =
    "insert into checks_times (serial, orig_id, received_at) values (:serial, :id, " TH_NOW_UTC
    ") on conflict (serial, orig_id) do update set received_at = excluded.received_at";
// Only for a row the register has: an identifier that matches none changes nothing.
constexpr const char* kTimeCompleted =
    "insert into checks_times (serial, orig_id, completed_at) select :serial, :id, " TH_NOW_UTC
    " where exists (select 1 from checks where serial = :serial and orig_id = :id)"
    " on conflict (serial, orig_id) do update set completed_at = excluded.completed_at";
// The service's first acknowledgement is the one kept.
constexpr const char* kTimeAcked =
    "insert into checks_times (serial, orig_id, acked_at) select :serial, :id, " TH_NOW_UTC
    " where exists (select 1 from checks where serial = :serial and orig_id = :id)"
    " on conflict (serial, orig_id) do update set"
    " acked_at = coalesce(checks_times.acked_at, excluded.acked_at)";
#undef TH_NOW_UTC

// An answer is looked into only when it is JSON and names the number at all.
constexpr const char* kFiscalNumberUsed =
    "select orig_id from checks where serial = :serial and orig_id <> :id"
    " and status <> 'added' and instr(response, :digits) > 0"
    " and case when json_valid(response) then"
    " json_extract(response, '$.fiscalParams.fiscalDocumentNumber') end = :number limit 1";
constexpr const char* kCountRefused =
    "select count(*) from checks_refused where serial = :serial and hidden = 0";
constexpr const char* kHideRefused =
    "update checks_refused set hidden = 1 where serial = :serial and rowid = :key";

bool isDuplicateKey(sqlite3* db) {
    const int code = sqlite3_extended_errcode(db);
    return code == SQLITE_CONSTRAINT_UNIQUE || code == SQLITE_CONSTRAINT_PRIMARYKEY;
}

[[noreturn]] void raiseStatementError(sqlite3* db) {
    const std::string message = "Ошибка журнала заданий: " + databaseMessage(db);
    if (db && isDuplicateKey(db))
        throw JournalDuplicateError(message);
    throw JournalError(message);
}

std::string columnText(sqlite3_stmt* statement, int column) {
    const auto* text = sqlite3_column_text(statement, column);
    if (!text)
        return {};
    return {reinterpret_cast<const char*>(text),
            static_cast<size_t>(sqlite3_column_bytes(statement, column))};
}

struct DatabaseCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using DatabaseHandle = std::unique_ptr<sqlite3, DatabaseCloser>;

// A prepared statement reused for the life of the connection.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK)
            throw JournalError(databaseMessage(db));
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    sqlite3_stmt* get() const { return statement_; }

    void bind(const char* name, const std::string& text) {
        const int index = sqlite3_bind_parameter_index(statement_, name);
        if (index == 0 ||
            sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                              SQLITE_TRANSIENT) != SQLITE_OK)
            raiseStatementError(db_);
    }

    // SQLITE_ROW or SQLITE_DONE; anything else raises.
    int step() {
        const int rc = sqlite3_step(statement_);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE)
            raiseStatementError(db_);
        return rc;
    }

    void bind(const char* name, std::optional<std::int64_t> number) {
        const int index = sqlite3_bind_parameter_index(statement_, name);
        const int rc = number ? sqlite3_bind_int64(statement_, index, *number)
                              : sqlite3_bind_null(statement_, index);
        if (index == 0 || rc != SQLITE_OK)
            raiseStatementError(db_);
    }

    // Leaves the statement ready for its next use, whatever happened to this one.
    class Use {
    public:
        explicit Use(Statement& statement) : statement_(statement) {}
        ~Use() {
            sqlite3_reset(statement_.get());
            sqlite3_clear_bindings(statement_.get());
        }
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;

    private:
        Statement& statement_;
    };

private:
    sqlite3* db_;
    sqlite3_stmt* statement_ = nullptr;
};

// Column numbers of the select's result, looked up by name once.
struct RowColumns {
    int serial = -1, orig_id = -1, command = -1, data = -1, status = -1, response = -1;

    explicit RowColumns(sqlite3_stmt* select) {
        const std::pair<const char*, int*> wanted[] = {
            {"serial", &serial}, {"orig_id", &orig_id}, {"command", &command},
            {"data", &data},     {"status", &status},   {"response", &response}};
        for (int column = 0; column < sqlite3_column_count(select); ++column) {
            const std::string name = sqlite3_column_name(select, column);
            for (auto& [wantedName, index] : wanted)
                if (name == wantedName)
                    *index = column;
        }
        for (auto& [wantedName, index] : wanted)
            if (*index < 0)
                throw JournalError(std::string("в таблице checks нет столбца ") + wantedName);
    }

    CheckRow read(sqlite3_stmt* select) const {
        return {columnText(select, serial),  columnText(select, orig_id),
                columnText(select, command), columnText(select, data),
                columnText(select, status),  columnText(select, response)};
    }
};

std::string documentText(const Json& document, const char* member) {
    const auto found = document.find(member);
    if (found == document.end())
        throw JournalDocumentError(std::string("В документе нет \"") + member + "\"");
    auto text = valueText(*found);
    if (!text)
        throw JournalDocumentError(std::string("Значение \"") + member +
                                   "\" документа не читается как текст");
    return *text;
}

DatabaseHandle openExisting(const std::filesystem::path& path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        throw JournalError("Журнал заданий не найден: " + pathText(path));
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(pathText(path).c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    DatabaseHandle db(raw);
    if (rc != SQLITE_OK)
        throw JournalError("Не удалось открыть журнал заданий " + pathText(path) + ": " +
                           databaseMessage(raw));
    return db;
}

// The first finding of SQLite's quick check, without its "*** in database main ***" header.
std::string firstFinding(const std::string& report) {
    std::istringstream lines(report);
    std::string line;
    while (std::getline(lines, line))
        if (!line.empty() && line.rfind("***", 0) != 0)
            return line;
    return report;
}

// A damaged file is reported, never repaired: only reading statements run before this.
void checkUsable(sqlite3* db, const std::filesystem::path& path) {
    if (sqlite3_db_readonly(db, "main") == 1)
        throw JournalError("Журнал заданий " + pathText(path) + " доступен только для чтения");
    sqlite3_stmt* check = nullptr;
    int rc = sqlite3_prepare_v2(db, "pragma quick_check", -1, &check, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_step(check);
    const std::string verdict =
        rc == SQLITE_ROW ? columnText(check, 0) : std::string(databaseMessage(db));
    sqlite3_finalize(check);
    const int primary = rc & 0xFF;
    if (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB ||
        (rc == SQLITE_ROW && verdict != "ok"))
        throw JournalError("Журнал заданий " + pathText(path) +
                           " повреждён: " + firstFinding(verdict));
    if (rc != SQLITE_ROW)
        throw JournalError("Не удалось открыть журнал заданий " + pathText(path) + ": " + verdict);
}

void execute(sqlite3* db, const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message ? message : databaseMessage(db);
        sqlite3_free(message);
        throw JournalError(text);
    }
}

}  // namespace

// The statements of the in-flight table, prepared at first use: the table is made then,
// so opening a journal writes nothing beyond what it always did.
struct InFlightStatements {
    Statement mark;
    Statement select;
    Statement clear;

    explicit InFlightStatements(sqlite3* db)
        : mark(db, kMarkInFlight), select(db, kSelectInFlight), clear(db, kClearInFlight) {}
};

struct RefusedStatements {
    Statement find;
    Statement record;

    explicit RefusedStatements(sqlite3* db) : find(db, kFindRefusal), record(db, kRecordRefusal) {}
};

// The statements over the tables made by kCreateSideTables, prepared once they exist.
struct SideStatements {
    Statement received;
    Statement completed;
    Statement acked;
    Statement fiscalNumberUsed;
    Statement countRefused;
    Statement hideRefused;

    explicit SideStatements(sqlite3* db)
        : received(db, kTimeReceived),
          completed(db, kTimeCompleted),
          acked(db, kTimeAcked),
          fiscalNumberUsed(db, kFiscalNumberUsed),
          countRefused(db, kCountRefused),
          hideRefused(db, kHideRefused) {}

    // Writes one time of a row.
    static void stamp(Statement& statement, const std::string& serial, const std::string& id) {
        Statement::Use use(statement);
        statement.bind(":serial", serial);
        statement.bind(":id", id);
        statement.step();
    }
};

bool queryCount(sqlite3* db, const char* sql) {
    sqlite3_stmt* statement = nullptr;
    bool found = false;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW)
        found = sqlite3_column_int64(statement, 0) > 0;
    sqlite3_finalize(statement);
    return found;
}

struct TaskJournal::Connection {
    DatabaseHandle db;
    Statement select;
    Statement complete;
    Statement ack;
    Statement insert;
    Statement find;
    RowColumns columns;
    RowColumns findColumns;
    std::unique_ptr<InFlightStatements> inFlight;
    std::unique_ptr<RefusedStatements> refused;
    std::unique_ptr<SideStatements> side;
    // Set for a journal whose rows repeat a (serial, orig_id), so the key cannot be added:
    // each insert then looks for the row first.
    std::unique_ptr<Statement> countBeforeInsert;

    explicit Connection(DatabaseHandle handle)
        : db(std::move(handle)),
          select(db.get(), kSelectChecks),
          complete(db.get(), kCompleteCheck),
          ack(db.get(), kAckCheck),
          insert(db.get(), kInsertCheck),
          find(db.get(), kFindCheck),
          columns(select.get()),
          findColumns(find.get()) {}

    InFlightStatements& marks() {
        if (!inFlight) {
            char* message = nullptr;
            if (sqlite3_exec(db.get(), kCreateInFlight, nullptr, nullptr, &message) != SQLITE_OK) {
                const std::string text = message ? message : databaseMessage(db.get());
                sqlite3_free(message);
                throw JournalError("Ошибка журнала заданий: " + text);
            }
            inFlight = std::make_unique<InFlightStatements>(db.get());
        }
        return *inFlight;
    }

    // A document sent twice must make one row, also in a journal made without the key.
    void ensureUniqueKey() {
        if (queryCount(db.get(), kUniqueKeyColumns))
            return;
        if (sqlite3_exec(db.get(), kAddUniqueKey, nullptr, nullptr, nullptr) == SQLITE_OK)
            return;
        countBeforeInsert = std::make_unique<Statement>(db.get(), kCountCheck);
    }

    bool hasRow(const std::string& serial, const std::string& id) {
        Statement::Use use(*countBeforeInsert);
        countBeforeInsert->bind(":serial", serial);
        countBeforeInsert->bind(":id", id);
        return countBeforeInsert->step() == SQLITE_ROW &&
               sqlite3_column_int64(countBeforeInsert->get(), 0) > 0;
    }

    void addSideTables() {
        try {
            execute(db.get(), kCreateSideTables);
        } catch (const JournalError&) {
            sqlite3_exec(db.get(), "rollback", nullptr, nullptr, nullptr);
            throw;
        }
        side = std::make_unique<SideStatements>(db.get());
    }
};

TaskJournal::TaskJournal() : unavailableReason_("журнал не открыт") {}

TaskJournal::~TaskJournal() = default;

void TaskJournal::openJournal(const std::filesystem::path& path, JournalOptions options) {
    connection_.reset();
    path_ = path;
    try {
        DatabaseHandle db = openExisting(path);
        sqlite3_busy_timeout(db.get(), options.busyTimeoutMs);
        checkUsable(db.get(), path);
        std::unique_ptr<Connection> connection;
        try {
            connection = std::make_unique<Connection>(std::move(db));
        } catch (const JournalError& e) {
            throw JournalError("Журнал заданий " + pathText(path) + " не подходит: " + e.what());
        }
        execute(connection->db.get(), "pragma journal_mode=WAL; pragma synchronous=FULL;");
        connection->ensureUniqueKey();
        connection->addSideTables();
        connection->refused = std::make_unique<RefusedStatements>(connection->db.get());
        connection_ = std::move(connection);
        unavailableReason_.clear();
    } catch (const JournalError& e) {
        unavailableReason_ = e.what();
        throw;
    }
}

bool TaskJournal::isOpen() const {
    return connection_ != nullptr;
}

TaskJournal::Connection& TaskJournal::usable() {
    if (!connection_)
        throw JournalError("Журнал заданий недоступен: " + unavailableReason_);
    return *connection_;
}

std::vector<CheckRow> TaskJournal::selectChecks(const std::string& serial,
                                                const std::string& status) {
    Connection& connection = usable();
    Statement::Use use(connection.select);
    connection.select.bind(":serial", serial);
    connection.select.bind(":status", status);
    std::vector<CheckRow> rows;
    while (connection.select.step() == SQLITE_ROW)
        rows.push_back(connection.columns.read(connection.select.get()));
    return rows;
}

void TaskJournal::completeCheck(const std::string& status, const std::string& resp,
                                const std::string& serial, const std::string& id) {
    Connection& connection = usable();
    asOneWrite([&] {
        Statement::Use use(connection.complete);
        connection.complete.bind(":status", status);
        connection.complete.bind(":resp", resp);
        connection.complete.bind(":serial", serial);
        connection.complete.bind(":id", id);
        connection.complete.step();
        SideStatements::stamp(connection.side->completed, serial, id);
    });
}

void TaskJournal::ackCheck(const std::string& status, const std::string& serial,
                           const std::string& id) {
    Connection& connection = usable();
    asOneWrite([&] {
        Statement::Use use(connection.ack);
        connection.ack.bind(":status", status);
        connection.ack.bind(":serial", serial);
        connection.ack.bind(":id", id);
        connection.ack.step();
        SideStatements::stamp(connection.side->acked, serial, id);
    });
}

void TaskJournal::insertCheck(const std::string& serial, const Json& document) {
    if (!document.is_object())
        throw JournalDocumentError("Документ не является объектом JSON");
    const std::string origId = documentText(document, "external_id");
    const std::string command = documentText(document, "type");
    insertRow({serial, origId, command, dumpCompact(document), statusText(CheckStatus::Added), ""});
}

void TaskJournal::insertRefused(const std::string& serial, const std::string& origId,
                                const std::string& command, const std::string& data,
                                const std::string& reason) {
    Json refusal = Json::object();
    refusal["error"] = reason;
    insertRow(
        {serial, origId, command, data, statusText(CheckStatus::Completed), dumpCompact(refusal)});
}

void TaskJournal::insertRow(const CheckRow& row) {
    Connection& connection = usable();
    if (connection.countBeforeInsert && connection.hasRow(row.serial, row.orig_id))
        throw JournalDuplicateError("Документ " + row.orig_id + " уже есть в журнале заданий");
    asOneWrite([&] {
        Statement::Use use(connection.insert);
        connection.insert.bind(":serial", row.serial);
        connection.insert.bind(":orig_id", row.orig_id);
        connection.insert.bind(":command", row.command);
        connection.insert.bind(":data", row.data);
        connection.insert.bind(":status", row.status);
        connection.insert.bind(":response", row.response);
        connection.insert.step();
        SideStatements::stamp(connection.side->received, row.serial, row.orig_id);
        if (row.status != statusText(CheckStatus::Added))
            SideStatements::stamp(connection.side->completed, row.serial, row.orig_id);
    });
}

void TaskJournal::asOneWrite(const std::function<void()>& statements) {
    if (!sqlite3_get_autocommit(usable().db.get())) {
        statements();
        return;
    }
    Transaction transaction(*this);
    statements();
    transaction.commit();
}

std::optional<std::string> TaskJournal::documentWithFiscalNumber(const std::string& serial,
                                                                 std::int64_t number,
                                                                 const std::string& id) {
    Statement& used = usable().side->fiscalNumberUsed;
    Statement::Use use(used);
    used.bind(":serial", serial);
    used.bind(":id", id);
    used.bind(":digits", std::to_string(number));
    used.bind(":number", std::optional(number));
    if (used.step() != SQLITE_ROW)
        return std::nullopt;
    return columnText(used.get(), 0);
}

int TaskJournal::countRefused(const std::string& serial) {
    Statement& count = usable().side->countRefused;
    Statement::Use use(count);
    count.bind(":serial", serial);
    return count.step() == SQLITE_ROW ? sqlite3_column_int(count.get(), 0) : 0;
}

void TaskJournal::hideRefused(const std::string& serial, std::int64_t key) {
    Statement& hide = usable().side->hideRefused;
    Statement::Use use(hide);
    hide.bind(":serial", serial);
    hide.bind(":key", std::optional(key));
    hide.step();
}

bool TaskJournal::recordRefusal(const std::string& serial, const std::string& origId,
                                const std::string& reason) {
    RefusedStatements& refused = *usable().refused;
    {
        Statement::Use use(refused.find);
        refused.find.bind(":serial", serial);
        refused.find.bind(":id", origId);
        refused.find.bind(":reason", reason);
        if (refused.find.step() == SQLITE_ROW && sqlite3_column_int64(refused.find.get(), 0) > 0)
            return false;
    }
    Statement::Use use(refused.record);
    refused.record.bind(":serial", serial);
    refused.record.bind(":id", origId);
    refused.record.bind(":reason", reason);
    refused.record.step();
    return true;
}

void TaskJournal::markInFlight(const InFlightMark& mark) {
    InFlightStatements& marks = usable().marks();
    Statement::Use use(marks.mark);
    marks.mark.bind(":serial", mark.serial);
    marks.mark.bind(":id", mark.origId);
    marks.mark.bind(":before", mark.fiscalNumberBefore);
    marks.mark.step();
}

std::vector<InFlightMark> TaskJournal::inFlightMarks(const std::string& serial) {
    InFlightStatements& marks = usable().marks();
    Statement::Use use(marks.select);
    marks.select.bind(":serial", serial);
    std::vector<InFlightMark> found;
    while (marks.select.step() == SQLITE_ROW) {
        sqlite3_stmt* row = marks.select.get();
        InFlightMark mark{columnText(row, 0), columnText(row, 1), std::nullopt};
        if (sqlite3_column_type(row, 2) == SQLITE_INTEGER)
            mark.fiscalNumberBefore = sqlite3_column_int64(row, 2);
        found.push_back(std::move(mark));
    }
    return found;
}

void TaskJournal::clearInFlight(const std::string& serial, const std::string& id) {
    InFlightStatements& marks = usable().marks();
    Statement::Use use(marks.clear);
    marks.clear.bind(":serial", serial);
    marks.clear.bind(":id", id);
    marks.clear.step();
}

void TaskJournal::completeInFlight(const std::string& status, const std::string& resp,
                                   const std::string& serial, const std::string& id) {
    Transaction transaction(*this);
    completeCheck(status, resp, serial, id);
    clearInFlight(serial, id);
    transaction.commit();
}

std::optional<CheckRow> TaskJournal::findCheck(const std::string& serial, const std::string& id) {
    Connection& connection = usable();
    Statement::Use use(connection.find);
    connection.find.bind(":serial", serial);
    connection.find.bind(":id", id);
    if (connection.find.step() != SQLITE_ROW)
        return std::nullopt;
    return connection.findColumns.read(connection.find.get());
}

// Command results live in a table of their own, made at first use, so `checks` keeps
// exactly its six columns and opening a journal writes nothing new.
constexpr const char* kCreateCommandResults =
    "create table if not exists command_results ("
    " key integer primary key autoincrement, entry text not null,"
    " run_at text not null default (datetime('now')))";

void TaskJournal::ensureCommandResultsTable() {
    runSql(kCreateCommandResults);
}

std::int64_t TaskJournal::saveCommandResult(const std::string& entry) {
    ensureCommandResultsTable();
    sqlite3* db = usable().db.get();
    Statement insert(db, "insert into command_results (entry) values (:entry)");
    insert.bind(":entry", entry);
    insert.step();
    return sqlite3_last_insert_rowid(db);
}

std::vector<TaskJournal::StoredCommandResult> TaskJournal::storedCommandResults() {
    ensureCommandResultsTable();
    Statement select(usable().db.get(), "select key, entry from command_results order by key");
    std::vector<StoredCommandResult> stored;
    while (select.step() == SQLITE_ROW)
        stored.push_back({sqlite3_column_int64(select.get(), 0), columnText(select.get(), 1)});
    return stored;
}

void TaskJournal::removeCommandResults(const std::vector<std::int64_t>& keys) {
    if (keys.empty())
        return;
    ensureCommandResultsTable();
    Transaction transaction(*this);
    Statement remove(usable().db.get(), "delete from command_results where key = :key");
    for (std::int64_t key : keys) {
        Statement::Use use(remove);
        remove.bind(":key", std::optional<std::int64_t>(key));
        remove.step();
    }
    transaction.commit();
}

void TaskJournal::runSql(const char* sql) {
    Connection& connection = usable();
    try {
        execute(connection.db.get(), sql);
    } catch (const JournalError& e) {
        throw JournalError(std::string("Ошибка журнала заданий: ") + e.what());
    }
}

TaskJournal::Transaction::Transaction(TaskJournal& journal) : journal_(journal) {
    journal_.runSql("begin immediate");
}

TaskJournal::Transaction::~Transaction() {
    if (!open_)
        return;
    // SQLite may have rolled back already (a full disk, an I/O error): nothing to undo then.
    try {
        journal_.runSql("rollback");
    } catch (const JournalError&) {
    }
}

void TaskJournal::Transaction::commit() {
    journal_.runSql("commit");
    open_ = false;
}

std::filesystem::path defaultJournalPath() {
    return resolveDataPaths().journalFile();
}

void createJournalFile(const std::filesystem::path& path) {
    std::error_code ec;
    if (std::filesystem::exists(path, ec) || ec)
        throw JournalError("Журнал заданий уже существует: " + pathText(path));
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(pathText(path).c_str(), &raw,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    DatabaseHandle db(raw);
    try {
        if (rc != SQLITE_OK)
            throw JournalError(databaseMessage(raw));
        execute(db.get(), "pragma journal_mode=WAL;");
        execute(db.get(), "begin;");
        execute(db.get(), kCreateSchema);
        execute(db.get(), "commit;");
    } catch (const JournalError& e) {
        // The file is ours and holds nothing yet: leave no half-made journal behind.
        db.reset();
        for (const char* suffix : {"", "-wal", "-shm"})
            std::filesystem::remove(pathText(path) + suffix, ec);
        throw JournalError("Не удалось создать журнал заданий " + pathText(path) + ": " + e.what());
    }
}

}  // namespace th
