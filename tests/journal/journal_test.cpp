#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <random>
#include <regex>
#include <sstream>

#include "cashbox/JournalView.h"
#include "cashbox/TaskJournal.h"
#include "support/RawSql.h"

namespace fs = std::filesystem;
using th::CheckRow;
using th::JournalDocumentError;
using th::JournalError;
using th::Json;
using th::TaskJournal;
using th::test::rawExec;

namespace {

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

Json doc(const Json& externalId, const std::string& type = "sell") {
    return Json{{"type", type}, {"external_id", externalId}, {"items", Json::array({1, 2})}};
}

std::vector<std::string> ids(const std::vector<CheckRow>& rows) {
    std::vector<std::string> out;
    for (const auto& row : rows)
        out.push_back(row.orig_id);
    return out;
}

class JournalTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("th_journal_" + std::to_string(getpid()) + "_" +
                                            std::to_string(std::random_device{}()));
        fs::create_directories(dir_);
        path_ = dir_ / "checks.db";
    }
    void TearDown() override { fs::remove_all(dir_); }

    // A fresh journal opened by a new connection.
    std::unique_ptr<TaskJournal> freshJournal() {
        th::createJournalFile(path_);
        return openedJournal();
    }
    std::unique_ptr<TaskJournal> openedJournal(int busyTimeoutMs = 5000) {
        auto journal = std::make_unique<TaskJournal>();
        journal->openJournal(path_, {busyTimeoutMs});
        return journal;
    }

    fs::path dir_;
    fs::path path_;
};

TEST_F(JournalTest, TheFourStatementsCarryADocumentThroughItsStatuses) {
    auto journal = freshJournal();
    const Json document = doc(17);
    journal->insertCheck("K1", document);

    auto added = journal->selectChecks("K1", "added");
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(added[0].serial, "K1");
    EXPECT_EQ(added[0].orig_id, "17");
    EXPECT_EQ(added[0].command, "sell");
    EXPECT_EQ(added[0].data, th::dumpCompact(document));
    EXPECT_EQ(added[0].status, "added");
    EXPECT_EQ(added[0].response, "");

    journal->completeCheck("completed", R"({"fiscalDocumentNumber":5})", "K1", "17");
    EXPECT_TRUE(journal->selectChecks("K1", "added").empty());
    auto completed = journal->selectChecks("K1", "completed");
    ASSERT_EQ(completed.size(), 1u);
    EXPECT_EQ(completed[0].response, R"({"fiscalDocumentNumber":5})");

    journal->ackCheck("acked", "K1", "17");
    EXPECT_TRUE(journal->selectChecks("K1", "completed").empty());
    EXPECT_EQ(journal->selectChecks("K1", "acked").size(), 1u);
}

TEST_F(JournalTest, RowsOfOtherRegistersAreNeitherReadNorChanged) {
    auto journal = freshJournal();
    journal->insertCheck("K1", doc("1"));
    journal->insertCheck("K2", doc("1"));
    journal->insertCheck("k1", doc("2"));  // serials compare exactly, case counting

    journal->completeCheck("completed", "{}", "K1", "1");
    journal->ackCheck("acked", "K1", "2");
    journal->ackCheck("acked", "K1", "missing");  // no row, no error

    EXPECT_EQ(ids(journal->selectChecks("K1", "completed")), std::vector<std::string>{"1"});
    EXPECT_EQ(ids(journal->selectChecks("K2", "added")), std::vector<std::string>{"1"});
    EXPECT_EQ(ids(journal->selectChecks("k1", "added")), std::vector<std::string>{"2"});
    EXPECT_TRUE(journal->selectChecks("K1", "added").empty());
}

