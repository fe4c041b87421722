// The "Документы" page of the cashbox window headless: the register's journal rows in words,
// the filter and the search, a document in question settled by a person through the
// register's worker, and the documents the journal refused.
// The sandbox's headers first: Qt's keywords are macros.
#include "DemoFeed.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>

#include "cashbox/CashboxTestKit.h"
#include "cashbox/DocumentsModel.h"
#include "cashbox/DocumentsPage.h"
#include "cashbox/DoubtfulDocuments.h"
#include "drivers/CashboxDriver.h"
#include "support/Controls.h"
#include "support/RawSql.h"

using namespace th;
using namespace th::test;

namespace {

constexpr const char* kSerial = "00106100000001";

Json document(const std::string& id, const std::string& type, Json more = Json::object()) {
    more["external_id"] = id;
    more["type"] = type;
    return more;
}

class DocumentsPageTest : public ::testing::Test {
protected:
    std::unique_ptr<CashboxWorld> world;
    TaskJournal journal;

    void setUp(const std::vector<RecordSpec>& records, const std::vector<Json>& bench) {
        world = std::make_unique<CashboxWorld>(records, bench);
        journal.openJournal(world->home.file(kJournalFileName));
    }
    std::filesystem::path journalFile() { return world->home.file(kJournalFileName); }
    CashboxWorld::Cashbox window() {
        CashboxWorld::Cashbox cashbox = world->makeWindow(salePoint(kSerial));
        settle(*cashbox.record);
        return cashbox;
    }
    static std::string cell(DocumentsModel& model, int row, int column) {
        return model.data(model.index(row, column)).toString().toStdString();
    }
    static std::vector<std::string> shownIds(DocumentsModel& model) {
        std::vector<std::string> ids;
        for (int row = 0; row < model.rowCount(); ++row)
            ids.push_back(cell(model, row, DocumentsModel::IdColumn));
        return ids;
    }
    // The register's count of fiscal documents moves by running tasks on it.
    static void runOnRegister(CashboxRecord& record, const std::vector<const char*>& types) {
        onWorker(record, [&](RegisterLink& link) {
            for (const char* type : types) {
                const Json task = {{"type", type}};
                ASSERT_TRUE(link.driver()->processJSON(&task)) << type;
            }
        });
    }
    // A sale handed to the register with the count at `before`, whose answer never came.
    void saleInQuestion(const std::string& id, std::int64_t before) {
        Json sale = sandbox::DemoFeed::saleTask(1);
        sale["external_id"] = id;
        journal.insertCheck(kSerial, sale);
        journal.markInFlight({kSerial, id, before});
    }
    static void select(DocumentsPage& page, int row) {
        control<QTableView>(page, "documentsTable")->selectRow(row);
    }
};

TEST_F(DocumentsPageTest, ShowsTheRegistersRowsNewestFirstInWords) {
    setUp({}, {});
    // A row kept before the journal had times.
    rawExec(journalFile(), "insert into checks values ('" + std::string(kSerial) +
                               "', 'old', 'sell', '{}', 'acked', '{}');"
                               "delete from checks_times;");
    journal.insertCheck(kSerial, document("o1", "openShift"));
    journal.insertCheck(
        kSerial,
        document(
            "s1", "sell",
            {{"items", Json::array({{{"amount", 100.5}}, {{"type", "text"}}, {{"amount", 50}}})}}));
    journal.completeCheck("completed", R"({"fiscalParams":{"fiscalDocumentNumber":7}})", kSerial,
                          "s1");
    journal.ackCheck("acked", kSerial, "s1");
    journal.insertCheck(kSerial, document("r1", "sellReturn", {{"total", 12}}));
    journal.completeCheck("completed", R"({"error":"68 [Нет бумаги]"})", kSerial, "r1");
    journal.insertCheck(kSerial, document("p1", "printText"));
    journal.insertCheck("another", document("x1", "sell"));
    auto w = window();
    w->showDocumentsPage();
    EXPECT_EQ(control<QTabWidget>(*w, "pages")->currentWidget(), &w->documentsPage());
    DocumentsModel& model = w->documentsPage().model();

    ASSERT_EQ(shownIds(model), (std::vector<std::string>{"p1", "r1", "s1", "o1", "old"}));
    const std::vector<std::vector<std::string>> expected = {
        {"printText", "", "получен", ""},
        {"Возврат продажи", "12.00", "ошибка: 68 [Нет бумаги]", ""},
        {"Продажа", "150.50", "подтверждён сервисом", "7"},
        {"Открытие смены", "", "получен", ""},
        {"Продажа", "", "подтверждён сервисом", ""}};
    for (int row = 0; row < 5; ++row) {
        SCOPED_TRACE(row);
        EXPECT_EQ((std::vector<std::string>{cell(model, row, DocumentsModel::KindColumn),
                                            cell(model, row, DocumentsModel::TotalColumn),
                                            cell(model, row, DocumentsModel::StateColumn),
                                            cell(model, row, DocumentsModel::FiscalNumberColumn)}),
                  expected[row]);
    }
    // Times for the rows kept since, none for the older one.
    EXPECT_FALSE(cell(model, 3, DocumentsModel::ReceivedColumn).empty());
    EXPECT_FALSE(cell(model, 2, DocumentsModel::CompletedColumn).empty());
    EXPECT_FALSE(cell(model, 2, DocumentsModel::AckedColumn).empty());
    EXPECT_TRUE(cell(model, 3, DocumentsModel::CompletedColumn).empty());
    for (int column : {DocumentsModel::ReceivedColumn, DocumentsModel::CompletedColumn,
                       DocumentsModel::AckedColumn})
        EXPECT_TRUE(cell(model, 4, column).empty());

    control<QLineEdit>(w->documentsPage(), "searchEdit")->setText("s1");
    EXPECT_TRUE(waitUntil([&] { return shownIds(model) == std::vector<std::string>{"s1"}; }));
    control<QLineEdit>(w->documentsPage(), "searchEdit")->clear();
    w->documentsPage().applySearch();
    // "Сегодня": received today; the old row has no time and is not among them.
    control<QComboBox>(w->documentsPage(), "filterCombo")->setCurrentIndex(0);
    EXPECT_EQ(shownIds(model), (std::vector<std::string>{"p1", "r1", "s1", "o1"}));
    model.setNow(QDateTime::currentDateTime().addDays(1));
    model.refresh();
    EXPECT_TRUE(shownIds(model).empty());
}

TEST_F(DocumentsPageTest, PagesAreReadAsTheViewScrollsAndFollowTheWorker) {
    setUp({}, {});
    {
        TaskJournal::Transaction transaction(journal);
        for (int n = 0; n < 250; ++n)
            journal.insertCheck(kSerial, document("d" + std::to_string(n), "sell"));
        transaction.commit();
    }
    auto w = window();
    w->showDocumentsPage();
    DocumentsModel& model = w->documentsPage().model();
    EXPECT_EQ(model.rowCount(), DocumentsModel::kPageRows);
    while (model.canFetchMore({}))
        model.fetchMore({});
    EXPECT_EQ(model.rowCount(), 250);
    journal.insertCheck(kSerial, document("new", "sell"));
    model.refresh();
    EXPECT_EQ(model.rowAt(0).origId, "new");
}

TEST_F(DocumentsPageTest, ADocumentInQuestionIsConfirmedPrintedThroughTheWorker) {
    setUp({{.serial = kSerial}}, {benchRegister(kSerial)});
    auto w = window();
    // The register's count went from 1 to 3 while the sale's answer was lost.
    runOnRegister(*w.record, {"openShift", "closeShift"});
    saleInQuestion("sale", 1);
    journal.insertCheck(kSerial, document("other", "sell"));
    journal.completeCheck("completed", R"({"fiscalParams":{"fiscalDocumentNumber":2}})", kSerial,
                          "other");
    runCycle(*w.record);
    ASSERT_EQ(w.record->state().doubtful, std::vector<std::string>{"sale"});
    EXPECT_TRUE(w.record->needsAttention());
    EXPECT_EQ(w.record->attentionText(), "требует внимания");

    w->showDocumentsPage();
    DocumentsPage& page = w->documentsPage();
    EXPECT_EQ(control<QComboBox>(page, "filterCombo")->currentText(), "Требует внимания");
    ASSERT_EQ(shownIds(page.model()), std::vector<std::string>{"sale"});
    EXPECT_EQ(cell(page.model(), 0, DocumentsModel::StateColumn), "под вопросом");
    EXPECT_FALSE(control<QPushButton>(page, "notPrintedButton")->isEnabled());
    select(page, 0);
    EXPECT_TRUE(control<QPushButton>(page, "notPrintedButton")->isEnabled());
    EXPECT_FALSE(control<QPushButton>(page, "printedButton")->isEnabled());

    auto confirm = [&](const char* number, bool yes) {
        world->dialogs.clear();
        control<QLineEdit>(page, "fiscalNumberEdit")->setText(number);
        world->dialogs.scriptAnswer(yes);
        control<QPushButton>(page, "printedButton")->click();
        settle(*w.record);
        QCoreApplication::processEvents();
    };
    confirm("3", false);
    ASSERT_EQ(world->dialogs.count(), 1u);
    EXPECT_TRUE(world->dialogs.boxes()[0].question);
    EXPECT_NE(world->dialogs.texts()[0].find("будет записан как пробитый с номером ФД 3"),
              std::string::npos);
    EXPECT_EQ(journal.findCheck(kSerial, "sale")->status, "added");

    const std::pair<const char*, const char*> refused[] = {
        {"4", "Номер ФД 4 больше номера последнего документа кассы (3)"},
        {"2", "Номер ФД 2 уже записан у документа other"}};
    for (const auto& [number, why] : refused) {
        SCOPED_TRACE(number);
        confirm(number, true);
        ASSERT_EQ(world->dialogs.count(), 2u);
        EXPECT_EQ(world->dialogs.boxes()[1].kind, BoxKind::Error);
        EXPECT_EQ(world->dialogs.texts()[1], why);
        EXPECT_EQ(journal.findCheck(kSerial, "sale")->status, "added");
    }

    select(page, 0);
    confirm("3", true);
    ASSERT_EQ(world->dialogs.count(), 2u);
    EXPECT_EQ(world->dialogs.boxes()[1].kind, BoxKind::Information);
    const std::optional<CheckRow> row = journal.findCheck(kSerial, "sale");
    EXPECT_EQ(row->status, "completed");
    EXPECT_EQ(Json::parse(row->response), operatorConfirmedResponse(3));
    EXPECT_TRUE(journal.inFlightMarks(kSerial).empty());
    ASSERT_EQ(world->notes.size(), 1u);
    EXPECT_NE(world->notes[0].find("отмечен оператором как пробитый, номер ФД 3"),
              std::string::npos);
    EXPECT_FALSE(w.record->needsAttention());
    EXPECT_TRUE(shownIds(page.model()).empty());

    // Asked again (a second window, a late click): the worker refuses.
    std::vector<StateWarning> boxes;
    QObject context;
    w.record->worker()->postUserAction(
        [](RegisterLink& link, ActionOutcome& outcome) {
            link.resolveDoubtful("sale", {DoubtfulResolution::Kind::NotPrinted, 0}, outcome);
        },
        &context, [&](const ActionOutcome& outcome) { boxes = outcome.boxes; });
    ASSERT_TRUE(waitUntil([&] { return !boxes.empty(); }));
    EXPECT_EQ(boxes[0].text, "Документ sale больше не под вопросом");
}

TEST_F(DocumentsPageTest, ADocumentInQuestionSaidNotPrintedIsPrintedAtTheNextCycle) {
    setUp({{.serial = kSerial}}, {benchRegister(kSerial)});
    auto w = window();
    runOnRegister(*w.record, {"openShift", "closeShift", "openShift"});
    saleInQuestion("sale", 2);
    runCycle(*w.record);
    ASSERT_EQ(w.record->state().doubtful, std::vector<std::string>{"sale"});
    w->showDocumentsPage();
    DocumentsPage& page = w->documentsPage();
    select(page, 0);
    world->dialogs.scriptAnswer(true);
    control<QPushButton>(page, "notPrintedButton")->click();
    settle(*w.record);
    QCoreApplication::processEvents();
    EXPECT_NE(world->dialogs.texts()[0].find("будет пробит на кассе при следующем обмене"),
              std::string::npos);
    EXPECT_EQ(journal.findCheck(kSerial, "sale")->status, "added");
    EXPECT_TRUE(journal.inFlightMarks(kSerial).empty());
    EXPECT_FALSE(w.record->needsAttention());

    runCycle(*w.record);
    const std::optional<CheckRow> row = journal.findCheck(kSerial, "sale");
    EXPECT_EQ(row->status, "completed");
    const Json answer = Json::parse(row->response);
    EXPECT_EQ(answeredFiscalNumber(answer), 5);
    EXPECT_FALSE(answer.contains("recovered"));
    runCycle(*w.record);
    EXPECT_EQ(journal.findCheck(kSerial, "sale")->response, row->response);
}

TEST_F(DocumentsPageTest, RefusedDocumentsNeedAttentionUntilHidden) {
    setUp({{.serial = kSerial}}, {benchRegister(kSerial)});
    rawExec(journalFile(),
            "insert into checks_refused (serial, orig_id, reason, refused_at) values ('" +
                std::string(kSerial) +
                "', '77', 'документ 77 уже есть в журнале с другим содержимым',"
                " '2026-03-01T10:00:00Z');");
    std::vector<bool> heard;
    CashboxWorld::Cashbox w;
    w.record = std::make_unique<CashboxRecord>(world->environment());
    // The listener hears every change of the row's attention (connection, conditions,
    // documents): what it says about the documents changes only when they do.
    w.record->setOnAttentionChange([&](CashboxRecord& sender) {
        if (heard.empty() || heard.back() != sender.needsAttention())
            heard.push_back(sender.needsAttention());
    });
    w.record->setData(salePoint(kSerial));
    w.record->setSettings(*world->settings);
    settle(*w.record);
    EXPECT_TRUE(w.record->needsAttention());
    EXPECT_EQ(heard, std::vector<bool>{true});
    w.window = std::make_unique<CashboxWindow>(world->dialogs, *w.record);

    // Opened, the window shows its documents first.
    w->show();
    EXPECT_EQ(control<QTabWidget>(*w, "pages")->currentWidget(), &w->documentsPage());
    DocumentsPage& page = w->documentsPage();
    EXPECT_TRUE(control<QGroupBox>(page, "refusedBox")->isVisibleTo(&*w));
    auto* refused = control<QTableWidget>(page, "refusedTable");
    ASSERT_EQ(refused->rowCount(), 1);
    EXPECT_EQ(refused->item(0, 1)->text(), "77");
    EXPECT_EQ(refused->item(0, 2)->text(), "документ 77 уже есть в журнале с другим содержимым");
    EXPECT_FALSE(control<QPushButton>(page, "hideButton")->isEnabled());
    refused->selectRow(0);
    control<QPushButton>(page, "hideButton")->click();
    settle(*w.record);
    QCoreApplication::processEvents();
    EXPECT_FALSE(w.record->needsAttention());
    EXPECT_EQ(heard, (std::vector<bool>{true, false}));
    EXPECT_FALSE(control<QGroupBox>(page, "refusedBox")->isVisibleTo(&*w));
    EXPECT_EQ(journal.countRefused(kSerial), 0);
    EXPECT_EQ(world->dialogs.count(), 0u);
}

}  // namespace