TEST_F(JournalTest, SelectsReturnRowsInTheOrderTheyWereStored) {
    auto journal = freshJournal();
    // Identifiers in falling order, so an order by identifier would show.
    const std::vector<std::string> stored = {"z9", "m5", "c3", "b2", "a1"};
    for (const auto& id : stored) {
        journal->insertCheck("K1", doc(id));
        journal->insertCheck("K2", doc(id));
    }
    journal->completeCheck("completed", "{}", "K1", "m5");
    journal->completeCheck("completed", "{}", "K1", "z9");
    journal->completeCheck("completed", "{}", "K1", "b2");

    EXPECT_EQ(ids(journal->selectChecks("K1", "added")), (std::vector<std::string>{"c3", "a1"}));
    EXPECT_EQ(ids(journal->selectChecks("K1", "completed")),
              (std::vector<std::string>{"z9", "m5", "b2"}));
    EXPECT_EQ(ids(journal->selectChecks("K2", "added")), stored);
}

TEST_F(JournalTest, RowsSurviveARestart) {
    {
        auto journal = freshJournal();
        journal->insertCheck("K1", doc("a"));
        journal->insertCheck("K1", doc("b"));
        journal->completeCheck("completed", R"({"ok":true})", "K1", "b");
    }
    auto journal = openedJournal();
    EXPECT_EQ(ids(journal->selectChecks("K1", "added")), std::vector<std::string>{"a"});
    auto completed = journal->selectChecks("K1", "completed");
    ASSERT_EQ(completed.size(), 1u);
    EXPECT_EQ(completed[0].response, R"({"ok":true})");
}

TEST_F(JournalTest, OpensInWalModeAndLeavesNoNullUnread) {
    auto journal = freshJournal();
    rawExec(path_, "insert into checks values ('K1', 'x', null, null, 'added', null)");
    auto rows = journal->selectChecks("K1", "added");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].data, "");
    EXPECT_EQ(rows[0].response, "");

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* mode = nullptr;
    sqlite3_prepare_v2(db, "pragma journal_mode", -1, &mode, nullptr);
    ASSERT_EQ(sqlite3_step(mode), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(mode, 0)), "wal");
    sqlite3_finalize(mode);
    sqlite3_close(db);
}

TEST_F(JournalTest, ARepeatedExternalIdIsRefusedAsADuplicate) {
    auto journal = freshJournal();
    journal->insertCheck("K1", doc("7"));
    journal->completeCheck("completed", "{}", "K1", "7");
    EXPECT_THROW(journal->insertCheck("K1", doc(7, "other")), th::JournalDuplicateError);
    auto rows = journal->selectChecks("K1", "completed");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].command, "sell");
    EXPECT_TRUE(journal->selectChecks("K1", "added").empty());
    journal->insertCheck("K2", doc("7"));  // the same document for another register is its own
}

TEST_F(JournalTest, UnreadableDocumentsAreRefusedAndNotStored) {
    auto journal = freshJournal();
    const Json cases[] = {
        Json{{"type", "sell"}},
        Json{{"external_id", "1"}},
        Json{{"type", "sell"}, {"external_id", Json::object()}},
        Json{{"type", nullptr}, {"external_id", "1"}},
        Json{{"type", "sell"}, {"external_id", true}},
        Json::array({"1"}),
        Json("text"),
    };
    for (const auto& document : cases)
        EXPECT_THROW(journal->insertCheck("K1", document), JournalDocumentError) << document;
    EXPECT_TRUE(journal->selectChecks("K1", "added").empty());
}

TEST_F(JournalTest, AMissingFileIsReportedAndNeverCreated) {
    TaskJournal journal;
    try {
        journal.openJournal(path_);
        FAIL() << "a missing journal opened";
    } catch (const JournalError& e) {
        EXPECT_NE(std::string(e.what()).find(path_.string()), std::string::npos) << e.what();
    }
    EXPECT_FALSE(fs::exists(path_));
    EXPECT_FALSE(journal.isOpen());
    try {
        journal.selectChecks("K1", "added");
        FAIL() << "a statement ran without a journal";
    } catch (const JournalError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Журнал заданий недоступен: ", 0), 0u) << e.what();
    }
    EXPECT_THROW(journal.insertCheck("K1", doc("1")), JournalError);
    EXPECT_THROW(journal.ackCheck("acked", "K1", "1"), JournalError);
    EXPECT_THROW(journal.completeCheck("completed", "{}", "K1", "1"), JournalError);
}

TEST_F(JournalTest, ADamagedOrForeignFileIsReportedAndLeftExactlyAsItWas) {
    auto makeForeign = [&] {
        rawExec(path_, "create table other (a text); insert into other values ('keep');");
    };
    auto makeTruncated = [&] {
        {
            auto journal = freshJournal();
            for (int i = 0; i < 400; ++i)
                journal->insertCheck("K1", doc(i));
        }
        rawExec(path_, "pragma wal_checkpoint(truncate)");
        std::string bytes = readFile(path_);
        for (size_t at = 4096; at < bytes.size(); at += 97)
            bytes[at] = static_cast<char>(0xA5);  // scribble over every page but the first
        writeFile(path_, bytes);
    };
    auto makeGarbage = [&] { writeFile(path_, std::string(8192, 'x')); };
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"foreign", makeForeign}, {"damaged", makeTruncated}, {"garbage", makeGarbage}};

    for (const auto& [name, make] : cases) {
        SCOPED_TRACE(name);
        fs::remove(path_);
        fs::remove(path_.string() + "-wal");
        fs::remove(path_.string() + "-shm");
        make();
        const std::string before = readFile(path_);
        TaskJournal journal;
        try {
            journal.openJournal(path_);
            FAIL() << "opened";
        } catch (const JournalError& e) {
            EXPECT_NE(std::string(e.what()).find(path_.string()), std::string::npos) << e.what();
        }
        EXPECT_THROW(journal.selectChecks("K1", "added"), JournalError);
        EXPECT_EQ(readFile(path_), before);
    }
}

TEST_F(JournalTest, AReadOnlyFileIsReported) {
    th::createJournalFile(path_);
    fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(path_, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    // Root writes through file modes: the check runs in a child that gives its rights up.
    EXPECT_EXIT(
        {
            if (geteuid() == 0 && setuid(65534) != 0)
                _exit(3);
            TaskJournal journal;
            try {
                journal.openJournal(path_);
            } catch (const JournalError& e) {
                const std::string text = e.what();
                const bool clear = text.find(path_.string()) != std::string::npos &&
                                   text.find("только для чтения") != std::string::npos;
                _exit(clear ? 0 : 2);
            }
            _exit(1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(JournalTest, ALockedJournalFailsWithAClearErrorAndRecovers) {
    auto journal = freshJournal();
    journal->insertCheck("K1", doc("1"));
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other,
                           "begin immediate; insert into checks values "
                           "('K9','x','sell','{}','added','');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);

    auto impatient = openedJournal(50);
    EXPECT_THROW(impatient->insertCheck("K1", doc("2")), JournalError);
    EXPECT_THROW(impatient->ackCheck("acked", "K1", "1"), JournalError);
    EXPECT_EQ(ids(impatient->selectChecks("K1", "added")), std::vector<std::string>{"1"});

    ASSERT_EQ(sqlite3_exec(other, "commit", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    impatient->insertCheck("K1", doc("2"));
    EXPECT_EQ(ids(journal->selectChecks("K1", "added")), (std::vector<std::string>{"1", "2"}));
}

TEST_F(JournalTest, CreatingNeverOverwritesAJournal) {
    auto journal = freshJournal();
    journal->insertCheck("K1", doc("1"));
    EXPECT_THROW(th::createJournalFile(path_), JournalError);
    EXPECT_EQ(journal->selectChecks("K1", "added").size(), 1u);
}

// Journals of older installations have the plain table, without the key on (serial, orig_id).
constexpr const char* kPlainTable =
    "create table checks (serial text, orig_id text, command text, data text, status text,"
    " response text);";

TEST_F(JournalTest, AJournalWithoutTheKeyGetsItAndStoresADocumentOnce) {
    rawExec(path_, kPlainTable);
    auto journal = openedJournal();
    journal->insertCheck("K1", doc("1"));
    EXPECT_THROW(journal->insertCheck("K1", doc("1")), th::JournalDuplicateError);
    EXPECT_EQ(journal->selectChecks("K1", "added").size(), 1u);
}

TEST_F(JournalTest, AJournalWhoseRowsRepeatAKeyStillRefusesAnotherRepeat) {
    rawExec(path_, std::string(kPlainTable) +
                       "insert into checks values ('K1','1','sell','{}','acked','');"
                       "insert into checks values ('K1','1','sell','{}','acked','');");
    auto journal = openedJournal();
    EXPECT_THROW(journal->insertCheck("K1", doc("1")), th::JournalDuplicateError);
    journal->insertCheck("K1", doc("2"));
    EXPECT_THROW(journal->insertCheck("K1", doc("2")), th::JournalDuplicateError);
    EXPECT_EQ(ids(journal->selectChecks("K1", "added")), std::vector<std::string>{"2"});
}

TEST_F(JournalTest, InFlightMarksSurviveARestartAndGoWithTheirCompletion) {
    {
        auto journal = freshJournal();
        journal->insertCheck("K1", doc("1"));
        journal->insertCheck("K1", doc("2"));
        journal->markInFlight({"K1", "1", 41});
        journal->markInFlight({"K1", "2", std::nullopt});
        journal->markInFlight({"K2", "1", 7});
    }
    auto journal = openedJournal();
    const auto marks = journal->inFlightMarks("K1");
    ASSERT_EQ(marks.size(), 2u);
    EXPECT_EQ(marks[0].origId, "1");
    EXPECT_EQ(marks[0].fiscalNumberBefore, std::optional<std::int64_t>(41));
    EXPECT_EQ(marks[1].fiscalNumberBefore, std::nullopt);

    journal->completeInFlight("completed", R"({"n":1})", "K1", "1");
    EXPECT_EQ(journal->inFlightMarks("K1").size(), 1u);
    EXPECT_EQ(journal->findCheck("K1", "1")->status, "completed");
    EXPECT_EQ(journal->inFlightMarks("K2").size(), 1u);
}

TEST_F(JournalTest, ATransactionNotCommittedLeavesNothing) {
    auto journal = freshJournal();
    {
        TaskJournal::Transaction transaction(*journal);
        journal->insertCheck("K1", doc("1"));
    }
    EXPECT_TRUE(journal->selectChecks("K1", "added").empty());
    TaskJournal::Transaction transaction(*journal);
    journal->insertCheck("K1", doc("1"));
    transaction.commit();
    EXPECT_EQ(openedJournal()->selectChecks("K1", "added").size(), 1u);
}

// ---- times, the documents page's reads, refused documents -----------------------------------

// "YYYY-MM-DDTHH:MM:SSZ"
bool isUtcTime(const std::string& text) {
    static const std::regex form(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)");
    return std::regex_match(text, form);
}

th::DocumentQuery pageOf(const std::string& serial,
                         th::DocumentFilter filter = th::DocumentFilter::All,
                         const std::string& since = "", const std::string& prefix = "") {
    th::DocumentQuery query;
    query.serial = serial;
    query.filter = filter;
    query.since = since;
    query.idPrefix = prefix;
    return query;
}

std::vector<th::DocumentRow> viewRows(const fs::path& path, const th::DocumentQuery& query,
                                      std::optional<std::int64_t> before = std::nullopt,
                                      int limit = 1000) {
    th::JournalView view;
    view.open(path);
    return view.documents(query, before, limit);
}

th::DocumentRow viewRow(const fs::path& path, const std::string& serial, const std::string& id) {
    for (th::DocumentRow& row : viewRows(path, pageOf(serial)))
        if (row.origId == id)
            return row;
    ADD_FAILURE() << "no row " << id;
    return {};
}

TEST_F(JournalTest, TimesFollowARowsChangesAndOlderRowsHaveNone) {
    rawExec(path_, std::string(kPlainTable) +
                       "insert into checks values ('K1','old','sell','{}','acked','{}');");
    auto journal = openedJournal();
    journal->insertCheck("K1", doc("new"));
    const th::DocumentRow received = viewRow(path_, "K1", "new");
    EXPECT_TRUE(isUtcTime(received.receivedAt)) << received.receivedAt;
    EXPECT_EQ(received.completedAt, "");

    journal->completeCheck("completed", "{}", "K1", "new");
    journal->ackCheck("acked", "K1", "new");
    const th::DocumentRow acked = viewRow(path_, "K1", "new");
    EXPECT_EQ(acked.receivedAt, received.receivedAt);
    EXPECT_TRUE(isUtcTime(acked.completedAt)) << acked.completedAt;
    EXPECT_TRUE(isUtcTime(acked.ackedAt)) << acked.ackedAt;
    EXPECT_GE(acked.ackedAt, acked.completedAt);

    const th::DocumentRow old = viewRow(path_, "K1", "old");
    EXPECT_EQ(old.receivedAt + old.completedAt + old.ackedAt, "");
    // An acknowledgement of an id the register has no row for leaves no trace.
    journal->ackCheck("acked", "K1", "nobody");
    journal->completeCheck("completed", "{}", "K2", "new");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* count = nullptr;
    sqlite3_prepare_v2(db, "select count(*) from checks_times", -1, &count, nullptr);
    ASSERT_EQ(sqlite3_step(count), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(count, 0), 1);
    sqlite3_finalize(count);
    sqlite3_close(db);
}

// The time goes in the same transaction as the row's change: when it cannot be written the
// change is not made either (and where one is open, the caller's transaction holds both).
TEST_F(JournalTest, ARowsChangeAndItsTimeAreOneWrite) {
    auto journal = freshJournal();
    journal->insertCheck("K1", doc("1"));
    rawExec(path_,
            "create trigger no_times before insert on checks_times"
            " begin select raise(abort, 'no times'); end;"
            "create trigger no_time_updates before update on checks_times"
            " begin select raise(abort, 'no times'); end;");
    EXPECT_THROW(journal->insertCheck("K1", doc("2")), JournalError);
    EXPECT_THROW(journal->completeCheck("completed", "{}", "K1", "1"), JournalError);
    EXPECT_EQ(ids(journal->selectChecks("K1", "added")), std::vector<std::string>{"1"});
    rawExec(path_, "drop trigger no_times; drop trigger no_time_updates;");
    {
        TaskJournal::Transaction transaction(*journal);
        journal->insertCheck("K1", doc("2"));
    }
    EXPECT_EQ(ids(journal->selectChecks("K1", "added")), std::vector<std::string>{"1"});
    EXPECT_EQ(viewRows(path_, pageOf("K1")).size(), 1u);
}

TEST_F(JournalTest, TheViewReadsPagesNewestFirstByFilterAndPrefix) {
    {
        auto journal = freshJournal();
        TaskJournal::Transaction transaction(*journal);
        for (int n = 1; n <= 250; ++n) {
            journal->insertCheck("K1", doc("a" + std::to_string(n)));
            journal->insertCheck("K2", doc("a" + std::to_string(n)));
        }
        journal->markInFlight({"K1", "a7", 3});
        journal->markInFlight({"K1", "a9", 3});
        transaction.commit();
        journal->completeInFlight("completed", "{}", "K1", "a9");
    }
    // Three pages, each continuing from the last row of the one before.
    std::vector<std::string> seen;
    std::optional<std::int64_t> before;
    for (size_t expected : {100u, 100u, 50u}) {
        const auto page = viewRows(path_, pageOf("K1"), before, 100);
        ASSERT_EQ(page.size(), expected);
        for (const auto& row : page)
            seen.push_back(row.origId);
        before = page.back().key;
    }
    ASSERT_EQ(seen.size(), 250u);
    EXPECT_EQ(seen.front(), "a250");
    EXPECT_EQ(seen.back(), "a1");

    const th::DocumentQuery inFlight = pageOf("K1", th::DocumentFilter::InFlight);
    const auto marked = viewRows(path_, inFlight);
    ASSERT_EQ(marked.size(), 1u);  // a9's mark went with its completion
    EXPECT_EQ(marked[0].origId, "a7");
    EXPECT_TRUE(marked[0].inFlight);

    const th::DocumentQuery prefix = pageOf("K1", th::DocumentFilter::All, "", "a12");
    std::vector<std::string> found;
    for (const auto& row : viewRows(path_, prefix))
        found.push_back(row.origId);
    EXPECT_EQ(found, (std::vector<std::string>{"a129", "a128", "a127", "a126", "a125", "a124",
                                               "a123", "a122", "a121", "a120", "a12"}));

    // "Since": rows received from then on; an older or untimed row ends the list.
    rawExec(path_,
            "update checks_times set received_at = '2020-01-01T00:00:00Z'"
            " where serial = 'K1' and orig_id <> 'a250' and orig_id <> 'a249';"
            "delete from checks_times where serial = 'K1' and orig_id = 'a248';");
    const th::DocumentQuery today = pageOf("K1", th::DocumentFilter::Since, "2021-01-01T00:00:00Z");
    EXPECT_EQ(viewRows(path_, today).size(), 2u);
}

// The view reads while a worker holds the journal in a write, and never writes itself.
TEST_F(JournalTest, TheViewReadsDuringAWriteAndTellsAFileThatIsNoJournal) {
    auto journal = freshJournal();
    journal->insertCheck("K1", doc("1"));
    TaskJournal::Transaction transaction(*journal);
    journal->insertCheck("K1", doc("2"));
    EXPECT_EQ(viewRows(path_, pageOf("K1")).size(), 1u);
    transaction.commit();
    EXPECT_EQ(viewRows(path_, pageOf("K1")).size(), 2u);

    const fs::path other = dir_ / "other.db";
    rawExec(other, "create table other (a text);");
    th::JournalView view;
    EXPECT_THROW(view.open(other), JournalError);
    EXPECT_THROW(view.open(dir_ / "missing.db"), JournalError);
    EXPECT_FALSE(fs::exists(dir_ / "missing.db"));
}

TEST_F(JournalTest, AFiscalNumberIsFoundInAnotherRowsAnswerOnly) {
    auto journal = freshJournal();
    const std::pair<const char*, const char*> rows[] = {
        {"with12", R"({"fiscalParams":{"fiscalDocumentNumber":12}})"},
        {"with123", R"({"fiscalParams":{"fiscalDocumentNumber":123}})"},
        {"broken", R"({"fiscalParams":{"fiscalDocumentNumber":12)"},
        {"error", R"({"error":"12 [no paper]"})"}};
    for (const auto& [id, response] : rows) {
        journal->insertCheck("K1", doc(id));
        journal->completeCheck("completed", response, "K1", id);
    }
    EXPECT_EQ(journal->documentWithFiscalNumber("K1", 12, "x"),
              std::optional<std::string>("with12"));
    EXPECT_EQ(journal->documentWithFiscalNumber("K1", 12, "with12"), std::nullopt);
    EXPECT_EQ(journal->documentWithFiscalNumber("K1", 1, "x"), std::nullopt);
    EXPECT_EQ(journal->documentWithFiscalNumber("K2", 12, "x"), std::nullopt);
}

TEST_F(JournalTest, RefusedDocumentsAreCountedListedAndHidden) {
    auto journal = freshJournal();
    rawExec(path_,
            "insert into checks_refused (serial, orig_id, reason, refused_at) values"
            " ('K1', '5', 'документ 5 уже есть с другим содержимым', '2026-01-02T03:04:05Z'),"
            " ('K1', '6', 'не читается', '2026-01-02T03:04:06Z'),"
            " ('K2', '5', 'не читается', '2026-01-02T03:04:07Z');");
    EXPECT_EQ(journal->countRefused("K1"), 2);
    th::JournalView view;
    view.open(path_);
    auto refused = view.refusedDocuments("K1", 10);
    ASSERT_EQ(refused.size(), 2u);
    EXPECT_EQ(refused[0].origId, "6");
    EXPECT_EQ(refused[1].reason, "документ 5 уже есть с другим содержимым");
    journal->hideRefused("K1", refused[1].key);
    journal->hideRefused("K1", 999);
    EXPECT_EQ(journal->countRefused("K1"), 1);
    EXPECT_EQ(journal->countRefused("K2"), 1);
    refused = view.refusedDocuments("K1", 10);
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0].origId, "6");
}

}  // namespace
